// zorvane-cmdproc, driven from outside: the tests play the server on a
// loopback connection or as a spawned script and check the exact answer bytes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net.h"

namespace {

const char kProcessor[] = ZORVANE_CMDPROC_BIN;
constexpr int kAnswerTimeoutMs = 5000;
constexpr int kExitTimeoutMs = 5000;

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A program started by a test. It is stopped (SIGTERM, then SIGKILL) at the
// latest when the object goes out of scope.
class Process {
 public:
  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() { Stop(); }

  // Starts argv[0] with stdin from /dev/null and no descriptors beyond 2;
  // stdout and stderr go to the given files, or stay the test's own for "".
  bool Start(const std::vector<std::string>& argv, const std::string& stdout_path = "",
             const std::string& stderr_path = "") {
    std::vector<char*> arguments;
    for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      RedirectInChild(stdout_path, STDOUT_FILENO, O_WRONLY | O_CREAT | O_TRUNC);
      RedirectInChild(stderr_path, STDERR_FILENO, O_WRONLY | O_CREAT | O_TRUNC);
      RedirectInChild("/dev/null", STDIN_FILENO, O_RDONLY);
      for (int fd = 3; fd < 1024; ++fd) close(fd);
      execv(arguments[0], arguments.data());
      _exit(127);
    }
    return true;
  }

  pid_t pid() const { return pid_; }

  bool Signal(int signal_number) const { return pid_ > 0 && kill(pid_, signal_number) == 0; }

  // Waits up to timeout_ms for the end; *status is the exit status, or 128+N after signal N.
  bool WaitForExit(int timeout_ms, int* status) {
    steady_clock::time_point deadline = steady_clock::now() + milliseconds(timeout_ms);
    while (pid_ > 0) {
      int wait_status = 0;
      pid_t done = waitpid(pid_, &wait_status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        *status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
        return true;
      }
      if (done < 0 || steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
  }

  void Stop() {
    if (pid_ <= 0) return;
    int status = 0;
    Signal(SIGTERM);
    if (WaitForExit(3000, &status)) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  static void RedirectInChild(const std::string& path, int target, int flags) {
    if (path.empty()) return;
    int fd = open(path.c_str(), flags, 0600);
    if (fd >= 0 && fd != target) {
      dup2(fd, target);
      close(fd);
    }
  }

  pid_t pid_ = -1;
};

// A fresh directory, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/zorvane-cmdproc-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  bool ok() const { return !path_.empty(); }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WaitForFile(const std::string& path, int timeout_ms) {
  steady_clock::time_point deadline = steady_clock::now() + milliseconds(timeout_ms);
  while (access(path.c_str(), F_OK) != 0) {
    if (steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

long ResidentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::string Record(unsigned id, const std::string& text) {
  std::string bytes;
  bytes += static_cast<char>(id >> 8);
  bytes += static_cast<char>(id & 0xFF);
  bytes += text;
  bytes += '\0';
  return bytes;
}

std::string Marker(unsigned id) {
  std::string bytes(1, '\0');
  bytes += static_cast<char>(id >> 8);
  bytes += static_cast<char>(id & 0xFF);
  return bytes;
}

unsigned MarkerId(const std::string& bytes, size_t position) {
  return static_cast<unsigned char>(bytes[position + 1]) * 256u + static_cast<unsigned char>(bytes[position + 2]);
}

// The answer stream in readable form: text as it is, each marker as <T>.
std::string Describe(const std::string& bytes) {
  std::string described;
  size_t position = 0;
  while (position < bytes.size()) {
    if (bytes[position] != '\0') {
      described += bytes[position++];
    } else if (position + 3 <= bytes.size()) {
      described += "<" + std::to_string(MarkerId(bytes, position)) + ">";
      position += 3;
    } else {
      described += "<incomplete marker>";
      break;
    }
  }
  return described;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The lines PREFIX1 LF PREFIX2 LF ... at the start of text; returns how many there are.
unsigned long long CountNumberedLines(const std::string& text, const std::string& prefix, size_t* end) {
  unsigned long long number = 0;
  size_t position = 0;
  for (;;) {
    std::string expected = prefix + std::to_string(number + 1) + "\n";
    if (text.compare(position, expected.size(), expected) != 0) break;
    position += expected.size();
    ++number;
  }
  *end = position;
  return number;
}

// Reads an answer stream and keeps what was read beyond what a test asked for.
class AnswerStream {
 public:
  explicit AnswerStream(int fd) : fd_(fd) {}

  // The stream up to and including the marker of id, described; on a
  // timeout or the end of the stream, what came, followed by "<no marker>".
  std::string Through(unsigned id, int timeout_ms = kAnswerTimeoutMs) {
    steady_clock::time_point deadline = steady_clock::now() + milliseconds(timeout_ms);
    size_t scanned = 0;
    for (;;) {
      while (scanned < buffer_.size()) {
        if (buffer_[scanned] != '\0') {
          ++scanned;
          continue;
        }
        if (scanned + 3 > buffer_.size()) break;
        unsigned found = MarkerId(buffer_, scanned);
        scanned += 3;
        if (found == id) return Take(scanned);
      }
      if (!ReadMore(deadline)) return Take(buffer_.size()) + "<no marker>";
    }
  }

  // Reads until the raw stream holds text; false on a timeout or the end of the stream.
  bool ReadUntilContains(const std::string& text, int timeout_ms = kAnswerTimeoutMs) {
    steady_clock::time_point deadline = steady_clock::now() + milliseconds(timeout_ms);
    while (buffer_.find(text) == std::string::npos) {
      if (!ReadMore(deadline)) return false;
    }
    return true;
  }

  // Whatever else arrives until the stream has been quiet for quiet_ms, described.
  std::string Rest(int quiet_ms = 300) {
    buffer_ += ReadAvailable(fd_, quiet_ms);
    return Take(buffer_.size());
  }

 private:
  bool ReadMore(steady_clock::time_point deadline) {
    long long left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0 || !WaitReadable(fd_, static_cast<int>(left))) return false;
    char chunk[65536];
    ssize_t count = read(fd_, chunk, sizeof(chunk));
    if (count <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(count));
    return true;
  }

  std::string Take(size_t length) {
    std::string taken = buffer_.substr(0, length);
    buffer_.erase(0, length);
    return Describe(taken);
  }

  int fd_;
  std::string buffer_;
};

// ---------------------------------------------------------------------------
// Command line

TEST(CmdProcCommandLine, HelpListsTheModesAndEveryCommand) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Process process;
  ASSERT_TRUE(process.Start({kProcessor, "--help"}, dir.File("out"), dir.File("err")));
  int status = -1;
  ASSERT_TRUE(process.WaitForExit(kExitTimeoutMs, &status));
  EXPECT_EQ(status, 0);
  std::string help = ReadFile(dir.File("out"));
  for (const char* word : {"--listen", "--spawn", "37073", "open", "close", "echo", "set", "get", "sleep", "count",
                           "autoinfo", "autolatch", "preview", "abort", "bye", "unknown command"}) {
    EXPECT_NE(help.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(ReadFile(dir.File("err")), "");
}

TEST(CmdProcCommandLine, BadUsageSaysWhyOnStderrAndExitsWith2) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--bogus"},
      {"--listen", "port"},
      {"--listen", "0"},
      {"--listen", "65536"},
      {"--listen", "4000", "4001"},
      {"--spawn"},
      {"--help", "extra"},
  };
  for (const std::vector<std::string>& arguments : cases) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::vector<std::string> argv = {kProcessor};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Process process;
    ASSERT_TRUE(process.Start(argv, dir.File("out"), dir.File("err")));
    int status = -1;
    ASSERT_TRUE(process.WaitForExit(kExitTimeoutMs, &status));
    std::string shown = arguments.empty() ? "(none)" : arguments[0];
    EXPECT_EQ(status, 2) << shown;
    EXPECT_EQ(ReadFile(dir.File("out")), "") << shown;
    EXPECT_EQ(ReadFile(dir.File("err")).rfind("zorvane-cmdproc: ", 0), 0u) << shown;
  }
}

TEST(CmdProcCommandLine, PortInUseExitsWith1) {
  unsigned short port = 0;
  int taken = ListenLoopback(&port);
  ASSERT_GE(taken, 0);
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Process process;
  ASSERT_TRUE(process.Start({kProcessor, "--listen", std::to_string(port)}, "", dir.File("err")));
  int status = -1;
  ASSERT_TRUE(process.WaitForExit(kExitTimeoutMs, &status));
  EXPECT_EQ(status, 1);
  EXPECT_NE(ReadFile(dir.File("err")).find("cannot listen on 127.0.0.1:" + std::to_string(port)), std::string::npos);
  CloseFd(&taken);
}

// ---------------------------------------------------------------------------
// A processor in --listen mode with one server connection, its session opened.

class ListeningProcessor : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    port_ = FreeLoopbackPort();
    ASSERT_NE(port_, 0);
    ASSERT_TRUE(process_.Start({kProcessor, "--listen", std::to_string(port_)}, "", dir_.File("err")));
    Connect();
    ASSERT_EQ(Ask(0, "open"), "<0>");
  }

  void TearDown() override {
    CloseFd(&fd_);
    process_.Stop();
  }

  void Connect() {
    CloseFd(&fd_);
    fd_ = ConnectLoopback(port_);
    ASSERT_GE(fd_, 0);
    stream_.reset(new AnswerStream(fd_));
  }

  void Send(unsigned id, const std::string& text) { ASSERT_TRUE(WriteAll(fd_, Record(id, text))); }

  std::string Ask(unsigned id, const std::string& text) {
    if (!WriteAll(fd_, Record(id, text))) return "<send failed>";
    return stream_->Through(id);
  }

  std::string Stderr() { return ReadFile(dir_.File("err")); }

  TempDir dir_;
  unsigned short port_ = 0;
  Process process_;
  int fd_ = -1;
  std::unique_ptr<AnswerStream> stream_;
};

TEST_F(ListeningProcessor, OpenAndCloseAnswerExactlyTheMarkerForZero) {
  ASSERT_TRUE(WriteAll(fd_, Record(0, "close") + Record(0, "open")));
  std::string bytes;
  ASSERT_TRUE(ReadExactly(fd_, 6, &bytes));
  EXPECT_EQ(bytes, std::string(6, '\0'));
  EXPECT_EQ(ReadAvailable(fd_, 100), "");
}

TEST_F(ListeningProcessor, EchoPrintsTheTextAndALineFeed) {
  ASSERT_TRUE(WriteAll(fd_, Record(5, "echo hello world")));
  std::string bytes;
  ASSERT_TRUE(ReadExactly(fd_, 15, &bytes));
  EXPECT_EQ(bytes, "hello world\n" + Marker(5));
  EXPECT_EQ(Ask(6, "echo"), "\n<6>");
  EXPECT_EQ(Ask(7, "echo   two  blanks "), "two  blanks \n<7>");
  EXPECT_EQ(Ask(9999, "echo top"), "top\n<9999>");
}

TEST_F(ListeningProcessor, SetAndGetKeepValues) {
  EXPECT_EQ(Ask(1, "set colour red"), "<1>");
  EXPECT_EQ(Ask(2, "get colour"), "red\n<2>");
  EXPECT_EQ(Ask(3, "set colour dark  blue"), "<3>");
  EXPECT_EQ(Ask(4, "get colour"), "dark  blue\n<4>");
  EXPECT_EQ(Ask(5, "get shape"), "get: no value for shape\n<5>");
  EXPECT_EQ(Ask(6, "set colour"), "usage: set NAME VALUE\n<6>");
  EXPECT_EQ(Ask(7, "get"), "usage: get NAME\n<7>");
  EXPECT_EQ(Ask(8, "get a b"), "usage: get NAME\n<8>");
}

TEST_F(ListeningProcessor, ValuesOutliveTheServerConnection) {
  EXPECT_EQ(Ask(1, "set gain 12"), "<1>");
  Connect();
  EXPECT_EQ(Ask(0, "open"), "<0>");
  EXPECT_EQ(Ask(1, "get gain"), "12\n<1>");
}

TEST_F(ListeningProcessor, UnknownCommandsAreNamed) {
  EXPECT_EQ(Ask(9, "frobnicate now"), "unknown command: frobnicate\n<9>");
  EXPECT_EQ(Ask(10, "status"), "unknown command: status\n<10>");
  EXPECT_EQ(Ask(11, "ECHO x"), "unknown command: ECHO\n<11>");
  EXPECT_EQ(Ask(12, ""), "unknown command: \n<12>");
}

TEST_F(ListeningProcessor, CountPrintsNumberedLines) {
  EXPECT_EQ(Ask(5, "count 3"), "1\n2\n3\n<5>");
  EXPECT_EQ(Ask(6, "count 0"), "<6>");
  EXPECT_EQ(Ask(7, "count three"), "count: invalid number: three\n<7>");
  EXPECT_EQ(Ask(8, "count -1"), "count: invalid number: -1\n<8>");
  EXPECT_EQ(Ask(9, "count"), "usage: count N\n<9>");
}

TEST_F(ListeningProcessor, LargeCountStreamsWithBoundedMemoryWhileTheServerDoesNotRead) {
  const unsigned long long kLines = 3000000;  // about 23 MB of output
  Send(5, "count " + std::to_string(kLines));
  std::this_thread::sleep_for(milliseconds(300));
  long resident = ResidentKilobytes(process_.pid());
  EXPECT_GT(resident, 0);
  EXPECT_LT(resident, 12 * 1024) << "the output is not held back while the server does not read";

  std::string answer = stream_->Through(5, 30000);
  size_t end = 0;
  EXPECT_EQ(CountNumberedLines(answer, "", &end), kLines);
  EXPECT_EQ(answer.substr(end), "<5>");
}

TEST_F(ListeningProcessor, SleepEndsLaterWhileOtherTransactionsGoOn) {
  ASSERT_TRUE(WriteAll(fd_, Record(1, "sleep 1") + Record(2, "echo meanwhile")));
  EXPECT_EQ(stream_->Through(2), "meanwhile\n<2>");
  EXPECT_EQ(stream_->Through(1), "<1>");

  ASSERT_TRUE(WriteAll(fd_, Record(3, "sleep 0.6") + Record(4, "sleep .1")));
  EXPECT_EQ(stream_->Through(3), "<4><3>");
  EXPECT_EQ(Ask(5, "sleep 0"), "<5>");
  EXPECT_EQ(Ask(6, "sleep -1"), "sleep: invalid seconds: -1\n<6>");
  EXPECT_EQ(Ask(7, "sleep 1.2.3"), "sleep: invalid seconds: 1.2.3\n<7>");
  EXPECT_EQ(Ask(8, "sleep"), "usage: sleep SECONDS\n<8>");
}

TEST_F(ListeningProcessor, AbortEndsAStreamingCountWithItsMarkerThenItsOwn) {
  Send(5, "count 1000000000000");
  ASSERT_TRUE(stream_->ReadUntilContains("\n1000\n"));
  Send(6, "abort 0005");
  std::string answer = stream_->Through(6, 30000);
  size_t end = 0;
  EXPECT_GE(CountNumberedLines(answer, "", &end), 1000u);
  EXPECT_EQ(answer.substr(end), "<5><6>");
  EXPECT_EQ(stream_->Rest(), "");
}

TEST_F(ListeningProcessor, PeriodicCommandsPrintLinesUntilAborted) {
  unsigned id = 10;
  for (const std::string word : {"autoinfo", "autolatch", "preview"}) {
    unsigned job = id++;
    unsigned abort = id++;
    Send(job, word + " 0.02");
    ASSERT_TRUE(stream_->ReadUntilContains(word + " 3\n")) << word;
    Send(abort, "abort " + std::to_string(job));
    std::string answer = stream_->Through(abort);
    size_t end = 0;
    EXPECT_GE(CountNumberedLines(answer, word + " ", &end), 3u) << word;
    EXPECT_EQ(answer.substr(end), "<" + std::to_string(job) + "><" + std::to_string(abort) + ">") << word;
  }
  EXPECT_EQ(stream_->Rest(), "");
}

TEST_F(ListeningProcessor, PeriodicCommandsCheckTheirInterval) {
  Send(1, "autoinfo");
  ASSERT_TRUE(stream_->ReadUntilContains("autoinfo 1\n"));
  EXPECT_EQ(Ask(2, "abort 1"), "autoinfo 1\n<1><2>");
  EXPECT_EQ(Ask(3, "preview 0"), "preview: invalid seconds: 0\n<3>");
  EXPECT_EQ(Ask(4, "autolatch soon"), "autolatch: invalid seconds: soon\n<4>");
  EXPECT_EQ(Ask(5, "autoinfo 1 2"), "usage: autoinfo [SECONDS]\n<5>");
}

TEST_F(ListeningProcessor, AbortWithoutTargetEndsAllRunningTransactionsInIdOrder) {
  ASSERT_TRUE(WriteAll(fd_, Record(40, "autolatch") + Record(3, "count 1000000000000") + Record(1, "sleep 100") +
                                Record(2, "preview 0.05")));
  ASSERT_TRUE(stream_->ReadUntilContains("preview 2\n"));
  std::string answer = Ask(7, "abort");
  EXPECT_TRUE(EndsWith(answer, "\n<1><2><3><40><7>")) << answer.substr(answer.size() - 40);
  EXPECT_EQ(stream_->Rest(), "");
}

TEST_F(ListeningProcessor, AbortOfATransactionThatDoesNotRunSaysSo) {
  EXPECT_EQ(Ask(9, "abort 0042"), "abort: transaction 0042 is not running\n<9>");
  EXPECT_EQ(Ask(10, "abort x"), "abort: invalid transaction id: x\n<10>");
  EXPECT_EQ(Ask(11, "abort 10000"), "abort: invalid transaction id: 10000\n<11>");
  EXPECT_EQ(Ask(12, "abort 1 2"), "usage: abort [TTTT]\n<12>");
  EXPECT_EQ(Ask(13, "abort"), "<13>");
}

TEST_F(ListeningProcessor, ByeAsksForTerminationAndIgnoresCommandsUntilTheNextOpen) {
  Send(1, "sleep 0.2");
  ASSERT_TRUE(WriteAll(fd_, Record(3, "bye")));
  std::string bytes;
  ASSERT_TRUE(ReadExactly(fd_, 10, &bytes));
  EXPECT_EQ(bytes, "bye\n" + Marker(3) + std::string("\x00\x27\x10", 3));

  ASSERT_TRUE(WriteAll(fd_, Record(4, "echo late") + Record(0, "open") + Record(5, "echo again")));
  EXPECT_EQ(stream_->Through(5), "<0>again\n<5>");
  EXPECT_EQ(stream_->Rest(400), "") << "the sleep of the ended session must not answer";
}

TEST_F(ListeningProcessor, CloseEndsRunningTransactionsWithoutMarkers) {
  Send(1, "sleep 0.2");
  Send(2, "autoinfo 0.05");
  ASSERT_TRUE(stream_->ReadUntilContains("autoinfo 1\n"));
  std::string answer = Ask(0, "close");
  EXPECT_TRUE(EndsWith(answer, "\n<0>")) << answer;
  EXPECT_EQ(answer.find("<1>"), std::string::npos);
  EXPECT_EQ(answer.find("<2>"), std::string::npos);
  EXPECT_EQ(Ask(0, "open"), "<0>");
  EXPECT_EQ(stream_->Rest(400), "");
}

TEST_F(ListeningProcessor, RecordsMayArriveInPiecesOrSeveralAtOnce) {
  for (char byte : Record(5, "echo split")) {
    ASSERT_TRUE(WriteAll(fd_, std::string(1, byte)));
    std::this_thread::sleep_for(milliseconds(2));
  }
  EXPECT_EQ(stream_->Through(5), "split\n<5>");
  // Id 256 has 0x00 as its low byte: the terminator is looked for only behind the id.
  ASSERT_TRUE(WriteAll(fd_, Record(6, "echo a") + Record(7, "echo b") + Record(256, "echo c")));
  EXPECT_EQ(stream_->Through(256), "a\n<6>b\n<7>c\n<256>");
}

TEST_F(ListeningProcessor, MalformedInputIsReportedAndSurvived) {
  ASSERT_TRUE(WriteAll(fd_, Record(10000, "echo x") + Record(65535, "echo y")));
  EXPECT_EQ(Ask(5, "echo fine"), "fine\n<5>");
  EXPECT_EQ(Ask(6, "echo " + std::string(100000, 'a')), "command too long\n<6>");
  EXPECT_EQ(Ask(7, "echo still fine"), "still fine\n<7>");

  ASSERT_TRUE(WriteAll(fd_, std::string("\x00\x08", 2) + "echo never"));
  ASSERT_EQ(shutdown(fd_, SHUT_WR), 0);
  std::string rest;
  EXPECT_TRUE(ReadToEof(fd_, &rest));
  EXPECT_EQ(rest, "");

  Connect();
  EXPECT_EQ(Ask(0, "open"), "<0>");
  std::string messages = Stderr();
  EXPECT_NE(messages.find("invalid transaction id 10000"), std::string::npos) << messages;
  EXPECT_NE(messages.find("invalid transaction id 65535"), std::string::npos) << messages;
  EXPECT_NE(messages.find("incomplete command record"), std::string::npos) << messages;
}

TEST_F(ListeningProcessor, ServesOneServerConnectionAfterAnother) {
  int second = ConnectLoopback(port_);
  ASSERT_GE(second, 0);
  ASSERT_TRUE(WriteAll(second, Record(0, "open")));
  EXPECT_EQ(ReadAvailable(second, 300), "");
  EXPECT_EQ(Ask(1, "echo first"), "first\n<1>");
  CloseFd(&fd_);
  AnswerStream second_stream(second);
  EXPECT_EQ(second_stream.Through(0), "<0>");
  ASSERT_TRUE(WriteAll(second, Record(2, "echo second")));
  EXPECT_EQ(second_stream.Through(2), "second\n<2>");
  CloseFd(&second);
}

// ---------------------------------------------------------------------------
// --spawn: a shell script plays the server on the pipes it is handed.

const char kServerScript[] = R"(#!/bin/sh
# Arguments: -pw=W -pr=R DIR MODE STATUS
w=${1#-pw=}
r=${2#-pr=}
dir=$3
printf '%s\n' "$@" > "$dir/args"
ls -l /proc/$$/fd > "$dir/fds"
case $4 in
talk)
  printf '\000\000open\000\000\005echo hi\000' >&"$w"
  head -c 9 <&"$r" | od -An -v -tx1 > "$dir/answer"
  exit "$5" ;;
trap)
  trap 'exit "$5"' INT
  : > "$dir/ready"
  while :; do sleep 0.05; done ;;
wait)
  : > "$dir/ready"
  exec sleep 30 ;;
esac
exit 99
)";

class SpawningProcessor : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    script_ = dir_.File("server.sh");
    std::ofstream(script_) << kServerScript;
    ASSERT_EQ(chmod(script_.c_str(), 0700), 0);
  }

  void Spawn(const std::string& mode, const std::string& status = "0") {
    ASSERT_TRUE(process_.Start({kProcessor, "--spawn", script_, dir_.File(""), mode, status}, dir_.File("out"),
                               dir_.File("err")));
  }

  int ExitStatus() {
    int status = -1;
    EXPECT_TRUE(process_.WaitForExit(kExitTimeoutMs, &status));
    return status;
  }

  TempDir dir_;
  std::string script_;
  Process process_;
};

// The descriptor numbers of the pipes in an `ls -l /proc/PID/fd` listing, with their mode.
std::vector<std::string> PipeDescriptors(const std::string& listing) {
  std::vector<std::string> pipes;
  std::istringstream lines(listing);
  std::string line;
  while (std::getline(lines, line)) {
    size_t arrow = line.find(" -> pipe:");
    if (arrow == std::string::npos) continue;
    size_t number = line.rfind(' ', arrow - 1) + 1;
    pipes.push_back(line.substr(number, arrow - number) + " " + line.substr(0, 4));
  }
  return pipes;
}

TEST_F(SpawningProcessor, HandsTheServerItsPipesAndExitsWithItsStatus) {
  Spawn("talk", "3");
  EXPECT_EQ(ExitStatus(), 3);
  EXPECT_EQ(ReadFile(dir_.File("answer")), " 00 00 00 68 69 0a 00 00 05\n");

  std::istringstream args(ReadFile(dir_.File("args")));
  std::string write_option;
  std::string read_option;
  std::string rest;
  std::getline(args, write_option);
  std::getline(args, read_option);
  std::getline(args, rest, '\0');
  ASSERT_EQ(write_option.rfind("-pw=", 0), 0u) << write_option;
  ASSERT_EQ(read_option.rfind("-pr=", 0), 0u) << read_option;
  EXPECT_EQ(rest, dir_.File("") + "\ntalk\n3\n");

  // Only the server's two ends reach it, each open in its direction; the
  // processor's own ends are closed across exec.
  std::vector<std::string> pipes = PipeDescriptors(ReadFile(dir_.File("fds")));
  std::sort(pipes.begin(), pipes.end());
  std::vector<std::string> expected = {write_option.substr(4) + " l-wx", read_option.substr(4) + " lr-x"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(pipes, expected) << ReadFile(dir_.File("fds"));
  EXPECT_EQ(ReadFile(dir_.File("out")), "");
  EXPECT_EQ(ReadFile(dir_.File("err")), "");
}

TEST_F(SpawningProcessor, PassesSigtermOnAndReportsTheSignalThatEndedTheServer) {
  Spawn("wait");
  ASSERT_TRUE(WaitForFile(dir_.File("ready"), kExitTimeoutMs));
  ASSERT_TRUE(process_.Signal(SIGTERM));
  EXPECT_EQ(ExitStatus(), 128 + SIGTERM);
}

TEST_F(SpawningProcessor, PassesSigintOnAndExitsWithTheStatusTheServerChose) {
  Spawn("trap", "7");
  ASSERT_TRUE(WaitForFile(dir_.File("ready"), kExitTimeoutMs));
  ASSERT_TRUE(process_.Signal(SIGINT));
  EXPECT_EQ(ExitStatus(), 7);
}

TEST_F(SpawningProcessor, AServerThatCannotBeStartedGives127) {
  ASSERT_TRUE(process_.Start({kProcessor, "--spawn", dir_.File("missing")}, dir_.File("out"), dir_.File("err")));
  EXPECT_EQ(ExitStatus(), 127);
  EXPECT_NE(ReadFile(dir_.File("err")).find("cannot run " + dir_.File("missing")), std::string::npos);
}

}  // namespace
