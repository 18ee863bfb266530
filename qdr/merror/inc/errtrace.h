// Scoped error-trace context: messages recorded while it lives are kept
// and written to the error log by DumpToMErrLog or when it ends.
#ifndef ERRTRACE_H
#define ERRTRACE_H

#include <cstdarg>
#include <cstdio>

#include "qdrcore.h"

class MErrTraceContext {
 public:
  explicit MErrTraceContext(const char* context_name) : name(context_name) { MErrTrace_BeginContext(); }
  ~MErrTraceContext() { MErrTrace_EndContext(); }
  MErrTraceContext(const MErrTraceContext&) = delete;
  MErrTraceContext& operator=(const MErrTraceContext&) = delete;

  // Writes the recorded messages and the formatted closing text to the
  // error log. The text is cut to 254 characters (one shared buffer).
  void DumpToMErrLog(unsigned long line, const char* format, ...) QDR_PRINTF(3, 4) {
    va_list args;
    va_start(args, format);
    int length = vsnprintf(dump_buffer, sizeof(dump_buffer) - 1, format, args);
    va_end(args);
    if (length > static_cast<int>(sizeof(dump_buffer)) - 2) {
      MERRLOG("MErrTraceContext::DumpToMErrLog(): output string too long !");
    }
    _MErrTrace_Location(0, name, static_cast<int>(line));
    _MErrTrace_DumpContextToMErrLog("%s", dump_buffer);
  }

 private:
  const char* name;
  static inline char dump_buffer[256];
};

#endif
