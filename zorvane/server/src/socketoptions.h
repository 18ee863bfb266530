// Descriptor and integer socket option helpers and the socket constants,
// shared by the client endpoint and the command channel.
#ifndef SOCKETOPTIONS_H
#define SOCKETOPTIONS_H

#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "qdrcore.h"

// Above it, a port would be cut to its low 16 bits: another port.
constexpr unsigned kHighestPort = 65535;
// The send buffer asked for on the listener and the command channel, and
// the receive buffer of the command channel.
constexpr int kSocketBufferSize = 32768;

// Adds O_NONBLOCK and keeps the descriptor's other status flags.
inline bool SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// select() cannot watch a descriptor of FD_SETSIZE or more.
inline bool FitsFdSet(int fd) { return fd >= 0 && fd < FD_SETSIZE; }

// A TCP socket of `family` that select() can watch, or -1 with the reason
// in errno (EMFILE for a descriptor select() cannot watch) and, unless
// `caller` is null, in the error trace, `caller` naming the one who asked.
inline int OpenStreamSocket(const char* caller, int family = AF_INET) {
  int fd = socket(family, SOCK_STREAM, 0);
  if (fd == -1) {
    if (caller) MERRTRACE_ERRNO("%s: socket() failed", caller);
    return -1;
  }
  if (!FitsFdSet(fd)) {
    if (caller) MERRTRACE("%s: descriptor %d is not below FD_SETSIZE (%d)", caller, fd, FD_SETSIZE);
    (void)close(fd);  // never used: nothing to lose
    errno = EMFILE;
    return -1;
  }
  return fd;
}

inline bool SetIntOption(int fd, int level, int option, int value) {
  return setsockopt(fd, level, option, &value, sizeof(value)) == 0;
}

// The value of a SOL_SOCKET option; 0 when it cannot be read.
inline int GetIntOption(int fd, int option) {
  int value = 0;
  socklen_t length = sizeof(value);
  (void)getsockopt(fd, SOL_SOCKET, option, &value, &length);
  return value;
}

#endif
