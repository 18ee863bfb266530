#include <fcntl.h>
#include <signal.h>

#include <atomic>
#include <thread>
#include <tuple>

#include "diag_capture.h"
#include "forms.h"
#include "mzorvanecmdclient.h"
#include "net.h"

namespace {

const std::string kOpenWire = WireRecord(0, "open");
const std::string kCloseWire = WireRecord(0, "close");
const std::string kPipeEndError = "FillReadBuffer(): read() returned 0, the command processor closed the pipe";

// The test plays the command processor: it reads commands from processor_in
// and writes answers to processor_out (over TCP, two descriptors of one socket).
class CmdClientTest : public ::testing::Test {
 protected:
  void TearDown() override {
    _MTrace_SetLevel("default", 2);
    FinishAnswerer();
    client.Close();
    for (int* fd : {&processor_in, &processor_out, &client_writer, &client_reader, &listener}) CloseFd(fd);
  }

  void Connect(Link link) {
    tcp = link == Link::kTcp;
    if (tcp) {
      unsigned short port = 0;
      listener = ListenLoopback(&port);
      ASSERT_TRUE(listener >= 0 && client.Open(port) == 1);
      processor_in = AcceptWithin(listener);
      ASSERT_GE(processor_in, 0);
      processor_out = dup(processor_in);
      return;
    }
    int commands[2], answers[2];
    ASSERT_TRUE(pipe(commands) == 0 && pipe(answers) == 0);
    processor_in = commands[0];
    client_writer = commands[1];
    client_reader = answers[0];
    processor_out = answers[1];
    client.SetWriterPipeId(client_writer);
    client.SetReaderPipeId(client_reader);
    ASSERT_EQ(client.Open(0), 1);
  }

  void OpenSessionSeenByProcessor() {
    ASSERT_EQ(client.OpenSession(), 1);
    ASSERT_TRUE(Receives(processor_in, kOpenWire));
  }

  void FinishAnswerer() {
    wait_over = true;
    if (answerer.joinable()) answerer.join();
  }

  DiagCapture diag;
  MZorvaneCmdClient client;
  bool tcp = true;
  int listener = -1, processor_in = -1, processor_out = -1, client_writer = -1, client_reader = -1;
  std::thread answerer;
  std::atomic<bool> wait_over{false};
  std::string received_by_processor;
};

// A port above 65535 must not be cut to the port below it.
TEST_F(CmdClientTest, RejectsWhatItCannotUseAndKeepsThePreviousValue) {
  const unsigned port = FreeLoopbackPort();
  for (unsigned tried : {port, 65536u + port}) {
    EXPECT_EQ(client.Open(tried), 0);
    EXPECT_EQ(client.GetWriterFD(), -1);
  }
  client.SetWriterPipeId(5);
  client.SetReaderPipeId(0);
  client.SetWriterPipeId(0);
  client.SetReaderPipeId(-1);
  client.SetPipeSize(-1);
  client.SetPipeSize(MZorvaneCmdClient::kMaxPipeSize);
  EXPECT_EQ(client.GetPipeSize(), MZorvaneCmdClient::kMaxPipeSize);
  client.SetPipeSize(MZorvaneCmdClient::kMaxPipeSize + 1);
  EXPECT_EQ(client.GetPipeSize(), MZorvaneCmdClient::kMaxPipeSize);
  client.SetPipeSize(16384);
  EXPECT_EQ(diag.Messages("E"),
            (std::vector<std::string>{
                "MZorvaneCmdClient::create_socket(): connect(127.0.0.1," + std::to_string(port) +
                    ") failed: Connection refused",
                "MZorvaneCmdClient::create_socket(): port " + std::to_string(65536u + port) + " is out of range",
                "SetWriterPipeId(): invalid path id for pipe (#0)",
                "SetReaderPipeId(): invalid path id for pipe (#-1)",
                "SetPipeSize(): invalid pipe size (#-1), use default #16384",
                "SetPipeSize(): pipe size #1048577 too large, use #1048576",
            }));
  EXPECT_EQ(client.GetWriterFD(), 5);
  EXPECT_EQ(client.GetReaderFD(), 0);
  EXPECT_EQ(client.GetPipeSize(), 16384);
}

// One session at a time and nothing sent outside it; closing without "close"
// sends nothing and drops what both buffers held.
TEST_F(CmdClientTest, SessionQueuesCommandsInTheirWireFormOnlyWhileOpen) {
  ASSERT_NO_FATAL_FAILURE(Connect(Link::kTcp));
  int nodelay = 0;
  socklen_t length = sizeof(nodelay);
  ASSERT_EQ(getsockopt(client.GetWriterFD(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &length), 0);
  EXPECT_EQ(nodelay, 1);  // a command leaves at once, not when the previous one is acknowledged
  struct linger linger {};
  length = sizeof(linger);
  getsockopt(client.GetWriterFD(), SOL_SOCKET, SO_LINGER, &linger, &length);
  EXPECT_EQ(std::make_pair(linger.l_onoff, linger.l_linger), std::make_pair(1, 1)) << "a close waits 1 s";
  EXPECT_EQ(client.SendCommand(MZorvaneCmdCommand(1, "status")), 0);
  EXPECT_EQ(client.SendAbort(1, 2), 0);
  EXPECT_FALSE(client.CloseSession(true));
  ASSERT_NO_FATAL_FAILURE(OpenSessionSeenByProcessor());
  EXPECT_EQ(client.OpenSession(), 0);

  ASSERT_EQ(client.SendAbort(7, 0), 1);
  ASSERT_EQ(client.SendAbort(7, 12), 1);
  ASSERT_EQ(client.SendAbort(0x10203, 12345), 1);
  const std::string queued = WireRecord(7, "abort") + WireRecord(7, "abort 0012") + WireRecord(0x203, "abort 12345");
  EXPECT_EQ(client.WriteBuffer(), queued);
  ASSERT_TRUE(client.FlushCommandBuffer());
  EXPECT_TRUE(Receives(processor_in, queued));

  ASSERT_TRUE(WriteAll(processor_out, "late\n"));
  ASSERT_TRUE(WaitReadable(client.GetReaderFD(), 3000));
  ASSERT_EQ(client.FillReadBuffer(), 1);
  ASSERT_EQ(client.SendCommand(MZorvaneCmdCommand(12, "autoinfo")), 1);
  EXPECT_TRUE(client.CloseSession(false));
  EXPECT_EQ(client.ReadBuffer(), "");
  EXPECT_EQ(client.GetNumUnwrittenCommands(), 0u);
  EXPECT_EQ(client.SendCommand(MZorvaneCmdCommand(1, "status")), 0);
  EXPECT_EQ(ReadAvailable(processor_in, 100), "");
}

TEST_F(CmdClientTest, PipeReadsTakeAtMostThePipeSizeAndEndOfFileFails) {
  ASSERT_NO_FATAL_FAILURE(Connect(Link::kPipes));
  // A read takes the default 16 KiB, then, with a larger size, all the pipe holds.
  std::string full_pipe(1 << 16, 'p');
  full_pipe.back() = 'q';
  ASSERT_TRUE(WriteAll(processor_out, full_pipe));
  EXPECT_EQ(client.FillReadBuffer(), 1);
  EXPECT_EQ(client.ReadBuffer().size(), 16384u);
  client.SetPipeSize(1 << 16);
  EXPECT_EQ(client.FillReadBuffer(), 1);
  EXPECT_TRUE(client.ReadBuffer() == full_pipe);
  client.ReadBuffer().clear();
  client.SetPipeSize(4);
  _MTrace_SetLevel("default", 5);
  EXPECT_EQ(client.FillReadBuffer(), 1);  // nothing yet: not a failure
  const std::string answer("\x01" "b\x02\0cd", 6);
  ASSERT_TRUE(WriteAll(processor_out, answer));
  CloseFd(&processor_out);
  EXPECT_EQ(client.FillReadBuffer(), 1);
  EXPECT_EQ(client.ReadBuffer(), answer.substr(0, 4));
  EXPECT_EQ(client.FillReadBuffer(), 1);
  EXPECT_EQ(client.FillReadBuffer(), 0);
  EXPECT_EQ(client.ReadBuffer(), answer);
  EXPECT_EQ(diag.Messages("E"), std::vector<std::string>{kPipeEndError});
  // The finest trace shows each read with unprintable bytes as dots; the buffer keeps the bytes.
  EXPECT_EQ(diag.Messages("T5"), (std::vector<std::string>{"FillReadBuffer(): received (cnt=4) '.b..' ",
                                                           "FillReadBuffer(): received (cnt=2) 'cd' "}));
}

// A processor that resets the connection: the first read loses the socket.
TEST_F(CmdClientTest, ResetByTheProcessorLosesTheSocket) {
  ASSERT_NO_FATAL_FAILURE(Connect(Link::kTcp));
  struct linger reset_on_close = {1, 0};
  setsockopt(processor_in, SOL_SOCKET, SO_LINGER, &reset_on_close, sizeof(reset_on_close));
  CloseFd(&processor_out);
  CloseFd(&processor_in);
  ASSERT_TRUE(WaitReadable(client.GetReaderFD(), 3000));
  EXPECT_EQ(client.FillReadBuffer(), 0);
  EXPECT_TRUE(client.IsSocketLost());
  EXPECT_EQ(diag.Messages("E"),
            std::vector<std::string>{"MZorvaneCmdClient::FillReadBuffer(): read() failed: Connection reset by peer"});
}

// ---- the same over a loopback connection and over a pair of pipes ----

class CmdClientOverLink : public CmdClientTest, public ::testing::WithParamInterface<Link> {};

TEST_P(CmdClientOverLink, WriteToAGoneProcessorFailsWithoutASignal) {
  ASSERT_NO_FATAL_FAILURE(Connect(GetParam()));
  CloseFd(&processor_in);
  CloseFd(&processor_out);
  ASSERT_EQ(client.OpenSession(), 1);
  bool flushed = true;
  for (int attempt = 0; attempt < 100 && flushed; ++attempt) {
    client.SendCommand(MZorvaneCmdCommand(1, "status"));
    flushed = client.FlushCommandBuffer();
    if (flushed) usleep(10000);
  }
  EXPECT_FALSE(flushed);
  EXPECT_EQ(client.WriteBuffer(), (tcp ? "" : kOpenWire) + WireRecord(1, "status"));
  const std::string error = tcp ? "MZorvaneCmdClient::FlushCommandBuffer(): write() failed: "
                                : "FlushOutputBuffer: Error writing over pipe Broken pipe write_len=-1";
  ASSERT_FALSE(diag.Messages("E").empty());
  EXPECT_EQ(diag.Messages("E").back().substr(0, error.size()), error);
  EXPECT_EQ(std::make_pair(client.IsSocketLost(), client.IsPipeBroken()), std::make_pair(tcp, !tcp));
  sigset_t pending, mask;
  sigpending(&pending);
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_EQ(sigismember(&pending, SIGPIPE) + sigismember(&mask, SIGPIPE), 0) << "SIGPIPE pending or left blocked";
}

INSTANTIATE_TEST_SUITE_P(Links, CmdClientOverLink, ::testing::Values(Link::kTcp, Link::kPipes),
                         [](const auto& info) { return LinkName(info.param); });

// The processor's side of a close: what already waits when "close" is sent, a
// command too long for the link to take at once ("" for none), what is to be
// left in the receive buffer, the chunks written once "close" has arrived,
// whether it then hangs up, and what CloseSession is to return (a wait that is
// to end gets 10 s, one that is to give up 50 ms).
struct CloseCase {
  std::string name, before_close, queued, left;
  std::vector<std::string> chunks;
  bool hang_up, closed;
};
void PrintTo(const CloseCase& row, std::ostream* out) { *out << row.name; }

const CloseCase kCloseCases[] = {
    // Every complete marker goes in one poll: one a poll would take 30 s here.
    {"BacklogOfMarkersTakenAtOnce", [] {
       std::string backlog;
       for (int i = 0; i < 3000; ++i) backlog += "x\n" + Marker(5);
       return backlog;
     }(), "", "", {Marker(0) + "after"}, false, true},
    {"AnswerSplitOverReads", "", "", "", {"bye\n" + std::string(2, '\0'), std::string(1, '\0')}, false, true},
    {"ProcessorHangsUp", "", "", "", {}, true, true},
    // A blocking reader pipe must not hold the wait past its limit.
    {"NoAnswerKeepsAnIncompleteMarker", "text" + std::string(2, '\0'), "", std::string(2, '\0'), {}, false, false},
    // A full link takes the rest later, and the close wait keeps offering it.
    {"PartialWriteFinishedByTheWait", "", std::string(1 << 20, 'x'), "", {Marker(0)}, false, true},
};

class CmdClientClose : public CmdClientTest, public ::testing::WithParamInterface<std::tuple<Link, CloseCase>> {};

TEST_P(CmdClientClose, SendsCloseAndWaitsForItsAnswer) {
  const auto& [link, row] = GetParam();
  ASSERT_NO_FATAL_FAILURE(Connect(link));
  ASSERT_NO_FATAL_FAILURE(OpenSessionSeenByProcessor());
  ASSERT_TRUE(WriteAll(processor_out, row.before_close));
  const std::string queued = row.queued.empty() ? "" : WireRecord(1, row.queued);
  if (!queued.empty()) {
    ASSERT_EQ(fcntl(client.GetWriterFD(), F_SETFL, O_NONBLOCK), 0);
    ASSERT_EQ(client.SendCommand(MZorvaneCmdCommand(1, row.queued)), 1);
    ASSERT_TRUE(client.FlushCommandBuffer());
    const size_t left = client.GetNumUnwrittenCommands();
    ASSERT_GT(left, 0u);
    EXPECT_TRUE(client.WriteBuffer() == queued.substr(queued.size() - left)) << "bytes lost or out of order";
  }
  client.SetCloseWaitLimit(row.closed ? 10.0 : 0.05);
  // A second thread plays the processor, as the client holds this one for the
  // whole wait: it reads what is sent, writes the chunks 50 ms apart so that
  // they arrive in separate reads, then hangs up, at once if asked, else when
  // the wait is over or at 5 s.
  answerer = std::thread([this, &row, size = queued.size() + kCloseWire.size()] {
    ReadExactly(processor_in, size, &received_by_processor, 10000);
    for (const std::string& chunk : row.chunks) usleep(50000), WriteAll(processor_out, chunk);
    for (int pause = 0; pause < 500 && !row.hang_up && !wait_over; ++pause) usleep(10000);
    if (tcp) shutdown(processor_out, SHUT_WR);
    if (!tcp) CloseFd(&processor_out);
  });
  EXPECT_EQ(client.CloseSession(true), row.closed);
  FinishAnswerer();
  EXPECT_TRUE(received_by_processor == queued + kCloseWire) << "bytes lost or out of order";
  EXPECT_FALSE(client.IsSessionOpen());
  EXPECT_EQ(client.ReadBuffer(), row.left);
  std::vector<std::string> errors;
  if (row.hang_up) errors.push_back(tcp ? "MZorvaneCmdClient::FillReadBuffer(): read() returned 0" : kPipeEndError);
  if (!row.closed) errors.push_back("CloseSession(): Don't received answer of close command inside 0 seconds");
  EXPECT_EQ(diag.Messages("E"), errors);
  // A socket that failed or gave up must be opened anew; a pipe at its end cannot be.
  EXPECT_EQ(client.IsSocketLost(), tcp && (row.hang_up || !row.closed));
  EXPECT_EQ(client.IsPipeBroken(), !tcp && row.hang_up);
}

INSTANTIATE_TEST_SUITE_P(Links, CmdClientClose,
                         ::testing::Combine(::testing::Values(Link::kTcp, Link::kPipes),
                                            ::testing::ValuesIn(kCloseCases)),
                         [](const auto& info) {
                           return std::get<1>(info.param).name + "Over" + LinkName(std::get<0>(info.param));
                         });

}  // namespace
