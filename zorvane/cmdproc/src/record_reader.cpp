#include "record_reader.h"

namespace {
constexpr size_t kIdLength = 2;
}  // namespace

void RecordReader::Feed(const char* bytes, size_t count) { buffer_.append(bytes, count); }

bool RecordReader::Next(Record* record) {
  if (skipping_) return FinishOverlongRecord(record);
  if (buffer_.size() - start_ < kIdLength) {
    Compact();
    return false;
  }
  // The id bytes may be 0x00 themselves: the terminator is searched only behind them.
  unsigned id = static_cast<unsigned char>(buffer_[start_]) * 256u + static_cast<unsigned char>(buffer_[start_ + 1]);
  size_t text_start = start_ + kIdLength;
  size_t end = buffer_.find('\0', text_start);
  if (end == std::string::npos) {
    if (buffer_.size() - text_start > kMaxTextLength) {
      skipping_ = true;
      skipped_id_ = id;
      buffer_.clear();
      start_ = 0;
    } else {
      Compact();
    }
    return false;
  }
  record->id = id;
  record->too_long = end - text_start > kMaxTextLength;
  if (record->too_long) {
    record->text.clear();
  } else {
    record->text.assign(buffer_, text_start, end - text_start);
  }
  start_ = end + 1;
  return true;
}

bool RecordReader::HoldsPartialRecord() const { return skipping_ || buffer_.size() > start_; }

bool RecordReader::FinishOverlongRecord(Record* record) {
  size_t end = buffer_.find('\0', start_);
  if (end == std::string::npos) {
    buffer_.clear();
    start_ = 0;
    return false;
  }
  start_ = end + 1;
  skipping_ = false;
  record->id = skipped_id_;
  record->text.clear();
  record->too_long = true;
  return true;
}

void RecordReader::Compact() {
  buffer_.erase(0, start_);
  start_ = 0;
}
