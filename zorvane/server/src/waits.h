// Every wait of the server (select, poll, a pause) goes through these, so
// that a periodic duty (the watchdog ping) runs however long the wait: the
// timeout asked for is cut to the duty's next turn, the duty runs, and the
// wait goes on for what is left. The caller sees the wait it asked for: 0
// only when its own timeout has passed. With no duty each is the plain call.
#ifndef WAITS_H
#define WAITS_H

#include <poll.h>
#include <sys/select.h>

#include <climits>

// A moment on the monotonic clock in microseconds, and the one that never comes.
constexpr long long kNoDeadline = LLONG_MAX;
long long MonotonicMicroseconds();

struct timeval* TimeoutBeforeDeadline(long long deadline_us, const struct timeval* timeout, struct timeval* storage);

// The wait until the earlier of `deadline_us` and `*timeout` (nullptr: no
// timeout), in *storage; nullptr when neither is set.
inline struct timeval* EarlierTimeout(long long deadline_us, const struct timeval* timeout, struct timeval* storage) {
  if (deadline_us != kNoDeadline) return TimeoutBeforeDeadline(deadline_us, timeout, storage);
  if (timeout == nullptr) return nullptr;
  *storage = *timeout;
  return storage;
}

// Runs `duty` now and then every `interval_us` microseconds, from every wait;
// an interval of 0 removes it.
void SetPeriodicDuty(long long interval_us, void (*duty)());

// Microseconds between the duty's turns; 0 when there is no duty.
extern long long periodic_duty_interval_us;

int WaitSelectWithDuty(int nfds, fd_set* read_set, fd_set* write_set, const struct timeval* timeout);
int WaitPollWithDuty(struct pollfd* fds, nfds_t count, int timeout_ms);

// select(2) without exceptional conditions; `timeout` nullptr waits for
// ever, and may be changed as select(2) changes it. Inline, so that without
// a duty the wait costs what the plain call costs.
inline int WaitSelect(int nfds, fd_set* read_set, fd_set* write_set, struct timeval* timeout) {
  if (periodic_duty_interval_us == 0) return select(nfds, read_set, write_set, nullptr, timeout);
  return WaitSelectWithDuty(nfds, read_set, write_set, timeout);
}

// poll(2); no descriptors make it a pause.
inline int WaitPoll(struct pollfd* fds, nfds_t count, int timeout_ms) {
  if (periodic_duty_interval_us == 0) return poll(fds, count, timeout_ms);
  return WaitPollWithDuty(fds, count, timeout_ms);
}

#endif
