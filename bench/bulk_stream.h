// The bytes of a bulk answer: COUNT lines of LENGTH bytes each, the line feed
// included. Line i starts with i in ten digits and a blank, goes on with
// letters that shift by one from line to line and ends in a line feed, so a
// lost, doubled or shifted byte always shows. Producers and the load
// generator make the same stream from the same two numbers.
#ifndef ZORVANE_BENCH_BULK_STREAM_H
#define ZORVANE_BENCH_BULK_STREAM_H

#include <cstddef>
#include <cstdint>

class BulkStream {
 public:
  BulkStream() = default;
  BulkStream(uint64_t count, uint64_t length);

  // Writes the next bytes of the stream, at most `capacity`; returns how many.
  size_t Fill(char* out, size_t capacity);
  bool Done() const { return line_ >= count_; }
  uint64_t TotalBytes() const { return count_ * length_; }

 private:
  void StartLine();
  size_t FillHeader(char* out, size_t capacity);
  size_t FillLetters(char* out, size_t capacity);

  uint64_t count_ = 0;
  uint64_t length_ = 0;
  uint64_t line_ = 0;
  uint64_t offset_ = 0;  // within the current line
  uint64_t header_length_ = 0;
  char header_[11] = {};
};

#endif
