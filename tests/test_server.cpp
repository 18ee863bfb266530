// End to end: the server binary with a command processor that the test plays
// or with the real one, over TCP and over pipes: the protocol, resources,
// start-up, processors that die or fall silent, clients that misbehave.
#include <sys/resource.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <set>
#include <tuple>

#include "commandline.h"
#include "diag_capture.h"
#include "forms.h"
#include "net.h"
#include "process.h"

namespace {

// ---- the harness ----

// The client's end of a loopback connection as the server's journal names it.
std::string LocalEnd(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

#define EXPECT_REPLIES(fd, expected) EXPECT_TRUE(Receives(fd, expected))

// The server and the command processor: the test plays it (Start) or runs the real one.
struct ServerHarness {
  ~ServerHarness() { process.Stop(), processor.Stop(), CloseProcessor(); }

  // Starts the server and takes the processor's side of the channel. A
  // launcher (a shell script) runs first and execs the server; it inherits
  // `launcher_fd`, closed here once handed on, and the environment `env` adds to.
  bool Start(Link link, const std::string& launcher = "", std::vector<std::string> env = {}, int launcher_fd = -1) {
    if (server_port == 0) server_port = FreeLoopbackPort();
    std::vector<std::string> argv = {ZORVANE_SERVER_BIN, "-ps=" + std::to_string(server_port)};
    argv.insert(argv.end(), options.begin(), options.end());
    if (!launcher.empty()) argv.insert(argv.begin(), {"/bin/sh", "-c", launcher});
    int listen_fd = -1;
    std::vector<int> child_ends;
    if (link == Link::kTcp) {
      processor_port = 0;
      listen_fd = ListenLoopback(&processor_port);
      argv.push_back("-pc=" + std::to_string(processor_port));
      channel = "command processor at 127.0.0.1:" + std::to_string(processor_port);
    } else {
      int commands[2], answers[2];
      if (pipe(commands) != 0 || pipe(answers) != 0) return false;
      command_fd = commands[0];
      answer_fd = answers[1];
      child_ends = {commands[1], answers[0]};
      argv.insert(argv.end(), {"-pw=" + std::to_string(commands[1]), "-pr=0"});  // 0 is a reader like any other
      channel = "commands to pipe " + std::to_string(commands[1]) + ", answers from pipe 0";
    }
    env.push_back("MTRACE_LEVEL=2");
    if (launcher_fd >= 0) child_ends.push_back(launcher_fd);
    bool started = process.Start(argv, env, child_ends, link == Link::kPipes ? child_ends[1] : -1);
    for (int& fd : child_ends) CloseFd(&fd);
    if (started && link == Link::kTcp) TakeConnection(&listen_fd);
    CloseFd(&listen_fd);
    return started && command_fd >= 0;
  }

  // The played processor over TCP accepts the server's connection.
  void TakeConnection(int* listen_fd) {
    command_fd = AcceptWithin(*listen_fd, 5000);
    answer_fd = dup(command_fd);
    CloseFd(listen_fd);
  }

  // Starts the real processor listening and the server connecting to it.
  bool StartWithProcessor() {
    server_port = FreeLoopbackPort();
    processor_port = FreeLoopbackPort();
    return StartProcessor() && process.Start({ZORVANE_SERVER_BIN, "-ps=" + std::to_string(server_port),
                                             "-pc=" + std::to_string(processor_port)}, {"MTRACE_LEVEL=2"});
  }
  bool StartProcessor() {
    if (!processor.Start({ZORVANE_CMDPROC_BIN, "--listen", std::to_string(processor_port)})) return false;
    int probe = ConnectLoopback(processor_port, 5000);  // the processor sees it end and listens again
    return probe >= 0 && close(probe) == 0;
  }

  // Connects a client and reads the ready line of its session; -1 on failure.
  int ConnectClient() {
    int client = ConnectRaw();
    if (client >= 0 && !OpenSession(client)) CloseFd(&client);
    return client;
  }
  int ConnectRaw() { return ConnectLoopback(server_port, 5000); }
  // What a client that connects now receives up to the end of its stream.
  std::string ReceivedByNewClient() {
    int client = ConnectRaw();
    std::string received = UntilEnd(client);
    CloseFd(&client);
    return received;
  }
  bool OpenSession(int client) {
    if (command_fd >= 0 && (ReadRecord() != "0:open" || !Answer(Marker(0)))) return false;  // a played processor
    return Receives(client, Ready(0));
  }

  // Sends request lines that are all forwarded: their acks come back and their
  // command records ("tid:text") reach the played processor, in order.
  void ExpectForwarded(int client, const std::string& lines, const std::vector<std::string>& records) {
    std::string acks;
    for (const std::string& record : records) acks += Ack(std::stoi(record));
    ASSERT_TRUE(WriteAll(client, lines));
    EXPECT_REPLIES(client, acks);
    for (const std::string& record : records) EXPECT_EQ(ReadRecord(), record);
  }

  // The next command record the server sent, as "tid:text"; "" on timeout.
  std::string ReadRecord() {
    std::string bytes;
    while ((bytes.size() < 3 || bytes.back() != '\0') && ReadExactly(command_fd, 1, &bytes)) {
    }
    if (bytes.size() < 3 || bytes.back() != '\0') return "";
    unsigned tid = static_cast<unsigned char>(bytes[0]) * 256u + static_cast<unsigned char>(bytes[1]);
    return std::to_string(tid) + ":" + bytes.substr(2, bytes.size() - 3);
  }

  bool Answer(const std::string& bytes) { return WriteAll(answer_fd, bytes); }

  void CloseProcessor() { CloseFd(&answer_fd), CloseFd(&command_fd); }

  int CountLog(const std::string& tag, const std::string& message) const {
    return CountDiagRecords(process.Stderr(), tag, message);
  }
  bool WaitForLog(const std::string& tag, const std::string& message, int count = 1) {
    return WaitUntil([&] { return CountLog(tag, message) >= count; }, 5000);
  }

  std::vector<std::string> options;  // more server options for Start
  ChildProcess process, processor;  // the server, the real processor
  unsigned short server_port = 0, processor_port = 0;
  std::string channel;  // how Start told the server to reach the played processor
  int command_fd = -1;  // the played processor reads commands here
  int answer_fd = -1;   // and writes answers here (over TCP a duplicate of the same socket)
};

// A server with one client connected; the test starts the server and hands
// Open whether it started.
class ServedClient : public ::testing::Test {
 protected:
  void Open(bool started) {
    ASSERT_TRUE(started);
    client = server.ConnectClient();
    ASSERT_GE(client, 0);
  }
  void TearDown() override { CloseFd(&client); }

  // The server closes the session; once the processor has answered, the
  // client's stream ends after `rest`.
  void ExpectSessionClosed(const std::string& rest = "") {
    EXPECT_EQ(server.ReadRecord(), "0:close");
    ASSERT_TRUE(server.Answer(Marker(0)));
    EXPECT_EQ(UntilEnd(client), rest);
  }

  // The client goes; the next one is served: its request `tid` x is forwarded.
  // The next client starts with nothing the last one left open, and is served.
  void ServeNextClient(int tid) {
    CloseFd(&client);
    client = server.ConnectClient();
    ASSERT_TRUE(WriteAll(client, "9999 status\n"));
    EXPECT_REPLIES(client, Ack(9999) + Data(9999, "idle") + Ready(9999));
    const std::string id = std::to_string(tid);
    server.ExpectForwarded(client, id + " x\n", {id + ":x"});
  }

  ServerHarness server;
  int client = -1;
};

std::string CountLines(unsigned long long last) {
  std::string text;
  for (unsigned long long n = 1; n <= last; ++n) text += std::to_string(n) + "\n";
  return text;
}

// CPU time the process used over the next `milliseconds`, and the waits it made.
long CpuMsOver(ChildProcess& process, int milliseconds, long* waits = nullptr) {
  const long before = process.CpuMs(), waits_before = process.Waits();
  usleep(static_cast<useconds_t>(milliseconds) * 1000);
  if (waits != nullptr) *waits = process.Waits() - waits_before;
  return process.CpuMs() - before;
}

// ---- requests and replies ----

const char kNoId[] = "transaction: t-id missing";
const char kBadId[] = "transaction: t-id invalid";
const char kBadCommand[] = "transaction: command missing or invalid";
const char kRefusal[] = "0000\terror \"Sorry, this port is already in use!\"\r\n";

std::string Refused(int tid, const std::string& error) { return Ack(tid) + Error(tid, error) + Ready(tid); }

const char kUnavailable[] = "command processor not available";
const char kLost[] = "MZorvaneTCPServer::Run(): command processor lost, reconnecting for the next client";

class ServerOverLink : public ServedClient, public ::testing::WithParamInterface<Link> {
 protected:
  void SetUp() override { Open(server.Start(GetParam())); }
  // A lost TCP channel is opened again later; a pipe at its end ends the server with status 1.
  void ExpectChannelLost() {
    int status = -1;
    EXPECT_TRUE(GetParam() == Link::kTcp ? server.WaitForLog("E", kLost) && server.process.Running()
                                         : server.process.WaitExit(5000, &status) && status == 1);
    EXPECT_EQ(server.CountLog("E", "MZorvaneTCPServer::Run(): command processor pipe closed, exiting"),
              GetParam() == Link::kPipes ? 1 : 0);
  }
};

TEST_P(ServerOverLink, EveryRequestFormGetsItsReplies) {
  server.ExpectForwarded(client, "12 getvalue\n", {"12:getvalue"});
  ASSERT_TRUE(WriteAll(client,
                       " 12 status\n0 status\n10000 x\n000000012 x\n13\n13 \n14 get_value\n15 set2 x\n"
                       "16 statusreport now\n19 abort 12 13\n20 abort 99999\n21 abort 30\n"));
  EXPECT_REPLIES(client, Error(0, kNoId) + Error(0, kBadId) + Error(0, kBadId) + Error(0, kBadId) +
                             Error(13, "syntax invalid") + Refused(13, kBadCommand) + Refused(14, kBadCommand) +
                             Refused(15, kBadCommand) + Ack(16) + Data(16, "0012 running") + Ready(16) +
                             Refused(19, "syntax invalid") + Refused(20, "t-id invalid") + Refused(21, "t-id unused"));
  server.ExpectForwarded(
      client, "17 STATUS\n18 previewer on\n22 abort 12  \n23 abort\n24 abort 0000\n26 autolatch\n27 autoinfo 2\n",
      {"17:STATUS", "18:previewer on", "22:abort 0012", "23:abort", "24:abort", "26:autolatch", "27:autoinfo 2"});
  server.ExpectForwarded(client, std::string("25 foo\0bar\n", 11), {"25:foo"});

  // Status lists pending in order (the first running), then background; TAB alone answers for 0.
  auto report = [](int tid) {
    std::string lines = Data(tid, "0012 running");
    for (std::string waiting : {"0017", "0022", "0023", "0024", "0025"}) lines += Data(tid, waiting + " waiting");
    for (std::string background : {"0018", "0026", "0027"}) lines += Data(tid, background + " background");
    return lines;
  };
  ASSERT_TRUE(WriteAll(client, "3 status\n\t\n12 again\n"));
  EXPECT_REPLIES(client, Ack(3) + report(3) + Ready(3) + report(0) + Error(0, kBadId));
}

// Readies in any order free exactly their own transaction.
TEST_P(ServerOverLink, ReadiesAndTheAnswerStreamsEdges) {
  server.ExpectForwarded(client, "5 echo a\n9 autoinfo\n6 x\n7 y\n8 z\n1 c\n",
                         {"5:echo a", "9:autoinfo", "6:x", "7:y", "8:z", "1:c"});
  ASSERT_TRUE(server.Answer("a\n" + Marker(5) + "tick\n" + Marker(9) + Marker(7)));
  EXPECT_REPLIES(client, "a\n" + Ready(5) + "tick\n" + Ready(9) + Ready(7));
  ASSERT_TRUE(WriteAll(client, "5 status\n5 again\n"));
  EXPECT_REPLIES(client, Ack(5) + Data(5, "0006 running") + Data(5, "0008 waiting") + Data(5, "0001 waiting") +
                             Ready(5) + Ack(5));
  EXPECT_EQ(server.ReadRecord(), "5:again");
  // Text behind the last line feed waits for the marker; the rest joins later text.
  ASSERT_TRUE(server.Answer("x\ny"));
  EXPECT_REPLIES(client, "x\n");
  for (const std::string& piece : {std::string(1, '\0'), std::string(1, '\0'), std::string(1, '\5') + "z\n"}) {
    usleep(50000);
    ASSERT_TRUE(server.Answer(piece));
  }
  EXPECT_REPLIES(client, Ready(5) + "yz\n");
  // Unused, invalid and session ids; two markers in one read; none of them touches transactions 8 and 1.
  ASSERT_TRUE(server.Answer(Marker(5) + Marker(10001) + Marker(0) + Marker(6)));
  EXPECT_REPLIES(client, Error(0, "received ready for unused tid") + Error(0, "received ready for invalid tid") +
                             Ready(0) + Ready(6));
  ASSERT_TRUE(WriteAll(client, "\t\n"));
  EXPECT_REPLIES(client, Data(0, "0008 running") + Data(0, "0001 waiting"));
  EXPECT_EQ(server.CountLog("E", "analyse_client_answer(): received ready for unused tid 5 "), 1);
  EXPECT_EQ(server.CountLog("E", "analyse_client_answer(): received ready for invalid tid 10001 "), 1);
}

TEST_P(ServerOverLink, TerminationEndsOnlyTheClientWithoutClose) {
  ASSERT_TRUE(server.Answer("bye\n" + Marker(10000) + "dropped\n" + Marker(0)));
  EXPECT_EQ(UntilEnd(client), "bye\n");
  EXPECT_TRUE(server.WaitForLog("T1", "aborting connection"));
  ServeNextClient(1);  // no "close" came first: the next record is "open"
}

// What was queued for the client leaves before the connection ends; what the
// processor sends after the dot does not.
TEST_P(ServerOverLink, LinesBehindADotAreStillHandled) {
  ASSERT_TRUE(WriteAll(client, "29 status\n30 x\n. bye\n31 y\n"));
  for (const char* record : {"30:x", "31:y", "0:close"}) EXPECT_EQ(server.ReadRecord(), record);
  ASSERT_TRUE(server.Answer("late\n" + Marker(30) + Marker(0)));
  EXPECT_EQ(UntilEnd(client), Ack(29) + Data(29, "idle") + Ready(29) + Ack(30) + Ack(31));
  ServeNextClient(30);  // the id is free in the next connection
}

// The journal tells where the server listens, how it reaches the processor, and who came.
TEST_P(ServerOverLink, SecondClientIsRefusedAndTheFirstGoesOn) {
  server.ExpectForwarded(client, "8 slow\n", {"8:slow"});
  EXPECT_EQ(server.CountLog("T2", "MZorvaneTCPServer::Run(): listening on 0.0.0.0:" +
                                          std::to_string(server.server_port) + ", " + server.channel), 1);
  EXPECT_EQ(server.CountLog("T2", "MZorvaneTCPSocket::OpenConnection(): accepted client " + LocalEnd(client)), 1);
  for (int i = 0; i < 3; ++i) {
    int second = server.ConnectRaw();
    std::string second_end = LocalEnd(second);
    EXPECT_EQ(UntilEnd(second), kRefusal);
    EXPECT_EQ(server.CountLog("T2", "MZorvaneTCPSocket::BlockConnection(): refused client " + second_end), 1);
    CloseFd(&second);
  }
  EXPECT_TRUE(server.WaitForLog("E", "Run(): send: 0000\terror Sorry, this port  is already in use!", 3));
  ASSERT_TRUE(server.Answer("done\n" + Marker(8)));
  EXPECT_REPLIES(client, "done\n" + Ready(8));
}

// The client gets what was relayed, the error line and the end of the
// stream; a TCP channel is opened again later, a pipe ends the server.
TEST_P(ServerOverLink, ProcessorGoingAwayEndsTheClientWithAnErrorLine) {
  server.ExpectForwarded(client, "4 x\n", {"4:x"});
  ASSERT_TRUE(server.Answer("complete\nhalf"));
  // Stops answering but goes on reading commands.
  shutdown(server.answer_fd, SHUT_WR);  // a socket; closing the last descriptor of a pipe's end is enough
  CloseFd(&server.answer_fd);
  EXPECT_EQ(UntilEnd(client), "complete\n" + Error(0, kUnavailable));  // an unfinished line is never relayed
  // No "close" over a lost channel, which is closed.
  EXPECT_EQ(GetParam() == Link::kTcp ? server.ReadRecord() : "", "");
  ExpectChannelLost();
}

// Idle, the server costs next to no CPU (a spinning loop burns about 1000 ms
// a second) and ignores SIGINT; between clients the channel is watched: a
// processor that goes is noticed at once.
TEST_P(ServerOverLink, IdleAndBetweenClients) {
  server.ExpectForwarded(client, "1 x\n", {"1:x"});  // acks held for the answer, then none
  ASSERT_TRUE(server.Answer(Marker(1)));
  EXPECT_REPLIES(client, Ready(1));
  long waits = 0;
  EXPECT_LT(CpuMsOver(server.process, 1000, &waits), 200) << "serving an idle client";
  EXPECT_LT(waits, 20) << "woken while idle";
  ASSERT_TRUE(WriteAll(client, ".\n"));
  ExpectSessionClosed();
  server.process.Signal(SIGINT);
  EXPECT_LT(CpuMsOver(server.process, 1500), 200) << "waiting for a client";
  EXPECT_EQ(server.process.Stderr().find("select() [1] failed"), std::string::npos) << "a timeout taken for an error";
  server.CloseProcessor();
  ExpectChannelLost();
}

// A processor that stops reading holds back this client's further requests
// only: others are still turned away, and once it reads again every command
// arrives, in order, byte for byte.
TEST_P(ServerOverLink, ProcessorThatStopsReadingHoldsBackOnlyThisClient) {
  std::string requests, wire;
  for (int tid = 1; tid <= 300; ++tid) {
    std::string text(60000, static_cast<char>('a' + tid % 26));
    requests += std::to_string(tid) + " " + text + "\n";
    wire += WireRecord(tid, text);
  }
  size_t sent = SendWhileTaken(client, requests, 0, 300);
  EXPECT_LT(sent, requests.size());
  ReadAvailable(client, 300);
  EXPECT_LT(CpuMsOver(server.process, 1000), 200) << "held back";  // a spinning loop burns about 1000
  EXPECT_EQ(server.ReceivedByNewClient(), kRefusal);
  EXPECT_TRUE(SameBytes(ReadWhileSending(server.command_fd, wire.size(), requests, sent, client), wire));
}

INSTANTIATE_TEST_SUITE_P(Links, ServerOverLink, ::testing::Values(Link::kTcp, Link::kPipes),
                         [](const auto& info) { return LinkName(info.param); });

// ---- a connection that ends gets what is queued for it ----

using ServerDrain = ServedClient;

TEST_F(ServerDrain, HalfClosedAndSlowClientsGetEverythingQueued) {
  Open(server.Start(Link::kTcp));
  ASSERT_TRUE(WriteAll(client, "1 status\n"));
  shutdown(client, SHUT_WR);  // as `nc -N` does: the client still reads
  ExpectSessionClosed(Ack(1) + Data(1, "idle") + Ready(1));
  CloseFd(&client);
  // The processor asks for the end behind more output than the server holds
  // at once; the client reads nothing at first, so the server stops taking it.
  client = server.ConnectClient();
  const std::string stream = CountLines(3000000) + Marker(10000);
  size_t sent = SendWhileTaken(server.command_fd, stream, 0);
  EXPECT_LT(sent, stream.size());
  EXPECT_TRUE(SameBytes(ReadWhileSending(client, stream.size() - 2, stream, sent, server.command_fd),
                        stream.substr(0, stream.size() - 3)));
}

// A client that takes nothing is given up after 2 s; the next one is served.
TEST_F(ServerDrain, ClientThatTakesNothingIsGivenUp) {
  Open(server.Start(Link::kTcp));
  int small = 4096;
  setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  ASSERT_TRUE(server.Answer(std::string(500000, 'z') + "\n" + Marker(10000)));
  const std::string dropped = "MZorvaneTCPServer::Run(): client took nothing for 2 seconds, ";
  EXPECT_TRUE(WaitUntil([&] { return server.process.Stderr().find(dropped) != std::string::npos; }, 10000));
  ServeNextClient(1);
}

// A signal the server handles (SIGHUP, with a wire trace) does not cut the
// drain short. The client's small receive buffer, set before it connects,
// keeps most of the answer in the server's queue.
TEST_F(ServerDrain, HandledSignalLeavesTheDrainWhole) {
  server.options = {"-w=/dev/null"};
  ASSERT_TRUE(server.Start(Link::kTcp));
  const sockaddr_in address = LoopbackAddress(server.server_port);
  ASSERT_TRUE(WaitUntil([&] {  // the server listens a moment after it has connected to the processor
    CloseFd(&client);
    client = socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    return connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  }));
  ASSERT_TRUE(server.OpenSession(client));
  const std::string answer = std::string(600000, 'z') + "\n";
  ASSERT_TRUE(server.Answer(answer + Marker(10000)));
  usleep(200000);  // the server is draining when the signal comes
  server.process.Signal(SIGHUP);
  EXPECT_TRUE(Receives(client, answer, 5000));
}

// ---- command line and start-up ----

// Each row starts from no options and trace level 0: the arguments, the
// error log, and when accepted the globals: ports server and client, pipe
// size, writer, reader, pipes used, trace level; then, when one is given,
// bind address, idle limit and wire trace.
TEST(CommandLine, EachOptionAsARow) {
  const std::string kNotAvailable = "Option not available!", kInvalid = "parse_args(): invalid parameter ";
  const std::vector<std::tuple<std::vector<std::string>, std::string, std::string>> rows = {
      {{"-x"}, kNotAvailable, ""}, {{"-pz=1"}, kNotAvailable, ""}, {{"-ps"}, kNotAvailable, ""},
      {{"-s5"}, kNotAvailable, ""}, {{"--coverage", "-t=2"}, kNotAvailable, ""},
      {{"--help", "-t=2"}, kNotAvailable, ""}, {{"--version", "-t=2"}, kNotAvailable, ""},
      {{"-t5"}, "pars_args(): " + kNotAvailable, ""}, {{"-t=6"}, kInvalid + "-t=6", ""},
      {{"-t=x"}, kInvalid + "-t=x", ""}, {{"-pc="}, kInvalid + "-pc=", ""}, {{"-ps=7x"}, kInvalid + "-ps=7x", ""},
      {{"-pc=12ab"}, kInvalid + "-pc=12ab", ""}, {{"-s=4096"}, "", "0 0 4096 -1 -1 1 0"},
      {{"-pw=4", "-pr=5x", "-s=-2"}, "", "0 0 -2 4 5 1 0"}, {{"-pw=7"}, "", "0 0 -1 7 -1 1 0"},
      {{"-pr=8"}, "", "0 0 -1 -1 8 1 0"},
      {{"plain", "-", "-p", "-ps=7000", "-pc=-3", "-t=05"}, "", "7000 -3 -1 -1 -1 0 5"},
      {{"-pw=4294967299", "-pr=-4294967299"}, "", "0 0 -1 2147483647 -2147483648 1 0"},
      {{"-b=::", "-i=86400", "-w=/var/log/w"}, "", "0 0 -1 -1 -1 0 0 :: 86400 /var/log/w"},
      {{"-b=192.168.1.5", "-i=0"}, "", "0 0 -1 -1 -1 0 0 192.168.1.5 0 -"},
      {{"-b=localhost"}, kInvalid + "-b=localhost: not a numeric IPv4 or IPv6 address", ""},
      {{"-b=::1%lo"}, kInvalid + "-b=::1%lo: not a numeric IPv4 or IPv6 address", ""},
      {{"-i=86401"}, kInvalid + "-i=86401: not a whole number of seconds from 0 to 86400", ""},
      {{"-i=1.5"}, kInvalid + "-i=1.5: not a whole number of seconds from 0 to 86400", ""},
      {{"-w="}, kInvalid + "-w=: no path", ""}, {{"-w=x"}, "", "0 0 -1 -1 -1 0 0 - 0 x"}, {{"-b"}, kNotAvailable, ""},
  };
  for (const auto& [args, error, globals] : rows) {
    DiagCapture diag;
    PortServer = PortClient = IdleLimitSeconds = UsePipe = 0;
    BindAddress = WireTracePath = nullptr;
    CmdClient_PipeSize = CmdClient_WriterPipeId = CmdClient_ReaderPipeId = -1;
    _MTrace_SetLevel("default", 0);
    std::vector<char*> argv = {const_cast<char*>("zorvane-server")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    EXPECT_EQ(parse_args(static_cast<int>(argv.size()), argv.data()), error.empty()) << args.back();
    EXPECT_EQ(diag.Messages("E"), error.empty() ? std::vector<std::string>{} : std::vector<std::string>{error});
    char actual[256];
    snprintf(actual, sizeof(actual), "%d %d %d %d %d %d %d", PortServer, PortClient, CmdClient_PipeSize,
             CmdClient_WriterPipeId, CmdClient_ReaderPipeId, UsePipe, MTrace_GetLevel("default"));
    std::string listener = BindAddress == nullptr && IdleLimitSeconds == 0 && WireTracePath == nullptr ? "" :
        std::string(" ") + (BindAddress ? BindAddress : "-") + " " + std::to_string(IdleLimitSeconds) + " " +
        (WireTracePath ? WireTracePath : "-");
    EXPECT_EQ(error.empty() ? actual + listener : globals, globals) << args.back();
  }
  _MTrace_SetLevel("default", 2);
}

TEST(CommandLine, TraceLevelFromEnvironment) {
  for (const auto& [value, level] : std::vector<std::pair<const char*, int>>{
           {nullptr, 2}, {"9", 5}, {"-3", 0}, {"abc", 0}, {"", 0}, {"3", 3}}) {
    value != nullptr ? setenv("MTRACE_LEVEL", value, 1) : unsetenv("MTRACE_LEVEL");
    GetMTraceLevelFromEnv();
    EXPECT_EQ(MTrace_GetLevel("default"), level) << (value ? value : "unset");
  }
  unsetenv("MTRACE_LEVEL");
  _MTrace_SetLevel("default", 2);
}

// Alone, each exits at once with status 0; the output is its own, on standard output.
TEST(CommandLine, CoverageHelpAndVersionAloneExitAtOnce) {
  // Option, the output or (for the usage) its start, whether that is all of it.
  for (const auto& [option, expected, whole] :
       {std::make_tuple("--coverage", "", true), std::make_tuple("--version", "zorvane-server 1.00-0\n", true),
        std::make_tuple("--help", "Usage: zorvane-server [-ps=PORT] ", false)}) {
    std::string output;  // standard output and error together, with every trace level on
    const std::string run = "MTRACE_LEVEL=5 exec \"$0\" \"$1\" >&2";
    EXPECT_EQ(RunToExit({"/bin/sh", "-c", run, ZORVANE_SERVER_BIN, option}, &output), 0) << option;
    EXPECT_EQ(whole ? output : output.substr(0, strlen(expected)), expected) << option;
    // Not alone, the option is refused like any unknown one; output that
    // cannot be written shows in the exit status.
    EXPECT_EQ(RunToExit({ZORVANE_SERVER_BIN, option, "x"}, &output), 1) << option;
    EXPECT_EQ(RunToExit({"/bin/sh", "-c", "exec \"$0\" \"$1\" >/dev/full", ZORVANE_SERVER_BIN, option}, &output),
              *expected ? 1 : 0) << option;
  }
}

// A bad option, a processor that is not there, or a pipe option naming a
// descriptor the server cannot use ends it with status 1 before it listens.
TEST(StartUp, FailuresExitWithStatusOne) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const std::string read_end = std::to_string(ends[0]), write_end = std::to_string(ends[1]);
  const std::string port = std::to_string(FreeLoopbackPort()), listen = std::to_string(FreeLoopbackPort());
  const int directory = open("/", O_RDONLY | O_DIRECTORY);  // a reader that fails every read
  using Strings = std::vector<std::string>;
  for (const auto& [options, messages] : std::vector<std::pair<Strings, Strings>>{
           {{"-x"}, {"Option not available!", "main(): parse_args() failed"}},
           {{"-w=/nonexistent/wire.log"},
            {"WireTrace::Open(): cannot open /nonexistent/wire.log: No such file or directory"}},
           {{"-b=192.0.2.1", "-pw=" + write_end, "-pr=" + read_end, "-s=16384"},
            {"MZorvaneTCPSocket::Run() CreateSocket() failed",
             "MZorvaneTCPSocket::CreateSocket(): bind(192.0.2.1," + listen +
                 ") failed: Cannot assign requested address"}},
           {{"-pc=" + port},
            {"MZorvaneCmdClient::create_socket(): connect(127.0.0.1," + port + ") failed: Connection refused",
             "MZorvaneTCPSocket::Run() Open() failed"}},
           {{"-pw=" + read_end}, {"main(): -pw=" + read_end + ": descriptor is not open for writing"}},
           {{"-pr=" + write_end}, {"main(): -pr=" + write_end + ": descriptor is not open for reading"}},
           {{"-pw=900"}, {"main(): -pw=900: descriptor is not open: Bad file descriptor"}},
           {{"-pr=1024"}, {"main(): -pr=1024: descriptor is not below FD_SETSIZE (1024)"}}}) {
    std::string log;
    Strings argv = {ZORVANE_SERVER_BIN, "-ps=" + listen};
    argv.insert(argv.end(), options.begin(), options.end());
    EXPECT_EQ(RunToExit(argv, &log, {ends[0], ends[1], directory}), 1) << options[0];
    EXPECT_EQ(DiagMessages(log, "E"), messages) << options[0];
  }
  for (int fd : {ends[0], ends[1], directory}) close(fd);
  std::string log;  // records that cannot be written are given up, not retried for ever
  EXPECT_EQ(RunToExit({"/bin/sh", "-c", "exec \"$0\" -x 2>&-", ZORVANE_SERVER_BIN}, &log), 1);
}

// select() cannot watch a descriptor of FD_SETSIZE or more: a listener there
// fails start-up, a client there is closed at once and the server serves on.
TEST(StartUp, DescriptorsBeyondSelectsLimit) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  if (limit.rlim_max < 1100 || setrlimit(RLIMIT_NOFILE, &limit) != 0) GTEST_SKIP() << "cannot open 1100 descriptors";
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);  // the channel, below the limit
  std::vector<int> held, keep;  // with them, the server inherits every descriptor up to 1030
  while (held.empty() || (held.back() >= 0 && held.back() < 1030)) held.push_back(open("/dev/null", O_RDONLY));
  ASSERT_GE(held.back(), 1030);
  for (int fd = 0; fd <= held.back(); ++fd) keep.push_back(fd);  // each open took the lowest free descriptor
  unsigned short port = FreeLoopbackPort();
  const std::vector<std::string> argv = {ZORVANE_SERVER_BIN, "-pw=" + std::to_string(ends[1]),
                                         "-pr=" + std::to_string(ends[0]), "-ps=" + std::to_string(port)};
  std::string log;
  EXPECT_EQ(RunToExit(argv, &log, keep), 1);
  EXPECT_EQ(CountDiagRecords(log, "E", "MZorvaneTCPSocket::Run() CreateSocket() failed"), 1);
  const std::string beyond = " is not below FD_SETSIZE (1024)";
  EXPECT_NE(log.find("MZorvaneTCPSocket::CreateSocket(): descriptor 10"), std::string::npos) << beyond;
  // One low descriptor free: the listener fits, the accepted client does not.
  keep.erase(std::find(keep.begin(), keep.end(), held[0]));
  ChildProcess server;
  ASSERT_TRUE(server.Start(argv, {"MTRACE_LEVEL"}, keep));
  int client = ConnectLoopback(port, 5000);
  EXPECT_EQ(UntilEnd(client), "");
  CloseFd(&client);
  EXPECT_TRUE(WaitUntil([&] { return server.Stderr().find(beyond + ", connection closed") != std::string::npos; }));
  EXPECT_TRUE(server.Running());
  for (int fd : held) close(fd);
  for (int fd : ends) close(fd);
  // No descriptor left for a client (0 to 2, the channel and the listener, and
  // with one more a first client, fill the limit): it waits, the server
  // neither spins nor floods its log, and a first client is served on.
  for (const auto& [limit, accept] : {std::make_pair(5, "OpenConnection"), std::make_pair(6, "BlockConnection")}) {
    ServerHarness starved;
    ASSERT_TRUE(starved.Start(Link::kTcp, "ulimit -n " + std::to_string(limit) + " && exec \"$0\" \"$@\""));
    int first = limit == 6 ? starved.ConnectClient() : -1, waiting = starved.ConnectRaw();
    EXPECT_LT(CpuMsOver(starved.process, 1500), 200) << "spinning on a client it cannot accept";
    const int failures = starved.CountLog(
        "E", "MZorvaneTCPSocket::" + std::string(accept) + "(): accept() failed: Too many open files");
    EXPECT_TRUE(failures >= 1 && failures <= 2) << failures;
    if (first != -1) starved.ExpectForwarded(first, "1 x\n", {"1:x"});
    for (int* fd : {&first, &waiting}) CloseFd(fd);
  }
}

// ---- the command processor fails ----

// Clients that come while the processor is away get one line each; the
// outage is logged once, and the client after it is served on a new channel.
TEST(ProcessorLoss, TcpChannelIsOpenedAgainForTheNextClient) {
  ServerHarness server;
  ASSERT_TRUE(server.Start(Link::kTcp));
  server.CloseProcessor();
  ASSERT_TRUE(server.WaitForLog("E", kLost));
  for (int i = 0; i < 2; ++i) EXPECT_EQ(server.ReceivedByNewClient(), Error(0, kUnavailable));
  int listen_fd = ListenLoopback(&server.processor_port);  // the server connects when the next client comes
  int client = server.ConnectRaw();
  server.TakeConnection(&listen_fd);
  ASSERT_TRUE(server.OpenSession(client));
  server.ExpectForwarded(client, "1 x\n", {"1:x"});
  const std::string processor = "MZorvaneTCPServer::Run(): command processor ";
  const std::string address = "127.0.0.1:" + std::to_string(server.processor_port);
  EXPECT_EQ(DiagMessages(server.process.Stderr(), "E"),
            (std::vector<std::string>{"MZorvaneCmdClient::FillReadBuffer(): read() returned 0", kLost,
                                      processor + "on " + address + " not reachable: " + strerror(ECONNREFUSED),
                                      processor + "reconnected on " + address}));
  server.CloseProcessor();  // a second outage is logged as the first was
  EXPECT_EQ(UntilEnd(client), Error(0, kUnavailable));
  EXPECT_TRUE(server.WaitForLog("E", kLost, 2));
  CloseFd(&client);
}

TEST_P(ServerOverLink, AnswerLineThatNeverEndsEndsTheConnectionNotTheChannel) {
  // An unfinished line of 1 MiB is held whole (the pause lets the server read
  // all of it before the line end comes); one byte more ends the client.
  const std::string longest(1024 * 1024, 'y');
  server.ExpectForwarded(client, "3 dump\n", {"3:dump"});
  ASSERT_TRUE(server.Answer(longest));
  usleep(300000);
  ASSERT_TRUE(server.Answer("\n" + Marker(3)));
  EXPECT_REPLIES(client, longest + "\n" + Ready(3));
  server.ExpectForwarded(client, "1 dump\n", {"1:dump"});
  ASSERT_TRUE(server.Answer(longest + "y"));
  ExpectSessionClosed();
  EXPECT_EQ(server.CountLog("E", "MZorvaneTCPServer::Run(): answer of more than 1048576 bytes without a line end"), 1);
  ServeNextClient(2);
  ASSERT_TRUE(server.Answer("fine\n" + Marker(2)));
  EXPECT_REPLIES(client, "fine\n" + Ready(2));
}

// ---- under a service manager ----

// The service manager's side of the notify socket: a datagram socket at a
// path, or at an abstract name when the path starts with '@'.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& name) : name(name) {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    name.copy(address.sun_path, name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    unlink(name.c_str());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  }
  ~NotifySocket() {
    close(fd);
    if (name[0] == '/') unlink(name.c_str());
  }
  // The next state other than a watchdog ping, "" when none comes within
  // timeout_ms; pings are counted.
  std::string NextState(int timeout_ms = 5000) {
    for (long long deadline = NowMs() + timeout_ms;;) {
      std::string state;  // a read takes one datagram
      if (ReadOnce(fd, &state, 256, deadline) <= 0) return "";
      if (state != "WATCHDOG=1") return state;
      ++pings;
    }
  }
  // The pings that come within `milliseconds`.
  int PingsOver(int milliseconds) {
    pings = 0;
    EXPECT_EQ(NextState(milliseconds), "");
    return pings;
  }
  int pings = 0;

 private:
  std::string name;
  int fd = -1;
};

// A row per way of being started: with a listener handed over on descriptor
// 3, the watchdog and standard error as the journal; or with variables meant
// for another process, or not naming this one plainly (+PID): the server
// binds its own listener, pings no watchdog, prefixes no record. Pings continue in every wait, also in the
// 60 s wait for the processor's answer to "close".
TEST(ServiceManager, ReadinessStatusWatchdogListenerAndJournal) {
  struct Row {
    std::string notify_name, launcher;
    bool handed_over;
  };
  const std::string exec = "; exec \"$0\" \"$@\"";
  for (const Row& row : {Row{"/tmp/zorvane-test-notify-" + std::to_string(getpid()),
                             "export LISTEN_PID=$$ WATCHDOG_PID=$$ JOURNAL_STREAM=$(stat -L -c %d:%i /dev/stderr)" +
                                 exec + " 3<&9 9<&-", true},
                         Row{"@zorvane-test-notify-" + std::to_string(getpid()),
                             "export LISTEN_PID=+$$ WATCHDOG_PID=1 JOURNAL_STREAM=$(stat -L -c %d:%i /dev/null)" + exec,
                             false}}) {
    NotifySocket manager(row.notify_name);
    ServerHarness server;
    int listener = ListenLoopback(&server.server_port);  // without a hand-over, the server binds the port itself
    ASSERT_TRUE(!row.handed_over || dup2(listener, 9) == 9);
    CloseFd(&listener);
    ASSERT_TRUE(server.Start(Link::kTcp, row.launcher,
                             {"NOTIFY_SOCKET=" + row.notify_name, "LISTEN_FDS=1", "WATCHDOG_USEC=200000"},
                             row.handed_over ? 9 : -1));
    EXPECT_EQ(manager.NextState(), "READY=1");
    EXPECT_EQ(manager.NextState(), "STATUS=listening, no client");
    EXPECT_GE(manager.PingsOver(600), row.handed_over ? 3 : 0) << "waiting for a client";
    int client = server.ConnectClient();
    EXPECT_EQ(manager.NextState(), "STATUS=serving " + LocalEnd(client));
    EXPECT_GE(manager.PingsOver(600), row.handed_over ? 3 : 0) << "serving an idle client";
    EXPECT_EQ(server.ReceivedByNewClient(), kRefusal);  // with an error record
    ASSERT_TRUE(WriteAll(client, ".\n"));
    EXPECT_EQ(server.ReadRecord(), "0:close");
    const long cpu_before = server.process.CpuMs();
    EXPECT_GE(manager.PingsOver(600), row.handed_over ? 3 : 0) << "waiting for the answer to close";
    EXPECT_LT(server.process.CpuMs() - cpu_before, 200) << "spinning in the wait for the answer to close";
    ASSERT_TRUE(server.Answer(Marker(0)));
    EXPECT_EQ(manager.NextState(), "STATUS=listening, no client");
    EXPECT_EQ(server.process.Stop(SIGTERM), 128 + SIGTERM);
    EXPECT_EQ(manager.NextState(), "STOPPING=1");
    EXPECT_EQ(manager.pings == 0, !row.handed_over);
    // Error records at priority 3, traces of levels 1 and 2 at 6.
    std::set<std::string> kinds;
    const std::string log = server.process.Stderr();
    for (const DiagRecord& record : DiagRecords(log)) kinds.insert(record.tag.substr(0, 1) + record.priority);
    EXPECT_EQ(kinds, (row.handed_over ? std::set<std::string>{"E<3>", "T<6>"} : std::set<std::string>{"E", "T"}));
    const std::string listening = row.handed_over ? "127.0.0.1:" + std::to_string(server.server_port) + " (socket from systemd)"
                                                  : "0.0.0.0:" + std::to_string(server.server_port);
    EXPECT_EQ(server.CountLog("T2", "MZorvaneTCPServer::Run(): listening on " + listening + ", " + server.channel), 1);
    CloseFd(&client);
  }
}

// ---- the listening address, the idle limit, the wire trace ----

// -b=: a client of the bound address is served and logged in its family's
// form (an IPv4 client of "::" unmapped), a second one refused; an address
// the listener does not cover is refused by the system.
TEST(ListenAddress, EachFamily) {
  int probe = socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 loopback{AF_INET6, 0, 0, IN6ADDR_LOOPBACK_INIT, 0};
  const bool has_ipv6 = bind(probe, reinterpret_cast<sockaddr*>(&loopback), sizeof(loopback)) == 0;
  close(probe);
  if (!has_ipv6) GTEST_SKIP() << "no IPv6 loopback";
  struct Row {
    std::string bind, client, logged_as, not_covered, listening;
  };
  for (const Row& row : {Row{"::1", "::1", "[::1]:", "127.0.0.1", "[::1]:"}, Row{"::", "127.0.0.1", "127.0.0.1:", "", "[::]:"},
                         Row{"127.0.0.1", "127.0.0.1", "127.0.0.1:", "::1", "127.0.0.1:"}}) {
    ServerHarness server;
    server.options = {"-b=" + row.bind};
    ASSERT_TRUE(server.Start(Link::kPipes));
    int client = -1;
    ASSERT_TRUE(WaitUntil([&] { return (client = ConnectNumeric(row.client, server.server_port)) >= 0; }));
    ASSERT_TRUE(server.OpenSession(client)) << row.bind;
    int second = ConnectNumeric(row.client, server.server_port);
    EXPECT_EQ(UntilEnd(second), kRefusal) << row.bind;
    CloseFd(&second);
    if (!row.not_covered.empty()) {
      EXPECT_EQ(ConnectNumeric(row.not_covered, server.server_port), -1) << row.bind;
    }
    const std::string log = server.process.Stderr();
    EXPECT_NE(log.find("listening on " + row.listening + std::to_string(server.server_port) + ","), std::string::npos) << log;
    EXPECT_NE(log.find("accepted client " + row.logged_as), std::string::npos) << log;
    EXPECT_NE(log.find("refused client " + row.logged_as), std::string::npos) << log;
    CloseFd(&client);
  }
}

class ServerWithOption : public ServedClient, public ::testing::WithParamInterface<Link> {
 protected:
  void Start(const std::vector<std::string>& options) {
    server.options = options;
    Open(server.Start(GetParam()));
  }
};

// -i=1: an open transaction keeps a silent client; once it is done and
// nothing moves for a second, the client is told and the connection ends
// as others do (the session is closed) and the next client is served. A wire
// trace that cannot be written loses its records, logged once; every reply
// is as without it.
TEST_P(ServerWithOption, IdleClientIsEndedAfterTheLimit) {
  Start({"-i=1", "-w=/dev/full"});
  server.ExpectForwarded(client, "1 autoinfo\n", {"1:autoinfo"});
  EXPECT_EQ(ReadAvailable(client, 1200), "") << "ended while a transaction was open";
  ASSERT_TRUE(server.Answer(Marker(1)));
  EXPECT_REPLIES(client, Ready(1));
  for (const char* line : {"a\n", "b\n", "c\n"}) {  // output relayed with no transaction open moves too
    usleep(400000);
    ASSERT_TRUE(server.Answer(line));
  }
  EXPECT_REPLIES(client, "a\nb\nc\n" + Error(0, "idle time exceeded"));
  ExpectSessionClosed();
  EXPECT_EQ(server.CountLog("T1", "MZorvaneTCPServer::Run(): client " + LocalEnd(client) +
                                      " idle for 1 seconds, closing connection"), 1);
  ServeNextClient(2);
  EXPECT_EQ(server.CountLog("E", "WireTrace: write failed, records dropped from now on are only counted: "
                                 "No space left on device"), 1);
  server.process.Signal(SIGHUP);  // the reopen counts the records lost
  const std::string reopened = "/dev/full reopened, ";
  ASSERT_TRUE(WaitUntil([&] { return server.process.Stderr().find(reopened) != std::string::npos; }));
  const std::string log = server.process.Stderr();
  const long dropped = strtol(log.c_str() + log.find(reopened) + reopened.size(), nullptr, 10);
  EXPECT_TRUE(dropped > 0 && dropped < 1000) << dropped;
}

// -w=: a line for each read and write, escaped; after a rename and SIGHUP
// the trace goes on in a new file.
TEST_P(ServerWithOption, WireTraceRecordsEveryHopAndIsReopenedOnSighup) {
  const std::string path = "/tmp/zorvane-test-wire-" + std::to_string(getpid());
  Start({"-w=" + path});
  ASSERT_TRUE(WriteAll(client, "1 echo a\x01\n"));
  EXPECT_REPLIES(client, Ack(1));
  EXPECT_EQ(server.ReadRecord(), "1:echo a\x01");
  ASSERT_TRUE(server.Answer("a\n" + Marker(1)));
  EXPECT_REPLIES(client, "a\n" + Ready(1));
  // The lines of a file without their timestamps, once the last one expected has been written.
  auto lines = [](const std::string& file, const std::string& last) {
    std::string text;
    WaitUntil([&] {
      std::ifstream in(file);
      text.clear();
      for (std::string line; std::getline(in, line);) text += line.substr(std::min(kRecordStampLength, line.size())) + "|";
      return text.find(last) != std::string::npos;
    }, 1000);
    return text;
  };
  EXPECT_EQ(lines(path, "0001\tready"),
            "server>processor 7: \\x00\\x00open\\x00|processor>server 3: \\x00\\x00\\x00|server>client 12: 0000\tready\\r\\n|"
            "client>server 10: 1 echo a\\x01\\n|server>processor 10: \\x00\\x01echo a\\x01\\x00|server>client 10: 0001\tack\\r\\n|"
            "processor>server 5: a\\n\\x00\\x00\\x01|server>client 14: a\\n0001\tready\\r\\n|");
  ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
  server.process.Signal(SIGHUP);
  server.ExpectForwarded(client, "2 x\n", {"2:x"});
  EXPECT_EQ(lines(path, "0002"), "client>server 4: 2 x\\n|server>processor 4: \\x00\\x02x\\x00|server>client 10: 0002\tack\\r\\n|");
  unlink(path.c_str()), unlink((path + ".1").c_str());
  EXPECT_EQ(server.CountLog("T1", "WireTrace::Flush(): " + path + " reopened, 0 records dropped so far"), 1);
}

INSTANTIATE_TEST_SUITE_P(Links, ServerWithOption, ::testing::Values(Link::kTcp, Link::kPipes),
                         [](const auto& info) { return LinkName(info.param); });

// ---- clients that misbehave, a long run ----

// The replies split into the server's acks and the rest, each in its order.
std::pair<std::string, std::string> AcksAndRest(const std::string& received) {
  std::pair<std::string, std::string> split;
  for (size_t start = 0, end = 0; start < received.size(); start = end) {
    end = std::min(received.find('\n', start), received.size() - 1) + 1;
    const bool ack = end - start == 10 && received.compare(start + 4, 6, "\tack\r\n") == 0;
    (ack ? split.first : split.second).append(received, start, end - start);
  }
  return split;
}

class WithRealProcessor : public ServedClient {
 protected:
  void SetUp() override { Open(server.StartWithProcessor()); }

  void ExpectNextClientServed() {
    CloseFd(&client);  // with output unread: the server sees a reset
    int next = server.ConnectClient();
    ASSERT_TRUE(WriteAll(next, "1 echo next client\n"));
    EXPECT_REPLIES(next, Ack(1) + "next client\n" + Ready(1));
    CloseFd(&next);
    EXPECT_TRUE(server.process.Running());
  }

};

TEST_F(WithRealProcessor, KilledMidTransactionEndsTheClientAndARestartedOneServesTheNext) {
  ASSERT_TRUE(WriteAll(client, "1 count 1000000000\n"));
  std::string received = ReadWhileSending(client, 100000);
  server.processor.Stop(SIGKILL);
  received += UntilEnd(client);
  const size_t count_end = received.size() - std::min(received.size(), Error(0, kUnavailable).size());
  EXPECT_EQ(received.substr(count_end), Error(0, kUnavailable));
  received.resize(count_end);
  std::string stream = Ack(1) + CountLines(received.size() / 2);  // at least two bytes a line
  EXPECT_EQ(stream.compare(0, received.size(), received), 0) << "not a prefix of the count";
  CloseFd(&client);
  EXPECT_EQ(server.ReceivedByNewClient(), Error(0, kUnavailable));
  ASSERT_TRUE(server.StartProcessor());
  ExpectNextClientServed();
  EXPECT_EQ(server.CountLog("E", kLost), 1);
}

TEST_F(WithRealProcessor, FloodWithoutReadingIsHeldBackAndAnsweredInOrder) {
  int small = 64 * 1024;  // a fixed send buffer: the kernel cannot take in the whole flood
  setsockopt(client, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  std::string requests, acks, relayed;
  for (int tid = 1; tid <= 9999; ++tid) {
    std::string text = "flood " + std::to_string(tid) + " " +
                       std::string(static_cast<size_t>(1500 + tid % 500), static_cast<char>('a' + tid % 26));
    requests += std::to_string(tid) + " echo " + text + "\n";
    acks += Ack(tid);
    relayed += text + "\n" + Ready(tid);
  }
  size_t sent = SendWhileTaken(client, requests, 0);
  EXPECT_LT(sent, requests.size());  // the server stopped reading
  auto [got_acks, got_rest] = AcksAndRest(ReadWhileSending(client, acks.size() + relayed.size(), requests, sent));
  EXPECT_TRUE(SameBytes(got_acks, acks));
  EXPECT_TRUE(SameBytes(got_rest, relayed));
  ExpectNextClientServed();
}

}  // namespace
