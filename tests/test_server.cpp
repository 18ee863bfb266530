#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "diag_capture.h"
#include "net.h"
#include "server_harness.h"

namespace {

// Reads exactly the expected bytes from the client (or what came before a timeout).
std::string Expect(int fd, const std::string& expected) {
  std::string got;
  ReadExactly(fd, expected.size(), &got, 3000);
  return got;
}

class ServerOverLink : public ::testing::TestWithParam<Link> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Start(GetParam()));
    client = server.ConnectClient();
    ASSERT_GE(client, 0);
  }
  void TearDown() override { CloseFd(&client); }

  ServerHarness server;
  int client = -1;
};

TEST_P(ServerOverLink, EveryRequestFormGetsItsReplies) {
  ASSERT_TRUE(WriteAll(client, "12 getvalue\n"));
  EXPECT_EQ(Expect(client, Ack(12)), Ack(12));
  EXPECT_EQ(server.ReadRecord(), "12:getvalue");

  ASSERT_TRUE(WriteAll(client,
                       " 12 status\n0 status\n10000 x\n000000012 x\n13\n13 \n14 get_value\n15 set2 x\n"
                       "16 statusreport now\n19 abort 12 13\n20 abort 99999\n21 abort 30\n"));
  std::string expected = Error(0, "transaction: t-id missing") + Error(0, "transaction: t-id invalid") +
                         Error(0, "transaction: t-id invalid") + Error(0, "transaction: t-id invalid") +
                         Error(13, "syntax invalid") + Ack(13) + Error(13, "transaction: command missing or invalid") +
                         Ready(13) + Ack(14) + Error(14, "transaction: command missing or invalid") + Ready(14) +
                         Ack(15) + Error(15, "transaction: command missing or invalid") + Ready(15) + Ack(16) +
                         Data(16, "0012 running") + Ready(16) + Ack(19) + Error(19, "syntax invalid") + Ready(19) +
                         Ack(20) + Error(20, "t-id invalid") + Ready(20) + Ack(21) + Error(21, "t-id unused") +
                         Ready(21);
  EXPECT_EQ(Expect(client, expected), expected);

  ASSERT_TRUE(WriteAll(client, "17 STATUS\n18 previewer on\n22 abort 12  \n23 abort\n24 abort 0000\n"));
  EXPECT_EQ(Expect(client, Ack(17) + Ack(18) + Ack(22) + Ack(23) + Ack(24)), Ack(17) + Ack(18) + Ack(22) + Ack(23) + Ack(24));
  EXPECT_EQ(server.ReadRecord(), "17:STATUS");
  EXPECT_EQ(server.ReadRecord(), "18:previewer on");
  EXPECT_EQ(server.ReadRecord(), "22:abort 0012");
  EXPECT_EQ(server.ReadRecord(), "23:abort");
  EXPECT_EQ(server.ReadRecord(), "24:abort");

  ASSERT_TRUE(WriteAll(client, std::string("25 foo\0bar\n", 11)));
  EXPECT_EQ(Expect(client, Ack(25)), Ack(25));
  EXPECT_EQ(server.ReadRecord(), "25:foo");

  // Status lists pending in order (the first running), then background; TAB alone answers for 0.
  ASSERT_TRUE(WriteAll(client, "3 status\n\t\n12 again\n"));
  std::string report = Data(3, "0012 running") + Data(3, "0017 waiting") + Data(3, "0022 waiting") +
                       Data(3, "0023 waiting") + Data(3, "0024 waiting") + Data(3, "0025 waiting") +
                       Data(3, "0018 background");
  std::string tab_report = Data(0, "0012 running") + Data(0, "0017 waiting") + Data(0, "0022 waiting") +
                           Data(0, "0023 waiting") + Data(0, "0024 waiting") + Data(0, "0025 waiting") +
                           Data(0, "0018 background");
  expected = Ack(3) + report + Ready(3) + tab_report + Error(0, "transaction: t-id invalid");
  EXPECT_EQ(Expect(client, expected), expected);
}

TEST_P(ServerOverLink, ReadyFreesTheIdForReuse) {
  ASSERT_TRUE(WriteAll(client, "5 echo a\n9 autoinfo\n"));
  EXPECT_EQ(Expect(client, Ack(5) + Ack(9)), Ack(5) + Ack(9));
  EXPECT_EQ(server.ReadRecord(), "5:echo a");
  EXPECT_EQ(server.ReadRecord(), "9:autoinfo");
  ASSERT_TRUE(server.Answer("a\n" + Marker(5) + "tick\n" + Marker(9)));
  EXPECT_EQ(Expect(client, "a\n" + Ready(5) + "tick\n" + Ready(9)), "a\n" + Ready(5) + "tick\n" + Ready(9));
  ASSERT_TRUE(WriteAll(client, "5 status\n5 again\n"));
  EXPECT_EQ(Expect(client, Ack(5) + Data(5, "idle") + Ready(5) + Ack(5)), Ack(5) + Data(5, "idle") + Ready(5) + Ack(5));
  EXPECT_EQ(server.ReadRecord(), "5:again");
}

TEST_P(ServerOverLink, AnswerStreamEdgeCases) {
  ASSERT_TRUE(WriteAll(client, "5 a\n7 b\n"));
  EXPECT_EQ(Expect(client, Ack(5) + Ack(7)), Ack(5) + Ack(7));
  EXPECT_EQ(server.ReadRecord(), "5:a");
  EXPECT_EQ(server.ReadRecord(), "7:b");

  // Text behind the last line feed waits for the marker; the rest joins later text.
  ASSERT_TRUE(server.Answer("x\ny"));
  EXPECT_EQ(Expect(client, "x\n"), "x\n");
  ASSERT_TRUE(server.Answer(std::string(1, '\0')));
  usleep(50000);
  ASSERT_TRUE(server.Answer(std::string(1, '\0')));
  usleep(50000);
  ASSERT_TRUE(server.Answer(std::string(1, '\5') + "z\n"));
  EXPECT_EQ(Expect(client, Ready(5) + "yz\n"), Ready(5) + "yz\n");

  // Unused, invalid and session ids; two markers in one read.
  ASSERT_TRUE(server.Answer(Marker(5) + Marker(10001) + Marker(0) + Marker(7)));
  std::string expected = Error(0, "received ready for unused tid") + Error(0, "received ready for invalid tid") +
                         Ready(0) + Ready(7);
  EXPECT_EQ(Expect(client, expected), expected);
  EXPECT_TRUE(server.WaitForLog("E", "analyse_client_answer(): received ready for unused tid 5 "));
  EXPECT_TRUE(server.HasLog("E", "analyse_client_answer(): received ready for invalid tid 10001 "));
}

TEST_P(ServerOverLink, TerminationEndsOnlyTheClientWithoutClose) {
  ASSERT_TRUE(server.Answer("bye\n" + Marker(10000) + "dropped\n" + Marker(0)));
  std::string rest;
  EXPECT_TRUE(ReadToEof(client, &rest));
  EXPECT_EQ(rest, "bye\n");
  EXPECT_TRUE(server.WaitForLog("T1", "aborting connection"));
  CloseFd(&client);

  client = server.ConnectClient();  // no "close" came first: the next record is "open"
  ASSERT_GE(client, 0);
  ASSERT_TRUE(WriteAll(client, "1 x\n"));
  EXPECT_EQ(Expect(client, Ack(1)), Ack(1));
  EXPECT_EQ(server.ReadRecord(), "1:x");
}

TEST_P(ServerOverLink, LinesBehindADotAreStillHandled) {
  ASSERT_TRUE(WriteAll(client, "30 x\n. bye\n31 y\n"));
  EXPECT_EQ(server.ReadRecord(), "30:x");
  EXPECT_EQ(server.ReadRecord(), "31:y");
  EXPECT_EQ(server.ReadRecord(), "0:close");
  ASSERT_TRUE(server.Answer("late\n" + Marker(30) + Marker(0)));
  // The replies queued in the pass that read the dot are dropped with the connection.
  std::string rest;
  EXPECT_TRUE(ReadToEof(client, &rest));
  EXPECT_EQ(rest, "");
  EXPECT_TRUE(server.WaitForLog("T1", "CloseSession(): close session done ..."));
  CloseFd(&client);
  client = server.ConnectClient();
  ASSERT_GE(client, 0);
  ASSERT_TRUE(WriteAll(client, "30 x\n"));  // the id is free in the next connection
  EXPECT_EQ(Expect(client, Ack(30)), Ack(30));
}

TEST_P(ServerOverLink, SecondClientIsRefusedAndTheFirstGoesOn) {
  ASSERT_TRUE(WriteAll(client, "8 slow\n"));
  EXPECT_EQ(Expect(client, Ack(8)), Ack(8));
  EXPECT_EQ(server.ReadRecord(), "8:slow");
  for (int i = 0; i < 3; ++i) {
    int second = server.ConnectRaw();
    ASSERT_GE(second, 0);
    std::string refusal;
    EXPECT_TRUE(ReadToEof(second, &refusal));
    EXPECT_EQ(refusal, "0000\terror \"Sorry, this port is already in use!\"\r\n");
    CloseFd(&second);
  }
  EXPECT_TRUE(server.HasLog("E", "Run(): send: 0000\terror Sorry, this port  is already in use!"));
  ASSERT_TRUE(server.Answer("done\n" + Marker(8)));
  EXPECT_EQ(Expect(client, "done\n" + Ready(8)), "done\n" + Ready(8));
}

TEST_P(ServerOverLink, ProcessorGoingAwayEndsTheConnectionNotTheServer) {
  ASSERT_TRUE(WriteAll(client, "4 x\n"));
  EXPECT_EQ(server.ReadRecord(), "4:x");
  server.CloseProcessor();
  std::string rest;
  EXPECT_TRUE(ReadToEof(client, &rest));
  EXPECT_EQ(rest, Ack(4));
  EXPECT_TRUE(server.WaitForLog("T1", "aborting connection"));
  EXPECT_TRUE(server.Process().Running());
}

INSTANTIATE_TEST_SUITE_P(Links, ServerOverLink, ::testing::Values(Link::kTcp, Link::kPipes),
                         [](const ::testing::TestParamInfo<Link>& info) {
                           return info.param == Link::kTcp ? "Tcp" : "Pipes";
                         });

// ---- resources: CPU, memory ----

class ServerResources : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Start(Link::kTcp));
    client = server.ConnectClient();
    ASSERT_GE(client, 0);
  }
  void TearDown() override { CloseFd(&client); }

  long CpuTicksOver(int milliseconds) {
    long before = server.Process().CpuTicks();
    usleep(static_cast<useconds_t>(milliseconds) * 1000);
    return server.Process().CpuTicks() - before;
  }

  ServerHarness server;
  int client = -1;
};

// A spinning loop would burn about 100 ticks a second; an idle one next to none.
TEST_F(ServerResources, IdleAndSlowProcessorCostNextToNoCpu) {
  EXPECT_LT(CpuTicksOver(1000), 20);
  // The processor stops reading: commands pile up in the server's queue.
  // The server stops reading the client once enough waits for the processor.
  fcntl(client, F_SETFL, O_NONBLOCK);
  std::string requests;
  for (int tid = 1; tid <= 100; ++tid) requests += std::to_string(tid) + " " + std::string(60000, 'c') + "\n";
  size_t sent = 0;
  while (sent < requests.size() && WaitWritable(client, 300)) {
    ssize_t n = write(client, requests.data() + sent, requests.size() - sent);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  EXPECT_LT(sent, requests.size());
  ReadAvailable(client, 300);
  EXPECT_LT(CpuTicksOver(1000), 20);
}

// The byte at `offset` of a stream of 100-byte lines whose letters change per line.
char StreamByte(size_t offset) {
  return offset % 100 == 99 ? '\n' : static_cast<char>('a' + (offset / 100) % 26);
}

size_t WriteStream(int fd, size_t offset, size_t total) {
  char chunk[65536];
  size_t count = std::min(sizeof(chunk), total - offset);
  for (size_t i = 0; i < count; ++i) chunk[i] = StreamByte(offset + i);
  ssize_t n = write(fd, chunk, count);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

TEST_F(ServerResources, SlowClientHoldsTheProcessorBackAndLosesNothing) {
  ASSERT_TRUE(WriteAll(client, "1 count\n"));
  EXPECT_EQ(Expect(client, Ack(1)), Ack(1));
  EXPECT_EQ(server.ReadRecord(), "1:count");
  const size_t total = 20 * 1000 * 1000;
  int processor = server.CommandFd();
  fcntl(processor, F_SETFL, O_NONBLOCK);

  // The client reads nothing: the server stops taking the stream.
  long resident_before = server.Process().StatusKb("VmRSS");
  size_t sent = 0;
  while (sent < total && WaitWritable(processor, 500)) sent += WriteStream(processor, sent, total);
  EXPECT_LT(sent, total);
  EXPECT_LT(server.Process().StatusKb("VmRSS") - resident_before, 8 * 1024);

  // The client reads again: every byte arrives, in order.
  size_t received = 0;
  char chunk[65536];
  while (received < total) {
    if (sent < total && WaitWritable(processor, 0)) sent += WriteStream(processor, sent, total);
    if (!WaitReadable(client, 3000)) break;
    ssize_t n = read(client, chunk, sizeof(chunk));
    if (n <= 0) break;
    // On loopback one segment fills the server's small send buffer; acknowledge
    // at once instead of after the delayed-ACK timer, or the test crawls.
    int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof(on));
    for (ssize_t i = 0; i < n; ++i, ++received) {
      ASSERT_EQ(chunk[i], StreamByte(received)) << "at byte " << received;
    }
  }
  EXPECT_EQ(received, total);
  ASSERT_TRUE(server.Answer(Marker(1)));
  EXPECT_EQ(Expect(client, Ready(1)), Ready(1));
}

// ---- command line and start-up ----

struct RunResult {
  int status = -1;
  std::string log;
};

RunResult RunServer(const std::vector<std::string>& args, const std::vector<std::string>& env = {"MTRACE_LEVEL"}) {
  ChildProcess process;
  std::vector<std::string> argv = {ZORVANE_SERVER_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  RunResult result;
  if (!process.Start(argv, env)) return result;
  if (!process.WaitExit(10000, &result.status)) result.status = process.Stop(9);
  result.log = process.Stderr();
  return result;
}

std::vector<std::string> Messages(const std::string& log, const std::string& tag) {
  std::vector<std::string> messages;
  for (const DiagRecord& record : ParseDiagRecords(log)) {
    if (record.tag == tag) messages.push_back(record.message);
  }
  return messages;
}

std::string DeadPort() { return std::to_string(FreeLoopbackPort()); }

TEST(CommandLine, RejectedOptionsExitWithStatusOne) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"-x", "Option not available!"},
      {"-pz=1", "Option not available!"},
      {"-ps", "Option not available!"},
      {"-s5", "Option not available!"},
      {"-t5", "pars_args(): Option not available!"},
      {"-t=6", "parse_args(): invalid parameter -t=6"},
      {"-t=x", "parse_args(): invalid parameter -t=x"},
      {"-pc=", "parse_args(): invalid parameter -pc="},
      {"-pc=12ab", "parse_args(): invalid parameter -pc=12ab"},
      {"-ps=7x", "parse_args(): invalid parameter -ps=7x"},
  };
  for (const auto& [option, message] : cases) {
    RunResult result = RunServer({"plain", option});
    EXPECT_EQ(result.status, 1) << option;
    EXPECT_EQ(Messages(result.log, "E"), (std::vector<std::string>{message, "main(): parse_args() failed"})) << option;
  }
  RunResult coverage = RunServer({"--coverage", "-t=2"});
  EXPECT_EQ(coverage.status, 1);
  EXPECT_EQ(Messages(coverage.log, "E").front(), "Option not available!");
}

TEST(CommandLine, CoverageAloneExitsAtOnce) {
  RunResult result = RunServer({"--coverage"}, {"MTRACE_LEVEL=5"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.log, "");
}

TEST(CommandLine, TraceLevelFromEnvironmentAndOptionInOrder) {
  std::string port = DeadPort();
  // Level 9 is clamped to 5: the level-4 port trace shows.
  RunResult result = RunServer({"-pc=" + port}, {"MTRACE_LEVEL=9"});
  EXPECT_EQ(Messages(result.log, "T4"), std::vector<std::string>{"parse_args(): use client port " + port});
  // -t=4 before -pc traces it; after it, with tracing off from the environment, nothing is traced.
  result = RunServer({"-t=4", "-pc=" + port}, {"MTRACE_LEVEL=-3"});
  EXPECT_EQ(Messages(result.log, "T4").size(), 1u);
  result = RunServer({"-pc=" + port, "-t=4"}, {"MTRACE_LEVEL=abc"});
  EXPECT_TRUE(Messages(result.log, "T4").empty());
  EXPECT_EQ(Messages(result.log, "T2").front(), "main(): Starting tcp server version = 1.00-0");
  result = RunServer({"-pc=" + port}, {"MTRACE_LEVEL="});
  EXPECT_TRUE(Messages(result.log, "T2").empty());
  result = RunServer({"-pc=" + port, "-t=05"}, {"MTRACE_LEVEL"});
  EXPECT_EQ(Messages(result.log, "T1"), std::vector<std::string>{"MZorvaneCmdClient::create_socket(): Using port " + port});
}

TEST(StartUp, FailuresExitWithStatusOne) {
  std::string port = DeadPort();
  RunResult result = RunServer({"-pc=" + port});
  EXPECT_EQ(result.status, 1);
  std::vector<std::string> errors = Messages(result.log, "E");
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back(), "MZorvaneTCPSocket::Run() Open() failed");
  EXPECT_NE(result.log.find("connect(127.0.0.1," + port + ") failed"), std::string::npos);

  // The listener port is taken: the channel is open, the listener fails.
  unsigned short taken = 0;
  int holder = ListenLoopback(&taken);
  int commands[2];
  ASSERT_EQ(pipe(commands), 0);
  ChildProcess process;
  ASSERT_TRUE(process.Start({ZORVANE_SERVER_BIN, "-pw=" + std::to_string(commands[1]), "-ps=" + std::to_string(taken)},
                            {"MTRACE_LEVEL"}, {commands[1]}));
  int status = -1;
  EXPECT_TRUE(process.WaitExit(10000, &status));
  EXPECT_EQ(status, 1);
  std::vector<std::string> listener_errors = Messages(process.Stderr(), "E");
  EXPECT_NE(std::find(listener_errors.begin(), listener_errors.end(), "MZorvaneTCPSocket::Run() CreateSocket() failed"),
            listener_errors.end());
  EXPECT_NE(process.Stderr().find("bind(0.0.0.0," + std::to_string(taken) + ") failed"), std::string::npos);
  close(commands[0]);
  close(commands[1]);
  close(holder);
}

TEST(StartUp, PortOptionsMoveTheListenerWithPipesToo) {
  ServerHarness server;
  ASSERT_TRUE(server.Start(Link::kPipes, {}, {"MTRACE_LEVEL=4"}));
  int client = server.ConnectClient();  // the harness passes -ps= with a free port
  ASSERT_GE(client, 0);
  EXPECT_TRUE(server.HasLog("T4", "parse_args(): use server port " + std::to_string(server.ServerPort())));
  close(client);
}

}  // namespace
