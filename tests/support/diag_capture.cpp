#include "diag_capture.h"

#include <cstdlib>

#include "qdrcore.h"

bool ParseDiagRecord(const std::string& text, DiagRecord* record) {
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

std::vector<DiagRecord> ParseDiagRecords(const std::string& stream) {
  std::vector<DiagRecord> records;
  size_t start = 0;
  while (start < stream.size()) {
    size_t end = stream.find('\n', start);
    if (end == std::string::npos) end = stream.size();
    DiagRecord record;
    if (ParseDiagRecord(stream.substr(start, end - start), &record)) records.push_back(record);
    start = end + 1;
  }
  return records;
}

int CountDiagRecords(const std::string& stream, const std::string& tag, const std::string& message) {
  int count = 0;
  for (const DiagRecord& record : ParseDiagRecords(stream)) {
    if (record.tag == tag && record.message == message) ++count;
  }
  return count;
}

DiagCapture::DiagCapture() { MQdrCore_SetSink(&DiagCapture::Sink, this); }

DiagCapture::~DiagCapture() { MQdrCore_ResetSink(); }

void DiagCapture::Sink(const char* record, size_t length, void* user) {
  static_cast<DiagCapture*>(user)->raw.emplace_back(record, length);
}

std::vector<DiagRecord> DiagCapture::Records() const {
  std::vector<DiagRecord> records;
  for (const std::string& text : raw) {
    DiagRecord record;
    if (ParseDiagRecord(text, &record)) records.push_back(record);
  }
  return records;
}

std::vector<std::string> DiagCapture::Messages(const std::string& tag) const {
  std::vector<std::string> messages;
  for (const DiagRecord& record : Records()) {
    if (record.tag == tag) messages.push_back(record.message);
  }
  return messages;
}

bool DiagCapture::Has(const std::string& tag, const std::string& message) const {
  for (const std::string& text : Messages(tag)) {
    if (text == message) return true;
  }
  return false;
}
