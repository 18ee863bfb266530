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

#endif
