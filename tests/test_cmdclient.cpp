#include <fcntl.h>
#include <signal.h>
#include <sys/select.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "diag_capture.h"
#include "mzorvanecmdclient.h"
#include "net.h"
#include "qdrcore.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Wire(short tid, const std::string& text) {
  std::string out;
  MZorvaneCmdCommand(tid, text).Serialize(&out);
  return out;
}

std::string Bytes(std::initializer_list<unsigned char> values) { return std::string(values.begin(), values.end()); }

std::string Marker(unsigned short tid) { return Bytes({0x00, static_cast<unsigned char>(tid >> 8), static_cast<unsigned char>(tid)}); }

const std::string kOpenWire = Bytes({0x00, 0x00, 'o', 'p', 'e', 'n', 0x00});
const std::string kCloseWire = Bytes({0x00, 0x00, 'c', 'l', 'o', 's', 'e', 0x00});
const std::string kCloseAnswer = Marker(0);

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool AnyStartsWith(const std::vector<std::string>& messages, const std::string& prefix) {
  for (const std::string& message : messages) {
    if (message.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Reads into the client until its receive buffer holds `size` bytes.
bool FillUntil(MZorvaneCmdClient* client, size_t size) {
  for (int pass = 0; pass < 100 && client->ReadBuffer().size() < size; ++pass) {
    if (!WaitReadable(client->GetReaderFD(), 3000) || client->FillReadBuffer() != 1) return false;
  }
  return client->ReadBuffer().size() >= size;
}

bool SigpipeIsPending() {
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&pending, SIGPIPE) == 1;
}

bool SigpipeHasDefaultAction() {
  struct sigaction current;
  sigaction(SIGPIPE, nullptr, &current);
  return current.sa_handler == SIG_DFL;
}

// The processor's side of a close, played from a second thread because the
// client holds the test's thread for the whole wait. Reads until "close" has
// arrived, then writes each chunk after a pause so that the chunks arrive in
// separate reads, and hangs up if asked.
class CloseAnswerer {
 public:
  CloseAnswerer(int fd, std::vector<std::string> chunks, bool hang_up)
      : worker([this, fd, chunks, hang_up] { Run(fd, chunks, hang_up); }) {}
  ~CloseAnswerer() { Join(); }
  void Join() {
    if (worker.joinable()) worker.join();
  }
  // Valid after Join.
  const std::string& Received() const { return received; }

 private:
  void Run(int fd, const std::vector<std::string>& chunks, bool hang_up) {
    Clock::time_point start = Clock::now();
    char chunk[65536];
    while (!EndsWith(received, kCloseWire) && SecondsSince(start) < 10.0) {
      if (!WaitReadable(fd, 100)) continue;
      ssize_t n = read(fd, chunk, sizeof(chunk));
      if (n <= 0) break;
      received.append(chunk, static_cast<size_t>(n));
    }
    for (const std::string& bytes : chunks) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      WriteAll(fd, bytes);
    }
    if (hang_up) close(fd);
  }

  std::string received;
  std::thread worker;
};

class CmdClientTest : public ::testing::Test {
 protected:
  // A close wait that goes wrong fails after 10 s rather than 60.
  void SetUp() override {
    _MTrace_SetLevel("default", 5);
    client.SetCloseWaitLimit(10.0);
  }
  void TearDown() override { _MTrace_SetLevel("default", 2); }

  DiagCapture diag;
  MZorvaneCmdClient client;
};

// ---- configuration and set-up ----

TEST_F(CmdClientTest, RejectsPipeIdsThatCannotBeUsed) {
  client.SetWriterPipeId(5);
  client.SetReaderPipeId(0);
  EXPECT_TRUE(diag.Has("T5", "SetWriterPipeId(): writer_fd=5"));
  EXPECT_TRUE(diag.Has("T5", "SetReaderPipeId(): reader_fd=0"));

  client.SetWriterPipeId(0);
  client.SetWriterPipeId(-3);
  client.SetWriterPipeId(FD_SETSIZE);
  client.SetReaderPipeId(-1);
  client.SetReaderPipeId(FD_SETSIZE);
  const std::string too_big = "(#" + std::to_string(FD_SETSIZE) + ")";
  EXPECT_EQ(diag.Messages("E"), (std::vector<std::string>{
                                    "SetWriterPipeId(): invalid path id for pipe (#0)",
                                    "SetWriterPipeId(): invalid path id for pipe (#-3)",
                                    "SetWriterPipeId(): invalid path id for pipe " + too_big,
                                    "SetReaderPipeId(): invalid path id for pipe (#-1)",
                                    "SetReaderPipeId(): invalid path id for pipe " + too_big,
                                }));
  EXPECT_EQ(client.GetWriterFD(), 5);
  EXPECT_EQ(client.GetReaderFD(), 0);
}

TEST_F(CmdClientTest, RejectsPipeSizeBelowOne) {
  client.SetPipeSize(0);
  EXPECT_TRUE(diag.Has("E", "SetPipeSize(): invalid pipe size (#0), use default #16384"));
  EXPECT_EQ(client.GetPipeSize(), 16384);
  client.SetPipeSize(16384);
  EXPECT_TRUE(diag.Has("T5", "SetPipeSize(): pipe size = 16384"));
}

TEST_F(CmdClientTest, OpenRefusesPortAbove65535) {
  unsigned short port = 0;
  int listener = ListenLoopback(&port);
  ASSERT_GE(listener, 0);
  const unsigned wide_port = 65536u + port;
  EXPECT_EQ(client.Open(wide_port), 0);
  EXPECT_TRUE(diag.Has("E", "MZorvaneCmdClient::create_socket(): port " + std::to_string(wide_port) +
                                " is out of range"));
  EXPECT_EQ(client.GetWriterFD(), -1);
  EXPECT_FALSE(WaitReadable(listener, 100)) << "connected to the low 16 bits of the port";
  CloseFd(&listener);
}

TEST_F(CmdClientTest, OpenFailsWhenNothingListens) {
  const unsigned short port = FreeLoopbackPort();
  EXPECT_EQ(client.Open(port), 0);
  EXPECT_TRUE(diag.Has("E", "MZorvaneCmdClient::create_socket(): connect(127.0.0.1," + std::to_string(port) +
                                ") failed: Connection refused"));
  EXPECT_EQ(client.GetWriterFD(), -1);
}

// ---- over TCP: the test is the command processor behind a loopback listener ----

class CmdClientTcp : public CmdClientTest {
 protected:
  void SetUp() override {
    CmdClientTest::SetUp();
    listener = ListenLoopback(&port);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(client.Open(port), 1);
    processor = AcceptWithin(listener);
    ASSERT_GE(processor, 0);
  }
  void TearDown() override {
    client.Close();
    CloseFd(&processor);
    CloseFd(&listener);
    CmdClientTest::TearDown();
  }

  void OpenSessionSeenByProcessor() {
    ASSERT_EQ(client.OpenSession(), 1);
    std::string received;
    ASSERT_TRUE(ReadExactly(processor, kOpenWire.size(), &received));
    ASSERT_EQ(received, kOpenWire);
  }

  unsigned short port = 0;
  int listener = -1;
  int processor = -1;
};

TEST_F(CmdClientTcp, OpenConnectsNonBlockingAndTracesTheSocket) {
  EXPECT_TRUE(diag.Has("T1", "MZorvaneCmdClient::create_socket(): Using port " + std::to_string(port)));
  EXPECT_TRUE(AnyStartsWith(diag.Messages("T2"), "MZorvaneCmdClient: SO_SNDVUF = "));
  EXPECT_EQ(client.GetReaderFD(), client.GetWriterFD());
  EXPECT_NE(fcntl(client.GetWriterFD(), F_GETFL) & O_NONBLOCK, 0);
  client.Close();
  client.Close();
  EXPECT_EQ(client.GetWriterFD(), -1);
  EXPECT_TRUE(diag.Messages("E").empty());
}

TEST_F(CmdClientTcp, OpenSessionTwiceSendsOneOpen) {
  OpenSessionSeenByProcessor();
  EXPECT_EQ(client.OpenSession(), 0);
  EXPECT_EQ(client.GetNumUnwrittenCommands(), 0u);
  EXPECT_EQ(ReadAvailable(processor, 100), "");
}

TEST_F(CmdClientTcp, CommandsAndAbortsAreQueuedUntilFlushed) {
  OpenSessionSeenByProcessor();
  ASSERT_EQ(client.SendCommand(MZorvaneCmdCommand(12, "autoinfo")), 1);
  EXPECT_EQ(client.GetNumUnwrittenCommands(), 11u);
  ASSERT_EQ(client.SendAbort(7, 0), 1);
  ASSERT_EQ(client.SendAbort(7, 12), 1);
  ASSERT_EQ(client.SendAbort(65536 + 9, 12345), 1);
  EXPECT_FALSE(WaitReadable(processor, 50));

  ASSERT_TRUE(client.FlushCommandBuffer());
  const std::string expected = Wire(12, "autoinfo") + Bytes({0x00, 0x07, 'a', 'b', 'o', 'r', 't', 0x00}) +
                               Bytes({0x00, 0x07, 'a', 'b', 'o', 'r', 't', ' ', '0', '0', '1', '2', 0x00}) +
                               Wire(9, "abort 12345");
  std::string received;
  ASSERT_TRUE(ReadExactly(processor, expected.size(), &received));
  EXPECT_EQ(received, expected);
  EXPECT_EQ(client.GetNumUnwrittenCommands(), 0u);
  EXPECT_TRUE(diag.Has("T5", "FlushCommandBuffer(): Send '..autoinfo...abort...abort 0012...abort 12345.'"));
}

TEST_F(CmdClientTcp, SendingNeedsAnOpenSession) {
  EXPECT_EQ(client.SendCommand(MZorvaneCmdCommand(1, "x")), 0);
  EXPECT_EQ(client.SendAbort(1, 2), 0);
  EXPECT_FALSE(client.CloseSession(true));
  OpenSessionSeenByProcessor();
  ASSERT_TRUE(client.CloseSession(false));
  EXPECT_EQ(client.SendCommand(MZorvaneCmdCommand(1, "x")), 0);
  EXPECT_EQ(client.SendAbort(1, 0), 0);
  EXPECT_EQ(client.GetNumUnwrittenCommands(), 0u);
  EXPECT_EQ(ReadAvailable(processor, 100), "");
}

TEST_F(CmdClientTcp, ReadsAppendInOrderUntilTheProcessorHangsUp) {
  EXPECT_EQ(client.FillReadBuffer(), 1);
  EXPECT_EQ(client.ReadBuffer(), "");
  ASSERT_TRUE(WriteAll(processor, Bytes({'o', 'k', '\n', 0x00, 0x00})));
  ASSERT_TRUE(FillUntil(&client, 5));
  ASSERT_TRUE(WriteAll(processor, Bytes({0x0C})));
  ASSERT_TRUE(FillUntil(&client, 6));
  EXPECT_EQ(client.ReadBuffer(), "ok\n" + Marker(12));

  CloseFd(&processor);
  ASSERT_TRUE(WaitReadable(client.GetReaderFD(), 3000));
  EXPECT_EQ(client.FillReadBuffer(), 0);
  EXPECT_TRUE(diag.Has("E", "MZorvaneCmdClient::FillReadBuffer(): read() returned 0"));
  EXPECT_EQ(client.ReadBuffer(), "ok\n" + Marker(12));
}

TEST_F(CmdClientTcp, PartialWriteLeavesTheRestQueued) {
  OpenSessionSeenByProcessor();
  const std::string big_wire = Wire(1, std::string(1 << 20, 'x'));
  ASSERT_EQ(client.SendCommand(MZorvaneCmdCommand(1, std::string(1 << 20, 'x'))), 1);
  ASSERT_TRUE(client.FlushCommandBuffer());
  const size_t left = client.GetNumUnwrittenCommands();
  ASSERT_GT(left, 0u);
  ASSERT_LT(left, big_wire.size());
  EXPECT_EQ(client.WriteBuffer(), big_wire.substr(big_wire.size() - left));
  EXPECT_TRUE(diag.Has("T5", "FlushCommandBuffer(): Want to send '..x" + std::string(97, 'x') + "'"));
  EXPECT_TRUE(diag.Has("T5", "FlushCommandBuffer: sent " + std::to_string(big_wire.size() - left) + " bytes of " +
                                 std::to_string(big_wire.size())));

  _MTrace_SetLevel("default", 2);
  std::string received;
  char chunk[65536];
  Clock::time_point start = Clock::now();
  while (received.size() < big_wire.size() && SecondsSince(start) < 10.0) {
    ASSERT_TRUE(client.FlushCommandBuffer());
    if (!WaitReadable(processor, 10)) continue;
    ssize_t n = read(processor, chunk, sizeof(chunk));
    ASSERT_GT(n, 0);
    received.append(chunk, static_cast<size_t>(n));
  }
  EXPECT_TRUE(received == big_wire) << "bytes lost or out of order";
}

TEST_F(CmdClientTcp, WriteToAProcessorThatIsGoneFails) {
  ASSERT_TRUE(SigpipeHasDefaultAction());
  OpenSessionSeenByProcessor();
  CloseFd(&processor);
  bool flushed = true;
  for (int attempt = 0; attempt < 100 && flushed; ++attempt) {
    client.SendCommand(MZorvaneCmdCommand(1, "status"));
    flushed = client.FlushCommandBuffer();
    if (flushed) usleep(10000);
  }
  EXPECT_FALSE(flushed);
  EXPECT_GT(client.GetNumUnwrittenCommands(), 0u);
  EXPECT_TRUE(AnyStartsWith(diag.Messages("E"), "MZorvaneCmdClient::FlushCommandBuffer(): write() failed: "));
}

TEST_F(CmdClientTcp, CloseSessionWithoutCloseSendsNothingAndEmptiesBuffers) {
  OpenSessionSeenByProcessor();
  ASSERT_TRUE(WriteAll(processor, "late\n"));
  ASSERT_TRUE(FillUntil(&client, 5));
  ASSERT_EQ(client.SendCommand(MZorvaneCmdCommand(12, "autoinfo")), 1);

  EXPECT_TRUE(client.CloseSession(false));
  EXPECT_FALSE(client.IsSessionOpen());
  EXPECT_EQ(client.ReadBuffer(), "");
  EXPECT_EQ(client.GetNumUnwrittenCommands(), 0u);
  EXPECT_TRUE(diag.Has("T5", "CloseSession(): deleting read_buffer with size 5"));
  EXPECT_TRUE(diag.Has("T5", "CloseSession(): deleting write_buffer with size 11"));
  EXPECT_TRUE(diag.Has("T1", "CloseSession(): close session done ..."));
  EXPECT_EQ(ReadAvailable(processor, 100), "");
}

TEST_F(CmdClientTcp, CloseDropsTextAndOtherMarkersBeforeTheAnswer) {
  OpenSessionSeenByProcessor();
  ASSERT_TRUE(WriteAll(processor, "line one\n" + Marker(5) + "line two\n" + kCloseAnswer));
  EXPECT_TRUE(client.CloseSession(true));
  EXPECT_FALSE(client.IsSessionOpen());
  EXPECT_EQ(client.ReadBuffer(), "");
  EXPECT_TRUE(diag.Has("T1", "CloseSession(): close session done ..."));
  EXPECT_TRUE(diag.Messages("E").empty());
  std::string received;
  ASSERT_TRUE(ReadExactly(processor, kCloseWire.size(), &received));
  EXPECT_EQ(received, kCloseWire);
}

TEST_F(CmdClientTcp, CloseAnswerSplitOverReads) {
  OpenSessionSeenByProcessor();
  CloseAnswerer answerer(processor, {"bye\n" + Bytes({0x00, 0x00}), Bytes({0x00})}, false);
  EXPECT_TRUE(client.CloseSession(true));
  answerer.Join();
  EXPECT_EQ(answerer.Received(), kCloseWire);
  EXPECT_EQ(client.ReadBuffer(), "");
}

TEST_F(CmdClientTcp, CloseEndsWhenTheProcessorHangsUp) {
  OpenSessionSeenByProcessor();
  CloseAnswerer answerer(processor, {}, true);
  Clock::time_point start = Clock::now();
  EXPECT_TRUE(client.CloseSession(true));
  EXPECT_LT(SecondsSince(start), 10.0);
  answerer.Join();
  processor = -1;
  EXPECT_TRUE(diag.Has("E", "MZorvaneCmdClient::FillReadBuffer(): read() returned 0"));
  EXPECT_TRUE(diag.Has("T2", "fill_read_buffer() abort"));
  EXPECT_FALSE(client.IsSessionOpen());
}

TEST_F(CmdClientTcp, CloseWithoutAnswerGivesUpAtTheLimitAndKeepsAnIncompleteMarker) {
  OpenSessionSeenByProcessor();
  ASSERT_TRUE(WriteAll(processor, "text" + Bytes({0x00, 0x00})));
  client.SetCloseWaitLimit(0.2);
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(client.CloseSession(true));
  EXPECT_LT(SecondsSince(start), 10.0);
  EXPECT_TRUE(diag.Has("E", "CloseSession(): Don't received answer of close command inside 0 seconds"));
  EXPECT_FALSE(client.IsSessionOpen());
  EXPECT_EQ(client.ReadBuffer(), Bytes({0x00, 0x00}));

  // The next session finds the two bytes; the third completes the close answer.
  client.SetCloseWaitLimit(10.0);
  ASSERT_EQ(client.OpenSession(), 1);
  ASSERT_TRUE(WriteAll(processor, Bytes({0x00})));
  EXPECT_TRUE(client.CloseSession(true));
  EXPECT_EQ(client.ReadBuffer(), "");
}

// The close must still reach a processor that was slow to take what was queued before it.
TEST_F(CmdClientTcp, CloseQueuedBehindABacklogStillArrives) {
  OpenSessionSeenByProcessor();
  const std::string big_wire = Wire(1, std::string(1 << 20, 'x'));
  ASSERT_EQ(client.SendCommand(MZorvaneCmdCommand(1, std::string(1 << 20, 'x'))), 1);
  ASSERT_TRUE(client.FlushCommandBuffer());
  ASSERT_GT(client.GetNumUnwrittenCommands(), 0u);
  _MTrace_SetLevel("default", 2);

  CloseAnswerer answerer(processor, {kCloseAnswer}, false);
  EXPECT_TRUE(client.CloseSession(true));
  answerer.Join();
  EXPECT_TRUE(answerer.Received() == big_wire + kCloseWire);
}

TEST_F(CmdClientTcp, DISABLED_CloseWaitGivesUpAfterSixtySeconds) {
  OpenSessionSeenByProcessor();
  client.SetCloseWaitLimit(MZorvaneCmdClient::kCloseWaitLimitSeconds);
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(client.CloseSession(true));
  EXPECT_LT(SecondsSince(start), 70.0);
  EXPECT_TRUE(diag.Has("E", "CloseSession(): Don't received answer of close command inside 60 seconds"));
}

// ---- over pipes: the test holds the processor's ends of both pipes ----

class CmdClientPipes : public CmdClientTest {
 protected:
  void SetUp() override {
    CmdClientTest::SetUp();
    int commands[2];
    int answers[2];
    ASSERT_EQ(pipe(commands), 0);
    ASSERT_EQ(pipe(answers), 0);
    processor_in = commands[0];
    client_writer = commands[1];
    client_reader = answers[0];
    processor_out = answers[1];
    client.SetWriterPipeId(client_writer);
    client.SetReaderPipeId(client_reader);
    ASSERT_EQ(client.Open(0), 1);
  }
  void TearDown() override {
    for (int* fd : {&processor_in, &client_writer, &client_reader, &processor_out}) CloseFd(fd);
    CmdClientTest::TearDown();
  }

  int processor_in = -1;
  int client_writer = -1;
  int client_reader = -1;
  int processor_out = -1;
};

TEST_F(CmdClientPipes, SessionOverPipes) {
  EXPECT_EQ(client.GetWriterFD(), client_writer);
  EXPECT_EQ(client.GetReaderFD(), client_reader);
  ASSERT_EQ(client.OpenSession(), 1);
  std::string received;
  ASSERT_TRUE(ReadExactly(processor_in, kOpenWire.size(), &received));
  EXPECT_EQ(received, kOpenWire);

  // One read brings both markers; the close answer must not wait for more.
  ASSERT_TRUE(WriteAll(processor_out, "text\n" + Marker(3) + kCloseAnswer));
  EXPECT_TRUE(client.CloseSession(true));
  EXPECT_EQ(client.ReadBuffer(), "");
  received.clear();
  ASSERT_TRUE(ReadExactly(processor_in, kCloseWire.size(), &received));
  EXPECT_EQ(received, kCloseWire);
}

TEST_F(CmdClientPipes, ReadsAtMostThePipeSizeAndTracesWhatArrived) {
  client.SetPipeSize(4);
  ASSERT_TRUE(WriteAll(processor_out, Bytes({'a', 'b', 0x01, 0x00, 'c', 'd'})));
  EXPECT_EQ(client.FillReadBuffer(), 1);
  EXPECT_EQ(client.ReadBuffer(), Bytes({'a', 'b', 0x01, 0x00}));
  EXPECT_TRUE(diag.Has("T5", "FillReadBuffer(): received (cnt=4) 'ab..' "));
  EXPECT_EQ(client.FillReadBuffer(), 1);
  EXPECT_EQ(client.ReadBuffer(), Bytes({'a', 'b', 0x01, 0x00, 'c', 'd'}));
}

TEST_F(CmdClientPipes, ReaderPipeAtEndOfFileIsAFailure) {
  CloseFd(&processor_out);
  EXPECT_EQ(client.FillReadBuffer(), 0);
  EXPECT_TRUE(diag.Has("E", "FillReadBuffer(): read() returned 0, the command processor closed the pipe"));
}

TEST_F(CmdClientPipes, CloseEndsWhenTheProcessorClosesItsPipe) {
  client.SetCloseWaitLimit(MZorvaneCmdClient::kCloseWaitLimitSeconds);
  ASSERT_EQ(client.OpenSession(), 1);
  CloseFd(&processor_out);
  Clock::time_point start = Clock::now();
  EXPECT_TRUE(client.CloseSession(true));
  EXPECT_LT(SecondsSince(start), 10.0);
  EXPECT_TRUE(diag.Has("T2", "fill_read_buffer() abort"));
}

TEST_F(CmdClientPipes, CloseWaitOnABlockingPipeKeepsItsLimit) {
  ASSERT_EQ(client.OpenSession(), 1);
  client.SetCloseWaitLimit(0.2);
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(client.CloseSession(true));
  EXPECT_LT(SecondsSince(start), 10.0);
  EXPECT_TRUE(diag.Has("E", "CloseSession(): Don't received answer of close command inside 0 seconds"));
}

TEST_F(CmdClientPipes, WriteToAClosedPipeFailsWithoutEndingTheProcess) {
  ASSERT_TRUE(SigpipeHasDefaultAction());
  CloseFd(&processor_in);
  ASSERT_EQ(client.OpenSession(), 1);
  EXPECT_FALSE(client.FlushCommandBuffer());
  EXPECT_EQ(client.WriteBuffer(), kOpenWire);
  EXPECT_TRUE(diag.Has("E", "FlushOutputBuffer: Error writing over pipe Broken pipe write_len=-1"));
  EXPECT_FALSE(SigpipeIsPending());
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);
}

TEST_F(CmdClientPipes, SigpipeAlreadyPendingIsLeftToTheCaller) {
  CloseFd(&processor_in);
  sigset_t sigpipe_only;
  sigset_t previous;
  sigemptyset(&sigpipe_only);
  sigaddset(&sigpipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &sigpipe_only, &previous);
  raise(SIGPIPE);
  ASSERT_EQ(client.OpenSession(), 1);
  EXPECT_FALSE(client.FlushCommandBuffer());
  EXPECT_TRUE(SigpipeIsPending());
  const struct timespec no_wait = {0, 0};
  while (sigtimedwait(&sigpipe_only, nullptr, &no_wait) == SIGPIPE) {
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

TEST_F(CmdClientPipes, FullNonBlockingPipeIsNotAFailure) {
  ASSERT_EQ(fcntl(client_writer, F_SETFL, O_NONBLOCK), 0);
  ASSERT_EQ(client.OpenSession(), 1);
  ASSERT_EQ(client.SendCommand(MZorvaneCmdCommand(1, std::string(1 << 20, 'x'))), 1);
  EXPECT_TRUE(client.FlushCommandBuffer());
  const size_t left = client.GetNumUnwrittenCommands();
  ASSERT_GT(left, 0u);
  EXPECT_TRUE(client.FlushCommandBuffer());
  EXPECT_EQ(client.GetNumUnwrittenCommands(), left);
  EXPECT_TRUE(diag.Messages("E").empty());
}

}  // namespace
