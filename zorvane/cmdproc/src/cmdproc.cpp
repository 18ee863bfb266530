// zorvane-cmdproc: the reference command processor of the zorvane transaction
// server. It receives command records from the server over TCP or pipes and
// answers with text lines and transaction end markers.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "modes.h"
#include "parsing.h"

namespace {

constexpr unsigned short kDefaultPort = 37073;
constexpr int kUsageStatus = 2;

#ifndef ZORVANE_VERSION
#define ZORVANE_VERSION "unknown"
#endif
const char kVersion[] = "zorvane-cmdproc " ZORVANE_VERSION "\n";

const char kUsage[] =
    "usage: zorvane-cmdproc --listen [PORT]\n"
    "       zorvane-cmdproc --spawn SERVER [ARGS...]\n"
    "       zorvane-cmdproc --help | --version\n"
    "\n"
    "The reference command processor of the zorvane transaction server.\n"
    "\n"
    "  --listen [PORT]  serve one server connection after another on\n"
    "                   127.0.0.1:PORT (default 37073)\n"
    "  --spawn SERVER [ARGS...]\n"
    "                   start SERVER -pw=FD -pr=FD -s=16384 ARGS... on two pipes,\n"
    "                   serve them, pass SIGTERM and SIGINT (Ctrl-C) on to it as\n"
    "                   SIGTERM and SIGHUP as SIGHUP, and exit with its status (128+N when signal N\n"
    "                   ended it, 127 when it could not be started); LISTEN_PID\n"
    "                   and WATCHDOG_PID naming the processor are handed on to it\n"
    "  --help           show this text\n"
    "  --version        show the name and version\n"
    "\n"
    "Commands, each with a transaction id T; every answer ends with the end\n"
    "marker of T (the bytes 0x00, T high byte, T low byte):\n"
    "  open, close      begin and end a client session; both end all running\n"
    "                   transactions without their markers\n"
    "  echo TEXT        prints TEXT\n"
    "  set NAME VALUE   keeps VALUE (the rest of the line) under NAME as long as\n"
    "                   the processor runs; prints nothing\n"
    "  get NAME         prints the value of NAME, or \"get: no value for NAME\"\n"
    "  sleep SECONDS    ends after SECONDS (fractions allowed); others go on meanwhile\n"
    "  count N          prints the lines 1 to N\n"
    "  autoinfo [SECONDS], autolatch [SECONDS], preview [SECONDS]\n"
    "                   print \"WORD K\" (K = 1, 2, ...) at once and then every\n"
    "                   SECONDS (default 1) until aborted\n"
    "  abort TTTT       ends transaction TTTT with its marker, then itself;\n"
    "                   \"abort: transaction TTTT is not running\" if it is not\n"
    "  abort            ends all running transactions with their markers\n"
    "                   (lowest id first), then itself\n"
    "  bye              prints \"bye\", ends itself, then asks the server to end\n"
    "                   the client connection (marker 10000); commands other\n"
    "                   than open and close are ignored until the next open\n"
    "  anything else    prints \"unknown command: WORD\"\n"
    "Wrong arguments print one line, \"usage: ...\" or \"WORD: invalid ...\".\n"
    "Records with an id above 9999 are ignored, with a message on stderr.\n";

int UsageError(const std::string& problem) {
  Warn("%s", problem.c_str());
  fputs("Try 'zorvane-cmdproc --help'.\n", stderr);
  return kUsageStatus;
}

int ShowText(const char* text) {
  fputs(text, stdout);
  if (fflush(stdout) != 0) {
    Warn("cannot write to standard output");
    return 1;
  }
  return 0;
}

int Listen(const std::vector<std::string>& arguments) {
  if (arguments.size() > 2) return UsageError("--listen takes at most one port");
  unsigned long long port = kDefaultPort;
  if (arguments.size() == 2 && (!ParseDecimal(arguments[1], 65535, &port) || port == 0)) {
    return UsageError("invalid port: " + arguments[1]);
  }
  return RunListening(static_cast<unsigned short>(port));
}

int Spawn(const std::vector<std::string>& arguments) {
  if (arguments.size() < 2) return UsageError("--spawn needs a server program");
  return RunSpawned(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
}

}  // namespace

int main(int argc, char** argv) {
  // A server that goes away mid-write ends only that channel.
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.empty()) return UsageError("missing --listen or --spawn");
  const std::string& mode = arguments[0];
  if (mode == "--help" || mode == "-h") return arguments.size() == 1 ? ShowText(kUsage) : UsageError("--help takes no arguments");
  if (mode == "--version") return arguments.size() == 1 ? ShowText(kVersion) : UsageError("--version takes no arguments");
  if (mode == "--listen") return Listen(arguments);
  if (mode == "--spawn") return Spawn(arguments);
  return UsageError("unknown option: " + mode);
}
