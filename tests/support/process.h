// Child processes for end-to-end tests: started with a chosen environment
// and inherited descriptors, standard error kept in a file, always stopped.
#ifndef TEST_PROCESS_H
#define TEST_PROCESS_H

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

// Polls `done` every 10 ms until it holds or timeout_ms has passed.
template <typename Condition>
bool WaitUntil(Condition done, int timeout_ms = 5000) {
  for (int waited = 0; waited <= timeout_ms; waited += 10) {
    if (done()) return true;
    usleep(10000);
  }
  return false;
}

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() {
    Stop(SIGKILL, 2000);
    if (!stderr_path.empty()) unlink(stderr_path.c_str());
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // env: "NAME=VALUE" sets, "NAME" alone unsets. keep_fds: descriptors the
  // child inherits; every other descriptor above 2 is closed in the child.
  // Standard input is stdin_fd, or /dev/null when it is -1.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
             const std::vector<int>& keep_fds = {}, int stdin_fd = -1) {
    char path[] = "/tmp/zorvane-test-stderr-XXXXXX";
    int stderr_fd = mkstemp(path);
    if (stderr_fd < 0) return false;
    stderr_path = path;
    pid = fork();
    if (pid == 0) {
      dup2(stderr_fd, STDERR_FILENO);
      dup2(stdin_fd >= 0 ? stdin_fd : open("/dev/null", O_RDWR), STDIN_FILENO);
      for (int fd = 3; fd < 1024; ++fd) {
        if (std::find(keep_fds.begin(), keep_fds.end(), fd) == keep_fds.end()) close(fd);
      }
      for (int fd : keep_fds) fcntl(fd, F_SETFD, 0);
      signal(SIGPIPE, SIG_DFL);
      signal(SIGINT, SIG_DFL);
      for (const std::string& entry : env) {
        size_t equals = entry.find('=');
        if (equals == std::string::npos) {
          unsetenv(entry.c_str());
        } else {
          setenv(entry.substr(0, equals).c_str(), entry.c_str() + equals + 1, 1);
        }
      }
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(stderr_fd);
    return pid > 0;
  }

  bool Running() {
    if (pid <= 0) return false;
    int raw = 0;
    pid_t done = waitpid(pid, &raw, WNOHANG);
    if (done == 0) return true;
    // The status as a shell gives it: exit code, or 128 + signal.
    exit_status = done != pid ? -1 : WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
    pid = -1;
    return false;
  }

  bool WaitExit(int timeout_ms, int* status) {
    if (!WaitUntil([this] { return !Running(); }, timeout_ms)) return false;
    *status = exit_status;
    return true;
  }

  // Sends `signal`, waits, then SIGKILL; returns the status as WaitExit does.
  void Signal(int signal_number) { kill(pid, signal_number); }
  int Stop(int signal_number = 15, int timeout_ms = 5000) {
    if (!Running()) return exit_status;
    kill(pid, signal_number);
    int status = -1;
    if (WaitExit(timeout_ms, &status)) return status;
    kill(pid, SIGKILL);
    WaitExit(5000, &status);
    return status;
  }

  std::string Stderr() const {
    std::ifstream file(stderr_path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  }

  // CPU time the child has used, in ms; -1 if unknown.
  long CpuMs() const {
    clockid_t clock;
    struct timespec used;
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0) return -1;
    return static_cast<long>(used.tv_sec) * 1000 + used.tv_nsec / 1000000;
  }
  // How often the process has gone to sleep waiting: once a wait, in a loop.
  long Waits() const {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string field; status >> field;) {
      if (field == "voluntary_ctxt_switches:" && status >> field) return std::stol(field);
    }
    return -1;
  }

 private:
  pid_t pid = -1;
  int exit_status = -1;
  std::string stderr_path;
};

// Runs a program until it ends (killed after 10 s), without MTRACE_LEVEL: its
// exit status, and its standard error in *log.
inline int RunToExit(const std::vector<std::string>& argv, std::string* log, const std::vector<int>& keep_fds = {}) {
  ChildProcess process;
  int status = -1;
  if (process.Start(argv, {"MTRACE_LEVEL"}, keep_fds) && !process.WaitExit(10000, &status)) status = process.Stop(9);
  *log = process.Stderr();
  return status;
}

#endif
