#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "diag_capture.h"
#include "mzorvanetcpsocket.h"
#include "net.h"
#include "qdrcore.h"

namespace {

const char kRefusal[] = "0000\terror \"Sorry, this port is already in use!\"";

using Clock = std::chrono::steady_clock;

// Connects to address:port; a receive buffer size other than 0 is set before connecting.
int ConnectTo(const char* address, unsigned short port, int receive_buffer = 0) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (receive_buffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  inet_pton(AF_INET, address, &peer.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) != 0) CloseFd(&fd);
  return fd;
}

void ResetOnClose(int* fd) {
  struct linger abort_close = {1, 0};
  setsockopt(*fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof(abort_close));
  CloseFd(fd);
}

bool IsNonBlocking(int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

int QueuedBytes(int fd, unsigned long request) {
  int count = -1;
  ioctl(fd, request, &count);
  return count;
}

bool ListenOnFreePort(MZorvaneTCPSocket* sock, unsigned short* port) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    *port = FreeLoopbackPort();
    if (*port != 0 && sock->CreateSocket(*port)) return true;
  }
  return false;
}

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('A' + (i / 997) % 26);
  return bytes;
}

class ListeningSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    listening = ListenOnFreePort(&sock, &port);
    ASSERT_TRUE(listening);
    ASSERT_TRUE(IsNonBlocking(sock.GetSocketFD()));
    diag.Clear();
  }
  void TearDown() override { _MTrace_SetLevel("default", 2); }

  DiagCapture diag;
  MZorvaneTCPSocket sock;
  unsigned short port = 0;
  bool listening = false;
};

class ConnectedSocket : public ListeningSocket {
 protected:
  void SetUp() override {
    ListeningSocket::SetUp();
    ASSERT_TRUE(listening);
    Connect(peer_receive_buffer);
  }
  void TearDown() override {
    CloseFd(&peer);
    ListeningSocket::TearDown();
  }

  void Connect(int receive_buffer) {
    peer = ConnectTo("127.0.0.1", port, receive_buffer);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(WaitReadable(sock.GetSocketFD(), 3000));
    ASSERT_TRUE(sock.OpenConnection());
    ASSERT_TRUE(IsNonBlocking(sock.GetConnectionFD()));
  }

  // The peer sends `bytes` while the socket reads them; true once all of them
  // are read, false as soon as FillReadBuffer fails.
  bool Pump(const std::string& bytes) {
    size_t sent = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      if (sent < bytes.size()) {
        ssize_t n = send(peer, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) sent += static_cast<size_t>(n);
      } else if (QueuedBytes(peer, SIOCOUTQ) == 0 && QueuedBytes(sock.GetConnectionFD(), FIONREAD) == 0) {
        return true;
      }
      if (WaitReadable(sock.GetConnectionFD(), 5) && !sock.FillReadBuffer()) return false;
    }
    ADD_FAILURE() << "input not consumed in time";
    return false;
  }

  std::vector<std::string> PopAll() {
    std::vector<std::string> lines;
    std::string line;
    while (sock.PopReadLine(&line)) lines.push_back(line);
    return lines;
  }

  // Flushes while the peer reads, until the peer holds `count` bytes.
  std::string FlushAndReceive(size_t count) {
    std::string received;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (received.size() < count && Clock::now() < deadline) {
      EXPECT_TRUE(sock.FlushWriteBuffer());
      char chunk[65536];
      ssize_t n = recv(peer, chunk, sizeof(chunk), MSG_DONTWAIT);
      if (n > 0) received.append(chunk, static_cast<size_t>(n));
      if (n <= 0) WaitReadable(peer, 5);
    }
    return received;
  }

  int peer = -1;
  int peer_receive_buffer = 0;
};

using Lines = std::vector<std::string>;

TEST(SocketListener, ListensOnEveryLocalAddressAndTracesTheOptions) {
  DiagCapture diag;
  MZorvaneTCPSocket sock;
  unsigned short port = 0;
  ASSERT_TRUE(ListenOnFreePort(&sock, &port));
  const Lines traces = diag.Messages("T2");
  ASSERT_EQ(traces.size(), 1u);
  EXPECT_TRUE(std::regex_match(traces[0], std::regex("MZorvaneTCPSocket: SO_SNDVUF = [0-9]+, "
                                                      "SO_RCVBUF = [0-9]+, SO_DONTROUTE = 0")))
      << traces[0];

  int client = ConnectTo("127.0.0.2", port);
  EXPECT_GE(client, 0);
  CloseFd(&client);
}

TEST(SocketListener, DestroyingTheObjectClosesTheConnectionAndTheListener) {
  DiagCapture diag;
  unsigned short port = 0;
  int client = -1;
  {
    MZorvaneTCPSocket sock;
    ASSERT_TRUE(ListenOnFreePort(&sock, &port));
    client = ConnectTo("127.0.0.1", port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(WaitReadable(sock.GetSocketFD(), 3000));
    ASSERT_TRUE(sock.OpenConnection());
  }
  std::string rest;
  EXPECT_TRUE(ReadToEof(client, &rest));
  CloseFd(&client);
  int late = ConnectTo("127.0.0.1", port);
  EXPECT_EQ(late, -1);
  CloseFd(&late);
}

TEST_F(ListeningSocket, WithoutPendingClientOnlyBlockConnectionLogsTheFailure) {
  EXPECT_FALSE(sock.OpenConnection());
  EXPECT_FALSE(sock.HasConnection());
  EXPECT_NE(sock.GetSocketFD(), -1);
  EXPECT_TRUE(diag.Raw().empty());
  EXPECT_FALSE(sock.BlockConnection(kRefusal));
  EXPECT_EQ(diag.Messages("E"),
            Lines{"MZorvaneTCPSocket::BlockConnection(): accept() failed: " + std::string(strerror(EAGAIN))});
}

TEST_F(ListeningSocket, BindToATakenPortFailsAndLeavesTheObjectClosed) {
  MZorvaneTCPSocket second;
  EXPECT_FALSE(second.CreateSocket(port));
  EXPECT_EQ(second.GetSocketFD(), -1);
  EXPECT_EQ(diag.Messages("E"), Lines{"MZorvaneTCPSocket::CreateSocket(): bind(0.0.0.0," + std::to_string(port) +
                                      ") failed: " + strerror(EADDRINUSE)});
}

TEST_F(ListeningSocket, DestroyTwiceAndRecreateOnTheSamePort) {
  sock.DestroySocket();
  sock.DestroySocket();
  EXPECT_EQ(sock.GetSocketFD(), -1);
  EXPECT_TRUE(sock.CreateSocket(port));
  EXPECT_TRUE(diag.Messages("E").empty());
}

TEST(SocketPort, PortAboveTheRangeIsRefused) {
  DiagCapture diag;
  MZorvaneTCPSocket sock;
  unsigned short low = FreeLoopbackPort();
  unsigned port = 65536u + low;
  EXPECT_FALSE(sock.CreateSocket(port));
  EXPECT_EQ(sock.GetSocketFD(), -1);
  EXPECT_EQ(diag.Messages("E"), Lines{"MZorvaneTCPSocket::CreateSocket(): port " + std::to_string(port) +
                                      " out of range, highest is 65535"});
  int client = ConnectTo("127.0.0.1", low);
  EXPECT_EQ(client, -1) << "something listens on the low 16 bits";
  CloseFd(&client);
}

TEST(SocketPort, PortZeroWithoutServiceEntryUsesTheDefaultPort) {
  if (getservbyname("zorvane", "tcp") != nullptr) GTEST_SKIP() << "a services entry for zorvane exists";
  DiagCapture diag;
  MZorvaneTCPSocket sock;
  if (!sock.CreateSocket(0)) GTEST_SKIP() << "port 7073 is busy";
  EXPECT_TRUE(diag.Has("T2", "MZorvaneTCPSocket::CreateSocket(): service \"zorvane\" not registered, using port 7073"));
  int client = ConnectTo("127.0.0.1", 7073);
  EXPECT_GE(client, 0);
  CloseFd(&client);
}

TEST(SocketWithoutListener, RepliesFailAndQueueNothing) {
  DiagCapture diag;
  MZorvaneTCPSocket sock;
  EXPECT_FALSE(sock.SendAck(1));
  EXPECT_FALSE(sock.SendReady(1));
  EXPECT_FALSE(sock.SendData(1, "x"));
  EXPECT_FALSE(sock.SendError(1, "x"));
  EXPECT_EQ(sock.GetNumUnwrittenBytes(), 0u);
  const std::string no_socket = "MZorvaneTCPSocket::Send(): no socket";
  EXPECT_EQ(diag.Messages("E"), (Lines{no_socket, "MZorvaneTCPSocket::SendAck(): Send() failed", no_socket,
                                       "MZorvaneTCPSocket::SendReady(): Send() failed", no_socket,
                                       "MZorvaneTCPSocket::SendData(): Send() failed", no_socket,
                                       "MZorvaneTCPSocket::SendError(): Send() failed"}));
}

TEST_F(ConnectedSocket, SecondClientGetsTheRefusalLineAndTheFirstIsUndisturbed) {
  ASSERT_TRUE(Pump("1 sta"));
  ASSERT_TRUE(sock.SendAck(1));
  const int connection = sock.GetConnectionFD();

  int second = ConnectTo("127.0.0.1", port);
  ASSERT_GE(second, 0);
  ASSERT_TRUE(WaitReadable(sock.GetSocketFD(), 3000));
  EXPECT_TRUE(sock.BlockConnection(kRefusal));
  std::string refusal;
  EXPECT_TRUE(ReadToEof(second, &refusal));
  EXPECT_EQ(refusal, std::string(kRefusal) + "\r\n");
  CloseFd(&second);

  EXPECT_EQ(sock.GetConnectionFD(), connection);
  EXPECT_EQ(sock.GetNumUnwrittenBytes(), 10u);
  ASSERT_TRUE(Pump("tus\n"));
  EXPECT_EQ(PopAll(), Lines{"1 status"});
  EXPECT_EQ(FlushAndReceive(10), "0001\tack\r\n");
  EXPECT_TRUE(diag.Raw().empty());
}

TEST_F(ConnectedSocket, CarriageReturnAndLineFeedEachEndALineAndEmptyLinesAreDropped) {
  ASSERT_TRUE(Pump("12 status\r\n"));
  EXPECT_EQ(PopAll(), Lines{"12 status"});
  ASSERT_TRUE(Pump("a\n\n\r\nb\n"));
  EXPECT_EQ(PopAll(), (Lines{"a", "b"}));
  ASSERT_TRUE(Pump("c\rd\n\re"));
  EXPECT_EQ(PopAll(), (Lines{"c", "d"}));
  ASSERT_TRUE(Pump(std::string("\r\nx\0y\tz\x80\n", 10)));
  EXPECT_EQ(PopAll(), (Lines{"e", std::string("x\0y\tz\x80", 6)}));
}

TEST_F(ConnectedSocket, LineArrivingInPiecesIsCompletedByItsLineEnd) {
  ASSERT_TRUE(Pump("12 sta"));
  std::string line = "untouched";
  EXPECT_FALSE(sock.PopReadLine(&line));
  EXPECT_EQ(line, "untouched");
  ASSERT_TRUE(Pump("tus\n"));
  EXPECT_TRUE(sock.PopReadLine(&line));
  EXPECT_EQ(line, "12 status");
  EXPECT_FALSE(sock.PopReadLine(&line));
}

TEST_F(ConnectedSocket, CloseConnectionTracesWhatItDiscardsAtLevel4) {
  _MTrace_SetLevel("default", 4);
  ASSERT_TRUE(Pump("x\ny\n" + std::string(1500, 'z')));
  ASSERT_TRUE(sock.Send("abc"));
  sock.CloseConnection();
  EXPECT_EQ(diag.Messages("T4"), (Lines{"CloseSession(): deleting read_buffer with size 1500",
                                        "CloseSession(): deleting write_buffer with size 3",
                                        "CloseSession(): deleting read_lines with size 2"}));
  EXPECT_FALSE(sock.HasConnection());
  EXPECT_EQ(sock.GetNumUnwrittenBytes(), 0u);
  EXPECT_TRUE(PopAll().empty());
  std::string rest;
  EXPECT_TRUE(ReadToEof(peer, &rest));
  EXPECT_EQ(rest, "");

  diag.Clear();
  sock.CloseConnection();
  EXPECT_TRUE(diag.Raw().empty());
}

TEST_F(ConnectedSocket, LineUpToTheLimitIsAccepted) {
  ASSERT_TRUE(Pump(std::string(MZorvaneTCPSocket::kMaxUnterminatedLine, 'x') + "\n"));
  const Lines lines = PopAll();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), MZorvaneTCPSocket::kMaxUnterminatedLine);
  EXPECT_TRUE(diag.Messages("E").empty());
}

TEST_F(ConnectedSocket, InputBeyondTheLimitWithoutLineEndFailsAndTheConnectionCanEnd) {
  EXPECT_FALSE(Pump(std::string(MZorvaneTCPSocket::kMaxUnterminatedLine + 1, 'x')));
  EXPECT_EQ(diag.Messages("E"), Lines{"fill_read_buffer(): more than 1048576 bytes without a line end"});
  sock.CloseConnection();
  EXPECT_FALSE(sock.HasConnection());
  CloseFd(&peer);
  Connect(0);
  ASSERT_TRUE(Pump("next\n"));
  EXPECT_EQ(PopAll(), Lines{"next"});
}

TEST_F(ConnectedSocket, PeerClosingEndsTheReadsWithAnError) {
  CloseFd(&peer);
  ASSERT_TRUE(WaitReadable(sock.GetConnectionFD(), 3000));
  EXPECT_FALSE(sock.FillReadBuffer());
  EXPECT_EQ(diag.Messages("E"), Lines{"fill_read_buffer(): read() returned 0"});
}

TEST_F(ConnectedSocket, ReplyLinesHaveTheirExactByteForm) {
  ASSERT_TRUE(sock.SendAck(0));
  EXPECT_EQ(sock.GetNumUnwrittenBytes(), 10u);
  ASSERT_TRUE(sock.SendReady(9999));
  ASSERT_TRUE(sock.SendData(5, "idle"));
  ASSERT_TRUE(sock.SendError(12, "bad \"name\"\\"));
  ASSERT_TRUE(sock.SendData(407, ""));
  const std::string expected =
      "0000\tack\r\n"
      "9999\tready\r\n"
      "0005\tdata idle\r\n"
      "0012\terror \"bad \"name\"\\\"\r\n"
      "0407\tdata \r\n";
  EXPECT_EQ(FlushAndReceive(expected.size()), expected);
  EXPECT_EQ(sock.GetNumUnwrittenBytes(), 0u);
  EXPECT_TRUE(sock.FlushWriteBuffer());
  EXPECT_EQ(ReadAvailable(peer, 50), "");
}

TEST_F(ConnectedSocket, BulkSendWritesAtOnceOnlyWhileNothingIsQueued) {
  ASSERT_TRUE(sock.BulkSend("direct\r\n", 8));
  EXPECT_EQ(sock.GetNumUnwrittenBytes(), 0u);
  std::string received;
  ASSERT_TRUE(ReadExactly(peer, 8, &received));
  EXPECT_EQ(received, "direct\r\n");

  ASSERT_TRUE(sock.SendAck(3));
  ASSERT_TRUE(sock.BulkSend("raw\r\n", 5));
  EXPECT_EQ(sock.GetNumUnwrittenBytes(), 15u);
  EXPECT_EQ(FlushAndReceive(15), "0003\tack\r\nraw\r\n");
}

class SlowPeer : public ConnectedSocket {
 protected:
  SlowPeer() { peer_receive_buffer = 4096; }
};

TEST_F(SlowPeer, PartialBulkSendKeepsTheRestAndLaterOutputQueuesBehindIt) {
  const std::string bulk = Pattern(1 << 20);
  ASSERT_TRUE(sock.BulkSend(bulk.data(), static_cast<unsigned>(bulk.size())));
  const size_t kept = sock.GetNumUnwrittenBytes();
  ASSERT_GT(kept, 0u);
  ASSERT_LT(kept, bulk.size());

  ASSERT_TRUE(sock.SendAck(7));
  ASSERT_TRUE(sock.BulkSend("raw\r\n", 5));
  EXPECT_EQ(sock.GetNumUnwrittenBytes(), kept + 10 + 5);
  ASSERT_TRUE(sock.SendReady(7));

  const std::string expected = bulk + "0007\tack\r\nraw\r\n0007\tready\r\n";
  const std::string received = FlushAndReceive(expected.size());
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected) << "bytes arrived out of order";
  EXPECT_TRUE(diag.Messages("E").empty());
}

TEST_F(SlowPeer, PeerResetDuringAFlushFailsTheWritesWithoutEndingTheProcess) {
  const std::string bulk = Pattern(1 << 20);
  ASSERT_TRUE(sock.BulkSend(bulk.data(), static_cast<unsigned>(bulk.size())));
  ASSERT_TRUE(sock.FlushWriteBuffer());
  const size_t kept = sock.GetNumUnwrittenBytes();
  ASSERT_GT(kept, 0u);

  ResetOnClose(&peer);
  ASSERT_TRUE(WaitReadable(sock.GetConnectionFD(), 3000));
  EXPECT_FALSE(sock.FlushWriteBuffer());
  EXPECT_EQ(sock.GetNumUnwrittenBytes(), kept);
  // The first failure reports the reset; the next write is the one that would raise SIGPIPE.
  EXPECT_FALSE(sock.FlushWriteBuffer());
  EXPECT_EQ(sock.GetNumUnwrittenBytes(), kept);
  const Lines errors = diag.Messages("E");
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].rfind("flush_write_buffer(): write() failed: ", 0), 0u) << errors[0];
  EXPECT_EQ(errors[1], std::string("flush_write_buffer(): write() failed: ") + strerror(EPIPE));
}

TEST_F(ConnectedSocket, BulkSendToAResetPeerFailsAndKeepsTheBytes) {
  ResetOnClose(&peer);
  ASSERT_TRUE(WaitReadable(sock.GetConnectionFD(), 3000));
  EXPECT_FALSE(sock.BulkSend("abc", 3));
  EXPECT_EQ(sock.GetNumUnwrittenBytes(), 3u);
  EXPECT_EQ(diag.Messages("E"),
            Lines{std::string("MZorvaneTCPSocket::BulkSend(): write() failed: ") + strerror(ECONNRESET)});
  EXPECT_FALSE(sock.FlushWriteBuffer());
}

}  // namespace
