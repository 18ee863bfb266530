// Captures diagnostic records in tests instead of writing them to stderr.
#ifndef TEST_DIAG_CAPTURE_H
#define TEST_DIAG_CAPTURE_H

#include <string>
#include <vector>

struct DiagRecord {
  std::string tag;      // T1..T5 or E
  std::string source;   // module path
  int line = 0;
  std::string message;  // escaped, without the line end
};

// Splits one record line ("DATE TIME TAG SOURCE:LINE MESSAGE"); false if malformed.
bool ParseDiagRecord(const std::string& text, DiagRecord* record);
// Parses every record of a captured stream (for example a child's stderr).
std::vector<DiagRecord> ParseDiagRecords(const std::string& stream);
// Number of records of a captured stream with this tag and exact message.
int CountDiagRecords(const std::string& stream, const std::string& tag, const std::string& message);

class DiagCapture {
 public:
  DiagCapture();
  ~DiagCapture();
  DiagCapture(const DiagCapture&) = delete;
  DiagCapture& operator=(const DiagCapture&) = delete;

  const std::vector<std::string>& Raw() const { return raw; }
  std::vector<DiagRecord> Records() const;
  // Messages of records with this tag ("E", "T1", ...), oldest first.
  std::vector<std::string> Messages(const std::string& tag) const;
  bool Has(const std::string& tag, const std::string& message) const;
  void Clear() { raw.clear(); }

 private:
  static void Sink(const char* record, size_t length, void* user);
  std::vector<std::string> raw;
};

#endif
