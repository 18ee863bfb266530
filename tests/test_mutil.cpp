#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>

#include <chrono>
#include <tuple>

#include "ctimer.h"
#include "diag_capture.h"
#include "msleep_sec.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(CTimer, MeasuresRestartsAndSleeps) {
  CTimer timer = 0;
  CTimer_Create(&timer);
  EXPECT_GE(CTimer_Get(&timer), 0.0);
  ASSERT_EQ(msleep_sec(0.05), 0);
  double before_reset = CTimer_Reset(&timer);
  EXPECT_GE(before_reset, 0.05);
  EXPECT_LT(CTimer_Get(&timer), before_reset);
  EXPECT_GE(CTimer_Destroy(&timer), 0.0);
  Clock::time_point start = Clock::now();
  CTimer_Sleep(&timer, -3.5);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900)) << "a negative sleep is skipped";
  start = Clock::now();
  CTimer_Sleep(&timer, 0.05);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
}

TEST(MSleepSec, RejectsArgumentsOutsideTheLimitsAndTruncatesTowardZero) {
  DiagCapture capture;
  EXPECT_EQ(msleep_sec(-0.5), -1);
  EXPECT_EQ(msleep_sec(2678400.5), -1);
  EXPECT_EQ(msleep_sec(0), 0);
  EXPECT_EQ(capture.Messages("E"),
            (std::vector<std::string>{"msleep_sec(): invalid argument", "msleep_sec(): invalid argument"}));
  // 2.3 - 2 is 0.29999999999999982 in binary floating point: the last nanosecond is lost.
  for (const auto& [seconds, sec, nsec] :
       {std::make_tuple(0.01, 0L, 10000000L), std::make_tuple(1.5, 1L, 500000000L),
        std::make_tuple(2678400.0, 2678400L, 0L), std::make_tuple(2.3, 2L, 299999999L)}) {
    struct timespec request = msleep_sec_request(seconds);
    EXPECT_EQ(request.tv_sec, sec) << seconds;
    EXPECT_NEAR(static_cast<double>(request.tv_nsec), static_cast<double>(nsec), seconds == 0.01 ? 1.0 : 0.0)
        << seconds;
  }
}

// Sleeps are interrupted by a handled signal whatever SA_RESTART says.
TEST(MSleepSec, SignalsDoNotShortenTheSleep) {
  void (*previous)(int) = signal(SIGALRM, [](int) {});
  struct itimerval interval = {{0, 20000}, {0, 20000}};  // interrupts the sleep several times
  ASSERT_EQ(setitimer(ITIMER_REAL, &interval, nullptr), 0);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(msleep_sec(0.2), 0);
  Clock::duration elapsed = Clock::now() - start;
  interval = {};
  setitimer(ITIMER_REAL, &interval, nullptr);
  signal(SIGALRM, previous);
  EXPECT_GE(elapsed, std::chrono::milliseconds(200));
}

}  // namespace
