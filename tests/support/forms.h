// The bytes tests and fuzz targets expect on either side of the server: reply
// lines to the client, and the command channel's records and end markers.
// The Append forms add to a caller's string, so that a fuzz target can reuse
// its storage across inputs.
#ifndef TEST_FORMS_H
#define TEST_FORMS_H

#include <string>
#include <string_view>

// The four digits of n, from 0 to 9999, and a terminator.
struct Digits { char text[8]; };
inline Digits FourDigits(int n) {
  return {{static_cast<char>('0' + n / 1000 % 10), static_cast<char>('0' + n / 100 % 10),
           static_cast<char>('0' + n / 10 % 10), static_cast<char>('0' + n % 10), '\0'}};
}

// A reply line: the four digits of tid, TAB, the parts, CR LF.
inline std::string& AppendReply(std::string* out, int tid, std::string_view a, std::string_view b = {},
                                std::string_view c = {}) {
  return out->append(FourDigits(tid).text).append(1, '\t').append(a).append(b).append(c).append("\r\n");
}
inline std::string ReplyLine(int tid, std::string_view a, std::string_view b = {}, std::string_view c = {}) {
  std::string line;
  return AppendReply(&line, tid, a, b, c);
}
inline std::string Ack(int tid) { return ReplyLine(tid, "ack"); }
inline std::string Ready(int tid) { return ReplyLine(tid, "ready"); }
inline std::string Data(int tid, std::string_view text) { return ReplyLine(tid, "data ", text); }
inline std::string Error(int tid, std::string_view text) { return ReplyLine(tid, "error \"", text, "\""); }

// A command record: the low 16 bits of id, high byte first, the parts, 0x00.
inline std::string& AppendWire(std::string* out, int id, std::string_view a, std::string_view b = {}) {
  out->append({static_cast<char>((id >> 8) & 0xFF), static_cast<char>(id & 0xFF)});
  return out->append(a).append(b).append(1, '\0');
}
inline std::string WireRecord(int id, std::string_view text) {
  std::string record;
  return AppendWire(&record, id, text);
}

// The end-of-transaction marker of the answer stream.
inline std::string Marker(int id) { return {'\0', static_cast<char>((id >> 8) & 0xFF), static_cast<char>(id & 0xFF)}; }

#endif
