// The wire trace (-w=PATH): every byte read from or written to the client and
// the command processor, appended to a file, one line a read or write:
//   YYYY-MM-DD HH:MM:SS.uuuuuu HOP COUNT: BYTES
// HOP is client>server, server>client, server>processor or processor>server;
// BYTES are escaped as the log escapes them. Lines gather in a bounded buffer
// that is written once a pass of the main loop: a line that does not fit, and
// what a failed or short write leaves, is dropped and counted, never waited for.
#ifndef WIRETRACE_H
#define WIRETRACE_H

#include <csignal>
#include <cstddef>
#include <string>

enum class WireHop { kClientToServer, kServerToClient, kServerToProcessor, kProcessorToServer };

class WireTrace {
 public:
  // Most bytes of lines waiting to be written.
  static constexpr size_t kBufferLimit = 1024 * 1024;

  WireTrace() = default;
  ~WireTrace();
  WireTrace(const WireTrace&) = delete;
  WireTrace& operator=(const WireTrace&) = delete;

  // Opens PATH for appending (created when missing); false, logged, when it cannot.
  bool Open(const std::string& path);
  void Record(WireHop hop, const char* data, size_t count);
  // Writes the gathered lines, and reopens the file first when asked to.
  void Flush();
  // From a signal handler: the file is reopened at the next flush.
  void RequestReopen() { reopen_requested = 1; }
  bool IsOpen() const { return fd != -1; }
  unsigned long long DroppedRecords() const { return dropped; }

 private:
  void reopen();
  void drop(size_t records, const char* why, int error);

  int fd = -1;
  std::string path;
  std::string buffer;
  size_t buffered_records = 0;
  unsigned long long dropped = 0;
  bool drop_logged = false;
  bool reopen_failure_logged = false;
  volatile sig_atomic_t reopen_requested = 0;
};

// The process's trace; nullptr without -w=. Record through WireRecord, which
// costs a test of the pointer when there is none.
extern WireTrace* wire_trace;

inline void WireRecord(WireHop hop, const char* data, size_t count) {
  if (wire_trace != nullptr) wire_trace->Record(hop, data, count);
}

#endif
