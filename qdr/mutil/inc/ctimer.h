// Stopwatch in seconds on the raw monotonic clock. The caller owns the value.
#ifndef CTIMER_H
#define CTIMER_H

typedef double CTimer;

void CTimer_Create(CTimer* timer);
double CTimer_Destroy(CTimer* timer);
double CTimer_Get(const CTimer* timer);
double CTimer_Reset(CTimer* timer);
void CTimer_Sleep(CTimer* timer, double seconds);
double CTimer_GetAccuracy(CTimer* timer);

#endif
