#include "server_harness.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "diag_capture.h"
#include "net.h"

namespace {

std::string Digits(int tid) {
  char text[8];
  snprintf(text, sizeof(text), "%04d", tid);
  return text;
}

}  // namespace

std::string Marker(unsigned tid) {
  std::string bytes(1, '\0');
  bytes.push_back(static_cast<char>(tid >> 8));
  bytes.push_back(static_cast<char>(tid & 0xFF));
  return bytes;
}

std::string Ack(int tid) { return Digits(tid) + "\tack\r\n"; }
std::string Ready(int tid) { return Digits(tid) + "\tready\r\n"; }
std::string Data(int tid, const std::string& text) { return Digits(tid) + "\tdata " + text + "\r\n"; }
std::string Error(int tid, const std::string& text) { return Digits(tid) + "\terror \"" + text + "\"\r\n"; }

ServerHarness::~ServerHarness() {
  server.Stop();
  CloseProcessor();
  for (int& fd : child_ends) CloseFd(&fd);
}

bool ServerHarness::Start(Link link, const std::vector<std::string>& extra_args,
                          const std::vector<std::string>& env) {
  server_port = FreeLoopbackPort();
  std::vector<std::string> argv = {ZORVANE_SERVER_BIN, "-ps=" + std::to_string(server_port)};
  int listen_fd = -1;
  if (link == Link::kTcp) {
    unsigned short processor_port = 0;
    listen_fd = ListenLoopback(&processor_port);
    if (listen_fd < 0) return false;
    argv.push_back("-pc=" + std::to_string(processor_port));
  } else {
    int commands[2];
    int answers[2];
    if (pipe(commands) != 0 || pipe(answers) != 0) return false;
    command_fd = commands[0];
    answer_fd = answers[1];
    child_ends = {commands[1], answers[0]};
    argv.push_back("-pw=" + std::to_string(commands[1]));
    argv.push_back("-pr=" + std::to_string(answers[0]));
  }
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  bool started = server.Start(argv, env, child_ends);
  for (int& fd : child_ends) CloseFd(&fd);
  if (link == Link::kTcp) {
    command_fd = started ? AcceptWithin(listen_fd, 5000) : -1;
    answer_fd = command_fd;
    CloseFd(&listen_fd);
  }
  return started && command_fd >= 0;
}

int ServerHarness::ConnectRaw() { return ConnectLoopback(server_port, 5000); }

int ServerHarness::ConnectClient() {
  int client = ConnectRaw();
  if (client < 0) return -1;
  if (ReadRecord() != "0:open" || !Answer(Marker(0))) {
    close(client);
    return -1;
  }
  std::string ready;
  if (!ReadExactly(client, Ready(0).size(), &ready) || ready != Ready(0)) {
    close(client);
    return -1;
  }
  return client;
}

std::string ServerHarness::ReadRecord(int timeout_ms) {
  std::string id;
  if (!ReadExactly(command_fd, 2, &id, timeout_ms)) return "";
  unsigned tid = static_cast<unsigned char>(id[0]) * 256u + static_cast<unsigned char>(id[1]);
  std::string text = ReadUntil(command_fd, std::string(1, '\0'), timeout_ms);
  if (text.empty() || text.back() != '\0') return "";
  text.pop_back();
  return std::to_string(tid) + ":" + text;
}

bool ServerHarness::Answer(const std::string& bytes) { return WriteAll(answer_fd, bytes); }

void ServerHarness::CloseProcessor() {
  if (answer_fd != command_fd) CloseFd(&answer_fd);
  CloseFd(&command_fd);
  answer_fd = -1;
}

void ServerHarness::CloseAnswers() {
  if (answer_fd != command_fd) {
    CloseFd(&answer_fd);
  } else if (command_fd >= 0) {
    shutdown(command_fd, SHUT_WR);
  }
}

bool ServerHarness::HasLog(const std::string& tag, const std::string& message) const {
  for (const DiagRecord& record : ParseDiagRecords(server.Stderr())) {
    if (record.tag == tag && record.message == message) return true;
  }
  return false;
}

bool ServerHarness::WaitForLog(const std::string& tag, const std::string& message, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 10) {
    if (HasLog(tag, message)) return true;
    usleep(10000);
  }
  return false;
}

RealStack::~RealStack() {
  server.Stop();
  processor.Stop();
  if (spawned_pid > 0) kill(spawned_pid, SIGKILL);  // in case it was never adopted
}

bool RealStack::CanAdoptOrphans() { return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }

bool RealStack::Start(Link link, const std::vector<std::string>& env) {
  server_port = FreeLoopbackPort();
  std::string listen_option = "-ps=" + std::to_string(server_port);
  if (link == Link::kPipes) {
    if (!CanAdoptOrphans()) return false;  // a server that outlives its processor is reaped here
    return processor.Start({ZORVANE_CMDPROC_BIN, "--spawn", ZORVANE_SERVER_BIN, listen_option}, env) &&
           WaitUntil([this] { return (spawned_pid = FindChild(processor.Pid())) > 0; });
  }
  unsigned short processor_port = FreeLoopbackPort();
  if (!processor.Start({ZORVANE_CMDPROC_BIN, "--listen", std::to_string(processor_port)}, env)) return false;
  int probe = ConnectLoopback(processor_port, 5000);  // the processor sees it end and listens again
  if (probe < 0) return false;
  close(probe);
  return server.Start({ZORVANE_SERVER_BIN, listen_option, "-pc=" + std::to_string(processor_port)}, env);
}

int RealStack::Connect() {
  int client = ConnectLoopback(server_port, 5000);
  std::string ready;
  if (client >= 0 && ReadExactly(client, Ready(0).size(), &ready, 5000) && ready == Ready(0)) return client;
  CloseFd(&client);
  return -1;
}

bool RealStack::KillProcessor() {
  processor.Stop(SIGKILL);
  if (spawned_pid < 0) return true;
  if (!WaitUntil([this] { return ParentOf(spawned_pid) == getpid(); })) return false;
  server.Adopt(spawned_pid);
  return true;
}

std::string RealStack::Log() const { return spawned_pid < 0 ? server.Stderr() : processor.Stderr(); }

void ReplyBatch::Add(const std::string& request, const std::vector<std::string>& own_lines,
                     const std::vector<std::string>& relayed_lines) {
  requests += request;
  own.insert(own.end(), own_lines.begin(), own_lines.end());
  relayed.insert(relayed.end(), relayed_lines.begin(), relayed_lines.end());
  for (const std::string& line : own_lines) reply_size += line.size();
  for (const std::string& line : relayed_lines) reply_size += line.size();
}

bool ReplyBatch::Matches(const std::string& received) const {
  size_t position = 0;
  size_t next_own = 0;
  size_t next_relayed = 0;
  auto takes = [&](const std::vector<std::string>& lines, size_t* next) {
    if (*next == lines.size() || received.compare(position, lines[*next].size(), lines[*next]) != 0) return false;
    position += lines[(*next)++].size();
    return true;
  };
  while (position < received.size()) {
    if (!takes(own, &next_own) && !takes(relayed, &next_relayed)) return false;
  }
  return next_own == own.size() && next_relayed == relayed.size();
}
