// Child processes for end-to-end tests: started with a chosen environment
// and inherited descriptors, standard error kept in a file, always stopped.
#ifndef TEST_PROCESS_H
#define TEST_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // env: "NAME=VALUE" sets, "NAME" alone unsets. keep_fds: descriptors the
  // child inherits; every other descriptor above 2 is closed in the child.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
             const std::vector<int>& keep_fds = {});
  pid_t Pid() const { return pid; }
  bool Running();
  // Waits for the child to end by itself; its status: exit code, or 128 + signal.
  bool WaitExit(int timeout_ms, int* status);
  // Sends `signal`, waits, then SIGKILL; returns the status as WaitExit does.
  int Stop(int signal_number = 15, int timeout_ms = 5000);
  std::string Stderr() const;
  // Sum of user and system time in clock ticks, from /proc; -1 if unknown.
  long CpuTicks() const;
  // A field of /proc/PID/status in kB (VmRSS, VmHWM); -1 if unknown.
  long StatusKb(const char* field) const;
  // Number of open descriptors, from /proc/PID/fd; -1 if unknown.
  int OpenFdCount() const;

 private:
  pid_t pid = -1;
  int exit_status = -1;
  std::string stderr_path;
};

#endif
