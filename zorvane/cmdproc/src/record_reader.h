// Cuts the command stream from the server into records: a 16-bit big-endian
// transaction id, the command text, a 0x00 terminator.
#ifndef ZORVANE_CMDPROC_RECORD_READER_H
#define ZORVANE_CMDPROC_RECORD_READER_H

#include <cstddef>
#include <string>

struct Record {
  unsigned id = 0;
  std::string text;
  // The text was longer than RecordReader::kMaxTextLength; it was dropped.
  bool too_long = false;
};

class RecordReader {
 public:
  static constexpr size_t kMaxTextLength = 64 * 1024;

  void Feed(const char* bytes, size_t count);
  // Takes the next complete record; false when none is complete yet.
  bool Next(Record* record);
  // Bytes of a record whose terminator has not arrived yet.
  bool HoldsPartialRecord() const;

 private:
  bool FinishOverlongRecord(Record* record);
  void Compact();

  std::string buffer_;
  size_t start_ = 0;
  // While set, the text of an over-long record is dropped up to its terminator.
  bool skipping_ = false;
  unsigned skipped_id_ = 0;
};

#endif
