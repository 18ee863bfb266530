// The command line: the options and the trace level from the environment.
#include "commandline.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "qdrcore.h"

int PortServer = 0;
int PortClient = 0;
bool UsePipe = false;
int CmdClient_PipeSize = -1;
int CmdClient_ReaderPipeId = -1;
int CmdClient_WriterPipeId = -1;
const char* BindAddress = nullptr;
int IdleLimitSeconds = 0;
const char* WireTracePath = nullptr;

namespace {

constexpr int kStartupTraceLevel = 2;
constexpr long kMaxIdleLimitSeconds = 86400;
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

// Reads as atoi does, except that a value beyond an int gives the nearest
// bound: atoi leaves that undefined, and a truncated -pw=4294967299 would
// name descriptor 3.
int ReadLeadingInt(const char* text) {
  long number = strtol(text, nullptr, 10);
  return static_cast<int>(std::clamp<long>(number, INT_MIN, INT_MAX));
}

bool parse_pipe_size(const char* after_letter) {
  if (after_letter[0] != '=') {
    MERRLOG("Option not available!\n");
    return false;
  }
  CmdClient_PipeSize = ReadLeadingInt(after_letter + 1);
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

bool IsNumericAddress(const char* text) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, text, address) == 1 || inet_pton(AF_INET6, text, address) == 1;
}

// Why the value of -b=, -i= or -w= cannot be taken; nullptr once it is stored.
const char* store_valued_option(char letter, const char* value) {
  switch (letter) {
    case 'b':
      if (!IsNumericAddress(value)) return "not a numeric IPv4 or IPv6 address";
      BindAddress = value;
      return nullptr;
    case 'i':
      if (!ReadWholeInt(value, 0, kMaxIdleLimitSeconds, &IdleLimitSeconds)) {
        return "not a whole number of seconds from 0 to 86400";
      }
      return nullptr;
    default:
      if (value[0] == '\0') return "no path";
      WireTracePath = value;
      return nullptr;
  }
}

// -b=ADDRESS, -i=SECONDS, -w=PATH: `after_letter` is what follows the letter.
bool parse_valued_option(char letter, const char* after_letter) {
  if (after_letter[0] != '=') {
    MERRLOG("Option not available!\n");
    return false;
  }
  const char* value = after_letter + 1;
  const char* problem = store_valued_option(letter, value);
  if (problem == nullptr) return true;
  MERRLOG("parse_args(): invalid parameter -%c=%s: %s", letter, value, problem);
  return false;
}

// The letters after "-p": a lone "p" is passed over.
bool parse_p_option(const char* after_letter) {
  if (after_letter[0] == '\0') return true;
  if (after_letter[1] == '=') {
    const char* value = after_letter + 2;
    switch (after_letter[0]) {
      case 'w':
        CmdClient_WriterPipeId = ReadLeadingInt(value);
        UsePipe = true;
        return true;
      case 'r':
        CmdClient_ReaderPipeId = ReadLeadingInt(value);
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
    case 'b':
    case 'i':
    case 'w':
      return parse_valued_option(letters[0], letters + 1);
    default:
      MERRLOG("Option not available!\n");
      return false;
  }
}

// `unusable_mode` is the access mode that cannot serve the pipe's direction.
bool CheckPipeDescriptor(const char* option, int fd, int unusable_mode, const char* direction) {
  if (fd >= FD_SETSIZE) {
    MERRLOG("main(): %s=%d: descriptor is not below FD_SETSIZE (%d)", option, fd, FD_SETSIZE);
    return false;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1) {
    MERRLOG_ERRNO("main(): %s=%d: descriptor is not open", option, fd);
    return false;
  }
  if ((flags & O_ACCMODE) == unusable_mode) {
    MERRLOG("main(): %s=%d: descriptor is not open for %s", option, fd, direction);
    return false;
  }
  return true;
}

}  // namespace

bool CheckPipeDescriptors() {
  if (CmdClient_WriterPipeId >= 1 && !CheckPipeDescriptor("-pw", CmdClient_WriterPipeId, O_RDONLY, "writing")) {
    return false;
  }
  return CmdClient_ReaderPipeId < 0 || CheckPipeDescriptor("-pr", CmdClient_ReaderPipeId, O_WRONLY, "reading");
}

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
