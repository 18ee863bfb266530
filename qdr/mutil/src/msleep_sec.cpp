#include "msleep_sec.h"

#include <sched.h>

#include <cerrno>
#include <cstring>

#include "qdrcore.h"

struct timespec msleep_sec_request(double seconds) {
  struct timespec request;
  long long whole = static_cast<long long>(seconds);
  request.tv_sec = static_cast<time_t>(whole);
  request.tv_nsec = static_cast<long>((seconds - static_cast<double>(whole)) * 1e9);
  return request;
}

int msleep_sec(double seconds) {
  if (!(seconds >= 0.0) || seconds > kMSleepSecMaximum) {
    MERRTRACE("msleep_sec(): invalid argument");
    return -1;
  }
  if (seconds == 0.0) return sched_yield();

  struct timespec request = msleep_sec_request(seconds);
  struct timespec remainder;
  while (nanosleep(&request, &remainder) != 0) {
    if (errno != EINTR) {
      MERRTRACE("msleep_sec(): nanosleep() failed: %.60s", strerror(errno));
      return -1;
    }
    request = remainder;
  }
  return 0;
}
