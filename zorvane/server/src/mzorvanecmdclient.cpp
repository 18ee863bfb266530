#include "mzorvanecmdclient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "ctimer.h"
#include "qdrcore.h"
#include "socketoptions.h"
#include "waits.h"
#include "wiretrace.h"

namespace {

int my_iscntrl(int c) { return iscntrl(c & 0xFF); }

void AppendWireForm(const MZorvaneCmdCommand& cmd, std::string* out) {
  unsigned short bits = static_cast<unsigned short>(cmd.tid);
  out->push_back(static_cast<char>(bits >> 8));
  out->push_back(static_cast<char>(bits & 0xFF));
  out->append(cmd.command.c_str(), cmd.command.size() + 1);
}

}  // namespace

void MZorvaneCmdCommand::Serialize(std::string* out) const {
  out->clear();
  AppendWireForm(*this, out);
}

int MZorvaneCmdCommand::Unserialize(const std::string& in) {
  if (in.size() < 3) return 0;
  unsigned high = static_cast<unsigned char>(in[0]);
  unsigned low = static_cast<unsigned char>(in[1]);
  tid = static_cast<short>(static_cast<unsigned short>((high << 8) | low));
  if (in.back() != '\0') return 0;
  command.assign(in, 2, in.size() - 3);
  return 1;
}

// ---- command channel (transport and sessions) ----

namespace {

// Renders wire bytes for a trace: every control byte becomes '.'.
void RenderWireForTrace(std::string* bytes) { std::replace_if(bytes->begin(), bytes->end(), my_iscntrl, '.'); }

constexpr size_t kSocketReadSize = 32768;
// The answer relay leaves at most 1 MiB of an unfinished line in the receive
// buffer, so with one read more it never outgrows the large size.
constexpr size_t kSmallReadBuffer = 64 * 1024;
constexpr size_t kLargeReadBuffer = 1024 * 1024 + 64 * 1024;
// Longest text of a queue that a trace shows ("%.100s").
constexpr size_t kTracedQueueBytes = 100;

sockaddr_in ProcessorAddress(unsigned port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  return address;
}

void AppendIntOption(std::string* text, const char* format, int value) {
  char piece[64];
  snprintf(piece, sizeof(piece), format, value);
  text->append(piece);
}

// A receive buffer that outgrows the small size gets room for the most it can
// hold in one step: doubling step by step would hold the old and the new copy
// together at each step.
void AppendReceived(const char* data, size_t count, std::string* buffer) {
  size_t needed = buffer->size() + count;
  if (needed > buffer->capacity() && needed > kSmallReadBuffer) buffer->reserve(std::max(needed, kLargeReadBuffer));
  buffer->append(data, count);
}

// Rounded up, so that the time check after the wait finds the limit passed.
int PollTimeoutMs(double seconds) {
  if (seconds <= 0.0) return 0;
  double ms = std::ceil(seconds * 1000.0) + 1.0;
  return ms >= INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

// One byte more than a read asks for, so that the received text can be
// traced with its terminator behind it.
MZorvaneCmdClient::MZorvaneCmdClient() : pipe_buffer(static_cast<size_t>(kDefaultPipeSize) + 1) {}

// ---- configuration ----

void MZorvaneCmdClient::SetWriterPipeId(int fd) {
  if (fd <= 0) {
    MERRLOG("SetWriterPipeId(): invalid path id for pipe (#%d)", fd);
    return;
  }
  writer_fd = fd;
  MTRACE(5, "SetWriterPipeId(): writer_fd=%d", writer_fd);
}

void MZorvaneCmdClient::SetReaderPipeId(int fd) {
  if (fd < 0) {
    MERRLOG("SetReaderPipeId(): invalid path id for pipe (#%d)", fd);
    return;
  }
  reader_fd = fd;
  MTRACE(5, "SetReaderPipeId(): reader_fd=%d", reader_fd);
}

// A buffer near INT_MAX bytes cannot even be allocated on a 32-bit target,
// and a read never takes more than the pipe holds.
void MZorvaneCmdClient::SetPipeSize(int size) {
  if (size < 1) {
    MERRLOG("SetPipeSize(): invalid pipe size (#%d), use default #%d", size, pipe_size);
    return;
  }
  if (size > kMaxPipeSize) {
    MERRLOG("SetPipeSize(): pipe size #%d too large, use #%d", size, kMaxPipeSize);
    size = kMaxPipeSize;
  }
  if (size != pipe_size) {
    pipe_size = size;
    pipe_buffer = std::vector<char>(static_cast<size_t>(size) + 1);
  }
  MTRACE(5, "SetPipeSize(): pipe size = %d", pipe_size);
}

// ---- link set-up and tear-down ----

// Inherited pipes may come in blocking mode; a processor that stops reading
// would then hold the whole server in write().
int MZorvaneCmdClient::Open(unsigned port) {
  for (int pipe_fd : {writer_fd, reader_fd}) {
    if (pipe_fd >= 0 && !SetNonBlocking(pipe_fd)) {
      MERRTRACE_ERRNO("MZorvaneCmdClient::Open(): fcntl(%d) failed", pipe_fd);
      return 0;
    }
  }
  if (!UseCmdClientSocketToWrite()) return 1;
  return create_socket(port) ? 1 : 0;
}

bool MZorvaneCmdClient::Reopen(unsigned port, int* error) {
  DropLostSocket();
  if (!open_socket(port, error)) return false;
  socket_lost = false;
  return true;
}

void MZorvaneCmdClient::DropLostSocket() {
  destroy_socket();
  session_open = false;
  read_buffer.clear();
  write_buffer.clear();
}

void MZorvaneCmdClient::Close() { destroy_socket(); }

bool MZorvaneCmdClient::create_socket(unsigned port) {
  if (port > kHighestPort) {
    MERRTRACE("MZorvaneCmdClient::create_socket(): port %u is out of range", port);
    return false;
  }
  return open_socket(port, nullptr);
}

// The one way to the processor, at start (reconnect_error null) and after a
// loss. The start traces each step and connects in blocking mode. A
// reconnection is silent but for the options of a link it made, leaves the
// reason of a failure in *reconnect_error, and gives the handshake at most
// kReconnectLimitMs, so that a stuck processor cannot hold the main loop.
bool MZorvaneCmdClient::open_socket(unsigned port, int* reconnect_error) {
  const bool at_start = reconnect_error == nullptr;
  socket_fd = OpenStreamSocket(at_start ? "MZorvaneCmdClient::create_socket()" : nullptr);
  if (socket_fd != -1 && set_socket_options() && (at_start ? connect_at_start(port) : connect_bounded(port))) {
    if (!at_start) trace_socket_options();
    return true;
  }
  if (!at_start) *reconnect_error = errno;
  destroy_socket();
  return false;
}

// False when one of the options the link cannot do without fails; the
// others are only logged.
bool MZorvaneCmdClient::set_socket_options() {
  struct Required {
    int option;
    const char* name;
  };
  for (const Required& required : {Required{SO_KEEPALIVE, "SO_KEEPALIVE"}, Required{SO_REUSEADDR, "SO_REUSEADDR"}}) {
    if (!SetIntOption(socket_fd, SOL_SOCKET, required.option, 1)) {
      MERRTRACE_ERRNO("MZorvaneCmdClient::create_socket(): setsockopt(... ,%s, ...) failed", required.name);
      return false;
    }
  }

  struct Optional {
    int level;
    int option;
    const char* name;
    int value;
  };
  for (const Optional& optional : {Optional{IPPROTO_TCP, TCP_NODELAY, "TCP_NODELAY", 1},
                                   Optional{SOL_SOCKET, SO_SNDBUF, "SO_SNDBUF", kSocketBufferSize},
                                   Optional{SOL_SOCKET, SO_RCVBUF, "SO_RCVBUF", kSocketBufferSize}}) {
    if (!SetIntOption(socket_fd, optional.level, optional.option, optional.value)) {
      MERRLOG_ERRNO("MZorvaneCmdClient::create_socket(): setsockopt(... ,%s, ...) failed", optional.name);
    }
  }

  struct linger linger_on = {1, 1};
  if (setsockopt(socket_fd, SOL_SOCKET, SO_LINGER, &linger_on, sizeof(linger_on)) != 0) {
    MERRLOG_ERRNO("MZorvaneCmdClient::create_socket(): setsockopt(... ,SO_LINGER, ...) failed");
  }
  return true;
}

// The options are read back whatever the trace level.
void MZorvaneCmdClient::trace_socket_options() const {
  std::string text = "MZorvaneCmdClient: ";
  AppendIntOption(&text, "SO_SNDVUF = %d", GetIntOption(socket_fd, SO_SNDBUF));
  AppendIntOption(&text, ", SO_RCVBUF = %d", GetIntOption(socket_fd, SO_RCVBUF));
  AppendIntOption(&text, ", SO_DONTROUTE = %d", GetIntOption(socket_fd, SO_DONTROUTE));
  AppendIntOption(&text, ", SO_SNDLOWAT = %d", GetIntOption(socket_fd, SO_SNDLOWAT));
  MTRACE(2, "%s", text.c_str());
}

// Traces the options and the port, connects in blocking mode, then turns the
// socket non-blocking for the main loop; each failure in the error trace.
bool MZorvaneCmdClient::connect_at_start(unsigned port) {
  trace_socket_options();
  MTRACE(1, "MZorvaneCmdClient::create_socket(): Using port %d", static_cast<int>(port));
  const sockaddr_in address = ProcessorAddress(port);
  if (connect(socket_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    MERRTRACE_ERRNO("MZorvaneCmdClient::create_socket(): connect(127.0.0.1,%u) failed", port);
    return false;
  }
  if (!SetNonBlocking(socket_fd)) {
    MERRTRACE_ERRNO("MZorvaneCmdClient::create_socket(): fcntl() failed");
    return false;
  }
  return true;
}

// Non-blocking from the start, silent; a failure leaves its reason in errno.
bool MZorvaneCmdClient::connect_bounded(unsigned port) {
  if (!SetNonBlocking(socket_fd)) return false;
  const sockaddr_in address = ProcessorAddress(port);
  if (connect(socket_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return true;
  if (errno != EINPROGRESS) return false;
  struct pollfd entry = {socket_fd, POLLOUT, 0};
  if (WaitPoll(&entry, 1, kReconnectLimitMs) != 1) {
    errno = ETIMEDOUT;
    return false;
  }
  errno = GetIntOption(socket_fd, SO_ERROR);
  return errno == 0;
}

void MZorvaneCmdClient::destroy_socket() {
  if (socket_fd == -1) return;
  if (close(socket_fd) != 0) {
    MERRLOG_ERRNO("MZorvaneCmdClient::destroy_socket(): close() failed");
  }
  socket_fd = -1;
}

// ---- reading ----

int MZorvaneCmdClient::FillReadBuffer() {
  return UseCmdClientSocketToRead() ? FillReadBufferSocket() : FillReadBufferOverPipe();
}

int MZorvaneCmdClient::FillReadBufferSocket() {
  char chunk[kSocketReadSize];
  const ssize_t got = read(socket_fd, chunk, sizeof(chunk));
  if (got > 0) {
    WireRecord(WireHop::kProcessorToServer, chunk, static_cast<size_t>(got));
    AppendReceived(chunk, static_cast<size_t>(got), &read_buffer);
    return 1;
  }
  if (got == 0) {
    MERRLOG("MZorvaneCmdClient::FillReadBuffer(): read() returned 0");
    mark_failed_read();
    return 0;
  }
  if (got == -1) {
    if (errno == EAGAIN) return 1;
    MERRLOG_ERRNO("MZorvaneCmdClient::FillReadBuffer(): read() failed");
    mark_failed_read();
    return 0;
  }
  MERRLOG("MZorvaneCmdClient::FillReadBuffer(): read() returned %d", static_cast<int>(got));
  mark_failed_read();
  return 0;
}

// A failure on a descriptor that is not there (a channel configured with a
// writer pipe alone reads on socket -1) loses nothing.
void MZorvaneCmdClient::mark_failed_read() {
  if (!UseCmdClientSocketToRead()) {
    pipe_broken = true;
  } else if (socket_fd != -1) {
    socket_lost = true;
  }
}

void MZorvaneCmdClient::mark_failed_write() {
  if (!UseCmdClientSocketToWrite()) {
    pipe_broken = true;
  } else if (socket_fd != -1) {
    socket_lost = true;
  }
}

// End of file means the command processor is gone: a reader pipe at end of
// file stays readable for select, so it has to end the connection.
int MZorvaneCmdClient::FillReadBufferOverPipe() {
  ssize_t got;
  do {
    errno = 0;
    got = read(reader_fd, pipe_buffer.data(), pipe_buffer.size() - 1);  // the last byte ends the trace's text
  } while (got < 0 && errno == EINTR);
  if (got < 0 && errno == EAGAIN) return 1;
  if (got < 0) {
    MERRLOG("FillReadBuffer(): read() failed %.20s", strerror(errno));
    mark_failed_read();
    return 0;
  }
  if (got == 0) {
    MERRLOG("FillReadBuffer(): read() returned 0, the command processor closed the pipe");
    mark_failed_read();
    return 0;
  }
  WireRecord(WireHop::kProcessorToServer, pipe_buffer.data(), static_cast<size_t>(got));
  AppendReceived(pipe_buffer.data(), static_cast<size_t>(got), &read_buffer);
  if (MTrace_GetLevel("default") > 4) trace_received_pipe_bytes(static_cast<size_t>(got));
  return 1;
}

// Renders in place: the bytes have already been appended to read_buffer.
void MZorvaneCmdClient::trace_received_pipe_bytes(size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (!isprint(static_cast<unsigned char>(pipe_buffer[i]))) pipe_buffer[i] = '.';
  }
  pipe_buffer[count] = '\0';
  MTRACE(5, "FillReadBuffer(): received (cnt=%d) '%s' ", static_cast<int>(count), pipe_buffer.data());
}

// ---- writing ----

bool MZorvaneCmdClient::FlushCommandBuffer() {
  if (write_buffer.empty()) return true;
  if (MTrace_GetLevel("default") <= 4) return FlushCommandQueue();
  const size_t total = write_buffer.size();
  // The queue shrinks while it is written; the trace shows it as it was.
  // Only the part that the trace can show is copied, and only when traced.
  std::string shown = write_buffer.substr(0, kTracedQueueBytes);
  RenderWireForTrace(&shown);
  const bool written = FlushCommandQueue();
  if (write_buffer.empty()) {
    MTRACE(5, "FlushCommandBuffer(): Send '%.100s'", shown.c_str());
  } else {
    MTRACE(5, "FlushCommandBuffer(): Want to send '%.100s'", shown.c_str());
    MTRACE(5, "FlushCommandBuffer: sent %zu bytes of %zu", total - write_buffer.size(), total);
  }
  return written;
}

bool MZorvaneCmdClient::FlushCommandQueue() {
  return UseCmdClientSocketToWrite() ? FlushCommandBufferOverSocket() : FlushCommandBufferOverPipe();
}

bool MZorvaneCmdClient::FlushCommandBufferOverSocket() {
  while (!write_buffer.empty()) {
    errno = 0;
    const ssize_t sent = send(socket_fd, write_buffer.data(), write_buffer.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      WireRecord(WireHop::kServerToProcessor, write_buffer.data(), static_cast<size_t>(sent));
      if (static_cast<size_t>(sent) == write_buffer.size()) {
        write_buffer.clear();
      } else {
        write_buffer.erase(0, static_cast<size_t>(sent));
      }
      continue;
    }
    if (sent == 0) continue;
    if (errno == EAGAIN) return true;
    MERRTRACE_ERRNO("MZorvaneCmdClient::FlushCommandBuffer(): write() failed");
    mark_failed_write();
    return false;
  }
  return true;
}

// A full non-blocking pipe is not a failure; anything else is, since the
// queued commands would never arrive.
bool MZorvaneCmdClient::FlushCommandBufferOverPipe() {
  const ssize_t written = MQdrCore_WriteWithoutSigpipe(writer_fd, write_buffer.data(), write_buffer.size());
  if (written > 0) {
    WireRecord(WireHop::kServerToProcessor, write_buffer.data(), static_cast<size_t>(written));
    write_buffer.erase(0, static_cast<size_t>(written));
    return true;
  }
  if (written < 0 && errno == EAGAIN) return true;
  MERRLOG("FlushOutputBuffer: Error writing over pipe %.40s write_len=%zd\n", strerror(errno), written);
  mark_failed_write();
  return false;
}

// ---- sessions ----

int MZorvaneCmdClient::OpenSession() {
  if (session_open) return 0;
  session_open = true;
  (void)SendCommand(MZorvaneCmdCommand(0, "open"));  // queued: the session is open
  // A failed write has marked the link lost, which the main loop acts on.
  (void)FlushCommandBuffer();
  return 1;
}

// The wire form goes straight onto the queue, without a string of its own.
int MZorvaneCmdClient::SendCommand(const MZorvaneCmdCommand& cmd) {
  if (!session_open) return 0;
  AppendWireForm(cmd, &write_buffer);
  return 1;
}

int MZorvaneCmdClient::SendAbort(unsigned tid, unsigned target_tid) {
  if (!session_open) return 0;
  std::string text = "abort";
  if (target_tid != 0) {
    char target[16];
    snprintf(target, sizeof(target), " %04u", target_tid);
    text.append(target);
  }
  (void)SendCommand(MZorvaneCmdCommand(static_cast<short>(tid & 0xFFFF), text));  // queued: the session is open
  return 1;
}

// Over a lost link no close exchange can happen any more.
bool MZorvaneCmdClient::CloseSession(bool send_close) {
  if (!session_open) return false;
  if (send_close && !IsLinkLost()) {
    (void)SendCommand(MZorvaneCmdCommand(0, "close"));  // queued: the session is open
    const bool close_flushed = FlushCommandBuffer();
    if (!wait_for_close_answer(close_flushed)) return false;
  } else {
    session_open = false;
  }
  discard_session_buffers();
  MTRACE(1, "CloseSession(): close session done ...");
  return true;
}

// Nothing else flushes during the wait: whatever of "close" the link did not
// take at once is offered again on each poll, or it would never arrive.
bool MZorvaneCmdClient::wait_for_close_answer(bool close_flushed) {
  CTimer timer;
  CTimer_Create(&timer);
  bool flushing = close_flushed;
  while (session_open && !IsLinkLost()) {
    if (flushing && !write_buffer.empty()) flushing = FlushCommandBuffer();
    poll_close_answer(close_wait_limit - CTimer_Get(&timer));
    const double elapsed = CTimer_Get(&timer);
    if (elapsed > close_wait_limit) {
      MERRTRACE("CloseSession(): Don't received answer of close command inside %.f seconds", elapsed);
      session_open = false;
      // The old session's output could still reach the next client over a
      // socket; a lost socket is opened anew for it instead.
      if (UseCmdClientSocketToRead() && socket_fd != -1) socket_lost = true;
      return false;
    }
    (void)WaitPoll(nullptr, 0, static_cast<int>(kClosePollPauseSeconds * 1000));  // a pause
  }
  session_open = false;
  return true;
}

// A reader pipe that finds nothing in the time left is treated like the
// socket that has nothing waiting: what is already buffered is still looked at.
void MZorvaneCmdClient::poll_close_answer(double seconds_left) {
  if (!close_answer_may_be_read(seconds_left)) {
    consume_markers();
    return;
  }
  if (FillReadBuffer() == 0) {
    MTRACE(2, "fill_read_buffer() abort\n");
    session_open = false;
    return;
  }
  consume_markers();
}

// The socket never blocks. A reader pipe may, and a blocking read would hold
// the wait past its limit, so wait for it with the time that is left; with a
// whole marker already buffered there is no reason to wait at all. While
// commands are still queued the wait must not outlast one pause: the answer
// cannot come before they, and "close" behind them, have been offered again.
bool MZorvaneCmdClient::close_answer_may_be_read(double seconds_left) const {
  if (UseCmdClientSocketToRead()) return true;
  if (holds_complete_marker()) seconds_left = 0.0;
  if (!write_buffer.empty()) seconds_left = std::min(seconds_left, kClosePollPauseSeconds);
  struct pollfd entry = {reader_fd, POLLIN, 0};
  return WaitPoll(&entry, 1, PollTimeoutMs(seconds_left)) > 0;
}

bool MZorvaneCmdClient::holds_complete_marker() const {
  return AnswerMarker::IsComplete(AnswerMarker::Find(read_buffer.data(), read_buffer.size(), 0), read_buffer.size());
}

// Drops every complete marker and the text before it, up to and including
// the close answer, the marker of transaction 0; a backlog of markers thus
// takes one poll, not one poll each. An incomplete marker stays for the next
// poll.
void MZorvaneCmdClient::consume_markers() {
  size_t consumed = 0;
  for (;;) {
    const size_t marker = AnswerMarker::Find(read_buffer.data(), read_buffer.size(), consumed);
    if (!AnswerMarker::IsComplete(marker, read_buffer.size())) {
      consumed = marker;
      break;
    }
    consumed = marker + AnswerMarker::kLength;
    if (AnswerMarker::Tid(read_buffer.data(), marker) == 0) {
      session_open = false;
      break;
    }
  }
  read_buffer.erase(0, consumed);
}

void MZorvaneCmdClient::discard_session_buffers() {
  if (!read_buffer.empty()) {
    MTRACE(5, "CloseSession(): deleting read_buffer with size %zu", read_buffer.size());
    read_buffer.clear();
  }
  if (!write_buffer.empty()) {
    MTRACE(5, "CloseSession(): deleting write_buffer with size %zu", write_buffer.size());
    write_buffer.clear();
  }
}
