#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>

#include <tuple>

#include "ctimer.h"
#include "diag_capture.h"
#include "msleep_sec.h"

namespace {

double MonotonicSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

TEST(CTimer, MeasuresRestartsAndSleeps) {
  CTimer timer = 0;
  CTimer_Create(&timer);
  EXPECT_GE(CTimer_Get(&timer), 0.0);
  ASSERT_EQ(msleep_sec(0.05), 0);
  double before_reset = CTimer_Reset(&timer);
  EXPECT_GE(before_reset, 0.05);
  EXPECT_LT(CTimer_Get(&timer), before_reset);
  EXPECT_GE(CTimer_Destroy(&timer), 0.0);
  EXPECT_EQ(CTimer_GetAccuracy(&timer), 1e-6);
  double start = MonotonicSeconds();
  CTimer_Sleep(&timer, -3.5);  // skipped
  CTimer_Sleep(&timer, 0.05);
  EXPECT_GE(MonotonicSeconds() - start, 0.05);
}

TEST(MSleepSec, RejectsArgumentsOutsideTheLimitsAndTruncatesTowardZero) {
  DiagCapture capture;
  EXPECT_EQ(msleep_sec(-0.5), -1);
  EXPECT_EQ(msleep_sec(2678400.5), -1);
  EXPECT_EQ(msleep_sec(0), 0);
  EXPECT_EQ(capture.Messages("E"),
            (std::vector<std::string>{"msleep_sec(): invalid argument", "msleep_sec(): invalid argument"}));
  // 2.3 - 2 is 0.29999999999999982 in binary floating point: the last nanosecond is lost.
  for (const auto& [seconds, sec, nsec] : {std::make_tuple(0.01, 0L, 10000000L), std::make_tuple(1.5, 1L, 500000000L),
                                           std::make_tuple(2678400.0, 2678400L, 0L), std::make_tuple(2.3, 2L, 299999999L)}) {
    struct timespec request = msleep_sec_request(seconds);
    EXPECT_EQ(request.tv_sec, sec) << seconds;
    EXPECT_NEAR(static_cast<double>(request.tv_nsec), static_cast<double>(nsec), seconds == 0.01 ? 1.0 : 0.0) << seconds;
  }
}

void IgnoreAlarm(int) {}

TEST(MSleepSec, SignalsDoNotShortenTheSleep) {
  struct sigaction action{};
  action.sa_handler = IgnoreAlarm;
  struct sigaction previous{};
  ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
  struct itimerval interval{};
  interval.it_value.tv_usec = interval.it_interval.tv_usec = 20000;  // interrupts the sleep several times
  ASSERT_EQ(setitimer(ITIMER_REAL, &interval, nullptr), 0);
  double start = MonotonicSeconds();
  int result = msleep_sec(0.2);
  double elapsed = MonotonicSeconds() - start;
  struct itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_EQ(result, 0);
  EXPECT_GE(elapsed, 0.2);
}

}  // namespace
