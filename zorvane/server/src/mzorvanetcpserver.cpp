#include "mzorvanetcpserver.h"

#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "msleep_sec.h"
#include "qdrcore.h"
#include "waits.h"
#include "wiretrace.h"

namespace {

const char kRefusalLine[] = "0000\terror \"Sorry, this port is already in use!\"";
const char kProcessorUnavailable[] = "command processor not available";
const char kIdleTimeExceeded[] = "idle time exceeded";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

const char* SkipBlanks(const char* cursor) {
  while (IsBlank(*cursor)) ++cursor;
  return cursor;
}

// Reads a run of digits; values above 9999 stay above it however long the run.
const char* ReadNumber(const char* cursor, unsigned* value) {
  *value = 0;
  for (; IsDigit(*cursor); ++cursor) {
    if (*value <= 9999) *value = *value * 10 + (*cursor - '0');
  }
  return cursor;
}

// The words compared are all letters, so a word that is a run of letters
// starts with one exactly when the text from the word on does.
template <size_t N>
bool WordStartsWith(const char* word, const char* word_end, const char (&prefix)[N]) {
  return static_cast<size_t>(word_end - word) >= N - 1 && memcmp(word, prefix, N - 1) == 0;
}

bool IsBackgroundCommand(const char* word, const char* word_end) {
  return WordStartsWith(word, word_end, "autoinfo") || WordStartsWith(word, word_end, "autolatch") ||
         WordStartsWith(word, word_end, "preview");
}

void AddToSet(int fd, fd_set* set) {
  if (fd >= 0) FD_SET(fd, set);
}

void RemoveFromSet(int fd, fd_set* set) {
  if (fd >= 0) FD_CLR(fd, set);
}

bool IsSet(int fd, const fd_set* set) { return fd >= 0 && FD_ISSET(fd, set); }

// A transaction id is in the lists at most once, so the record found is the
// first with its id. Looking from both ends finds the oldest and the newest
// transaction in a step or two, however many others are open.
std::list<MZorvaneCmdCommand>::iterator FindRecord(std::list<MZorvaneCmdCommand>& list, unsigned tid) {
  const short record_tid = static_cast<short>(tid);  // the record keeps its id as a short
  auto front = list.begin();
  auto back = list.end();
  while (front != back) {
    if (front->tid == record_tid) return front;
    if (--back == front) break;
    if (back->tid == record_tid) return back;
    ++front;
  }
  return list.end();
}

// High once the backlog passes the high mark, low again below the low mark.
bool BacklogHigh(bool was_high, size_t backlog) {
  if (backlog > MZorvaneTCPServer::kBacklogHighMark) return true;
  if (backlog < MZorvaneTCPServer::kBacklogLowMark) return false;
  return was_high;
}

// How the command processor is reached, for the start-up record.
std::string DescribeCommandChannel(const MZorvaneCmdClient& channel, unsigned port) {
  std::string tcp = "127.0.0.1:" + std::to_string(port);
  bool socket_writes = channel.UseCmdClientSocketToWrite();
  bool socket_reads = channel.UseCmdClientSocketToRead();
  if (socket_writes && socket_reads) return "command processor at " + tcp;
  std::string commands = socket_writes ? tcp : "pipe " + std::to_string(channel.GetWriterFD());
  std::string answers = socket_reads ? "nowhere (no connection is opened)" : "pipe " + std::to_string(channel.GetReaderFD());
  return "commands to " + commands + ", answers from " + answers;
}

}  // namespace

MZorvaneTCPServer::MZorvaneTCPServer() = default;

MZorvaneTCPServer::~MZorvaneTCPServer() {
  stop_requested = true;
  while (running) msleep_sec(0.1);
}

void MZorvaneTCPServer::SetPipeCmdClient(int writer_fd, int reader_fd, int pipe_size) {
  cmd_client.SetWriterPipeId(writer_fd);
  cmd_client.SetReaderPipeId(reader_fd);
  cmd_client.SetPipeSize(pipe_size);
}

void MZorvaneTCPServer::SetTcpPorts(unsigned new_server_port, unsigned new_client_port) {
  server_port = new_server_port;
  client_port = new_client_port;
}

// ---- main loop ----

bool MZorvaneTCPServer::Run() {
  MErrTraceContext context(__FILE__);
  error_context = &context;
  bool started = start_up();
  while (started && !stop_requested && !cmd_client.IsPipeBroken()) {
    reset_transactions();
    wait_for_client();
    if (stop_requested || cmd_client.IsPipeBroken()) break;
    serve_connection();
  }
  // A pipe cannot be opened again: the process ends, so that a supervisor
  // sees it and the port is free at once.
  const bool pipe_broken = cmd_client.IsPipeBroken();
  if (pipe_broken) MERRLOG("MZorvaneTCPServer::Run(): command processor pipe closed, exiting");
  if (started) {
    tcp_socket.DestroySocket();
    cmd_client.Close();
    running = false;
  }
  error_context = nullptr;
  return started && !pipe_broken;
}

bool MZorvaneTCPServer::start_up() {
  if (!cmd_client.Open(client_port)) {
    MERRTRACE_DUMP("MZorvaneTCPSocket::Run() Open() failed");
    return false;
  }
  const bool listening = inherited_listener != -1 ? tcp_socket.AdoptListener(inherited_listener)
                                                  : tcp_socket.CreateSocket(server_port);
  if (!listening) {
    MERRLOG("MZorvaneTCPSocket::Run() CreateSocket() failed");
    return false;
  }
  MTRACE(2, "MZorvaneTCPServer::Run(): listening on %s%s, %s", tcp_socket.GetListenAddress().c_str(),
         inherited_listener != -1 ? " (socket from systemd)" : "",
         DescribeCommandChannel(cmd_client, client_port).c_str());
  running = true;
  service_manager.Notify("READY=1");
  notify_status();
  return true;
}

// What the server does now, for the service manager's status line.
void MZorvaneTCPServer::notify_status() {
  if (tcp_socket.HasConnection()) {
    service_manager.NotifyStatus("serving " + tcp_socket.GetPeerName());
  } else if (cmd_client.IsSocketLost()) {
    service_manager.NotifyStatus("command processor not reachable, retrying for the next client");
  } else {
    service_manager.NotifyStatus("listening, no client");
  }
}

void MZorvaneTCPServer::reset_transactions() {
  send_close = true;
  tid_states.fill(kTidFree);
  pending_commands.clear();
  background_commands.clear();
}

// The command channel is watched as well, so that a processor that goes
// away between clients is noticed before the next client.
void MZorvaneTCPServer::wait_for_client() {
  const int listen_fd = tcp_socket.GetSocketFD();
  while (!stop_requested && !tcp_socket.HasConnection() && !cmd_client.IsPipeBroken()) {
    const int channel_fd = cmd_client.GetReaderFD();
    fd_set read_set;
    FD_ZERO(&read_set);
    if (!tcp_socket.IsAcceptPaused()) FD_SET(listen_fd, &read_set);
    AddToSet(channel_fd, &read_set);
    struct timeval timeout = {1, 0};
    int result = WaitSelect(std::max(listen_fd, channel_fd) + 1, &read_set, nullptr, &timeout);
    if (result < 0) {
      if (errno != EINTR) MERRLOG_ERRNO("MZorvaneTCPServer::Run(): select() [1] failed");
      if (wire_trace != nullptr) wire_trace->Flush();
      continue;
    }
    if (IsSet(channel_fd, &read_set)) discard_channel_input();
    if (FD_ISSET(listen_fd, &read_set) && !tcp_socket.OpenConnection()) {
      MERRLOG("MZorvaneTCPServer::Run(): OpenConnection() failed");
    }
    if (wire_trace != nullptr) wire_trace->Flush();
  }
}

// Nothing is relayed between clients; end of file or an error loses the channel.
void MZorvaneTCPServer::discard_channel_input() {
  if (cmd_client.FillReadBuffer()) {
    cmd_client.ReadBuffer().clear();
  } else {
    drop_lost_channel();
  }
}

void MZorvaneTCPServer::serve_connection() {
  bool abort_connection = false;
  close_at_once = false;
  MTRACE(2, "connection on socket\n");
  if (!reopen_lost_channel()) {
    turn_away_without_processor();
    notify_status();
    return;
  }
  notify_status();
  if (cmd_client.OpenSession() <= 0) {
    MERRLOG("MZorvaneTCPServer::Run(): OpenSession() failed");
    abort_connection = true;
    close_at_once = true;
  }
  ServiceSets sets = build_service_sets();
  MTRACE(4, "Run(): zvcmd: cmdclient_reader_fd =%d, cmd_cleinet_write_fd=%d", sets.reader_fd, sets.writer_fd);
  client_backlog_high = false;
  command_backlog_high = false;
  replies_held = false;
  answer_scanned = 0;
  start_idle_clock();
  while (!stop_requested && !abort_connection && tcp_socket.HasConnection()) service_pass(sets, &abort_connection);
  end_connection(abort_connection);
}

MZorvaneTCPServer::ServiceSets MZorvaneTCPServer::build_service_sets() const {
  ServiceSets sets;
  sets.listen_fd = tcp_socket.GetSocketFD();
  sets.connection_fd = tcp_socket.GetConnectionFD();
  sets.reader_fd = cmd_client.GetReaderFD();
  sets.writer_fd = cmd_client.GetWriterFD();
  sets.max_fd = std::max({sets.listen_fd, sets.connection_fd, sets.reader_fd, sets.writer_fd});
  FD_ZERO(&sets.read_base);
  AddToSet(sets.listen_fd, &sets.read_base);
  AddToSet(sets.connection_fd, &sets.read_base);
  AddToSet(sets.reader_fd, &sets.read_base);
  FD_ZERO(&sets.write_base);
  AddToSet(sets.connection_fd, &sets.write_base);
  AddToSet(sets.writer_fd, &sets.write_base);
  return sets;
}

void MZorvaneTCPServer::service_pass(const ServiceSets& sets, bool* abort_connection) {
  fd_set read_set;
  fd_set write_set;
  bool write_set_used = false;
  int result = select_for_service(sets, &read_set, &write_set, &write_set_used);
  if (result > 0) {
    if (IsSet(sets.connection_fd, &read_set)) read_client(abort_connection);
    if (IsSet(sets.reader_fd, &read_set)) read_command_channel(abort_connection);
    if (write_set_used && IsSet(sets.connection_fd, &write_set)) flush_client(abort_connection);
    // A client that arrives as the served one leaves waits for the slot.
    if (IsSet(sets.listen_fd, &read_set) && !*abort_connection) refuse_client();
  } else if (result < 0 && errno != EINTR) {
    MERRLOG_ERRNO("MZorvaneTCPServer::Run(): select() [2] failed");
    *abort_connection = true;
    close_at_once = true;
  }
  if (sets.reader_fd == -1 && !client_backlog_high) read_command_channel(abort_connection);
  const bool commands_sent = cmd_client.GetNumUnwrittenCommands() != 0;
  if (!cmd_client.IsLinkLost() && !cmd_client.FlushCommandBuffer()) {
    MERRLOG("MZorvaneTCPServer::Run(): FlushCommandBuffer() failed for command client");
    *abort_connection = true;
  }
  if (result == 0 && cmd_client.GetNumUnwrittenCommands() != 0) {
    MTRACE(1, "MZorvaneTCPServer::Run(): %zu commands unsent", cmd_client.GetNumUnwrittenCommands());
  }
  flush_replies(write_set_used, commands_sent, abort_connection);
  if (cmd_client.IsLinkLost()) processor_lost(abort_connection);
  // One test a pass while neither the idle limit nor the wire trace is on.
  if (pass_duties) {
    // Bytes can only move to or from the client in a pass that found its
    // connection or the processor's answers ready.
    const bool moved = result > 0 && (IsSet(sets.connection_fd, &read_set) || IsSet(sets.reader_fd, &read_set) ||
                                      (write_set_used && IsSet(sets.connection_fd, &write_set)));
    if (idle_limit_us != 0 && !*abort_connection) end_when_idle(moved, abort_connection);
    if (wire_trace != nullptr) wire_trace->Flush();
  }
}

// Replies queued in a pass that began with nothing queued go out at its end,
// in one write, not one select later. When the pass also sent commands, they
// are held for one more pass, which comes with the processor's answer or
// after kReplyHoldUs: a prompt answer then leaves in the same write as its
// ack, and an ack waits for no slow processor.
void MZorvaneTCPServer::flush_replies(bool write_set_used, bool commands_sent, bool* abort_connection) {
  const bool replies_wait = tcp_socket.GetNumUnwrittenBytes() != 0 && !*abort_connection;
  if (replies_held) {
    replies_held = false;
    if (replies_wait) flush_client(abort_connection);
  } else if (!write_set_used && replies_wait) {
    if (commands_sent) {
      replies_held = true;
    } else {
      flush_client(abort_connection);
    }
  }
}

void MZorvaneTCPServer::start_idle_clock() {
  pass_duties = idle_limit_us != 0 || wire_trace != nullptr;
  idle_deadline_us = idle_limit_us == 0 ? kNoDeadline : MonotonicMicroseconds() + idle_limit_us;
}

// Idle: no byte from or to the client, nothing waiting for it and no
// transaction of it open since the clock started. The client gets the
// error line after what is queued, and the connection ends as others do.
void MZorvaneTCPServer::end_when_idle(bool moved, bool* abort_connection) {
  if (moved || tcp_socket.GetNumUnwrittenBytes() != 0 || !pending_commands.empty() || !background_commands.empty()) {
    start_idle_clock();
    return;
  }
  if (MonotonicMicroseconds() < idle_deadline_us) return;
  MTRACE(1, "MZorvaneTCPServer::Run(): client %s idle for %lld seconds, closing connection",
         tcp_socket.GetPeerName().c_str(), idle_limit_us / 1000000);
  tcp_socket.SendError(0, kIdleTimeExceeded);
  *abort_connection = true;
}

// Waits without a timeout while nothing is queued, with 100 ms while replies
// or commands wait, kReplyHoldUs while replies are held, and never past the
// idle limit's deadline. While accepting is paused the listener is left out,
// until the first pass after the pause. A descriptor is watched for writing
// only while bytes wait for it, so a writable but idle descriptor never wakes
// the loop.
int MZorvaneTCPServer::select_for_service(const ServiceSets& sets, fd_set* read_set, fd_set* write_set,
                                          bool* write_set_used) {
  update_backpressure();
  *read_set = sets.read_base;
  if (client_backlog_high || command_backlog_high) RemoveFromSet(sets.connection_fd, read_set);
  if (client_backlog_high) RemoveFromSet(sets.reader_fd, read_set);
  if (tcp_socket.IsAcceptPaused()) RemoveFromSet(sets.listen_fd, read_set);
  bool client_bytes_wait = !replies_held && tcp_socket.GetNumUnwrittenBytes() != 0;
  bool commands_wait = cmd_client.GetNumUnwrittenCommands() != 0;
  *write_set_used = client_bytes_wait || commands_wait;
  static const struct timeval hold_wait = {0, kReplyHoldUs};
  static const struct timeval queued_wait = {0, 100000};
  struct timeval timeout;
  if (!*write_set_used) {
    return WaitSelect(sets.max_fd + 1, read_set, nullptr,
                      EarlierTimeout(idle_deadline_us, replies_held ? &hold_wait : nullptr, &timeout));
  }
  *write_set = sets.write_base;
  if (!client_bytes_wait) RemoveFromSet(sets.connection_fd, write_set);
  if (!commands_wait) RemoveFromSet(sets.writer_fd, write_set);
  return WaitSelect(sets.max_fd + 1, read_set, write_set,
                    EarlierTimeout(idle_deadline_us, replies_held ? &hold_wait : &queued_wait, &timeout));
}

void MZorvaneTCPServer::update_backpressure() {
  client_backlog_high = BacklogHigh(client_backlog_high, tcp_socket.GetNumUnwrittenBytes());
  command_backlog_high = BacklogHigh(command_backlog_high, cmd_client.GetNumUnwrittenCommands());
}

void MZorvaneTCPServer::read_client(bool* abort_connection) {
  if (!tcp_socket.FillReadBuffer()) {
    MTRACE(2, "fill_read_buffer() abort\n");
    *abort_connection = true;
    // A client that only closed its sending side still reads its replies.
    if (!tcp_socket.HasStreamEnded()) close_at_once = true;
    return;
  }
  while (tcp_socket.PopReadLine(&request_line)) {
    if (!analyse_command_line(request_line)) {
      *abort_connection = true;
      MTRACE(2, "analyse_command_line() abort\n");
    }
  }
}

void MZorvaneTCPServer::read_command_channel(bool* abort_connection) {
  if (!cmd_client.FillReadBuffer()) {
    MTRACE(2, "fill_read_buffer() abort\n");
    *abort_connection = true;
    return;
  }
  if (!analyse_client_answer(cmd_client.ReadBuffer())) {
    *abort_connection = true;
    MTRACE(2, "analyse_client_answer() abort\n");
  }
  // What stays is an unfinished answer line; one that never ends would grow
  // without bound, since nothing of it may be relayed before its line end.
  if (cmd_client.ReadBuffer().size() > kMaxUnfinishedAnswer) {
    MERRLOG("MZorvaneTCPServer::Run(): answer of more than %zu bytes without a line end", kMaxUnfinishedAnswer);
    *abort_connection = true;
  }
}

void MZorvaneTCPServer::flush_client(bool* abort_connection) {
  if (!tcp_socket.FlushWriteBuffer()) {
    error_context->DumpToMErrLog(__LINE__, "MZorvaneTCPServer::Run(): FlushWriteBuffer() failed");
    *abort_connection = true;
    close_at_once = true;
  }
  if (tcp_socket.GetNumUnwrittenBytes() != 0) {
    MTRACE(1, "MZorvaneTCPServer::Run(): %zu bytes unsent to socket (case 1)", tcp_socket.GetNumUnwrittenBytes());
  }
}

void MZorvaneTCPServer::refuse_client() {
  (void)tcp_socket.BlockConnection(kRefusalLine);  // a failed accept is logged there
  MERRLOG("Run(): send: 0000\terror Sorry, this port  is already in use!");
}

void MZorvaneTCPServer::end_connection(bool abort_connection) {
  if (stop_requested) {
    MTRACE(1, "terminating");
  } else if (abort_connection) {
    MTRACE(1, "aborting connection\n");
  } else {
    MTRACE(1, "connection has been closed by peer\n");
  }
  if (!close_at_once) drain_client();
  if (!cmd_client.CloseSession(send_close)) MERRTRACE_DUMP("MZorvaneTCPServer::Run(): CloseSession() failed");
  tcp_socket.CloseConnection();
  // The close wait may have found the processor gone, or given up on it.
  drop_lost_channel();
  notify_status();
  if (wire_trace != nullptr) wire_trace->Flush();
}

// Writes what is still queued for a client whose connection ends, in the
// select loop, as long as the client keeps taking bytes. Nothing more is
// read from it, and the processor's output waits in the channel meanwhile.
void MZorvaneTCPServer::drain_client() {
  const int fd = tcp_socket.GetConnectionFD();
  const long long limit_us = static_cast<long long>(kDrainIdleLimitSeconds * 1e6);
  long long deadline = MonotonicMicroseconds() + limit_us;
  while (fd != -1 && tcp_socket.GetNumUnwrittenBytes() != 0) {
    if (MonotonicMicroseconds() >= deadline) {
      MERRLOG("MZorvaneTCPServer::Run(): client took nothing for %.f seconds, %zu unsent bytes dropped",
              kDrainIdleLimitSeconds, tcp_socket.GetNumUnwrittenBytes());
      return;
    }
    fd_set write_set;
    FD_ZERO(&write_set);
    FD_SET(fd, &write_set);
    struct timeval timeout;
    const int result = WaitSelect(fd + 1, nullptr, &write_set, EarlierTimeout(deadline, nullptr, &timeout));
    if (result < 0 && errno != EINTR) {
      MERRLOG_ERRNO("MZorvaneTCPServer::Run(): select() [3] failed");
      return;
    }
    if (result <= 0) continue;
    const size_t unsent = tcp_socket.GetNumUnwrittenBytes();
    if (!tcp_socket.FlushWriteBuffer()) {
      error_context->DumpToMErrLog(__LINE__, "MZorvaneTCPServer::Run(): FlushWriteBuffer() failed");
      return;
    }
    if (tcp_socket.GetNumUnwrittenBytes() < unsent) deadline = MonotonicMicroseconds() + limit_us;
  }
}

// A lost socket is opened again for the next client; the first failure of an
// outage and each reconnection are logged once.
bool MZorvaneTCPServer::reopen_lost_channel() {
  if (!cmd_client.IsSocketLost()) return true;
  int error = 0;
  if (cmd_client.Reopen(client_port, &error)) {
    MERRLOG("MZorvaneTCPServer::Run(): command processor reconnected on 127.0.0.1:%u", client_port);
    loss_logged = false;
    reconnect_failure_logged = false;
    return true;
  }
  if (!reconnect_failure_logged) {
    MERRLOG_ERRNUM(error, "MZorvaneTCPServer::Run(): command processor on 127.0.0.1:%u not reachable", client_port);
  }
  reconnect_failure_logged = true;
  return false;
}

void MZorvaneTCPServer::turn_away_without_processor() {
  tcp_socket.SendError(0, kProcessorUnavailable);
  drain_client();
  tcp_socket.CloseConnection();
}

// The client gets what was queued for it, this line, and then end of stream.
void MZorvaneTCPServer::processor_lost(bool* abort_connection) {
  tcp_socket.SendError(0, kProcessorUnavailable);
  log_lost_channel();
  *abort_connection = true;
}

void MZorvaneTCPServer::log_lost_channel() {
  if (!cmd_client.IsSocketLost() || loss_logged) return;
  MERRLOG("MZorvaneTCPServer::Run(): command processor lost, reconnecting for the next client");
  loss_logged = true;
}

void MZorvaneTCPServer::drop_lost_channel() {
  if (!cmd_client.IsSocketLost()) return;
  log_lost_channel();
  cmd_client.DropLostSocket();
}

// ---- client requests ----

// The reply calls (SendAck, SendReady, SendData, SendError) fail only when
// there is no listener, which cannot be while a client is served, so their
// results are not looked at.

bool MZorvaneTCPServer::analyse_command_line(const std::string& line) {
  const char* text = line.c_str();  // a NUL inside the line ends it
  if (text[0] == '.') {
    MTRACE(2, "'.' received, closing connection\n");
    return false;
  }
  if (text[0] == '\t') {
    send_status(0);
    return true;
  }
  if (!IsDigit(text[0])) {
    tcp_socket.SendError(0, "transaction: t-id missing");
    return true;
  }
  unsigned tid = 0;
  const char* cursor = ReadNumber(text, &tid);
  if (tid < 1 || tid > 9999 || tid_states[tid] != kTidFree) {
    tcp_socket.SendError(0, "transaction: t-id invalid");
    return true;
  }
  if (!IsBlank(*cursor)) {
    tcp_socket.SendError(tid, "syntax invalid");
    return true;
  }
  tcp_socket.SendAck(tid);

  const char* word = SkipBlanks(cursor);
  const char* word_end = word;
  while (IsLetter(*word_end)) ++word_end;
  if (word_end == word || (*word_end != '\0' && !IsBlank(*word_end))) {
    tcp_socket.SendError(tid, "transaction: command missing or invalid");
    tcp_socket.SendReady(tid);
    return true;
  }
  if (WordStartsWith(word, word_end, "status")) {
    send_status(tid);
    tcp_socket.SendReady(tid);
    return true;
  }
  if (WordStartsWith(word, word_end, "abort")) return analyse_abort(tid, word_end);

  // Built in a spare record and spliced into its list: the text is copied once.
  auto record = spare_record();
  record->tid = static_cast<short>(tid);
  record->command.clear();
  record->command.append(word);
  if (!cmd_client.SendCommand(*record)) {
    MERRLOG("SendCommand failed, closing connection\n");
    return false;
  }
  if (IsBackgroundCommand(word, word_end)) {
    background_commands.splice(background_commands.end(), spare_commands, record);
    tid_states[tid] = kTidBackground;
  } else {
    pending_commands.splice(pending_commands.end(), spare_commands, record);
    tid_states[tid] = kTidPending;
  }
  return true;
}

std::list<MZorvaneCmdCommand>::iterator MZorvaneTCPServer::spare_record() {
  if (spare_commands.empty()) spare_commands.emplace_front();
  return spare_commands.begin();
}

bool MZorvaneTCPServer::analyse_abort(unsigned tid, const char* rest) {
  unsigned target = 0;
  const char* cursor = SkipBlanks(ReadNumber(SkipBlanks(rest), &target));
  const char* error = nullptr;
  if (*cursor != '\0') {
    error = "syntax invalid";
  } else if (target > 9999) {
    error = "t-id invalid";
  } else if (target != 0 && tid_states[target] == kTidFree) {
    error = "t-id unused";
  }
  if (error != nullptr) {
    tcp_socket.SendError(tid, error);
    tcp_socket.SendReady(tid);
    return true;
  }
  (void)cmd_client.SendAbort(tid, target);  // a session is open while a client is served
  auto record = spare_record();
  record->tid = static_cast<short>(tid);
  record->command.clear();
  pending_commands.splice(pending_commands.end(), spare_commands, record);
  tid_states[tid] = kTidPending;
  return true;
}

void MZorvaneTCPServer::send_status(unsigned tid) {
  const int reply_tid = static_cast<int>(tid);
  if (pending_commands.empty() && background_commands.empty()) {
    tcp_socket.SendData(reply_tid, "idle");
    return;
  }
  char text[32];
  bool first = true;
  for (const MZorvaneCmdCommand& command : pending_commands) {
    snprintf(text, sizeof(text), first ? "%04d running" : "%04d waiting", command.tid);
    tcp_socket.SendData(reply_tid, text);
    first = false;
  }
  for (const MZorvaneCmdCommand& command : background_commands) {
    snprintf(text, sizeof(text), "%04d background", command.tid);
    tcp_socket.SendData(reply_tid, text);
  }
}

// ---- command-processor answers ----

// Relays the text up to each line end and turns each complete marker into
// the client's ready line. Bytes after the last line end wait in the buffer;
// `answer_scanned` remembers how far they are known to hold neither a line
// end nor a marker, so a long line is scanned only once. What has been
// handled is counted in `consumed` and erased once at the end, instead of
// moving the rest of the buffer forward after every line and every marker.
// Relayed text that a ready line follows is queued with it, and when the
// queue was empty before, the two leave in one write at the end.
bool MZorvaneTCPServer::analyse_client_answer(std::string& buffer) {
  if (answer_scanned > buffer.size()) answer_scanned = 0;
  size_t consumed = 0;
  bool go_on = true;
  bool write_at_end = false;
  for (;;) {
    const char* data = buffer.data();
    size_t scan_from = consumed + answer_scanned;
    if (scan_from == buffer.size()) break;
    const size_t marker = AnswerMarker::Find(data, buffer.size(), scan_from);
    const bool marker_complete = AnswerMarker::IsComplete(marker, buffer.size());
    const void* last_lf = memrchr(data + scan_from, '\n', marker - scan_from);
    if (last_lf != nullptr) {
      size_t line_end = static_cast<size_t>(static_cast<const char*>(last_lf) - data) + 1;
      relay_lines(buffer, consumed, line_end, marker_complete, &write_at_end);
      consumed = line_end;
    }
    answer_scanned = marker - consumed;
    if (!marker_complete) break;

    unsigned tid = AnswerMarker::Tid(buffer.data(), marker);
    if (tid == kTerminationTid) {
      MTRACE(2, "analyse_client_answer(): received request for client termination");
      send_close = false;
      go_on = false;
      break;
    }
    tid = answer_marker(tid);
    // Text without a line end before the marker stays, to be joined by what follows the marker.
    if (marker == consumed) {
      consumed += AnswerMarker::kLength;
    } else {
      buffer.erase(marker, AnswerMarker::kLength);
    }
    if (tid != 0) finish_transaction(tid);
  }
  // A failed write keeps the bytes queued; the next flush reports it and ends the connection.
  if (write_at_end) (void)tcp_socket.WriteQueuedBulk();
  if (consumed == buffer.size()) {
    buffer.clear();
  } else {
    buffer.erase(0, consumed);
  }
  return go_on;
}

// Sends the ready line for a marker, or the error for an invalid or unused
// id; returns the transaction to finish, 0 for none.
unsigned MZorvaneTCPServer::answer_marker(unsigned tid) {
  if (tid > 9999) {
    MERRLOG("analyse_client_answer(): received ready for invalid tid %d \n", tid);
    tcp_socket.SendError(0, "received ready for invalid tid");
    return 0;
  }
  if (tid != 0 && tid_states[tid] == kTidFree) {
    MERRLOG("analyse_client_answer(): received ready for unused tid %d \n", tid);
    tcp_socket.SendError(0, "received ready for unused tid");
    return 0;
  }
  tcp_socket.SendReady(tid);
  return tid;
}

// The last text of the buffer, with no marker behind it, goes out as BulkSend
// sends it. Text with a marker behind it is queued; if it found the queue
// empty, the write BulkSend would have made is made at the end for all queued.
void MZorvaneTCPServer::relay_lines(const std::string& buffer, size_t begin, size_t end, bool marker_follows,
                                    bool* write_at_end) {
  const char* text = buffer.data() + begin;
  if (!marker_follows) {
    (void)tcp_socket.BulkSend(text, static_cast<unsigned>(end - begin));  // as WriteQueuedBulk
    return;
  }
  if (tcp_socket.GetNumUnwrittenBytes() == 0) *write_at_end = true;
  tcp_socket.QueueBulk(text, end - begin);
}

void MZorvaneTCPServer::finish_transaction(unsigned tid) {
  bool pending = tid_states[tid] == kTidPending;
  std::list<MZorvaneCmdCommand>& list = pending ? pending_commands : background_commands;
  auto found = FindRecord(list, tid);
  if (found != list.end()) {
    keep_spare_record(list, found);
  } else if (pending) {
    MERRLOG("analyse_client_answer(): tid %d not in list of pending commands", tid);
  } else {
    MERRLOG("analyse_client_answer(): tid %d not in list of background commands", tid);
  }
  tid_states[tid] = kTidFree;
}

// A finished record goes to the spares with its list node and its text's
// storage, unless that text is long: its memory is given back.
void MZorvaneTCPServer::keep_spare_record(std::list<MZorvaneCmdCommand>& list,
                                          std::list<MZorvaneCmdCommand>::iterator record) {
  if (record->command.capacity() > kSpareCommandCapacity) {
    list.erase(record);
    return;
  }
  spare_commands.splice(spare_commands.begin(), list, record);
}
