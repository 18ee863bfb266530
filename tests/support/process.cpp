#include "process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

int StatusOf(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

void ApplyEnv(const std::vector<std::string>& env) {
  for (const std::string& entry : env) {
    size_t equals = entry.find('=');
    if (equals == std::string::npos) {
      unsetenv(entry.c_str());
    } else {
      setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
  }
}

void CloseOtherFds(const std::vector<int>& keep_fds) {
  for (int fd = 3; fd < 1024; ++fd) {
    if (std::find(keep_fds.begin(), keep_fds.end(), fd) == keep_fds.end()) close(fd);
  }
}

}  // namespace

ChildProcess::~ChildProcess() {
  Stop(SIGKILL, 2000);
  if (!stderr_path.empty()) unlink(stderr_path.c_str());
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::vector<int>& keep_fds) {
  char path[] = "/tmp/zorvane-test-stderr-XXXXXX";
  int stderr_fd = mkstemp(path);
  if (stderr_fd < 0) return false;
  stderr_path = path;
  pid = fork();
  if (pid < 0) {
    close(stderr_fd);
    return false;
  }
  if (pid == 0) {
    dup2(stderr_fd, STDERR_FILENO);
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, STDIN_FILENO);
    CloseOtherFds(keep_fds);
    for (int fd : keep_fds) fcntl(fd, F_SETFD, 0);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    ApplyEnv(env);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(stderr_fd);
  return true;
}

bool ChildProcess::Running() {
  if (pid <= 0) return false;
  int raw = 0;
  pid_t done = waitpid(pid, &raw, WNOHANG);
  if (done == 0) return true;
  exit_status = done == pid ? StatusOf(raw) : -1;
  pid = -1;
  return false;
}

bool ChildProcess::WaitExit(int timeout_ms, int* status) {
  for (int waited = 0; waited <= timeout_ms; waited += 10) {
    if (!Running()) {
      *status = exit_status;
      return true;
    }
    usleep(10000);
  }
  return false;
}

int ChildProcess::Stop(int signal_number, int timeout_ms) {
  if (!Running()) return exit_status;
  kill(pid, signal_number);
  int status = -1;
  if (WaitExit(timeout_ms, &status)) return status;
  kill(pid, SIGKILL);
  WaitExit(5000, &status);
  return status;
}

std::string ChildProcess::Stderr() const {
  std::ifstream file(stderr_path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

long ChildProcess::CpuTicks() const {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close_paren + 2));
  std::string field;
  long utime = -1;
  long stime = -1;
  // Fields after the command name start at the state (field 3); utime is 14, stime 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) utime = atol(field.c_str());
    if (index == 15) stime = atol(field.c_str());
  }
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

long ChildProcess::StatusKb(const char* field) const {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  std::string prefix = std::string(field) + ":";
  while (std::getline(file, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) return atol(line.c_str() + prefix.size());
  }
  return -1;
}

void ChildProcess::Adopt(pid_t orphan) {
  pid = orphan;
  exit_status = -1;
}

int ChildProcess::OpenFdCount() const {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

pid_t ParentOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return -1;
  // After the command name: the state (field 3), then the parent (field 4).
  std::istringstream fields(stat.substr(close_paren + 2));
  std::string state;
  long parent = -1;
  fields >> state >> parent;
  return static_cast<pid_t>(parent);
}

pid_t FindChild(pid_t parent) {
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return -1;
  pid_t found = -1;
  while (struct dirent* entry = readdir(dir)) {
    pid_t pid = static_cast<pid_t>(atol(entry->d_name));
    if (pid > 0 && ParentOf(pid) == parent) {
      found = pid;
      break;
    }
  }
  closedir(dir);
  return found;
}
