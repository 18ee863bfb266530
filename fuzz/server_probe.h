// Access for the fuzz targets to the server's client endpoint, command
// channel, transaction table and request and answer handling.
#ifndef SERVER_PROBE_H
#define SERVER_PROBE_H

#include <array>
#include <cstdint>
#include <cstring>
#include <list>
#include <string>

#include "mzorvanetcpserver.h"

class MZorvaneTCPServerProbe {
 public:
  using TidStates = std::array<uint8_t, MZorvaneTCPServer::kNumTids>;
  using CommandList = std::list<MZorvaneCmdCommand>;

  explicit MZorvaneTCPServerProbe(MZorvaneTCPServer* server) : server(*server) {}

  MZorvaneTCPSocket& Socket() { return server.tcp_socket; }
  MZorvaneCmdClient& CmdClient() { return server.cmd_client; }
  CommandList& PendingCommands() { return server.pending_commands; }
  CommandList& BackgroundCommands() { return server.background_commands; }
  TidStates& States() { return server.tid_states; }
  bool SendClose() const { return server.send_close; }

  bool AnalyseCommandLine(const std::string& line) { return server.analyse_command_line(line); }
  bool AnalyseClientAnswer(std::string& buffer) { return server.analyse_client_answer(buffer); }

  // The client connection is `fd`; nothing listens, but replies need a socket.
  void AttachClient(int fd) { Socket().socket_fd = Socket().connection_fd = fd; }

  // The client's bytes as FillReadBuffer hands them on after a read, without the read.
  void ReceiveFromClient(const std::string& bytes) {
    Socket().CutLines(bytes.data(), bytes.size());
  }

  // What waits for the client, taken off the queue as if it had been written.
  std::string TakeClientQueue() {
    MZorvaneTCPSocket& socket = Socket();
    std::string queued = socket.write_buffer.substr(socket.write_offset);
    socket.write_buffer.clear();
    socket.write_offset = 0;
    return queued;
  }
  const std::string& ClientQueue() { return Socket().write_buffer; }

  // The state the server gives itself before it serves the next client.
  void StartConnection() {
    server.reset_transactions();
    server.answer_scanned = 0;
    server.client_backlog_high = false;
    server.command_backlog_high = false;
  }

  // Adds a transaction as if its command had been forwarded.
  void AddTransaction(short tid, const std::string& command, bool background) {
    (background ? server.background_commands : server.pending_commands).push_back(MZorvaneCmdCommand(tid, command));
    server.tid_states[static_cast<size_t>(tid)] = background ? MZorvaneTCPServer::kTidBackground
                                                             : MZorvaneTCPServer::kTidPending;
  }

  // tid_states[t] is pending exactly when one record with tid t is in
  // pending_commands, background exactly when one is in background_commands,
  // free otherwise; no tid is in both lists or twice in one.
  bool TableInvariantsHold() const {
    static TidStates unaccounted;  // not on the stack: each call would set up 10 KB of stack anew
    unaccounted = server.tid_states;
    if (!TakeRecords(server.pending_commands, MZorvaneTCPServer::kTidPending, &unaccounted)) return false;
    if (!TakeRecords(server.background_commands, MZorvaneTCPServer::kTidBackground, &unaccounted)) return false;
    static const TidStates kAllFree{};
    return memcmp(unaccounted.data(), kAllFree.data(), unaccounted.size()) == 0;
  }

 private:
  // Clears the state of every record's tid after checking it; a tid seen
  // twice finds its state already cleared.
  static bool TakeRecords(const CommandList& list, uint8_t state, TidStates* unaccounted) {
    for (const MZorvaneCmdCommand& record : list) {
      if (record.tid < 1 || record.tid >= MZorvaneTCPServer::kNumTids) return false;
      uint8_t& entry = (*unaccounted)[static_cast<size_t>(record.tid)];
      if (entry != state) return false;
      entry = MZorvaneTCPServer::kTidFree;
    }
    return true;
  }

  MZorvaneTCPServer& server;
};

#endif
