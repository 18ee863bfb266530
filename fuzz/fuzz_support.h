// Shared harness of the fuzz targets: property checks, the server object set
// up once with its client connection and command pipe, the transaction table
// model, the reply-line and wire-record forms. Diagnostics are captured with
// the tests' DiagCapture.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "diag_capture.h"
#include "mzorvanecmdclient.h"
#include "server_probe.h"

// Ends the run with the property's text in the error log: libFuzzer keeps
// the input that broke it.
[[noreturn]] void PropertyViolated(const char* file, int line, const char* property);
#define FUZZ_REQUIRE(condition)                                         \
  do {                                                                  \
    if (!(condition)) PropertyViolated(__FILE__, __LINE__, #condition); \
  } while (0)

// A server whose client connection is one end of a socket pair (client_end
// the other) and whose command channel writes to a pipe (commands_read_end
// the other end); the answers are handed to the relay directly. Trace level
// 0; diagnostics are captured.
struct ServerFixture {
  MZorvaneTCPServer server;
  MZorvaneTCPServerProbe probe{&server};
  DiagCapture diag;
  int client_end = -1;
  int commands_read_end = -1;

  // Reads exactly `count` bytes that the server wrote to the client (they are there already).
  std::string ReadClient(size_t count);
  // True when nothing more was written to the client.
  bool ClientQuiet();
  // Ends the input: empties the table, the queues and the log, trace level 0.
  void EndInput();
};
ServerFixture& TheServerFixture();

// The transaction table as a target expects it.
struct TableRecord {
  int tid;
  std::string command;
};
class TableModel {
 public:
  void Add(int tid, const std::string& command, bool background_transaction);
  void Free(int tid);  // frees `tid` and drops its record
  bool IsFree(int tid) const { return states[static_cast<size_t>(tid)] == MZorvaneTCPServer::kTidFree; }
  bool Matches(MZorvaneTCPServerProbe& probe) const;

  std::vector<TableRecord> pending;
  std::vector<TableRecord> background;

 private:
  std::array<uint8_t, MZorvaneTCPServer::kNumTids> states{};
};

// DDDD TAB then ack, ready, "data TEXT" or "error "TEXT"", then CR LF; the text holds no CR or LF.
bool IsReplyLine(const std::string& line);
// Splits bytes into lines that each end in CR LF; false if bytes are left.
bool SplitReplyLines(const std::string& bytes, std::vector<std::string>* lines);
// The reply line for `tid` with `body` (ack, ready, data ..., error "...").
std::string ReplyLine(int tid, const std::string& body);

// The wire form: 16-bit big-endian id, text without 0x00, 0x00.
std::string WireRecord(int tid, const std::string& text);
// Splits bytes into wire records; false if an incomplete record is left.
bool SplitWireRecords(const std::string& bytes, std::vector<MZorvaneCmdCommand>* records);

#endif
