// The server object: owns the client endpoint, the command channel and the
// transaction table, and runs the select loop that serves one client after
// another.
#ifndef MZORVANETCPSERVER_H
#define MZORVANETCPSERVER_H

#include <sys/select.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "errtrace.h"
#include "mzorvanecmdclient.h"
#include "mzorvanetcpsocket.h"
#include "servicemanager.h"
#include "waits.h"

class MZorvaneTCPServer {
 public:
  static constexpr int kNumTids = 10000;
  static constexpr unsigned kTerminationTid = 10000;
  // Reads from the client and the command processor pause while more than
  // the high mark waits unsent for the client, and resume below the low mark.
  // Reads from the client also pause while as much waits for the processor.
  static constexpr size_t kBacklogHighMark = 1024 * 1024;
  static constexpr size_t kBacklogLowMark = 256 * 1024;
  // Longest answer line the server holds while its line end has not come.
  static constexpr size_t kMaxUnfinishedAnswer = 1024 * 1024;
  // A client whose connection ends gets what is queued for it unless it
  // takes no byte for this long.
  static constexpr double kDrainIdleLimitSeconds = 2.0;
  // Longest that acks wait for the answers of their commands, so that a
  // prompt answer leaves with them in one write.
  static constexpr long kReplyHoldUs = 1000;
  // Longest command text whose storage a finished record keeps for reuse.
  static constexpr size_t kSpareCommandCapacity = 256;

  enum TidState : uint8_t { kTidFree = 0, kTidPending = 1, kTidBackground = 2 };

  MZorvaneTCPServer();
  ~MZorvaneTCPServer();
  MZorvaneTCPServer(const MZorvaneTCPServer&) = delete;
  MZorvaneTCPServer& operator=(const MZorvaneTCPServer&) = delete;

  void SetPipeCmdClient(int writer_fd, int reader_fd, int pipe_size);
  void SetTcpPorts(unsigned server_port, unsigned client_port);
  void SetBindAddress(const std::string& address) { tcp_socket.SetBindAddress(address); }
  // A listener handed over by the service manager, used instead of binding one; -1: none.
  void SetInheritedListener(int fd) { inherited_listener = fd; }
  // A served connection on which nothing moved and no transaction was open
  // for this long is ended; 0: never.
  void SetIdleLimit(int seconds) { idle_limit_us = seconds * 1000000LL; }

  // Readiness, status and watchdog pings go to it.
  ServiceManager& Manager() { return service_manager; }

  // Serves clients until a stop is requested (true); false when the command
  // channel or the listener could not be opened, or a command pipe broke.
  bool Run();

 private:

  // The descriptor sets of one client connection, built once and copied
  // before every select.
  struct ServiceSets {
    int listen_fd = -1;
    int connection_fd = -1;
    int reader_fd = -1;
    int writer_fd = -1;
    int max_fd = -1;
    fd_set read_base;   // listener, connection, reader
    fd_set write_base;  // connection, writer
  };

  bool start_up();
  void notify_status();
  void reset_transactions();
  void wait_for_client();
  void serve_connection();
  ServiceSets build_service_sets() const;
  void service_pass(const ServiceSets& sets, bool* abort_connection);
  int select_for_service(const ServiceSets& sets, fd_set* read_set, fd_set* write_set, bool* write_set_used);
  void update_backpressure();
  void start_idle_clock();
  void end_when_idle(bool moved, bool* abort_connection);
  void read_client(bool* abort_connection);
  void read_command_channel(bool* abort_connection);
  void flush_client(bool* abort_connection);
  void flush_replies(bool write_set_used, bool commands_sent, bool* abort_connection);
  void refuse_client();
  void end_connection(bool abort_connection);
  void drain_client();
  void discard_channel_input();
  bool reopen_lost_channel();
  void turn_away_without_processor();
  void processor_lost(bool* abort_connection);
  void log_lost_channel();
  void drop_lost_channel();

  bool analyse_command_line(const std::string& line);
  bool analyse_abort(unsigned tid, const char* rest);
  void send_status(unsigned tid);
  bool analyse_client_answer(std::string& buffer);
  unsigned answer_marker(unsigned tid);
  void finish_transaction(unsigned tid);
  void relay_lines(const std::string& buffer, size_t begin, size_t end, bool marker_follows, bool* write_at_end);
  std::list<MZorvaneCmdCommand>::iterator spare_record();
  void keep_spare_record(std::list<MZorvaneCmdCommand>& list, std::list<MZorvaneCmdCommand>::iterator record);

  std::list<MZorvaneCmdCommand> pending_commands;
  std::list<MZorvaneCmdCommand> background_commands;
  // Records of finished transactions, kept so that new ones reuse their list
  // nodes and text storage instead of allocating.
  std::list<MZorvaneCmdCommand> spare_commands;
  MZorvaneTCPSocket tcp_socket;
  MZorvaneCmdClient cmd_client;
  ServiceManager service_manager;
  int inherited_listener = -1;
  bool stop_requested = false;
  bool running = false;
  bool send_close = true;
  std::array<uint8_t, kNumTids> tid_states{};
  uint32_t server_port = MZorvaneTCPSocket::kDefaultPort;
  uint32_t client_port = MZorvaneCmdClient::kDefaultPort;

  MErrTraceContext* error_context = nullptr;  // open while Run serves
  bool client_backlog_high = false;           // bytes waiting for the client passed the high mark
  bool command_backlog_high = false;          // bytes waiting for the processor passed the high mark
  size_t answer_scanned = 0;                  // answer bytes known to hold no line feed and no marker
  bool close_at_once = false;                 // the connection failed on its own side: no drain
  bool replies_held = false;                  // acks wait one pass for their commands' answers
  bool loss_logged = false;                   // the lost command channel has been logged
  bool reconnect_failure_logged = false;      // a failed reconnection has been logged in this outage
  std::string request_line;                   // reused for every request line, keeping its storage
  long long idle_limit_us = 0;                // 0: no idle limit
  long long idle_deadline_us = kNoDeadline;   // when the connection counts as idle
  bool pass_duties = false;                   // the idle limit or the wire trace needs each pass's end

};

#endif
