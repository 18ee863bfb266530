#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <cstring>

#include "diag_capture.h"
#include "mzorvanetcpsocket.h"
#include "net.h"

namespace {

using Lines = std::vector<std::string>;
using namespace std::string_literals;

const std::string kMiB(MZorvaneTCPSocket::kMaxUnterminatedLine, 'x');

class ConnectedSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int attempt = 0; attempt < 3 && sock.GetSocketFD() == -1; ++attempt) {
      port = FreeLoopbackPort();
      if (port != 0) sock.CreateSocket(port);
    }
    ASSERT_NE(sock.GetSocketFD(), -1);
    // A small receive buffer, set before connecting so that the window stays
    // small, keeps writes towards a peer that does not read partial.
    peer = socket(AF_INET, SOCK_STREAM, 0);
    int receive_buffer = 4096;
    setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
    sockaddr_in address = LoopbackAddress(port);
    ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_TRUE(WaitReadable(sock.GetSocketFD(), 3000));
    ASSERT_TRUE(sock.OpenConnection());
    // A blocking connection would hang the flush tests instead of failing them.
    ASSERT_TRUE(fcntl(sock.GetConnectionFD(), F_GETFL) & O_NONBLOCK);
    diag.Clear();
  }
  void TearDown() override { CloseFd(&peer); }

  // The peer sends while the socket reads; true once all is read (the peer
  // holds nothing unsent, the connection nothing unread), false when
  // FillReadBuffer fails.
  bool Pump(const std::string& bytes) {
    size_t sent = 0;
    for (int round = 0; round < 20000; ++round) {
      ssize_t n = send(peer, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      sent += n > 0 ? static_cast<size_t>(n) : 0;
      int unsent = -1, unread = -1;
      if (sent == bytes.size() && ioctl(peer, SIOCOUTQ, &unsent) == 0 && unsent == 0 &&
          ioctl(sock.GetConnectionFD(), FIONREAD, &unread) == 0 && unread == 0) {
        return true;
      }
      if (WaitReadable(sock.GetConnectionFD(), 5) && !sock.FillReadBuffer()) return false;
    }
    ADD_FAILURE() << "input not consumed in time";
    return false;
  }

  Lines PopAll() {
    Lines lines(1);
    while (sock.PopReadLine(&lines.back())) lines.emplace_back();
    return Lines(lines.begin(), lines.end() - 1);
  }

  DiagCapture diag;
  MZorvaneTCPSocket sock;
  unsigned short port = 0;
  int peer = -1;
};

// A client that vanished without a FIN or RST is found within about a minute;
// a close waits up to a second for the last bytes to leave.
TEST_F(ConnectedSocket, AcceptedConnectionCarriesTheListenersKeepAliveTiming) {
  std::vector<int> values;
  for (const auto& [level, name] : std::vector<std::pair<int, int>>{{SOL_SOCKET, SO_KEEPALIVE},
                                                                    {IPPROTO_TCP, TCP_KEEPIDLE},
                                                                    {IPPROTO_TCP, TCP_KEEPINTVL},
                                                                    {IPPROTO_TCP, TCP_KEEPCNT}}) {
    socklen_t length = sizeof(int);
    values.push_back(-1);
    getsockopt(sock.GetConnectionFD(), level, name, &values.back(), &length);
  }
  EXPECT_EQ(values, (std::vector<int>{1, 30, 10, 3}));
  struct linger linger {};
  socklen_t length = sizeof(linger);
  getsockopt(sock.GetConnectionFD(), SOL_SOCKET, SO_LINGER, &linger, &length);
  EXPECT_EQ(std::make_pair(linger.l_onoff, linger.l_linger), std::make_pair(1, 1)) << "SO_LINGER";
}

// A line of 1 MiB is accepted, one byte more without a line end is refused.
TEST_F(ConnectedSocket, InputIsCutIntoLinesAtEveryCarriageReturnAndLineFeed) {
  const std::string full_chunk(16384, 'z');
  // Arrivals on one connection, each with the lines it completes.
  const std::vector<std::pair<std::string, Lines>> arrivals = {
      {"12 sta", {}},                                // the start of a line is held
      {"tus\n", {"12 status"}},                      // until its line end arrives
      {"a\r\nb\rc\n\n\r\n\r\r\n", {"a", "b", "c"}},  // CRLF, CR and LF; empty lines dropped
      {"x\0y\tz\x80\n"s, {"x\0y\tz\x80"s}},          // NUL, TAB and high bytes kept
      {full_chunk, {}},                              // a full read without a line end
      {"\n", {full_chunk}},
      {kMiB, {}},                                    // read to the end: exactly 1 MiB is held at once
      {"\n", {kMiB}},
  };
  for (size_t i = 0; i < arrivals.size(); ++i) {
    ASSERT_TRUE(Pump(arrivals[i].first)) << "arrival " << i;
    EXPECT_EQ(PopAll(), arrivals[i].second) << "arrival " << i;
  }
  EXPECT_TRUE(diag.Raw().empty());
  EXPECT_FALSE(Pump(kMiB + "x"));
  EXPECT_EQ(diag.Messages("E"), Lines{"fill_read_buffer(): more than 1048576 bytes without a line end"});
}

// Each reply form's exact bytes, queued behind a bulk send that the peer could not take at once.
TEST_F(ConnectedSocket, PartialBulkSendKeepsTheRestAndReplyLinesQueueBehindIt) {
  std::string bulk(1 << 20, '\0');
  for (size_t i = 0; i < bulk.size(); ++i) bulk[i] = static_cast<char>('A' + (i / 997) % 26);
  ASSERT_TRUE(sock.BulkSend(bulk.data(), static_cast<unsigned>(bulk.size())));
  const size_t kept = sock.GetNumUnwrittenBytes();
  ASSERT_GT(kept, 0u);
  ASSERT_LT(kept, bulk.size());
  ASSERT_TRUE(sock.SendAck(0) && sock.SendReady(9999) && sock.SendData(5, "idle"));
  ASSERT_TRUE(sock.SendError(12, "bad \"name\""));
  ASSERT_TRUE(sock.BulkSend("raw\r\n", 5));
  const std::string replies = "0000\tack\r\n9999\tready\r\n0005\tdata idle\r\n0012\terror \"bad \"name\"\"\r\nraw\r\n";
  EXPECT_EQ(sock.GetNumUnwrittenBytes(), kept + replies.size());
  std::string received;  // flushed while the peer reads
  for (int round = 0; round < 2000 && received.size() < bulk.size() + replies.size(); ++round) {
    EXPECT_TRUE(sock.FlushWriteBuffer());
    received += ReadAvailable(peer, 5);
  }
  EXPECT_TRUE(received == bulk + replies) << "bytes lost or out of order";
  EXPECT_EQ(sock.GetNumUnwrittenBytes(), 0u);
  EXPECT_TRUE(sock.FlushWriteBuffer());  // nothing queued: no failure
  EXPECT_TRUE(diag.Messages("E").empty());
}

TEST_F(ConnectedSocket, PeerResetFailsTheReadAndTheWritesWithoutEndingTheProcess) {
  const std::string bulk(1 << 20, 'b');
  ASSERT_TRUE(sock.BulkSend(bulk.data(), static_cast<unsigned>(bulk.size())));
  const size_t kept = sock.GetNumUnwrittenBytes();
  ASSERT_GT(kept, 0u);
  struct linger reset_on_close = {1, 0};
  setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset_on_close, sizeof(reset_on_close));
  CloseFd(&peer);
  ASSERT_TRUE(WaitReadable(sock.GetConnectionFD(), 3000));
  // The read reports the reset; the writes after it are the ones that would
  // raise SIGPIPE, which this test binary does not ignore.
  EXPECT_FALSE(sock.FillReadBuffer());
  EXPECT_FALSE(sock.FlushWriteBuffer());
  EXPECT_FALSE(sock.FlushWriteBuffer());
  EXPECT_EQ(sock.GetNumUnwrittenBytes(), kept);
  const std::string write_failed = "flush_write_buffer(): write() failed: "s + strerror(EPIPE);
  EXPECT_EQ(diag.Messages("E"),
            (Lines{"fill_read_buffer(): read() failed: "s + strerror(ECONNRESET), write_failed, write_failed}));
}

TEST(SocketListener, FailedCreateSocketNamesThePortAndLeavesNoListenerToReplyOn) {
  unsigned short taken_port = 0;
  int taken = ListenLoopback(&taken_port);
  ASSERT_GE(taken, 0);
  const std::string create = "MZorvaneTCPSocket::CreateSocket(): ";
  const std::vector<std::pair<unsigned, std::string>> cases = {
      {taken_port, create + "bind(0.0.0.0," + std::to_string(taken_port) + ") failed: " + strerror(EADDRINUSE)},
      {65536u + 8080u, create + "port 73616 out of range, highest is 65535"},
  };
  for (const auto& [port, message] : cases) {
    DiagCapture diag;
    MZorvaneTCPSocket sock;
    EXPECT_FALSE(sock.CreateSocket(port));
    EXPECT_EQ(sock.GetSocketFD(), -1);
    const std::vector<bool> sent = {sock.SendAck(1), sock.SendReady(1), sock.SendData(1, "x"), sock.SendError(1, "x")};
    EXPECT_EQ(sent, std::vector<bool>(4, false));
    EXPECT_EQ(sock.GetNumUnwrittenBytes(), 0u);
    Lines expected = {message};
    for (const char* reply : {"SendAck", "SendReady", "SendData", "SendError"}) {
      expected.insert(expected.end(), {"MZorvaneTCPSocket::Send(): no socket",
                                       "MZorvaneTCPSocket::" + std::string(reply) + "(): Send() failed"});
    }
    EXPECT_EQ(diag.Messages("E"), expected);
  }
  CloseFd(&taken);
}

}  // namespace
