// The bytes tests expect on either side of the server: reply lines to the
// client, and the command channel's records and end markers.
#ifndef TEST_FORMS_H
#define TEST_FORMS_H

#include <cstdio>
#include <string>
#include <string_view>

// A reply line: the four digits of tid, TAB, the parts, CR LF.
inline std::string ReplyLine(int tid, std::string_view a, std::string_view b = {}, std::string_view c = {}) {
  char digits[8];
  snprintf(digits, sizeof(digits), "%04d\t", tid);
  return std::string(digits).append(a).append(b).append(c).append("\r\n");
}
inline std::string Ack(int tid) { return ReplyLine(tid, "ack"); }
inline std::string Ready(int tid) { return ReplyLine(tid, "ready"); }
inline std::string Data(int tid, std::string_view text) { return ReplyLine(tid, "data ", text); }
inline std::string Error(int tid, std::string_view text) { return ReplyLine(tid, "error \"", text, "\""); }

// A command record: the low 16 bits of id, high byte first, the text, 0x00.
inline std::string WireRecord(int id, std::string_view text) {
  return std::string{static_cast<char>((id >> 8) & 0xFF), static_cast<char>(id & 0xFF)}.append(text).append(1, '\0');
}

// The end-of-transaction marker of the answer stream.
inline std::string Marker(int id) { return {'\0', static_cast<char>((id >> 8) & 0xFF), static_cast<char>(id & 0xFF)}; }

#endif
