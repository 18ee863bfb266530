// Diagnostic records in tests: parsed from a captured stream (for example a
// child's stderr), or captured in this process instead of written to stderr.
#ifndef TEST_DIAG_CAPTURE_H
#define TEST_DIAG_CAPTURE_H

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include "qdrcore.h"

// Every record, like every line of the wire trace, starts with the local date
// and time, "YYYY-MM-DD HH:MM:SS.uuuuuu ": the tag follows at this offset.
constexpr size_t kRecordStampLength = 27;

struct DiagRecord {
  std::string priority;  // "<3>" and the like before a record for the journal, else ""
  std::string tag;       // T1..T5 or E
  std::string source;  // module path
  int line = 0;
  std::string message;  // escaped, without the line end
};

// The records among the lines of a stream, each "[<N>]DATE TIME TAG
// SOURCE:LINE MESSAGE"; malformed lines are left out.
inline std::vector<DiagRecord> DiagRecords(const std::string& stream) {
  constexpr size_t npos = std::string::npos;
  std::vector<DiagRecord> records;
  for (size_t start = 0, end = 0; start < stream.size(); start = end + 1) {
    end = std::min(stream.find('\n', start), stream.size());
    std::string text = stream.substr(start, end - start);
    std::string priority;
    if (text.size() > 3 && text[0] == '<' && text[2] == '>') {
      priority = text.substr(0, 3);
      text.erase(0, 3);
    }
    const size_t tag = kRecordStampLength;
    if (text.size() <= tag || text[10] != ' ' || text[19] != '.' || text[tag - 1] != ' ') continue;
    const size_t tag_end = text.find(' ', tag);
    const size_t location_end = tag_end == npos ? npos : text.find(' ', tag_end + 1);
    const size_t colon = location_end == npos ? npos : text.rfind(':', location_end);
    if (colon == npos || colon < tag_end) continue;
    records.push_back({priority, text.substr(tag, tag_end - tag), text.substr(tag_end + 1, colon - tag_end - 1),
                       std::atoi(text.c_str() + colon + 1), text.substr(location_end + 1)});
  }
  return records;
}

// Messages of the records with this tag ("E", "T1", ...), oldest first.
inline std::vector<std::string> DiagMessages(const std::string& stream, const std::string& tag) {
  std::vector<std::string> messages;
  for (const DiagRecord& record : DiagRecords(stream)) {
    if (record.tag == tag) messages.push_back(record.message);
  }
  return messages;
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
  // Each record ends with its line end: together they are a stream.
  std::string Stream() const { return std::accumulate(raw.begin(), raw.end(), std::string()); }
  std::vector<std::string> Messages(const std::string& tag) const { return DiagMessages(Stream(), tag); }
  void Clear() { raw.clear(); }

 private:
  static void Sink(const char* record, size_t length, void* user) {
    static_cast<DiagCapture*>(user)->raw.emplace_back(record, length);
  }
  std::vector<std::string> raw;
};

#endif
