#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>

#include "ctimer.h"
#include "diag_capture.h"
#include "msleep_sec.h"

namespace {

double MonotonicSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

TEST(CTimer, MeasuresAndRestarts) {
  CTimer timer = 0;
  CTimer_Create(&timer);
  double first = CTimer_Get(&timer);
  EXPECT_GE(first, 0.0);
  EXPECT_LT(first, 1.0);
  ASSERT_EQ(msleep_sec(0.05), 0);
  double before_reset = CTimer_Reset(&timer);
  EXPECT_GE(before_reset, 0.05);
  EXPECT_LT(CTimer_Get(&timer), before_reset);
  EXPECT_GE(CTimer_Destroy(&timer), 0.0);
  EXPECT_EQ(CTimer_GetAccuracy(&timer), 1e-6);
}

TEST(CTimer, SleepSkipsNegativeAndWholePartsOfZero) {
  CTimer timer = 0;
  double start = MonotonicSeconds();
  CTimer_Sleep(&timer, -3.5);
  CTimer_Sleep(&timer, 0.05);
  double elapsed = MonotonicSeconds() - start;
  EXPECT_GE(elapsed, 0.05);
  EXPECT_LT(elapsed, 1.0);
}

TEST(MSleepSec, RejectsArgumentsOutsideTheLimits) {
  DiagCapture capture;
  EXPECT_EQ(msleep_sec(-0.5), -1);
  EXPECT_EQ(msleep_sec(2678400.5), -1);
  EXPECT_EQ(capture.Messages("E"),
            (std::vector<std::string>{"msleep_sec(): invalid argument", "msleep_sec(): invalid argument"}));
  EXPECT_EQ(msleep_sec(0), 0);
  EXPECT_TRUE(capture.Messages("E").size() == 2u);
}

TEST(MSleepSec, RequestTruncatesTowardZero) {
  struct timespec request = msleep_sec_request(0.01);
  EXPECT_EQ(request.tv_sec, 0);
  EXPECT_NEAR(static_cast<double>(request.tv_nsec), 1e7, 1.0);
  request = msleep_sec_request(1.5);
  EXPECT_EQ(request.tv_sec, 1);
  EXPECT_EQ(request.tv_nsec, 500000000L);
  request = msleep_sec_request(2678400);
  EXPECT_EQ(request.tv_sec, 2678400);
  EXPECT_EQ(request.tv_nsec, 0L);
  // 2.3 - 2 is 0.29999999999999982 in binary floating point: the last nanosecond is lost.
  request = msleep_sec_request(2.3);
  EXPECT_EQ(request.tv_sec, 2);
  EXPECT_EQ(request.tv_nsec, 299999999L);
}

void IgnoreAlarm(int) {}

TEST(MSleepSec, SignalsDoNotShortenTheSleep) {
  struct sigaction action{};
  action.sa_handler = IgnoreAlarm;
  struct sigaction previous{};
  ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
  struct itimerval interval{};
  interval.it_value.tv_usec = 20000;
  interval.it_interval.tv_usec = 20000;  // interrupts the sleep several times
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
