// zorvane-cmdproc, driven from outside: the tests play the server on a
// loopback connection or as a spawned script and check the exact answer bytes.
#include <sys/stat.h>

#include <cstring>
#include <tuple>

#include "forms.h"
#include "net.h"
#include "process.h"

namespace {

const char kProcessor[] = ZORVANE_CMDPROC_BIN;
constexpr int kTimeoutMs = 10000;

TEST(CmdProcCommandLine, BadUsageExitsWith2AndAMissingServerWith127) {
  unsigned short taken = 0;
  int holder = ListenLoopback(&taken);
  const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
      {{}, 2, "missing --listen or --spawn"}, {{"--bogus"}, 2, "unknown option: --bogus"},
      {{"--listen", "0"}, 2, "invalid port: 0"}, {{"--listen", ""}, 2, "invalid port: "},
      {{"--listen", "65536"}, 2, "invalid port: 65536"}, {{"--listen", "1", "2"}, 2, "--listen takes at most one port"},
      {{"--spawn"}, 2, "--spawn needs a server program"}, {{"--help", "x"}, 2, "--help takes no arguments"},
      {{"--version", "x"}, 2, "--version takes no arguments"},
      {{"--spawn", "/nonexistent/server"}, 127, "cannot run /nonexistent/server: No such file or directory"},
      {{"--listen", std::to_string(taken)}, 1,
       "cannot listen on 127.0.0.1:" + std::to_string(taken) + ": Address already in use"},
  };
  for (const auto& [arguments, expected_status, message] : cases) {
    std::vector<std::string> argv = {kProcessor};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::string log;
    EXPECT_EQ(RunToExit(argv, &log), expected_status) << message;
    std::string hint = expected_status == 2 ? "Try 'zorvane-cmdproc --help'.\n" : "";
    EXPECT_EQ(log, "zorvane-cmdproc: " + message + "\n" + hint);
  }
  std::string log;
  EXPECT_EQ(RunToExit({"/bin/sh", "-c", "exec \"$0\" --help >/dev/full", kProcessor}, &log), 1) << "unwritten help";
  EXPECT_EQ(log, "zorvane-cmdproc: cannot write to standard output\n");
  CloseFd(&holder);
}

// A processor in --listen mode with one server connection, its session
// opened; each row: id, command, the answer before the marker.
TEST(CmdProcListening, AnswersAreExact) {
  const unsigned short port = FreeLoopbackPort();
  ChildProcess processor;
  ASSERT_TRUE(processor.Start({kProcessor, "--listen", std::to_string(port)}));
  int fd = ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  const std::string longest((64 << 10) - 5, 'b');
  const std::vector<std::tuple<unsigned, std::string, std::string>> cases = {
      {0, "open", ""}, {5, "echo hello world", "hello world\n"}, {9999, "echo", "\n"},
      {256, "echo   two  blanks ", "two  blanks \n"}, {7, "set colour dark  blue", ""},
      {8, "get colour", "dark  blue\n"}, {9, "get shape", "get: no value for shape\n"},
      {10, "set colour", "usage: set NAME VALUE\n"}, {12, "count 3", "1\n2\n3\n"}, {13, "count 0", ""},
      {14, "count -1", "count: invalid number: -1\n"}, {15, "frobnicate now", "unknown command: frobnicate\n"},
      {17, "", "unknown command: \n"}, {18, "sleep 1.2.3", "sleep: invalid seconds: 1.2.3\n"},
      {25, "sleep 0", ""}, {26, "sleep 1000001", "sleep: invalid seconds: 1000001\n"},
      {19, "preview 0", "preview: invalid seconds: 0\n"}, {20, "autoinfo 1 2", "usage: autoinfo [SECONDS]\n"},
      {21, "abort 0042", "abort: transaction 0042 is not running\n"}, {29, "abort 1 2", "usage: abort [TTTT]\n"},
      {30, "count 1000000000000001", "count: invalid number: 1000000000000001\n"},
      {22, "abort 10000", "abort: invalid transaction id: 10000\n"},
      {23, "echo " + std::string(100000, 'a'), "command too long\n"}, {24, "echo " + longest, longest + "\n"},
  };
  for (const auto& [id, command, answer] : cases) {
    ASSERT_TRUE(WriteAll(fd, WireRecord(id, command)));
    EXPECT_TRUE(Receives(fd, answer + Marker(id), kTimeoutMs)) << command;
  }
  // 1000 names are kept: beyond, a new name is refused and a known one still set.
  std::string names, markers;
  for (int i = 1; i < 1000; ++i) names += WireRecord(31, "set n" + std::to_string(i) + " v"), markers += Marker(31);
  ASSERT_TRUE(WriteAll(fd, names + WireRecord(32, "set new v") + WireRecord(33, "set colour red")));
  EXPECT_TRUE(Receives(fd, markers + "set: too many names\n" + Marker(32) + Marker(33), kTimeoutMs));
  EXPECT_EQ(ConnectNumeric("127.0.0.2", port), -1) << "listening beyond 127.0.0.1";
  // A sleep ends after a command sent well within it; "close" ends the session.
  ASSERT_TRUE(WriteAll(fd, WireRecord(27, "sleep 0.5")));
  usleep(20000);
  ASSERT_TRUE(WriteAll(fd, WireRecord(28, "echo after")));
  EXPECT_TRUE(Receives(fd, "after\n" + Marker(28) + Marker(27), kTimeoutMs));
  ASSERT_TRUE(WriteAll(fd, WireRecord(0, "close")));
  EXPECT_TRUE(Receives(fd, Marker(0), kTimeoutMs));
  // After "bye" only a new session is answered.
  ASSERT_TRUE(WriteAll(fd, WireRecord(0, "open") + WireRecord(34, "bye") + WireRecord(35, "echo ignored") +
                               WireRecord(0, "open") + WireRecord(36, "echo again")));
  EXPECT_TRUE(Receives(fd, Marker(0) + "bye\n" + Marker(34) + Marker(10000) + Marker(0) + "again\n" + Marker(36),
                       kTimeoutMs));
  // In a new session, periodic output starts at once and counts on.
  // An abort ends its target's output with the target's marker, then its own.
  ASSERT_TRUE(WriteAll(fd, WireRecord(0, "open") + WireRecord(29, "autoinfo 60") + WireRecord(30, "preview 0.01") +
                               WireRecord(31, "abort 0029")));
  EXPECT_TRUE(Receives(fd, Marker(0) + "autoinfo 1\npreview 1\n" + Marker(29) + Marker(31) + "preview 2\npreview 3\n",
                       kTimeoutMs));
  CloseFd(&fd);
}

// --spawn: a shell script plays the server on the pipes it is handed, with the
// arguments MODE STATUS after the pipe size. In mode talk it shows the pipe
// size option and the service manager's variables; in mode wait it ignores
// SIGINT, as the zorvane server does.
const char kServerScript[] = R"(#!/bin/sh
w=${1#-pw=}
r=${2#-pr=}
if [ "$4" = talk ]; then
  [ "$LISTEN_PID" = $$ ] && LISTEN_PID=server
  echo "$3 LISTEN_PID=$LISTEN_PID WATCHDOG_PID=$WATCHDOG_PID" >&2
  printf '\000\000open\000\000\005echo hi\000' >&"$w"
  eval "exec $w>&-"
  timeout 5 od -An -v -tx1 <&"$r" >&2
  exit "$5"
fi
# A child left holding the pipes must not hide the server's end.
[ "$4" = orphan ] && { cat <&"$r" >/dev/null & exit "$5"; }
trap '' INT
[ -z "$5" ] || trap "exit $5" TERM HUP
echo ready >&2
for n in $(seq 100); do sleep 0.1; done
)";

// The server script in a file of its own, removed at the end.
struct ServerScript {
  ServerScript() {
    char pattern[] = "/tmp/zorvane-cmdproc-server-XXXXXX";
    int fd = mkstemp(pattern);
    path = pattern;
    WriteAll(fd, kServerScript);
    fchmod(fd, 0700);
    close(fd);
  }
  ~ServerScript() { unlink(path.c_str()); }
  std::string path;
};

// The pipes carry the bytes and the server's status is passed on; SIGTERM
// and SIGINT reach the server as SIGTERM, SIGHUP as SIGHUP. A LISTEN_PID naming the processor
// is handed on to the server, a WATCHDOG_PID naming another stays.
TEST(CmdProcSpawn, PipesStatusAndSignals) {
  ServerScript script;
  std::string log;
  EXPECT_EQ(RunToExit({"/bin/sh", "-c", "export LISTEN_PID=$$ WATCHDOG_PID=1; exec \"$0\" \"$@\"", kProcessor,
                       "--spawn", script.path, "talk", "3"}, &log), 3);
  // od sees the end only if no other copy of the answer pipe's write end reached the server.
  EXPECT_EQ(log, "-s=16384 LISTEN_PID=server WATCHDOG_PID=1\n 00 00 00 68 69 0a 00 00 05\n");
  // Signal to the processor, the server's exit status on SIGTERM ("" to die of it), the processor's status.
  for (const auto& [signal_number, term_status, expected] :
       {std::make_tuple(SIGTERM, "", 128 + SIGTERM), std::make_tuple(SIGINT, "7", 7),
        std::make_tuple(SIGHUP, "9", 9)}) {
    ChildProcess processor;
    ASSERT_TRUE(processor.Start({kProcessor, "--spawn", script.path, "wait", term_status}));
    WaitUntil([&] { return !processor.Stderr().empty(); }, kTimeoutMs);
    ASSERT_EQ(processor.Stderr(), "ready\n");
    EXPECT_EQ(processor.Stop(signal_number), expected) << strsignal(signal_number);
    EXPECT_EQ(processor.Stderr(), "ready\n");
  }
  EXPECT_EQ(RunToExit({kProcessor, "--spawn", script.path, "orphan", "5"}, &log), 5);
}

}  // namespace
