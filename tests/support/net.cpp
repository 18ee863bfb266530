#include "net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {

long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int RemainingMs(long long deadline) {
  long long left = deadline - NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

sockaddr_in LoopbackAddress(unsigned short port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

int ListenLoopback(unsigned short* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address = LoopbackAddress(0);
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

unsigned short FreeLoopbackPort() {
  unsigned short port = 0;
  int fd = ListenLoopback(&port);
  if (fd >= 0) close(fd);
  return port;
}

int ConnectLoopback(unsigned short port, int timeout_ms) {
  long long deadline = NowMs() + timeout_ms;
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in address = LoopbackAddress(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
    close(fd);
    if (RemainingMs(deadline) == 0) return -1;
    usleep(20000);
  }
}

int AcceptWithin(int listen_fd, int timeout_ms) {
  if (!WaitReadable(listen_fd, timeout_ms)) return -1;
  return accept(listen_fd, nullptr, nullptr);
}

namespace {

bool WaitFor(int fd, short events, int timeout_ms) {
  long long deadline = NowMs() + timeout_ms;
  for (;;) {
    struct pollfd entry = {fd, events, 0};
    int ready = poll(&entry, 1, RemainingMs(deadline));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

bool WaitReadable(int fd, int timeout_ms) { return WaitFor(fd, POLLIN, timeout_ms); }

bool WaitWritable(int fd, int timeout_ms) { return WaitFor(fd, POLLOUT, timeout_ms); }

bool WriteAll(int fd, const std::string& bytes) {
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

bool ReadExactly(int fd, size_t count, std::string* out, int timeout_ms) {
  long long deadline = NowMs() + timeout_ms;
  size_t target = out->size() + count;
  char chunk[65536];
  while (out->size() < target) {
    if (!WaitReadable(fd, RemainingMs(deadline))) return false;
    size_t want = target - out->size();
    ssize_t n = read(fd, chunk, want < sizeof(chunk) ? want : sizeof(chunk));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    out->append(chunk, static_cast<size_t>(n));
  }
  return true;
}

std::string ReadUntil(int fd, const std::string& suffix, int timeout_ms) {
  long long deadline = NowMs() + timeout_ms;
  std::string text;
  char byte;
  while (text.size() < suffix.size() || text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0) {
    if (!WaitReadable(fd, RemainingMs(deadline))) break;
    ssize_t n = read(fd, &byte, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    text.push_back(byte);
  }
  return text;
}

std::string ReadAvailable(int fd, int quiet_ms) {
  std::string text;
  char chunk[65536];
  while (WaitReadable(fd, quiet_ms)) {
    ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

bool ReadToEof(int fd, std::string* out, int timeout_ms) {
  long long deadline = NowMs() + timeout_ms;
  char chunk[65536];
  for (;;) {
    if (!WaitReadable(fd, RemainingMs(deadline))) return false;
    ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return errno == ECONNRESET;
    if (n == 0) return true;
    out->append(chunk, static_cast<size_t>(n));
  }
}

size_t SendWhileTaken(int fd, const std::string& bytes, size_t sent, int timeout_ms) {
  while (sent < bytes.size() && WaitWritable(fd, timeout_ms)) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  return sent;
}

std::string ReadWhileSending(int fd, size_t count, const std::string& bytes, size_t sent, int timeout_ms) {
  std::string received;
  char chunk[65536];
  int on = 1;
  while (received.size() < count) {
    struct pollfd entry = {fd, static_cast<short>(POLLIN | (sent < bytes.size() ? POLLOUT : 0)), 0};
    if (poll(&entry, 1, timeout_ms) <= 0) break;
    if (entry.revents & POLLOUT) {
      ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
    }
    if (entry.revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = read(fd, chunk, sizeof(chunk));
      if (n <= 0) break;
      received.append(chunk, static_cast<size_t>(n));
      setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof(on));
    }
  }
  return received;
}

void HangUp(int* fd, int timeout_ms) {
  if (*fd < 0) return;
  shutdown(*fd, SHUT_WR);
  std::string rest;
  ReadToEof(*fd, &rest, timeout_ms);
  CloseFd(fd);
}

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}
