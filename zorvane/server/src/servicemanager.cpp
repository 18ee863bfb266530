#include "servicemanager.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "qdrcore.h"

namespace {

// A whole decimal number above 0 from the environment, or 0.
long long PositiveNumberFromEnv(const char* name) {
  const char* text = getenv(name);
  if (text == nullptr || *text < '0' || *text > '9') return 0;
  char* end = nullptr;
  errno = 0;
  const long long value = strtoll(text, &end, 10);
  return errno == 0 && *end == '\0' && value > 0 ? value : 0;
}

// Variables meant for this process name it: a child that inherited them from
// a process the manager watches must not act on them.
bool MeantForThisProcess(const char* pid_name) {
  return getenv(pid_name) == nullptr || PositiveNumberFromEnv(pid_name) == getpid();
}

}  // namespace

ServiceManager::~ServiceManager() {
  if (notify_fd != -1) (void)close(notify_fd);
}

bool ServiceManager::Connect() {
  const char* name = getenv("NOTIFY_SOCKET");
  if (name == nullptr || *name == '\0') return false;
  const size_t length = strlen(name);
  if ((name[0] != '/' && name[0] != '@') || length >= sizeof(address.sun_path)) {
    MERRLOG("ServiceManager::Connect(): NOTIFY_SOCKET=%.108s is neither a path nor an abstract name", name);
    return false;
  }
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, name, length);
  if (name[0] == '@') address.sun_path[0] = '\0';
  address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '/' ? 1 : 0));
  // Non-blocking: a manager that does not read never holds the server.
  notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (notify_fd == -1) {
    MERRLOG_ERRNO("ServiceManager::Connect(): socket() failed");
    return false;
  }
  return true;
}

void ServiceManager::Notify(const char* state) const {
  if (notify_fd == -1) return;
  (void)sendto(notify_fd, state, strlen(state), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
               address_length);
}

void ServiceManager::NotifyStatus(const std::string& text) {
  if (notify_fd == -1 || text == last_status) return;
  last_status = text;
  Notify(("STATUS=" + text).c_str());
}

long long ServiceManager::WatchdogPingInterval() const {
  if (!MeantForThisProcess("WATCHDOG_PID")) return 0;
  return PositiveNumberFromEnv("WATCHDOG_USEC") / 2;
}

int ServiceManager::InheritedListener() const {
  if (getenv("LISTEN_PID") == nullptr || !MeantForThisProcess("LISTEN_PID")) return -1;
  if (PositiveNumberFromEnv("LISTEN_FDS") < 1) return -1;
  // The server starts nothing, but what it may start one day must not inherit it.
  (void)fcntl(kFirstListenFd, F_SETFD, FD_CLOEXEC);
  return kFirstListenFd;
}
