#include "diagnostics.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kMessageSize = 512;

// One call, so that a message is never torn apart by another process's output.
void WriteMessage(const char* text) { fprintf(stderr, "zorvane-cmdproc: %s\n", text); }

}  // namespace

void Warn(const char* format, ...) {
  char text[kMessageSize];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(text, sizeof(text), format, arguments);
  va_end(arguments);
  WriteMessage(text);
}

void WarnErrno(const char* format, ...) {
  const int error = errno;
  char text[kMessageSize];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(text, sizeof(text), format, arguments);
  va_end(arguments);
  const size_t length = strlen(text);
  snprintf(text + length, sizeof(text) - length, ": %s", strerror(error));
  WriteMessage(text);
}
