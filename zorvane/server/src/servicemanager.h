// The service manager's protocols, spoken without its library: readiness,
// status, stopping and watchdog pings are datagrams to the unix socket named
// by NOTIFY_SOCKET (a path, or an abstract name after '@'); a listening
// socket comes on descriptor 3 when LISTEN_PID names this process and
// LISTEN_FDS is at least 1. Without the variables nothing is sent and no
// listener is taken.
#ifndef SERVICEMANAGER_H
#define SERVICEMANAGER_H

#include <sys/socket.h>
#include <sys/un.h>

#include <string>

class ServiceManager {
 public:
  static constexpr int kFirstListenFd = 3;

  ServiceManager() = default;
  ~ServiceManager();
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;

  // Opens the notify socket named in the environment: true when it is open.
  // One that is named but cannot be used is logged.
  bool Connect();
  // Sends one state datagram ("READY=1\nSTATUS=..."); without a notify
  // socket it does nothing. Safe in a signal handler.
  void Notify(const char* state) const;
  // Sends "STATUS=" and the text when it differs from the last one sent.
  void NotifyStatus(const std::string& text);
  // Microseconds between the pings the watchdog asks for (half its limit);
  // 0 when no watchdog watches this process.
  long long WatchdogPingInterval() const;
  // The descriptor of the listener handed over, or -1 when there is none.
  int InheritedListener() const;

 private:
  int notify_fd = -1;
  sockaddr_un address{};
  socklen_t address_length = 0;
  std::string last_status;
};

#endif
