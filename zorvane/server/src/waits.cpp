#include "waits.h"

#include <time.h>

#include <algorithm>
#include <climits>

long long periodic_duty_interval_us = 0;

long long MonotonicMicroseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

namespace {

long long duty_due_us = 0;
void (*periodic_duty)() = nullptr;

// Runs the duty when it is due; the microseconds to its next turn.
long long RunDutyWhenDue() {
  const long long now = MonotonicMicroseconds();
  if (now >= duty_due_us) {
    periodic_duty();
    duty_due_us = now + periodic_duty_interval_us;
  }
  return duty_due_us - now;
}

struct timeval MicrosecondsToTimeval(long long us) {
  struct timeval value;
  value.tv_sec = static_cast<time_t>(us / 1000000);
  value.tv_usec = static_cast<suseconds_t>(us % 1000000);
  return value;
}

long long TimevalToMicroseconds(const struct timeval& value) {
  return static_cast<long long>(value.tv_sec) * 1000000 + value.tv_usec;
}

}  // namespace

struct timeval* TimeoutBeforeDeadline(long long deadline_us, const struct timeval* timeout, struct timeval* storage) {
  long long wait_us = std::max(deadline_us - MonotonicMicroseconds(), 0LL);
  if (timeout != nullptr) wait_us = std::min(wait_us, TimevalToMicroseconds(*timeout));
  *storage = MicrosecondsToTimeval(wait_us);
  return storage;
}

void SetPeriodicDuty(long long interval_us, void (*duty)()) {
  periodic_duty_interval_us = duty != nullptr && interval_us > 0 ? interval_us : 0;
  periodic_duty = duty;
  duty_due_us = 0;
}

namespace {

// Waits in turns no longer than the duty's next turn, running it between
// them, until `wait` reports something or the deadline has passed; `wait`
// takes the microseconds of one turn.
template <typename Wait>
int WaitWithDuty(long long deadline_us, Wait wait) {
  for (;;) {
    const long long to_duty = RunDutyWhenDue();
    const long long to_deadline = std::max(deadline_us - MonotonicMicroseconds(), 0LL);
    const int result = wait(std::min(to_duty, to_deadline));
    if (result != 0 || to_deadline <= to_duty) {
      (void)RunDutyWhenDue();
      return result;
    }
  }
}

}  // namespace

int WaitSelectWithDuty(int nfds, fd_set* read_set, fd_set* write_set, const struct timeval* timeout) {
  const long long deadline = timeout != nullptr ? MonotonicMicroseconds() + TimevalToMicroseconds(*timeout) : kNoDeadline;
  fd_set read_asked, write_asked;
  if (read_set != nullptr) read_asked = *read_set;
  if (write_set != nullptr) write_asked = *write_set;
  return WaitWithDuty(deadline, [&](long long wait_us) {
    // A select that timed out has cleared the sets.
    if (read_set != nullptr) *read_set = read_asked;
    if (write_set != nullptr) *write_set = write_asked;
    struct timeval left = MicrosecondsToTimeval(wait_us);
    return select(nfds, read_set, write_set, nullptr, &left);
  });
}

int WaitPollWithDuty(struct pollfd* fds, nfds_t count, int timeout_ms) {
  const long long deadline = timeout_ms < 0 ? kNoDeadline : MonotonicMicroseconds() + timeout_ms * 1000LL;
  return WaitWithDuty(deadline, [&](long long wait_us) {
    // Rounded up, so that a wait never ends before its time and turns into a spin.
    return poll(fds, count, static_cast<int>(std::min((wait_us + 999) / 1000, static_cast<long long>(INT_MAX))));
  });
}
