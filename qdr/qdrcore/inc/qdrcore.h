// Support library: leveled tracing, the error log and the error trace.
//
// Every record is one line on the sink (standard error by default):
//   YYYY-MM-DD HH:MM:SS.uuuuuu TAG SOURCE:LINE MESSAGE
// TAG is T1..T5 for traces and E for error-log entries.
#ifndef QDRCORE_H
#define QDRCORE_H

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#define QDR_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

extern "C" {
int _MTrace_TestLevel(const char* channel, int level);
void _MTrace_Location(const char* source, int line, const char* channel, int level);
void _MTrace_Always(const char* format, ...) QDR_PRINTF(1, 2);
void _MTrace_SetLevel(const char* channel, int level);
int MTrace_GetLevel(const char* channel);

void _MErrLog_Location(int unused, const char* source, int line);
void _MErrLog_Add(const char* format, ...) QDR_PRINTF(1, 2);

void _MErrTrace_Location(int unused, const char* source, int line);
void _MErrTrace_Add(const char* format, ...) QDR_PRINTF(1, 2);
void _MErrTrace_DumpContextToMErrLog(const char* format, ...) QDR_PRINTF(1, 2);
void MErrTrace_BeginContext(void);
void MErrTrace_EndContext(void);
}

// Where finished records go. The default sink writes each record to
// standard error with one write call. `record` ends in a line feed.
using MQdrSink = void (*)(const char* record, size_t length, void* user);
void MQdrCore_SetSink(MQdrSink sink, void* user);
void MQdrCore_ResetSink();

// No write of the server may end it with SIGPIPE when the reader has gone: it
// fails with EPIPE instead. Each write protects itself, so the classes are
// safe however they are called (by the server's main or a test) and
// nothing has to set the process up first: sockets are written
// with send(..., MSG_NOSIGNAL), and every other descriptor (the command pipe,
// standard error behind the records) with this function, which blocks SIGPIPE
// around write(2), retries it after EINTR and takes back the signal this
// write raised, but never one that was already pending. Ignoring SIGPIPE in
// main alone would leave the classes unprotected where tests call them.
ssize_t MQdrCore_WriteWithoutSigpipe(int fd, const void* data, size_t length);

// The pieces of a record, for other one-line logs: the local date and time
// with microseconds and a blank ("YYYY-MM-DD HH:MM:SS.uuuuuu "), and bytes
// with TAB kept, CR and LF as \r and \n and other control bytes as \xHH.
void MQdrCore_AppendTimestamp(std::string* out);
void MQdrCore_AppendEscaped(std::string* out, const char* data, size_t length);
// Most messages one error-trace context keeps; older ones are dropped.
constexpr size_t kMErrTraceContextCapacity = 100;

// The four diagnostic forms used throughout the server.
#define MTRACE(level, ...)                                           \
  do {                                                               \
    if (_MTrace_TestLevel("default", (level))) {                     \
      _MTrace_Location(__FILE__, __LINE__, "default", (level));      \
      _MTrace_Always(__VA_ARGS__);                                   \
    }                                                                \
  } while (0)

#define MERRLOG(...)                                \
  do {                                              \
    _MErrLog_Location(0, __FILE__, __LINE__);       \
    _MErrLog_Add(__VA_ARGS__);                      \
  } while (0)

#define MERRTRACE(...)                              \
  do {                                              \
    _MErrTrace_Location(0, __FILE__, __LINE__);     \
    _MErrTrace_Add(__VA_ARGS__);                    \
  } while (0)

#define MERRTRACE_DUMP(...)                             \
  do {                                                  \
    _MErrTrace_Location(0, __FILE__, __LINE__);         \
    _MErrTrace_DumpContextToMErrLog(__VA_ARGS__);       \
  } while (0)

// A call that failed: the message, ": " and the system's text for the error
// number cut to 40 characters, in the error log or the error trace. The _ERRNO
// forms take errno, before anything else runs. Macros, so that the record
// names the caller's source file and line.
#define MERR_WITH_ERROR_TEXT_(location, add, error, format, ...)     \
  do {                                                               \
    const int merr_error_ = (error);                                 \
    location(0, __FILE__, __LINE__);                                 \
    add(format ": %.40s", ##__VA_ARGS__, strerror(merr_error_));     \
  } while (0)

#define MERRLOG_ERRNUM(error, format, ...) \
  MERR_WITH_ERROR_TEXT_(_MErrLog_Location, _MErrLog_Add, error, format, ##__VA_ARGS__)
#define MERRTRACE_ERRNUM(error, format, ...) \
  MERR_WITH_ERROR_TEXT_(_MErrTrace_Location, _MErrTrace_Add, error, format, ##__VA_ARGS__)
#define MERRLOG_ERRNO(format, ...) MERRLOG_ERRNUM(errno, format, ##__VA_ARGS__)
#define MERRTRACE_ERRNO(format, ...) MERRTRACE_ERRNUM(errno, format, ##__VA_ARGS__)

#endif
