#include "diagnostics.h"

#include <cstdarg>
#include <cstdio>

void Warn(const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(text, sizeof(text), format, arguments);
  va_end(arguments);
  // One call, so that a message is never torn apart by another process's output.
  fprintf(stderr, "zorvane-cmdproc: %s\n", text);
}
