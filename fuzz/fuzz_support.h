// Shared plumbing of the fuzz targets: the server's client connection and
// command pipes as real descriptors, reading what the server wrote, the
// reply-line and wire-record forms, and the diagnostics sink.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mzorvanecmdclient.h"
#include "mzorvanetcpsocket.h"
#include "server_probe.h"

// Ends the run with the property's text in the error log: libFuzzer keeps
// the input that broke it.
[[noreturn]] void PropertyViolated(const char* file, int line, const char* property);
#define FUZZ_REQUIRE(condition)                                                      \
  do {                                                                               \
    if (!(condition)) PropertyViolated(__FILE__, __LINE__, #condition);              \
  } while (0)

// ---- descriptors ----

// Gives `socket` a listener on a free port and a client connection whose
// other end is returned: the accepted descriptor is replaced by one end of a
// socket pair, so every byte written to the returned end is readable at once.
int AttachClientConnection(MZorvaneTCPSocket* socket);

struct CommandPipes {
  int commands_read_end = -1;  // what the server writes to the command processor
  int answers_write_end = -1;  // what the command processor answers
};
// Puts `client` on two non-blocking pipes and returns their other ends.
CommandPipes AttachCommandPipes(MZorvaneCmdClient* client);

void SetNonBlocking(int fd);
size_t BytesWaiting(int fd);
std::string ReadAvailable(int fd);
void WriteAll(int fd, const std::string& bytes);

// Everything the server has for the client, queued or written, in order.
std::string CollectClientBytes(MZorvaneTCPSocket* socket, int client_end);
// Everything the server has queued for the command processor, in order.
std::string CollectCommandBytes(MZorvaneCmdClient* client, int commands_read_end);

// A server whose client connection and command pipes are attached, with
// diagnostics captured and trace level 0.
struct ServerFixture {
  MZorvaneTCPServer server;
  MZorvaneTCPServerProbe probe{&server};
  int client_end = -1;
  CommandPipes pipes;
};
ServerFixture* NewServerFixture();

// ---- transaction table model ----

struct TableRecord {
  int tid;
  std::string command;
};

// The transaction table as a target expects it.
class TableModel {
 public:
  void Add(int tid, const std::string& command, bool background_transaction);
  // Frees `tid` and drops its record.
  void Free(int tid);
  bool IsFree(int tid) const { return states[static_cast<size_t>(tid)] == MZorvaneTCPServer::kTidFree; }
  bool Matches(MZorvaneTCPServerProbe& probe) const;

  std::vector<TableRecord> pending;
  std::vector<TableRecord> background;

 private:
  std::array<uint8_t, MZorvaneTCPServer::kNumTids> states{};
};

// ---- forms ----

// DDDD TAB then ack, ready, "data TEXT" or "error "TEXT"", then CR LF; the
// text holds no CR or LF.
bool IsReplyLine(const std::string& line);
// Splits bytes into lines that each end in CR LF; false if bytes are left.
bool SplitReplyLines(const std::string& bytes, std::vector<std::string>* lines);
// The reply line for `tid` with `body` (ack, ready, data ..., error "...").
std::string ReplyLine(int tid, const std::string& body);

// The wire form: 16-bit big-endian id, text without 0x00, 0x00.
std::string WireRecord(int tid, const std::string& text);
// Splits bytes into wire records; false if an incomplete record is left.
bool SplitWireRecords(const std::string& bytes, std::vector<MZorvaneCmdCommand>* records);

// ---- diagnostics ----

struct DiagRecord {
  std::string tag;  // T1 to T5, or E
  std::string message;
};

// Records go nowhere but are kept for the checks.
void CaptureDiagnostics();
const std::vector<DiagRecord>& CapturedRecords();
size_t ErrorCount();
std::vector<std::string> ErrorMessages();
void ClearDiagnostics();

#endif
