// zorvane-cmdproc, driven from outside: the tests play the server on a
// loopback connection or as a spawned script and check the exact answer bytes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "net.h"
#include "process.h"

namespace {

const char kProcessor[] = ZORVANE_CMDPROC_BIN;
constexpr int kTimeoutMs = 10000;
// More than any test reads at once; it ends a stream that does not stop.
constexpr size_t kMaxStream = 64 << 20;

std::string Record(unsigned id, const std::string& text) {
  return std::string{static_cast<char>(id >> 8), static_cast<char>(id & 0xFF)} + text + '\0';
}

std::string Marker(unsigned id) {
  return std::string{'\0', static_cast<char>(id >> 8), static_cast<char>(id & 0xFF)};
}

// The answer stream in readable form: text as it is, each marker 00 HH LL as <T>.
std::string Describe(const std::string& bytes) {
  std::string text;
  for (size_t at = 0; at < bytes.size(); ++at) {
    if (bytes[at] != '\0') {
      text += bytes[at];
    } else if (at + 3 > bytes.size()) {
      return text + "<cut marker>";
    } else {
      unsigned id = static_cast<unsigned char>(bytes[at + 1]) * 256u + static_cast<unsigned char>(bytes[at + 2]);
      text += "<" + std::to_string(id) + ">";
      at += 2;
    }
  }
  return text;
}

// Where the marker of id ends in the stream; 0 while it has not come.
size_t EndOfMarker(const std::string& bytes, unsigned id) {
  for (size_t at = bytes.find('\0'); at != std::string::npos && at + 3 <= bytes.size(); at = bytes.find('\0', at + 3)) {
    if (bytes.compare(at, 3, Marker(id)) == 0) return at + 3;
  }
  return 0;
}

// What follows the last line of an answer: the markers at its end.
std::string Tail(const std::string& answer) { return answer.substr(answer.rfind('\n') + 1); }

// How many lines PREFIX1, PREFIX2, ... the text starts with; *end is where they stop.
size_t NumberedLines(const std::string& text, const std::string& prefix, size_t* end) {
  size_t lines = 0;
  for (*end = 0;; ++lines) {
    std::string line = prefix + std::to_string(lines + 1) + "\n";
    if (text.compare(*end, line.size(), line) != 0) return lines;
    *end += line.size();
  }
}

TEST(CmdProcCommandLine, BadUsageExitsWith2AndAMissingServerWith127) {
  const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
      {{}, 2, "missing --listen or --spawn"},
      {{"--bogus"}, 2, "unknown option: --bogus"},
      {{"--listen", "0"}, 2, "invalid port: 0"},
      {{"--listen", "65536"}, 2, "invalid port: 65536"},
      {{"--listen", "1", "2"}, 2, "--listen takes at most one port"},
      {{"--spawn"}, 2, "--spawn needs a server program"},
      {{"--help", "x"}, 2, "--help takes no arguments"},
      {{"--version", "x"}, 2, "--version takes no arguments"},
      {{"--spawn", "/nonexistent/server"}, 127, "cannot run /nonexistent/server: No such file or directory"},
  };
  for (const auto& [arguments, expected_status, message] : cases) {
    std::vector<std::string> argv = {kProcessor};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildProcess processor;
    ASSERT_TRUE(processor.Start(argv));
    int status = -1;
    ASSERT_TRUE(processor.WaitExit(kTimeoutMs, &status)) << message;
    EXPECT_EQ(status, expected_status) << message;
    std::string hint = expected_status == 2 ? "Try 'zorvane-cmdproc --help'.\n" : "";
    EXPECT_EQ(processor.Stderr(), "zorvane-cmdproc: " + message + "\n" + hint);
  }
}

// A processor in --listen mode with one server connection, its session opened.
class Listening : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreeLoopbackPort();
    ASSERT_TRUE(processor_.Start({kProcessor, "--listen", std::to_string(port_)}));
    Connect();
    ASSERT_EQ(Ask(0, "open"), "<0>");
  }

  void TearDown() override { CloseFd(&fd_); }

  void Connect() {
    CloseFd(&fd_);
    pending_.clear();
    fd_ = ConnectLoopback(port_);
    ASSERT_GE(fd_, 0);
  }

  std::string Ask(unsigned id, const std::string& text) {
    return WriteAll(fd_, Record(id, text)) ? Through(id) : "<send failed>";
  }

  // The stream up to the marker of id, described; what came and "<no marker>" when it does not come.
  std::string Through(unsigned id) {
    size_t end = 0;
    bool seen = ReadUntil([&] { return (end = EndOfMarker(pending_, id)) != 0; });
    return seen ? Take(end) : Take(pending_.size()) + "<no marker>";
  }

  bool ReadUntilText(const std::string& text) {
    return ReadUntil([&] { return pending_.find(text) != std::string::npos; });
  }

  // Whatever else comes until the stream has been quiet for quiet_ms, described.
  std::string Rest(int quiet_ms = 300) {
    pending_ += ReadAvailable(fd_, quiet_ms);
    return Take(pending_.size());
  }

  template <typename Done>
  bool ReadUntil(Done done) {
    char chunk[65536];
    while (!done()) {
      bool more = pending_.size() < kMaxStream && WaitReadable(fd_, kTimeoutMs);
      ssize_t count = more ? read(fd_, chunk, sizeof(chunk)) : 0;
      if (count <= 0) return false;
      pending_.append(chunk, static_cast<size_t>(count));
    }
    return true;
  }

  std::string Take(size_t length) {
    std::string taken = Describe(pending_.substr(0, length));
    pending_.erase(0, length);
    return taken;
  }

  ChildProcess processor_;
  unsigned short port_ = 0;
  int fd_ = -1;
  std::string pending_;  // read, not yet taken
};

TEST_F(Listening, AnswersAreExact) {
  // Id, command, answer before the marker.
  const std::vector<std::tuple<unsigned, std::string, std::string>> cases = {
      {0, "close", ""},
      {0, "open", ""},
      {5, "echo hello world", "hello world\n"},
      {9999, "echo", "\n"},
      {256, "echo   two  blanks ", "two  blanks \n"},
      {7, "set colour dark  blue", ""},
      {8, "get colour", "dark  blue\n"},
      {9, "get shape", "get: no value for shape\n"},
      {10, "set colour", "usage: set NAME VALUE\n"},
      {12, "count 3", "1\n2\n3\n"},
      {13, "count 0", ""},
      {14, "count -1", "count: invalid number: -1\n"},
      {15, "frobnicate now", "unknown command: frobnicate\n"},
      {17, "", "unknown command: \n"},
      {18, "sleep 1.2.3", "sleep: invalid seconds: 1.2.3\n"},
      {19, "preview 0", "preview: invalid seconds: 0\n"},
      {20, "autoinfo 1 2", "usage: autoinfo [SECONDS]\n"},
      {21, "abort 0042", "abort: transaction 0042 is not running\n"},
      {22, "abort 10000", "abort: invalid transaction id: 10000\n"},
  };
  for (const auto& [id, command, answer] : cases) {
    EXPECT_EQ(Ask(id, command), answer + "<" + std::to_string(id) + ">") << command;
  }
  EXPECT_EQ(Rest(), "");
}

TEST_F(Listening, SleepsEndLaterWhileOtherTransactionsGoOn) {
  ASSERT_TRUE(WriteAll(fd_, Record(1, "sleep 0.6") + Record(2, "sleep .1") + Record(3, "echo meanwhile")));
  EXPECT_EQ(Through(1), "meanwhile\n<3><2><1>");
}

TEST_F(Listening, AbortEndsOneOrAllRunningTransactionsWithTheirMarkersThenItsOwn) {
  // A periodic command prints numbered lines until it is aborted.
  ASSERT_TRUE(WriteAll(fd_, Record(2, "preview 0.02")));
  ASSERT_TRUE(ReadUntilText("preview 3\n"));
  std::string answer = Ask(3, "abort 2");
  size_t end = 0;
  EXPECT_GE(NumberedLines(answer, "preview ", &end), 3u);
  EXPECT_EQ(answer.substr(end), "<2><3>");
  // A streaming count, too; without a target, in the order of the ids.
  ASSERT_TRUE(WriteAll(fd_, Record(40, "autolatch 100") + Record(4, "count 10000000") + Record(1, "sleep 100") +
                                Record(5, "count 10000000")));
  ASSERT_TRUE(ReadUntilText("\n1000\n"));
  answer = Ask(6, "abort 0004");
  EXPECT_EQ(Tail(answer), "<4><6>");
  answer = Ask(7, "abort");
  EXPECT_EQ(Tail(answer), "<1><5><40><7>");
  EXPECT_EQ(Rest(), "");
}

TEST_F(Listening, ByeAndCloseEndTheSessionWithoutTheMarkersOfWhatRuns) {
  ASSERT_TRUE(WriteAll(fd_, Record(1, "sleep 0.2") + Record(3, "bye")));
  std::string bytes;
  ASSERT_TRUE(ReadExactly(fd_, 10, &bytes));
  EXPECT_EQ(bytes, "bye\n" + Marker(3) + std::string("\x00\x27\x10", 3));
  // Until the next open, other commands are ignored.
  ASSERT_TRUE(WriteAll(fd_, Record(4, "echo late") + Record(0, "open") + Record(5, "echo again")));
  EXPECT_EQ(Through(5), "<0>again\n<5>");
  ASSERT_TRUE(WriteAll(fd_, Record(6, "sleep 0.2")));
  EXPECT_EQ(Ask(0, "close"), "<0>");
  EXPECT_EQ(Rest(400), "") << "the sleeps of an ended session must not answer";
}

TEST_F(Listening, RecordsMaySplitAcrossWritesOrShareOne) {
  for (char byte : Record(5, "echo split")) {
    ASSERT_TRUE(WriteAll(fd_, std::string(1, byte)));
    usleep(2000);
  }
  EXPECT_EQ(Through(5), "split\n<5>");
  // Id 256 has 0x00 as its low byte: the terminator is searched only behind the id.
  ASSERT_TRUE(WriteAll(fd_, Record(6, "echo a") + Record(256, "echo b")));
  EXPECT_EQ(Through(256), "a\n<6>b\n<256>");
}

TEST_F(Listening, MalformedInputIsReportedAndSurvived) {
  EXPECT_EQ(Ask(1, "set gain 12"), "<1>");
  ASSERT_TRUE(WriteAll(fd_, Record(10000, "echo x") + Record(65535, "echo y")));
  EXPECT_EQ(Ask(2, "echo " + std::string(100000, 'a')), "command too long\n<2>");
  EXPECT_EQ(Ask(3, "echo fine"), "fine\n<3>");
  // A text of exactly the longest length is a command, also while its terminator is still to come.
  const std::string longest = Record(6, "echo " + std::string((64 << 10) - 5, 'b'));
  ASSERT_TRUE(WriteAll(fd_, longest.substr(0, longest.size() - 1)));
  usleep(100000);
  ASSERT_TRUE(WriteAll(fd_, std::string(1, '\0')));
  EXPECT_EQ(Through(6), std::string((64 << 10) - 5, 'b') + "\n<6>");
  // A record cut off by the end of the connection is dropped; the next
  // connection is served, with the values kept.
  ASSERT_TRUE(WriteAll(fd_, std::string("\x00\x08", 2) + "echo never"));
  Connect();
  EXPECT_EQ(Ask(0, "open"), "<0>");
  EXPECT_EQ(Ask(4, "get gain"), "12\n<4>");
  EXPECT_EQ(processor_.Stderr(),
            "zorvane-cmdproc: record with invalid transaction id 10000 ignored\n"
            "zorvane-cmdproc: record with invalid transaction id 65535 ignored\n"
            "zorvane-cmdproc: incomplete command record at the end of the input ignored\n");
}

TEST_F(Listening, ACountWaitsForTheServerToReadInsteadOfFillingMemory) {
  const size_t kLines = 1000000;  // about 7 MB of answer
  long before = processor_.StatusKb("VmRSS");
  ASSERT_GT(before, 0);
  ASSERT_TRUE(WriteAll(fd_, Record(5, "count " + std::to_string(kLines))));
  usleep(300000);  // the server does not read meanwhile
  std::string answer = Through(5);
  EXPECT_LT(processor_.StatusKb("VmHWM") - before, 3 * 1024) << "kB more at the peak";
  size_t end = 0;
  EXPECT_EQ(NumberedLines(answer, "", &end), kLines);
  EXPECT_EQ(answer.substr(end), "<5>");
}

// --spawn: a shell script plays the server on the pipes it is handed, with the
// arguments MODE STATUS after the pipe size. In mode talk it shows the pipe
// size option; in mode wait it ignores SIGINT, as the zorvane server does.
const char kServerScript[] = R"(#!/bin/sh
w=${1#-pw=}
r=${2#-pr=}
if [ "$4" = talk ]; then
  echo "$3" >&2
  printf '\000\000open\000\000\005echo hi\000' >&"$w"
  eval "exec $w>&-"
  timeout 5 od -An -v -tx1 <&"$r" >&2
  exit "$5"
fi
trap '' INT
[ -z "$5" ] || trap "exit $5" TERM
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

TEST(CmdProcSpawn, ThePipesCarryTheBytesAndTheServersStatusIsPassedOn) {
  ServerScript script;
  ChildProcess processor;
  ASSERT_TRUE(processor.Start({kProcessor, "--spawn", script.path, "talk", "3"}));
  int status = -1;
  ASSERT_TRUE(processor.WaitExit(kTimeoutMs, &status));
  EXPECT_EQ(status, 3);
  // od sees the end only if no other copy of the answer pipe's write end reached the server.
  EXPECT_EQ(processor.Stderr(), "-s=16384\n 00 00 00 68 69 0a 00 00 05\n");
}

TEST(CmdProcSpawn, SigtermAndSigintReachTheServerAsSigterm) {
  ServerScript script;
  // Signal to the processor, the server's exit status on SIGTERM ("" to die of it), the processor's status.
  for (const auto& [signal_number, term_status, expected] :
       {std::make_tuple(SIGTERM, "", 128 + SIGTERM), std::make_tuple(SIGINT, "7", 7)}) {
    ChildProcess processor;
    ASSERT_TRUE(processor.Start({kProcessor, "--spawn", script.path, "wait", term_status}));
    for (int tries = 0; tries < 1000 && processor.Stderr().empty(); ++tries) usleep(10000);
    ASSERT_EQ(processor.Stderr(), "ready\n");
    EXPECT_EQ(processor.Stop(signal_number), expected) << strsignal(signal_number);
    EXPECT_EQ(processor.Stderr(), "ready\n");
  }
}

}  // namespace
