#include "bench_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

sockaddr_in LoopbackAddress(unsigned port) {
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

int ListenOnLoopback(unsigned port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address = LoopbackAddress(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

unsigned BoundPort(int fd) {
  sockaddr_in address;
  socklen_t length = sizeof(address);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

int ConnectToLoopback(unsigned port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address = LoopbackAddress(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool SetNoDelay(int fd) {
  int on = 1;
  return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) == 0;
}

namespace {

unsigned ParsePort(const char* program, int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--port") == 0) return static_cast<unsigned>(strtoul(argv[2], nullptr, 10));
  if (argc == 1) return 0;
  fprintf(stderr, "usage: %s [--port PORT]\n", program);
  exit(2);
}

}  // namespace

int ServeConnectionsForever(const char* program, int argc, char** argv, void (*serve)(int fd)) {
  int listener = ListenOnLoopback(ParsePort(program, argc, argv));
  if (listener < 0) {
    fprintf(stderr, "%s: listen: %s\n", program, strerror(errno));
    return 1;
  }
  printf("port=%u\n", BoundPort(listener));
  fflush(stdout);
  for (;;) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0) serve(fd);
  }
}
