// Shared harness of the fuzz targets: property checks, the server object's
// seams, the server set up once with its client connection and command pipe,
// and the transaction table model, with the tests' reply and wire forms.
// Storage is reused across inputs: under AddressSanitizer an allocation costs
// more than the work it serves.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <array>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "forms.h"
#include "mzorvanetcpserver.h"
#include "qdrcore.h"

// Ends the run with the property's text in the error log: libFuzzer keeps the input.
[[noreturn]] void PropertyViolated(const char* file, int line, const char* property);
#define FUZZ_REQUIRE(condition) \
  ((condition) ? static_cast<void>(0) : PropertyViolated(__FILE__, __LINE__, #condition))

// Counts the error records written since the last Clear and keeps the last
// one; traces pass uncounted. Once warm it allocates nothing.
class ErrorRecords {
 public:
  ErrorRecords() { MQdrCore_SetSink(&ErrorRecords::Sink, this); }
  ~ErrorRecords() { MQdrCore_ResetSink(); }
  ErrorRecords(const ErrorRecords&) = delete;
  ErrorRecords& operator=(const ErrorRecords&) = delete;
  void Clear() { count = 0; }
  size_t Count() const { return count; }
  const std::string& Last() const { return last; }

 private:
  static void Sink(const char* record, size_t length, void* user);
  size_t count = 0;
  std::string last;
};

using TidStates = std::array<uint8_t, MZorvaneTCPServer::kNumTids>;

class MZorvaneTCPServerProbe {
 public:
  explicit MZorvaneTCPServerProbe(MZorvaneTCPServer* server) : server(*server) {}
  MZorvaneTCPSocket& Socket() { return server.tcp_socket; }
  MZorvaneCmdClient& CmdClient() { return server.cmd_client; }
  std::list<MZorvaneCmdCommand>& Commands(bool background) {
    return background ? server.background_commands : server.pending_commands;
  }
  const TidStates& States() const { return server.tid_states; }
  bool SendClose() const { return server.send_close; }
  bool AnalyseCommandLine(const std::string& line) { return server.analyse_command_line(line); }
  bool AnalyseClientAnswer(std::string& buffer) { return server.analyse_client_answer(buffer); }
  void AttachClient(int fd) { Socket().socket_fd = Socket().connection_fd = fd; }
  // Client bytes as a read hands them on, without the read.
  void ReceiveFromClient(const std::string& bytes) { Socket().CutLines(bytes.data(), bytes.size()); }
  size_t ClientQueueSize() const { return server.tcp_socket.GetNumUnwrittenBytes(); }
  // What waits for the client, from `from` on, is `expected` from `expected_from` on.
  bool ClientQueueIs(const std::string& expected, size_t from = 0, size_t expected_from = 0) const {
    const MZorvaneTCPSocket& socket = server.tcp_socket;
    return socket.write_buffer.size() - socket.write_offset - from == expected.size() - expected_from &&
           socket.write_buffer.compare(socket.write_offset + from, std::string::npos, expected, expected_from) == 0;
  }
  void DropClientQueue() { Socket().write_buffer.clear(), Socket().write_offset = 0; }
  void DropCommandQueue() { CmdClient().write_buffer.clear(); }
  // The state the server gives itself before it serves the next client.
  void StartConnection() {
    server.reset_transactions();
    server.answer_scanned = 0;
    server.client_backlog_high = server.command_backlog_high = false;
  }
  // As the server adds one: in a spare record, which a ready gives back to the spares.
  void AddTransaction(int tid, const std::string& command, bool background) {
    auto record = server.spare_record();
    record->tid = static_cast<short>(tid);
    record->command = command;
    Commands(background).splice(Commands(background).end(), server.spare_commands, record);
    server.tid_states[static_cast<size_t>(tid)] =
        background ? MZorvaneTCPServer::kTidBackground : MZorvaneTCPServer::kTidPending;
  }

 private:
  MZorvaneTCPServer& server;
};

// A server whose client connection is one end of a socket pair (client_end
// the other) and whose command channel writes to a pipe (commands_read_end);
// answers are handed to the relay directly. Diagnostics are captured.
struct ServerFixture {
  MZorvaneTCPServer server;
  MZorvaneTCPServerProbe probe{&server};
  ErrorRecords errors;
  int client_end = -1;
  int commands_read_end = -1;

  // The error records since the last Clear; the last one holds `message` unless it is null.
  bool Errors(size_t count, const char* message = nullptr) const;
  void OpenSession();  // "open" is the one record written
  void EndInput();     // empties the table, the queues and the log; trace level 0
};
ServerFixture& TheServerFixture(bool open_session);

// The transaction table as a target expects it.
struct TableModel {
  std::vector<MZorvaneCmdCommand> lists[2];  // pending, background
  TidStates states{};

  void Clear();
  void Add(int tid, const std::string& command, bool background);
  void Free(int tid);
  bool IsFree(int tid) const { return states[static_cast<size_t>(tid)] == MZorvaneTCPServer::kTidFree; }
  // The list sizes match; with `whole`, every record and state too.
  bool Matches(MZorvaneTCPServerProbe& probe, bool whole) const;
};

#endif
