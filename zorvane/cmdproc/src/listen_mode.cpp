#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "channel.h"
#include "diagnostics.h"
#include "modes.h"

namespace {

constexpr int kBacklog = 4;
// Pause after an accept that failed for lack of resources, instead of spinning.
constexpr useconds_t kAcceptRetryPauseUs = 100000;

int OpenListener(unsigned short port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, kBacklog) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

bool IsPassingAcceptError(int error) {
  return error == EINTR || error == ECONNABORTED || error == EMFILE || error == ENFILE || error == ENOBUFS ||
         error == ENOMEM || error == EPROTO || error == EPERM;
}

void ServeConnection(int connection, VariableStore* variables) {
  int on = 1;
  // Markers are small and should not wait for more output.
  setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  ServeChannel(connection, connection, variables, -1);
  close(connection);
}

}  // namespace

int RunListening(unsigned short port) {
  int listener = OpenListener(port);
  if (listener < 0) {
    WarnErrno("cannot listen on 127.0.0.1:%u", static_cast<unsigned>(port));
    return 1;
  }
  VariableStore variables;
  for (;;) {
    int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (connection >= 0) {
      ServeConnection(connection, &variables);
      continue;
    }
    if (!IsPassingAcceptError(errno)) {
      WarnErrno("accept failed");
      close(listener);
      return 1;
    }
    if (errno != EINTR && errno != ECONNABORTED) usleep(kAcceptRetryPauseUs);
  }
}
