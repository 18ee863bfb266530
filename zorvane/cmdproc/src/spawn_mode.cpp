#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "channel.h"
#include "diagnostics.h"
#include "modes.h"

namespace {

constexpr int kExecFailedStatus = 127;
// Given to the server with its pipes: without -s= it logs an error about the
// missing size at every start. The server's own default; a -s= among the
// server arguments comes later and wins.
const char kPipeSizeOption[] = "-s=16384";
constexpr int kSignalStatusBase = 128;

volatile sig_atomic_t server_pid = 0;
// The write end of a pipe that becomes readable when the server has ended.
volatile sig_atomic_t server_exit_fd = -1;

// SIGINT becomes SIGTERM: the server ignores SIGINT, and a Ctrl-C in a terminal
// must still end it.
void TerminateServer(int) {
  int saved = errno;
  if (server_pid > 0) kill(static_cast<pid_t>(server_pid), SIGTERM);
  errno = saved;
}

// SIGHUP is the server's (it reopens its wire trace): passed on, it does
// not end the processor.
void PassHangupOn(int) {
  int saved = errno;
  if (server_pid > 0) kill(static_cast<pid_t>(server_pid), SIGHUP);
  errno = saved;
}

void NoteServerExit(int) {
  int saved = errno;
  char byte = 0;
  ssize_t ignored = write(server_exit_fd, &byte, 1);
  (void)ignored;
  errno = saved;
}

struct Pipes {
  int commands[2] = {-1, -1};     // the server writes [1], we read [0]
  int answers[2] = {-1, -1};      // we write [1], the server reads [0]
  int server_exit[2] = {-1, -1};  // the SIGCHLD handler writes [1], the loop polls [0]
};

bool CreatePipes(Pipes* pipes) {
  return pipe2(pipes->commands, O_CLOEXEC) == 0 && pipe2(pipes->answers, O_CLOEXEC) == 0 &&
         pipe2(pipes->server_exit, O_CLOEXEC | O_NONBLOCK) == 0;
}

void CloseEnd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

void CloseAll(Pipes* pipes) {
  for (int* pair : {pipes->commands, pipes->answers, pipes->server_exit}) {
    CloseEnd(&pair[0]);
    CloseEnd(&pair[1]);
  }
}

bool SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::vector<std::string> ServerArguments(const std::vector<std::string>& command, const Pipes& pipes) {
  std::vector<std::string> arguments = {command[0], "-pw=" + std::to_string(pipes.commands[1]),
                                        "-pr=" + std::to_string(pipes.answers[0]), kPipeSizeOption};
  arguments.insert(arguments.end(), command.begin() + 1, command.end());
  return arguments;
}

// A service manager names the process it started in LISTEN_PID (its
// listening sockets, from descriptor 3 on, which stay open across exec) and
// in WATCHDOG_PID: the processor does not use them, so they name the server.
void HandOverServiceManagerDuties(pid_t processor) {
  for (const char* name : {"LISTEN_PID", "WATCHDOG_PID"}) {
    const char* value = getenv(name);
    if (value != nullptr && value == std::to_string(processor)) setenv(name, std::to_string(getpid()).c_str(), 1);
  }
}

// In the child: hands the server its pipe ends across exec and starts it.
[[noreturn]] void ExecServer(const std::vector<std::string>& arguments, const Pipes& pipes,
                             const sigset_t& original_mask) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  signal(SIGPIPE, SIG_DFL);
  sigprocmask(SIG_SETMASK, &original_mask, nullptr);
  fcntl(pipes.commands[1], F_SETFD, 0);
  fcntl(pipes.answers[0], F_SETFD, 0);
  HandOverServiceManagerDuties(getppid());
  execvp(argv[0], argv.data());
  WarnErrno("cannot run %s", argv[0]);
  _exit(kExecFailedStatus);
}

void InstallHandlers() {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = TerminateServer;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  action.sa_handler = PassHangupOn;
  sigaction(SIGHUP, &action, nullptr);
  action.sa_handler = NoteServerExit;
  action.sa_flags = SA_NOCLDSTOP;
  sigaction(SIGCHLD, &action, nullptr);
}

int ExitStatusOf(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return kSignalStatusBase + WTERMSIG(wait_status);
  return 1;
}

int WaitForServer(pid_t pid) {
  int wait_status = 0;
  while (waitpid(pid, &wait_status, 0) < 0) {
    if (errno != EINTR) {
      WarnErrno("waiting for the server failed");
      return 1;
    }
  }
  return ExitStatusOf(wait_status);
}

}  // namespace

int RunSpawned(const std::vector<std::string>& command) {
  Pipes pipes;
  if (!CreatePipes(&pipes)) {
    WarnErrno("cannot create pipes");
    CloseAll(&pipes);
    return 1;
  }
  std::vector<std::string> arguments = ServerArguments(command, pipes);
  // Blocked until the handlers know the server's pid, so that no signal is lost in between.
  sigset_t handled;
  sigset_t original_mask;
  sigemptyset(&handled);
  sigaddset(&handled, SIGTERM);
  sigaddset(&handled, SIGINT);
  sigaddset(&handled, SIGHUP);
  sigaddset(&handled, SIGCHLD);
  sigprocmask(SIG_BLOCK, &handled, &original_mask);
  pid_t pid = fork();
  if (pid == 0) ExecServer(arguments, pipes, original_mask);
  if (pid < 0) {
    WarnErrno("cannot start %s", command[0].c_str());
    sigprocmask(SIG_SETMASK, &original_mask, nullptr);
    CloseAll(&pipes);
    return 1;
  }
  CloseEnd(&pipes.commands[1]);
  CloseEnd(&pipes.answers[0]);
  server_pid = pid;
  server_exit_fd = pipes.server_exit[1];
  InstallHandlers();
  sigprocmask(SIG_SETMASK, &original_mask, nullptr);

  if (SetNonBlocking(pipes.commands[0]) && SetNonBlocking(pipes.answers[1])) {
    VariableStore variables;
    ServeChannel(pipes.commands[0], pipes.answers[1], &variables, pipes.server_exit[0]);
  } else {
    WarnErrno("cannot make the pipes non-blocking");
  }
  // Closing our ends first lets a server that is still running see the end of its answers.
  CloseEnd(&pipes.commands[0]);
  CloseEnd(&pipes.answers[1]);
  int status = WaitForServer(pid);
  server_pid = 0;
  CloseAll(&pipes);
  return status;
}
