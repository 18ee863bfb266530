// Diagnostic records in tests: parsed from a captured stream (for example a
// child's stderr), or captured in this process instead of written to stderr.
#ifndef TEST_DIAG_CAPTURE_H
#define TEST_DIAG_CAPTURE_H

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "qdrcore.h"

struct DiagRecord {
  std::string tag;     // T1..T5 or E
  std::string source;  // module path
  int line = 0;
  std::string message;  // escaped, without the line end
};

// Splits one record line ("DATE TIME TAG SOURCE:LINE MESSAGE"); false if malformed.
inline bool ParseDiagRecord(const std::string& text, DiagRecord* record) {
  // "YYYY-MM-DD HH:MM:SS.uuuuuu " is 27 characters.
  if (text.size() < 28 || text[10] != ' ' || text[19] != '.' || text[26] != ' ') return false;
  size_t tag_end = text.find(' ', 27);
  if (tag_end == std::string::npos) return false;
  size_t location_end = text.find(' ', tag_end + 1);
  if (location_end == std::string::npos) return false;
  std::string location = text.substr(tag_end + 1, location_end - tag_end - 1);
  size_t colon = location.rfind(':');
  if (colon == std::string::npos) return false;
  record->tag = text.substr(27, tag_end - 27);
  record->source = location.substr(0, colon);
  record->line = std::atoi(location.c_str() + colon + 1);
  record->message = text.substr(location_end + 1);
  if (!record->message.empty() && record->message.back() == '\n') record->message.pop_back();
  return true;
}

// Messages of the records with this tag ("E", "T1", ...), oldest first.
inline std::vector<std::string> DiagMessages(const std::vector<DiagRecord>& records, const std::string& tag) {
  std::vector<std::string> messages;
  for (const DiagRecord& record : records) {
    if (record.tag == tag) messages.push_back(record.message);
  }
  return messages;
}

// The same among the lines of a stream.
inline std::vector<std::string> DiagMessages(const std::string& stream, const std::string& tag) {
  std::vector<DiagRecord> records(1);
  for (size_t start = 0, end = 0; start < stream.size(); start = end + 1) {
    end = std::min(stream.find('\n', start), stream.size());
    records.resize(records.size() + ParseDiagRecord(stream.substr(start, end - start), &records.back()));
  }
  records.pop_back();
  return DiagMessages(records, tag);
}

inline int CountDiagRecords(const std::string& stream, const std::string& tag, const std::string& message) {
  std::vector<std::string> messages = DiagMessages(stream, tag);
  return static_cast<int>(std::count(messages.begin(), messages.end(), message));
}

class DiagCapture {
 public:
  DiagCapture() { MQdrCore_SetSink(&DiagCapture::Sink, this); }
  ~DiagCapture() { MQdrCore_ResetSink(); }
  DiagCapture(const DiagCapture&) = delete;
  DiagCapture& operator=(const DiagCapture&) = delete;

  const std::vector<std::string>& Raw() const { return raw; }
  std::vector<DiagRecord> Records() const {
    std::vector<DiagRecord> records(1);
    for (const std::string& text : raw) records.resize(records.size() + ParseDiagRecord(text, &records.back()));
    records.pop_back();
    return records;
  }
  std::vector<std::string> Messages(const std::string& tag) const { return DiagMessages(Records(), tag); }
  void Clear() { raw.clear(); }

 private:
  static void Sink(const char* record, size_t length, void* user) {
    static_cast<DiagCapture*>(user)->raw.emplace_back(record, length);
  }
  std::vector<std::string> raw;
};

#endif
