// Loopback sockets and bounded reads for tests, and exact comparisons of what was read.
#ifndef TEST_NET_H
#define TEST_NET_H

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <random>
#include <string>

// The two ways the server reaches the command processor, and their names in test names.
enum class Link { kTcp, kPipes };
inline std::string LinkName(Link link) { return link == Link::kTcp ? "Tcp" : "Pipes"; }

inline long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

inline int RemainingMs(long long deadline) { return static_cast<int>(std::max(deadline - NowMs(), 0LL)); }

inline void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

inline sockaddr_in LoopbackAddress(unsigned short port) {
  return sockaddr_in{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
}

// A listening socket on 127.0.0.1 on *port, or on a port the kernel chose
// when *port is 0; -1 on failure.
inline int ListenLoopback(unsigned short* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address = LoopbackAddress(*port);
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    CloseFd(&fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// A port on 127.0.0.1 that was free a moment ago, from below the kernel's
// ephemeral range (32768 up): a port in that range could be handed to some
// test's outgoing connection before the program under test binds it.
inline unsigned short FreeLoopbackPort() {
  static std::minstd_rand random(static_cast<unsigned>(getpid()) * 7919u + static_cast<unsigned>(NowMs()));
  unsigned short port = 0;
  for (int attempt = 0; attempt < 100 && port == 0; ++attempt) {
    port = static_cast<unsigned short>(10000 + random() % 22000);
    int fd = ListenLoopback(&port);
    if (fd < 0) port = 0;
    CloseFd(&fd);
  }
  return port;
}

// Connects to 127.0.0.1:port, retrying until timeout_ms has passed; -1 on failure.
inline int ConnectLoopback(unsigned short port, int timeout_ms = 3000) {
  long long deadline = NowMs() + timeout_ms;
  sockaddr_in address = LoopbackAddress(port);
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
    close(fd);
    if (RemainingMs(deadline) == 0) return -1;
    usleep(20000);
  }
}

// Connects to a numeric IPv4 or IPv6 address; -1 on failure.
inline int ConnectNumeric(const std::string& address, unsigned short port) {
  addrinfo numeric{AI_NUMERICHOST, AF_UNSPEC, SOCK_STREAM, 0, 0, nullptr, nullptr, nullptr}, *found = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &numeric, &found) != 0) return -1;
  int fd = socket(found->ai_family, SOCK_STREAM, 0);
  if (connect(fd, found->ai_addr, found->ai_addrlen) != 0) CloseFd(&fd);
  freeaddrinfo(found);
  return fd;
}

inline bool WaitFor(int fd, short events, int timeout_ms) {
  long long deadline = NowMs() + timeout_ms;
  for (;;) {
    struct pollfd entry = {fd, events, 0};
    int ready = poll(&entry, 1, RemainingMs(deadline));
    if (ready >= 0 || errno != EINTR) return ready > 0;
  }
}

inline bool WaitReadable(int fd, int timeout_ms) { return WaitFor(fd, POLLIN, timeout_ms); }

inline int AcceptWithin(int listen_fd, int timeout_ms = 3000) {
  return WaitReadable(listen_fd, timeout_ms) ? accept(listen_fd, nullptr, nullptr) : -1;
}

inline bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// One read of at most `most` bytes, appended to `out`, once fd turns readable
// before `deadline`: the count read, 0 at the end of the stream, -1 on an
// error or at the deadline (errno ETIMEDOUT).
inline ssize_t ReadOnce(int fd, std::string* out, size_t most, long long deadline) {
  char chunk[65536];
  for (;;) {
    if (!WaitReadable(fd, RemainingMs(deadline))) {
      errno = ETIMEDOUT;
      return -1;
    }
    ssize_t n = read(fd, chunk, std::min(most, sizeof(chunk)));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n > 0) out->append(chunk, static_cast<size_t>(n));
    return n;
  }
}

// Reads until `out` holds `count` bytes more; false on timeout or end of stream.
inline bool ReadExactly(int fd, size_t count, std::string* out, int timeout_ms = 3000) {
  long long deadline = NowMs() + timeout_ms;
  size_t target = out->size() + count;
  while (out->size() < target) {
    if (ReadOnce(fd, out, target - out->size(), deadline) <= 0) return false;
  }
  return true;
}

// Equal bytes; otherwise where they first differ, with the text around it.
inline ::testing::AssertionResult SameBytes(const std::string& got, const std::string& expected) {
  if (got == expected) return ::testing::AssertionSuccess();
  auto difference = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end()).first - got.begin();
  size_t from = static_cast<size_t>(std::max<long>(difference - 40, 0));
  return ::testing::AssertionFailure() << got.size() << " bytes instead of " << expected.size()
                                       << ", first difference at " << difference << ":\n  got      "
                                       << ::testing::PrintToString(got.substr(from, 120)) << "\n  expected "
                                       << ::testing::PrintToString(expected.substr(from, 120));
}

// Reads as many bytes as `expected` holds (or what came before the timeout) and compares.
inline ::testing::AssertionResult Receives(int fd, const std::string& expected, int timeout_ms = 5000) {
  std::string got;
  ReadExactly(fd, expected.size(), &got, timeout_ms);
  return SameBytes(got, expected);
}

// Reads whatever arrives until nothing has come for quiet_ms.
inline std::string ReadAvailable(int fd, int quiet_ms = 100) {
  std::string text;
  ssize_t n = 1;
  while (n > 0) n = ReadOnce(fd, &text, 65536, NowMs() + quiet_ms);
  return text;
}

// What arrives up to the end of the stream (or a reset); a timeout shows as a trailing mark.
inline std::string UntilEnd(int fd, int timeout_ms = 5000) {
  std::string text;
  long long deadline = NowMs() + timeout_ms;
  ssize_t n = 1;
  while (n > 0) n = ReadOnce(fd, &text, 65536, deadline);
  return n == 0 || errno == ECONNRESET ? text : text + "<no end of stream>";
}

// Sends from `sent` on while the socket takes the bytes within timeout_ms;
// returns how far it got.
inline size_t SendWhileTaken(int fd, const std::string& bytes, size_t sent, int timeout_ms = 500) {
  while (sent < bytes.size() && WaitFor(fd, POLLOUT, timeout_ms)) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  return sent;
}

// Reads until `count` bytes have come (or none for timeout_ms), meanwhile
// sending the rest of `bytes` from `sent` on to send_fd (-1: to fd) whenever
// it takes them. Every segment is acknowledged at once: a peer with a small
// send buffer would otherwise wait for the delayed-ACK timer again and again.
inline std::string ReadWhileSending(int fd, size_t count, const std::string& bytes = std::string(), size_t sent = 0,
                                    int send_fd = -1, int timeout_ms = 5000) {
  std::string received;
  char chunk[65536];
  int on = 1;
  if (send_fd < 0) send_fd = fd;
  while (received.size() < count) {
    // poll leaves out a negative descriptor: one with nothing left to send cannot wake it.
    struct pollfd entries[2] = {{fd, POLLIN, 0}, {sent < bytes.size() ? send_fd : -1, POLLOUT, 0}};
    if (poll(entries, 2, timeout_ms) <= 0) break;
    if (entries[1].revents & POLLOUT) {
      ssize_t n = send(send_fd, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
    }
    if (entries[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = read(fd, chunk, sizeof(chunk));
      if (n <= 0) break;
      received.append(chunk, static_cast<size_t>(n));
      setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof(on));
    }
  }
  return received;
}

#endif
