#include "qdrcore.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <string>
#include <vector>

ssize_t MQdrCore_WriteWithoutSigpipe(int fd, const void* data, size_t length) {
  sigset_t sigpipe_only;
  sigset_t previous_mask;
  sigset_t pending;
  sigemptyset(&sigpipe_only);
  sigaddset(&sigpipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &sigpipe_only, &previous_mask);
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;

  ssize_t written;
  do {
    errno = 0;
    written = write(fd, data, length);
  } while (written < 0 && errno == EINTR);
  const int write_errno = errno;

  if (written < 0 && write_errno == EPIPE && !was_pending) {
    const struct timespec no_wait = {0, 0};
    (void)sigtimedwait(&sigpipe_only, nullptr, &no_wait);
  }
  pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
  errno = write_errno;
  return written;
}

static_assert(sizeof(time_t) >= 8, "record timestamps need a time_t that goes past 2038");

namespace {

constexpr int kDefaultLevel = 2;
constexpr int kMaxLevel = 5;

struct Location {
  std::string source;
  int line = 0;
};

struct StoredMessage {
  Location location;
  std::string text;
};

struct ErrTraceContext {
  std::deque<StoredMessage> messages;
  size_t dropped = 0;
};

void WriteToStderr(const char* record, size_t length, void*) {
  while (length > 0) {
    ssize_t n = MQdrCore_WriteWithoutSigpipe(STDERR_FILENO, record, length);
    if (n <= 0) return;
    record += n;
    length -= static_cast<size_t>(n);
  }
}

MQdrSink current_sink = WriteToStderr;
void* current_sink_user = nullptr;

std::map<std::string, int>& ChannelLevels() {
  static std::map<std::string, int> levels;
  return levels;
}

// The level of "default", the channel every trace of the server uses, kept
// beside the map so that a level test on it needs no map look-up.
// Callers name it with a literal that the linker usually merges with this
// one, so comparing the pointers mostly spares the comparison of the text.
const char* const kDefaultChannel = "default";
int default_channel_level = kDefaultLevel;

bool IsDefaultChannel(const char* channel) {
  return channel == nullptr || channel == kDefaultChannel || strcmp(channel, kDefaultChannel) == 0;
}

std::vector<ErrTraceContext>& ContextStack() {
  static std::vector<ErrTraceContext> stack;
  return stack;
}

Location trace_location;
int trace_level = 0;
Location errlog_location;
Location errtrace_location;

std::string FormatV(const char* format, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int length = vsnprintf(small, sizeof(small), format, copy);
  va_end(copy);
  if (length < 0) return std::string();
  if (static_cast<size_t>(length) < sizeof(small)) return std::string(small, static_cast<size_t>(length));
  std::string text(static_cast<size_t>(length) + 1, '\0');
  vsnprintf(&text[0], text.size(), format, args);
  text.resize(static_cast<size_t>(length));
  return text;
}

// A record is one line: a trailing line feed of the message is dropped, and
// the rest is escaped.
void AppendEscapedMessage(std::string* out, const std::string& message) {
  size_t end = message.size();
  if (end > 0 && message[end - 1] == '\n') --end;
  MQdrCore_AppendEscaped(out, message.data(), end);
}

}  // namespace

// The date and time are formatted once a second; records can come far more often.
void MQdrCore_AppendTimestamp(std::string* out) {
  static time_t formatted_second = -1;
  static char date_time[32];
  static size_t date_time_length = 0;
  struct timeval now;
  gettimeofday(&now, nullptr);
  if (now.tv_sec != formatted_second) {
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    date_time_length = strftime(date_time, sizeof(date_time), "%Y-%m-%d %H:%M:%S", &local);
    formatted_second = now.tv_sec;
  }
  char fraction[] = ".000000 ";
  long micros = static_cast<long>(now.tv_usec);
  for (int digit = 6; digit >= 1; --digit, micros /= 10) fraction[digit] = static_cast<char>('0' + micros % 10);
  out->append(date_time, date_time_length).append(fraction, sizeof(fraction) - 1);
}

// Control bytes become visible escapes; the bytes between them are appended
// a run at a time.
void MQdrCore_AppendEscaped(std::string* out, const char* data, size_t length) {
  size_t run = 0;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    if (c == '\t' || (c >= 0x20 && c != 0x7F)) continue;
    out->append(data + run, i - run);
    run = i + 1;
    if (c == '\r') {
      out->append("\\r");
    } else if (c == '\n') {
      out->append("\\n");
    } else {
      char hex[5];
      snprintf(hex, sizeof(hex), "\\x%02X", c);
      out->append(hex);
    }
  }
  out->append(data + run, length - run);
}

namespace {

// Standard error is the journal when JOURNAL_STREAM names its device and inode.
bool StderrIsJournal() {
  const char* stream = getenv("JOURNAL_STREAM");
  struct stat status;
  if (stream == nullptr || fstat(STDERR_FILENO, &status) != 0) return false;
  unsigned long long device = 0, inode = 0;
  char end = '\0';
  return sscanf(stream, "%llu:%llu%c", &device, &inode, &end) == 2 && device == status.st_dev &&
         inode == status.st_ino;
}

// The journal files a record that starts with "<N>" at syslog priority N and
// shows it without the prefix: error records at 3 (err), traces of levels 1
// and 2 at 6 (info), the finer ones at 7 (debug).
void AppendJournalPriority(std::string* record, const char* tag) {
  static const bool journal = StderrIsJournal();
  if (!journal || current_sink != WriteToStderr) return;
  record->append(tag[0] == 'E' ? "<3>" : tag[1] <= '2' ? "<6>" : "<7>");
}

void Emit(const char* tag, const Location& location, const std::string& message) {
  std::string record;
  record.reserve(64 + location.source.size() + message.size());
  AppendJournalPriority(&record, tag);
  MQdrCore_AppendTimestamp(&record);
  record.append(tag);
  record.push_back(' ');
  record.append(location.source);
  record.push_back(':');
  record.append(std::to_string(location.line));
  record.push_back(' ');
  AppendEscapedMessage(&record, message);
  record.push_back('\n');
  current_sink(record.data(), record.size(), current_sink_user);
}

void EmitStored(ErrTraceContext* context) {
  if (context->dropped > 0) {
    Emit("E", context->messages.empty() ? errtrace_location : context->messages.front().location,
         "error trace: " + std::to_string(context->dropped) + " older messages dropped");
  }
  for (const StoredMessage& message : context->messages) Emit("E", message.location, message.text);
  context->messages.clear();
  context->dropped = 0;
}

// Assigned in place: the source's storage is reused from one record to the next.
void SetLocation(Location* location, const char* source, int line) {
  location->source.assign(source ? source : "?");
  location->line = line;
}

}  // namespace

void MQdrCore_SetSink(MQdrSink sink, void* user) {
  current_sink = sink ? sink : WriteToStderr;
  current_sink_user = sink ? user : nullptr;
}

void MQdrCore_ResetSink() { MQdrCore_SetSink(nullptr, nullptr); }

extern "C" {

int _MTrace_TestLevel(const char* channel, int level) { return MTrace_GetLevel(channel) >= level && level > 0; }

void _MTrace_Location(const char* source, int line, const char*, int level) {
  SetLocation(&trace_location, source, line);
  trace_level = level;
}

void _MTrace_Always(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatV(format, args);
  va_end(args);
  char tag[4];
  snprintf(tag, sizeof(tag), "T%d", trace_level < 0 ? 0 : trace_level > 9 ? 9 : trace_level);
  Emit(tag, trace_location, message);
}

void _MTrace_SetLevel(const char* channel, int level) {
  if (level < 0) level = 0;
  if (level > kMaxLevel) level = kMaxLevel;
  ChannelLevels()[channel ? channel : kDefaultChannel] = level;
  if (IsDefaultChannel(channel)) default_channel_level = level;
}

int MTrace_GetLevel(const char* channel) {
  if (IsDefaultChannel(channel)) return default_channel_level;
  const std::map<std::string, int>& levels = ChannelLevels();
  auto found = levels.find(channel);
  return found == levels.end() ? kDefaultLevel : found->second;
}

void _MErrLog_Location(int, const char* source, int line) { SetLocation(&errlog_location, source, line); }

void _MErrLog_Add(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatV(format, args);
  va_end(args);
  Emit("E", errlog_location, message);
}

void _MErrTrace_Location(int, const char* source, int line) { SetLocation(&errtrace_location, source, line); }

void _MErrTrace_Add(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatV(format, args);
  va_end(args);
  std::vector<ErrTraceContext>& stack = ContextStack();
  if (stack.empty()) {
    Emit("E", errtrace_location, message);
    return;
  }
  ErrTraceContext& context = stack.back();
  if (context.messages.size() >= kMErrTraceContextCapacity) {
    context.messages.pop_front();
    ++context.dropped;
  }
  context.messages.push_back(StoredMessage{errtrace_location, std::move(message)});
}

void _MErrTrace_DumpContextToMErrLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string closing = FormatV(format, args);
  va_end(args);
  Location closing_location = errtrace_location;
  std::vector<ErrTraceContext>& stack = ContextStack();
  if (!stack.empty()) EmitStored(&stack.back());
  Emit("E", closing_location, closing);
}

void MErrTrace_BeginContext(void) { ContextStack().emplace_back(); }

void MErrTrace_EndContext(void) {
  std::vector<ErrTraceContext>& stack = ContextStack();
  if (stack.empty()) return;
  EmitStored(&stack.back());
  stack.pop_back();
}

}  // extern "C"
