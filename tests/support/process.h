// Child processes for end-to-end tests: started with a chosen environment
// and inherited descriptors, standard error kept in a file, always stopped.
#ifndef TEST_PROCESS_H
#define TEST_PROCESS_H

#include <sys/types.h>
#include <unistd.h>

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
  // Takes charge of a process that has become this process's child (an
  // orphan adopted by a subreaper); its standard error is not captured here.
  void Adopt(pid_t orphan);

 private:
  pid_t pid = -1;
  int exit_status = -1;
  std::string stderr_path;
};

// Polls `done` every 10 ms until it holds or timeout_ms has passed.
template <typename Condition>
bool WaitUntil(Condition done, int timeout_ms = 5000) {
  for (int waited = 0; waited <= timeout_ms; waited += 10) {
    if (done()) return true;
    usleep(10000);
  }
  return false;
}

// The parent of a process, from /proc; -1 if unknown.
pid_t ParentOf(pid_t pid);
// A child of `parent`, from /proc; -1 if it has none.
pid_t FindChild(pid_t parent);

#endif
