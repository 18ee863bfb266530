// Runs the server binary against a command processor that the test plays
// itself, over TCP or over pipes, and connects real clients to it.
#ifndef TEST_SERVER_HARNESS_H
#define TEST_SERVER_HARNESS_H

#include <string>
#include <vector>

#include "process.h"

enum class Link { kTcp, kPipes };

// The end-of-transaction marker of the answer stream.
std::string Marker(unsigned tid);
// A reply line as the client receives it.
std::string Ack(int tid);
std::string Ready(int tid);
std::string Data(int tid, const std::string& text);
std::string Error(int tid, const std::string& text);

class ServerHarness {
 public:
  ~ServerHarness();

  // Starts the server and takes the processor's side of the channel.
  bool Start(Link link, const std::vector<std::string>& extra_args = {},
             const std::vector<std::string>& env = {"MTRACE_LEVEL=2"});
  // Connects a client and answers the session's "open" with the marker for 0.
  int ConnectClient();
  // Connects a client without touching the processor side.
  int ConnectRaw();

  // The next command record the server sent, as "tid:text"; "" on timeout.
  std::string ReadRecord(int timeout_ms = 3000);
  bool Answer(const std::string& bytes);
  // Closes the processor's side of the channel.
  void CloseProcessor();
  // Stops answering but goes on reading commands: closes the answer pipe, or
  // shuts the socket down for writing.
  void CloseAnswers();

  ChildProcess& Process() { return server; }
  const ChildProcess& Process() const { return server; }
  unsigned short ServerPort() const { return server_port; }
  int CommandFd() const { return command_fd; }
  int AnswerFd() const { return answer_fd; }
  // Waits until the server's stderr holds `message` (an exact record message).
  bool WaitForLog(const std::string& tag, const std::string& message, int timeout_ms = 3000);
  bool HasLog(const std::string& tag, const std::string& message) const;

 private:
  ChildProcess server;
  unsigned short server_port = 0;
  int command_fd = -1;  // the processor reads commands here
  int answer_fd = -1;   // the processor writes answers here (same as command_fd over TCP)
  std::vector<int> child_ends;
};

// Pipelined request lines with the replies they must bring: the server's
// own, in the order of the requests, and the processor's answers as relayed,
// in the order of its output.
struct ReplyBatch {
  std::string requests;
  std::vector<std::string> own;
  std::vector<std::string> relayed;
  size_t reply_size = 0;

  void Add(const std::string& request, const std::vector<std::string>& own_lines,
           const std::vector<std::string>& relayed_lines = {});
  // The replies are the two sequences interleaved line by line, with nothing
  // lost, added or changed.
  bool Matches(const std::string& received) const;
};

// The real server with the real command processor: the processor listens and
// the server connects to it (kTcp), or the processor starts the server on two
// pipes (kPipes).
class RealStack {
 public:
  ~RealStack();
  bool Start(Link link, const std::vector<std::string>& env = {"MTRACE_LEVEL=2"});
  // Makes this process the reaper of orphaned descendants; false where the
  // system (or an emulator) does not allow it.
  static bool CanAdoptOrphans();
  // Connects a client and reads the ready line of its session; -1 on failure.
  int Connect();
  // Kills the processor; over pipes the server it leaves behind becomes this
  // process's child (Start made this process a subreaper).
  bool KillProcessor();
  // The server's diagnostics; over pipes they share the processor's stderr.
  std::string Log() const;
  unsigned short ServerPort() const { return server_port; }
  // Over pipes the server is a child of this process only after KillProcessor.
  ChildProcess& Server() { return server; }

 private:
  ChildProcess processor;
  ChildProcess server;
  unsigned short server_port = 0;
  pid_t spawned_pid = -1;  // over pipes
};

#endif
