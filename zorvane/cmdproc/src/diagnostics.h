// Messages of the command processor on standard error.
#ifndef ZORVANE_CMDPROC_DIAGNOSTICS_H
#define ZORVANE_CMDPROC_DIAGNOSTICS_H

// Writes "zorvane-cmdproc: " and the formatted text, then a line feed, to stderr.
void Warn(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same for a call that failed and set errno: ": " and the system's text follow.
void WarnErrno(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif
