// Process entry: trace level, command line, command-channel set-up, Run.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "mzorvanetcpserver.h"
#include "qdrcore.h"

#ifndef ZORVANE_VERSION
#define ZORVANE_VERSION "unknown"
#endif

namespace {

int PortServer = 0;
int PortClient = 0;
bool UsePipe = false;
int CmdClient_PipeSize = -1;
int CmdClient_ReaderPipeId = -1;
int CmdClient_WriterPipeId = -1;

constexpr int kStartupTraceLevel = 2;
constexpr long kMaxTraceLevel = 5;

// A base-10 integer that takes up the whole text and fits an int.
bool ReadWholeInt(const char* text, long min, long max, int* value) {
  char* end = nullptr;
  errno = 0;
  long number = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || number < min || number > max) return false;
  *value = static_cast<int>(number);
  return true;
}

bool parse_pipe_size(const char* after_letter) {
  if (after_letter[0] != '=') {
    MERRLOG("Option not available!\n");
    return false;
  }
  CmdClient_PipeSize = atoi(after_letter + 1);
  UsePipe = true;
  return true;
}

bool parse_trace_level(const char* after_letter) {
  if (after_letter[0] != '=') {
    MERRLOG("pars_args(): Option not available!");
    return false;
  }
  const char* value = after_letter + 1;
  int level = 0;
  if (!ReadWholeInt(value, 0, kMaxTraceLevel, &level)) {
    MERRLOG("parse_args(): invalid parameter -t=%s", value);
    return false;
  }
  _MTrace_SetLevel("default", level);
  return true;
}

bool parse_port(const char* value, bool server) {
  int port = 0;
  if (!ReadWholeInt(value, INT_MIN, INT_MAX, &port)) {
    if (server) {
      MERRLOG("parse_args(): invalid parameter -ps=%s", value);
    } else {
      MERRLOG("parse_args(): invalid parameter -pc=%s", value);
    }
    return false;
  }
  if (server) {
    PortServer = port;
    MTRACE(4, "parse_args(): use server port %d", port);
  } else {
    PortClient = port;
    MTRACE(4, "parse_args(): use client port %d", port);
  }
  return true;
}

// The letters after "-p": a lone "p" is passed over.
bool parse_p_option(const char* after_letter) {
  if (after_letter[0] == '\0') return true;
  if (after_letter[1] == '=') {
    const char* value = after_letter + 2;
    switch (after_letter[0]) {
      case 'w':
        CmdClient_WriterPipeId = atoi(value);
        UsePipe = true;
        return true;
      case 'r':
        CmdClient_ReaderPipeId = atoi(value);
        UsePipe = true;
        return true;
      case 'c':
        return parse_port(value, false);
      case 's':
        return parse_port(value, true);
      default:
        break;
    }
  }
  MERRLOG("Option not available!\n");
  return false;
}

// One argument that begins with '-'; every option takes the rest of it.
bool parse_option(const char* letters) {
  switch (letters[0]) {
    case '\0':
      return true;
    case 's':
      return parse_pipe_size(letters + 1);
    case 't':
      return parse_trace_level(letters + 1);
    case 'p':
      return parse_p_option(letters + 1);
    default:
      MERRLOG("Option not available!\n");
      return false;
  }
}

void ConfigureCommandChannel(MZorvaneTCPServer* server) {
  if (UsePipe) server->SetPipeCmdClient(CmdClient_WriterPipeId, CmdClient_ReaderPipeId, CmdClient_PipeSize);
  if (PortServer == 0 && PortClient == 0) return;
  if (PortServer == 0) PortServer = static_cast<int>(MZorvaneTCPServer::kDefaultServerPort);
  if (PortClient == 0) PortClient = static_cast<int>(MZorvaneTCPServer::kDefaultClientPort);
  server->SetTcpPorts(static_cast<unsigned>(PortServer), static_cast<unsigned>(PortClient));
}

}  // namespace

MZorvaneTCPServer mts;

void GetMTraceLevelFromEnv() {
  long level = kStartupTraceLevel;
  const char* text = getenv("MTRACE_LEVEL");
  if (text != nullptr) level = std::max(0L, std::min(kMaxTraceLevel, atol(text)));
  _MTrace_SetLevel("default", static_cast<int>(level));
}

bool parse_args(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-' && !parse_option(argv[i] + 1)) return false;
  }
  return true;
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--coverage") == 0) return 0;
  signal(SIGINT, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);  // a peer that went away fails the write instead of ending the process
  GetMTraceLevelFromEnv();
  if (!parse_args(argc, argv)) {
    MERRLOG("main(): parse_args() failed");
    return 1;
  }
  MTRACE(2, "main(): Starting tcp server version = %.20s", ZORVANE_VERSION);
  ConfigureCommandChannel(&mts);
  return mts.Run() ? 0 : 1;
}
