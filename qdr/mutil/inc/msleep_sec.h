// Fractional-second sleep that resumes after signals.
#ifndef MSLEEP_SEC_H
#define MSLEEP_SEC_H

#include <ctime>

// Longest sleep accepted: 31 days.
constexpr double kMSleepSecMaximum = 2678400.0;

// 0 on success, -1 for an invalid argument or a failed sleep.
int msleep_sec(double seconds);

// The request msleep_sec makes of nanosleep for a positive duration:
// whole seconds and the rest in nanoseconds, both truncated toward zero.
struct timespec msleep_sec_request(double seconds);

#endif
