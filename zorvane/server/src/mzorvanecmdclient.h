// Command channel to the command processor: the command record and its
// wire form, the TCP or pipe link with its send queue and receive buffer,
// and sessions.
#ifndef MZORVANECMDCLIENT_H
#define MZORVANECMDCLIENT_H

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

// One command for the command processor. Wire form: 16-bit big-endian tid,
// the text, a 0x00 terminator.
class MZorvaneCmdCommand {
 public:
  MZorvaneCmdCommand() = default;
  MZorvaneCmdCommand(short tid, const std::string& command) : tid(tid), command(command) {}

  void Serialize(std::string* out) const;
  int Unserialize(const std::string& in);

  short tid = -1;
  std::string command;
};

// The command processor ends the answer of a transaction with a marker: a
// 0x00 byte, then the transaction id in two bytes, high byte first.
struct AnswerMarker {
  static constexpr size_t kLength = 3;

  // Where the first marker in data[from, size) begins; size when there is none.
  static size_t Find(const char* data, size_t size, size_t from) {
    const void* nul = memchr(data + from, '\0', size - from);
    return nul ? static_cast<size_t>(static_cast<const char*>(nul) - data) : size;
  }

  // All three bytes of the marker at `position` have come.
  static bool IsComplete(size_t position, size_t size) { return position + kLength <= size; }

  // The transaction id of the complete marker at `position`.
  static int Tid(const char* data, size_t position) {
    return static_cast<unsigned char>(data[position + 1]) * 256 + static_cast<unsigned char>(data[position + 2]);
  }
};

class MZorvaneCmdClient {
 public:
  // Where the command processor listens on 127.0.0.1 unless told otherwise.
  static constexpr unsigned kDefaultPort = 37073;
  static constexpr int kDefaultPipeSize = 16384;
  // The most a pipe holds with Linux's default limit (pipe-max-size).
  static constexpr int kMaxPipeSize = 1024 * 1024;
  static constexpr double kCloseWaitLimitSeconds = 60.0;
  static constexpr double kClosePollPauseSeconds = 0.01;
  // Longest wait for a reconnection's handshake, so that a stuck processor
  // cannot hold the main loop.
  static constexpr int kReconnectLimitMs = 1000;

  MZorvaneCmdClient();
  ~MZorvaneCmdClient() = default;
  MZorvaneCmdClient(const MZorvaneCmdClient&) = delete;
  MZorvaneCmdClient& operator=(const MZorvaneCmdClient&) = delete;

  void SetWriterPipeId(int fd);
  void SetReaderPipeId(int fd);
  void SetPipeSize(int size);

  int Open(unsigned port);
  void Close();
  // After the socket was lost: connects again, bounded in time, with nothing
  // of the old link kept. On failure *error holds the system's error number.
  bool Reopen(unsigned port, int* error);
  // Closes a lost socket and drops every byte and the session that belonged to it.
  void DropLostSocket();
  // A read or write on the socket failed for good (end of file or an error).
  bool IsSocketLost() const { return socket_lost; }
  // A pipe reached end of file or failed; a pipe cannot be opened again.
  bool IsPipeBroken() const { return pipe_broken; }
  bool IsLinkLost() const { return socket_lost || pipe_broken; }

  int GetWriterFD() const { return UseCmdClientSocketToWrite() ? socket_fd : writer_fd; }
  int GetReaderFD() const { return UseCmdClientSocketToRead() ? socket_fd : reader_fd; }
  size_t GetNumUnwrittenCommands() const { return write_buffer.size(); }
  bool UseCmdClientSocketToWrite() const { return writer_fd < 0; }
  bool UseCmdClientSocketToRead() const { return reader_fd < 0; }

  int FillReadBuffer();
  bool FlushCommandBuffer();

  int OpenSession();
  bool CloseSession(bool send_close);
  int SendCommand(const MZorvaneCmdCommand& cmd);
  int SendAbort(unsigned tid, unsigned target_tid);

  // The receive buffer; the answer relay consumes it from the front.
  std::string& ReadBuffer() { return read_buffer; }
  const std::string& WriteBuffer() const { return write_buffer; }
  int GetPipeSize() const { return pipe_size; }
  bool IsSessionOpen() const { return session_open; }

  // Test seam: the limit of the wait for the answer to "close".
  void SetCloseWaitLimit(double seconds) { close_wait_limit = seconds; }

 private:
  bool create_socket(unsigned port);
  bool open_socket(unsigned port, int* reconnect_error);
  void destroy_socket();
  // The two halves of FillReadBuffer keep its int result: as bool they cost
  // 12 instructions more a transaction (measured with bench/run --instructions).
  int FillReadBufferSocket();
  int FillReadBufferOverPipe();
  bool FlushCommandQueue();
  bool FlushCommandBufferOverSocket();
  bool FlushCommandBufferOverPipe();

  bool set_socket_options();
  void trace_socket_options() const;
  bool connect_at_start(unsigned port);
  bool connect_bounded(unsigned port);
  void mark_failed_read();
  void mark_failed_write();
  void trace_received_pipe_bytes(size_t count);
  bool wait_for_close_answer(bool close_flushed);
  void poll_close_answer(double seconds_left);
  bool close_answer_may_be_read(double seconds_left) const;
  bool holds_complete_marker() const;
  void consume_markers();
  void discard_session_buffers();

  int socket_fd = -1;
  int writer_fd = -1;
  int reader_fd = -1;
  int pipe_size = kDefaultPipeSize;
  std::vector<char> pipe_buffer;
  bool session_open = false;
  bool socket_lost = false;
  bool pipe_broken = false;
  std::string write_buffer;
  std::string read_buffer;
  double close_wait_limit = kCloseWaitLimitSeconds;
};

#endif
