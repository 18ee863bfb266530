// Bytes waiting for a non-blocking socket, in order: literal text and bulk
// streams that are produced only as fast as the socket takes them.
#ifndef ZORVANE_BENCH_OUTPUT_QUEUE_H
#define ZORVANE_BENCH_OUTPUT_QUEUE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "bulk_stream.h"

class OutputQueue {
 public:
  void Append(const char* data, size_t size);
  void Append(const std::string& text) { Append(text.data(), text.size()); }
  void AppendBulk(uint64_t count, uint64_t length);
  bool Empty() const { return staged_offset_ == staged_.size() && jobs_.empty(); }
  // Forgets what is not yet staged; bytes already staged still go out, so
  // that the stream never breaks in the middle of a piece.
  void DropQueued() { jobs_.clear(); }

  // Writes as much as the socket takes now; false on a failure other than
  // a full socket.
  bool WriteTo(int fd);

 private:
  struct Job {
    std::string literal;
    BulkStream bulk;
    bool is_bulk = false;
  };

  void Stage();

  std::deque<Job> jobs_;
  std::string staged_;
  size_t staged_offset_ = 0;
};

#endif
