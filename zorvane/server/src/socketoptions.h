// Integer socket options, shared by the client endpoint and the command channel.
#ifndef SOCKETOPTIONS_H
#define SOCKETOPTIONS_H

#include <sys/socket.h>

inline bool SetIntOption(int fd, int level, int option, int value) {
  return setsockopt(fd, level, option, &value, sizeof(value)) == 0;
}

// The value of a SOL_SOCKET option; 0 when it cannot be read.
inline int GetIntOption(int fd, int option) {
  int value = 0;
  socklen_t length = sizeof(value);
  getsockopt(fd, SOL_SOCKET, option, &value, &length);
  return value;
}

#endif
