// Command channel to the command processor: the command record and its
// wire form, the TCP or pipe link with its send queue and receive buffer,
// and sessions.
#ifndef MZORVANECMDCLIENT_H
#define MZORVANECMDCLIENT_H

#include <cstddef>
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

// Renders wire bytes for a trace: every control byte becomes '.'.
void RenderWireForTrace(std::string* bytes);

class MZorvaneCmdClient {
 public:
  static constexpr int kDefaultPipeSize = 16384;
  // The most a pipe holds with Linux's default limit (pipe-max-size).
  static constexpr int kMaxPipeSize = 1024 * 1024;
  static constexpr double kCloseWaitLimitSeconds = 60.0;
  static constexpr double kClosePollPauseSeconds = 0.01;

  MZorvaneCmdClient();
  ~MZorvaneCmdClient() = default;
  MZorvaneCmdClient(const MZorvaneCmdClient&) = delete;
  MZorvaneCmdClient& operator=(const MZorvaneCmdClient&) = delete;

  void SetWriterPipeId(int fd);
  void SetReaderPipeId(int fd);
  void SetPipeSize(int size);

  int Open(unsigned port);
  void Close();

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
  int create_socket(unsigned port);
  void destroy_socket();
  int FillReadBufferSocket();
  int FillReadBufferOverPipe();
  bool FlushCommandQueue();
  bool FlushCommandBufferOverSocket();
  bool FlushCommandBufferOverPipe();

  bool set_socket_options();
  void trace_socket_options() const;
  bool connect_socket(unsigned port);
  void trace_received_pipe_bytes(size_t count);
  bool wait_for_close_answer(bool close_flushed);
  void poll_close_answer(double seconds_left);
  bool close_answer_may_be_read(double seconds_left) const;
  bool holds_complete_marker() const;
  void consume_first_marker();
  void discard_session_buffers();

  int socket_fd = -1;
  int writer_fd = -1;
  int reader_fd = -1;
  int pipe_size = kDefaultPipeSize;
  std::vector<char> pipe_buffer;
  bool session_open = false;
  std::string write_buffer;
  std::string read_buffer;
  double close_wait_limit = kCloseWaitLimitSeconds;
};

#endif
