#include "ctimer.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qdrcore.h"

namespace {

bool ReadClock(const char* caller, double* seconds) {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC_RAW, &now) != 0) {
    MERRLOG("%s(): clock_gettime() failed: %s", caller, strerror(errno));
    return false;
  }
  *seconds = static_cast<double>(static_cast<long long>(now.tv_sec)) +
             static_cast<double>(static_cast<long long>(now.tv_nsec)) * 1e-9;
  return true;
}

}  // namespace

void CTimer_Create(CTimer* timer) {
  double now;
  if (ReadClock("CTimer_Create", &now)) *timer = now;
}

double CTimer_Get(const CTimer* timer) {
  double now;
  if (!ReadClock("CTimer_Get", &now)) return 0.0;
  return now - *timer;
}

double CTimer_Destroy(CTimer* timer) { return CTimer_Get(timer); }

double CTimer_Reset(CTimer* timer) {
  double previous = *timer;
  double now;
  if (!ReadClock("CTimer_Reset", &now)) return 0.0;
  *timer = now;
  return now - previous;
}

void CTimer_Sleep(CTimer*, double seconds) {
  double whole = static_cast<double>(static_cast<long long>(seconds));
  double fraction = seconds - whole;
  if (whole != 0.0) sleep(whole > 0.0 ? static_cast<unsigned>(whole) : 0u);
  double micros = fraction * 1e6;
  usleep(micros > 0.0 ? static_cast<useconds_t>(micros) : 0u);
}

double CTimer_GetAccuracy(CTimer*) {
  static double accuracy = 0.0;
  if (accuracy == 0.0) accuracy = 1e-6;
  return accuracy;
}
