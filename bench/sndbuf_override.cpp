// Preloaded into the server by bench/run to measure the relay with other
// socket settings than the server's own, without touching the server:
//   ZORVANE_BENCH_SNDBUF=BYTES replaces the value of every SO_SNDBUF the
//     process sets; 0 drops the call, so that the system's default (and its
//     automatic tuning) stays in force;
//   ZORVANE_BENCH_SEND_CAP=BYTES offers at most that many bytes to each send
//     (0: no cap), to measure writes smaller than the send buffer.
#include <dlfcn.h>
#include <sys/socket.h>

#include <cstdlib>

namespace {

using SetSockOpt = int (*)(int, int, int, const void*, socklen_t);
using Send = ssize_t (*)(int, const void*, size_t, int);

SetSockOpt RealSetSockOpt() {
  static SetSockOpt real = reinterpret_cast<SetSockOpt>(dlsym(RTLD_NEXT, "setsockopt"));
  return real;
}

Send RealSend() {
  static Send real = reinterpret_cast<Send>(dlsym(RTLD_NEXT, "send"));
  return real;
}

size_t SendCap() {
  static size_t cap = [] {
    const char* text = getenv("ZORVANE_BENCH_SEND_CAP");
    return text ? strtoul(text, nullptr, 10) : 0;
  }();
  return cap;
}

}  // namespace

extern "C" int setsockopt(int fd, int level, int option, const void* value, socklen_t length) {
  const char* wanted = getenv("ZORVANE_BENCH_SNDBUF");
  if (wanted == nullptr || level != SOL_SOCKET || option != SO_SNDBUF) {
    return RealSetSockOpt()(fd, level, option, value, length);
  }
  int bytes = atoi(wanted);
  if (bytes <= 0) return 0;
  return RealSetSockOpt()(fd, level, option, &bytes, sizeof(bytes));
}

extern "C" ssize_t send(int fd, const void* data, size_t count, int flags) {
  if (SendCap() != 0 && count > SendCap()) count = SendCap();
  return RealSend()(fd, data, count, flags);
}
