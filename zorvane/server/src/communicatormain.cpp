// Process entry: trace level, command line, command-channel set-up, Run.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "commandline.h"
#include "mzorvanetcpserver.h"
#include "qdrcore.h"
#include "waits.h"
#include "wiretrace.h"

#ifndef ZORVANE_VERSION
#define ZORVANE_VERSION "unknown"
#endif
#ifndef ZORVANE_MANDIR
#define ZORVANE_MANDIR "/usr/share/man"
#endif

namespace {

// The program's own output, so it goes to standard output and not through
// the diagnostics; keep it in step with the manual page.
const char kUsage[] =
    "Usage: zorvane-server [-ps=PORT] [-b=ADDRESS] [-pc=PORT] [-pw=FD] [-pr=FD] [-s=SIZE]\n"
    "                      [-t=LEVEL] [-i=SECONDS] [-w=PATH]\n"
    "       zorvane-server --help | --version | --coverage\n"
    "\n"
    "Serves one TCP client at a time and forwards its transactions to a local\n"
    "command processor, reached over TCP on 127.0.0.1 or over two inherited pipes.\n"
    "Runs in the foreground; diagnostics go to standard error.\n"
    "\n"
    "Options (one argument each, the value after '='):\n"
    "  -ps=PORT   listen for clients on PORT (default 7073)\n"
    "  -b=ADDRESS listen on this numeric IPv4 or IPv6 address only (default every\n"
    "             IPv4 address, 0.0.0.0; :: is every address of both families)\n"
    "  -pc=PORT   reach the command processor at 127.0.0.1:PORT (default 37073)\n"
    "  -pw=FD     write commands to the inherited pipe FD\n"
    "  -pr=FD     read the processor's answers from the inherited pipe FD\n"
    "             (both: the pipes replace TCP; -pr= alone: commands over TCP,\n"
    "             answers from FD; -pw= alone leaves no way to read answers)\n"
    "  -s=SIZE    bytes asked for by one read of the answer pipe (default 16384)\n"
    "  -t=LEVEL   trace level 0 (off) to 5, set at once: put it first (default 2)\n"
    "  -i=SECONDS end a client connection on which nothing moved and no transaction\n"
    "             was open for SECONDS, 1 to 86400 (default 0: never)\n"
    "  -w=PATH    append every byte to and from the client and the command processor\n"
    "             to PATH, a line per read or write; SIGHUP reopens it\n"
    "  --help     print this text and exit\n"
    "  --version  print the name and version and exit\n"
    "  --coverage exit at once\n"
    "  --help, --version and --coverage count only as the sole argument.\n"
    "\n"
    "Environment:\n"
    "  MTRACE_LEVEL  initial trace level 0 to 5 (default 2); -t= overrides it\n"
    "  NOTIFY_SOCKET, WATCHDOG_USEC, LISTEN_FDS, JOURNAL_STREAM and the like\n"
    "                set by systemd: readiness, watchdog, a listener on descriptor 3,\n"
    "                priorities for the journal (see the manual)\n"
    "\n"
    "Exit status:\n"
    "  0  --help, --version or --coverage\n"
    "  1  the command line was rejected, start-up failed (command processor not\n"
    "     reachable, client address or port not usable, wire trace not writable)\n"
    "     or the command processor's pipes ended\n"
    "  Otherwise it runs until a signal ends it: SIGTERM (SIGINT is ignored;\n"
    "  SIGHUP reopens the wire trace with -w=, and ends the server without it).\n"
    "\n"
    "Manual: man 8 zorvane-server (in " ZORVANE_MANDIR "/man8)\n";

// 0, or 1 when standard output does not take the text.
int PrintAndExit(const char* text) {
  return fputs(text, stdout) < 0 || fflush(stdout) != 0 ? 1 : 0;
}

void ConfigureCommandChannel(MZorvaneTCPServer* server) {
  if (UsePipe) server->SetPipeCmdClient(CmdClient_WriterPipeId, CmdClient_ReaderPipeId, CmdClient_PipeSize);
  if (PortServer == 0 && PortClient == 0) return;
  if (PortServer == 0) PortServer = static_cast<int>(MZorvaneTCPSocket::kDefaultPort);
  if (PortClient == 0) PortClient = static_cast<int>(MZorvaneCmdClient::kDefaultPort);
  server->SetTcpPorts(static_cast<unsigned>(PortServer), static_cast<unsigned>(PortClient));
}

}  // namespace

MZorvaneTCPServer mts;

namespace {

void PingWatchdog() { mts.Manager().Notify("WATCHDOG=1"); }

// The service manager learns that the stop has begun; then the signal ends
// the process as it would have without the handler.
void NotifyStoppingAndEnd(int signal_number) {
  mts.Manager().Notify("STOPPING=1");
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

void ConnectServiceManager() {
  if (!mts.Manager().Connect()) return;
  signal(SIGTERM, NotifyStoppingAndEnd);
  SetPeriodicDuty(mts.Manager().WatchdogPingInterval(), PingWatchdog);
}

void ReopenWireTrace(int) { wire_trace->RequestReopen(); }

// With -w=, SIGHUP reopens the trace file (after a rotation); without it,
// SIGHUP keeps its default action.
bool OpenWireTrace() {
  static WireTrace trace;
  if (WireTracePath == nullptr) return true;
  if (!trace.Open(WireTracePath)) return false;
  wire_trace = &trace;
  struct sigaction action {};
  action.sa_handler = ReopenWireTrace;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGHUP, &action, nullptr);
  return true;
}

void ConfigureListener() {
  if (BindAddress != nullptr) mts.SetBindAddress(BindAddress);
  mts.SetIdleLimit(IdleLimitSeconds);
  const int inherited_listener = mts.Manager().InheritedListener();
  mts.SetInheritedListener(inherited_listener);
  if (inherited_listener != -1 && (BindAddress != nullptr || PortServer != 0)) {
    MTRACE(1,
           "main(): -b= and -ps= are ignored: the listener comes from systemd "
           "(change zorvane-server.socket instead)");
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Each only as the sole argument; elsewhere they are rejected like any unknown option.
  if (argc == 2 && strcmp(argv[1], "--coverage") == 0) return 0;
  if (argc == 2 && strcmp(argv[1], "--help") == 0) return PrintAndExit(kUsage);
  if (argc == 2 && strcmp(argv[1], "--version") == 0) return PrintAndExit("zorvane-server " ZORVANE_VERSION "\n");
  signal(SIGINT, SIG_IGN);
  GetMTraceLevelFromEnv();
  if (!parse_args(argc, argv)) {
    MERRLOG("main(): parse_args() failed");
    return 1;
  }
  MTRACE(2, "main(): Starting tcp server version = %.20s", ZORVANE_VERSION);
  if (!CheckPipeDescriptors()) return 1;
  ConfigureListener();  // before the ports get their defaults
  ConfigureCommandChannel(&mts);
  if (!OpenWireTrace()) return 1;
  ConnectServiceManager();
  return mts.Run() ? 0 : 1;
}
