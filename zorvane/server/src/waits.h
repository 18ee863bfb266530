// Every wait of the server (select, poll, a pause) goes through these, so
// that a periodic duty (the watchdog ping) runs however long the wait: the
// timeout asked for is cut to the duty's next turn, the duty runs, and the
// wait goes on for what is left. The caller sees the wait it asked for: 0
// only when its own timeout has passed. With no duty each is the plain call.
#ifndef WAITS_H
#define WAITS_H

#include <poll.h>
#include <sys/select.h>

// Runs `duty` now and then every `interval_us` microseconds, from every wait;
// an interval of 0 removes it.
void SetPeriodicDuty(long long interval_us, void (*duty)());

// select(2) without exceptional conditions; `timeout` nullptr waits for ever.
int WaitSelect(int nfds, fd_set* read_set, fd_set* write_set, const struct timeval* timeout);

// poll(2); no descriptors make it a pause.
int WaitPoll(struct pollfd* fds, nfds_t count, int timeout_ms);

#endif
