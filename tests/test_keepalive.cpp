#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "diag_capture.h"
#include "mzorvanetcpsocket.h"
#include "net.h"
#include "server_harness.h"

namespace {

int SocketOption(int fd, int level, int option) {
  int value = -1;
  socklen_t length = sizeof(value);
  if (getsockopt(fd, level, option, &value, &length) != 0) return -1;
  return value;
}

TEST(KeepAlive, AnAcceptedConnectionCarriesTheListenersKeepAliveTiming) {
  DiagCapture diag;
  MZorvaneTCPSocket endpoint;
  unsigned short port = FreeLoopbackPort();
  ASSERT_TRUE(endpoint.CreateSocket(port));
  int client = ConnectLoopback(port);
  ASSERT_GE(client, 0);
  ASSERT_TRUE(WaitReadable(endpoint.GetSocketFD(), 3000));
  ASSERT_TRUE(endpoint.OpenConnection());

  const int connection = endpoint.GetConnectionFD();
  EXPECT_EQ(SocketOption(connection, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(SocketOption(connection, IPPROTO_TCP, TCP_KEEPIDLE), 30);
  EXPECT_EQ(SocketOption(connection, IPPROTO_TCP, TCP_KEEPINTVL), 10);
  EXPECT_EQ(SocketOption(connection, IPPROTO_TCP, TCP_KEEPCNT), 3);
  EXPECT_TRUE(diag.Messages("E").empty());
  CloseFd(&client);
}

// ---------------------------------------------------------------------------
// A client that vanishes without a FIN or RST, shown with two network
// namespaces joined by a veth pair: the server's, which the test enters, and
// the client's, whose link is taken down under the connected client.

const char kServerAddress[] = "169.254.73.1";
const char kClientAddress[] = "169.254.73.2";
// Idle 30 s plus three unanswered probes 10 s apart, with room to spare.
constexpr int kDetectionBoundMs = 100000;

bool SlowTestsWanted() {
  const char* wanted = getenv("ZORVANE_SLOW_TESTS");
  return wanted != nullptr && std::string(wanted) == "1";
}

bool Shell(const std::string& command) { return system((command + " >/dev/null 2>&1").c_str()) == 0; }

bool CanCreateNetworkNamespaces() {
  if (!Shell("ip -V")) return false;
  pid_t child = fork();
  if (child == 0) _exit(unshare(CLONE_NEWNET) == 0 ? 0 : 1);
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class NamespacePair {
 public:
  NamespacePair()
      : server_side("zorvane-ka-srv-" + std::to_string(getpid())),
        client_side("zorvane-ka-cli-" + std::to_string(getpid())),
        original(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC)) {}

  ~NamespacePair() {
    if (original >= 0) setns(original, CLONE_NEWNET);
    CloseFd(&original);
    Shell("ip netns delete " + server_side);
    Shell("ip netns delete " + client_side);
  }

  bool Create() {
    const std::string in_server = "ip -n " + server_side + " ";
    const std::string in_client = "ip -n " + client_side + " ";
    return original >= 0 && Shell("ip netns add " + server_side) && Shell("ip netns add " + client_side) &&
           Shell("ip link add zka-srv netns " + server_side + " type veth peer name zka-cli netns " + client_side) &&
           Shell(in_server + "addr add " + kServerAddress + "/30 dev zka-srv") &&
           Shell(in_client + "addr add " + kClientAddress + "/30 dev zka-cli") &&
           Shell(in_server + "link set lo up") && Shell(in_server + "link set zka-srv up") &&
           Shell(in_client + "link set zka-cli up");
  }

  bool EnterServerSide() { return Enter(server_side); }
  bool EnterClientSide() { return Enter(client_side); }
  bool CutClientLink() { return Shell("ip -n " + client_side + " link set zka-cli down"); }

 private:
  static bool Enter(const std::string& name) {
    int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    bool entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    CloseFd(&fd);
    return entered;
  }

  std::string server_side;
  std::string client_side;
  int original;
};

int ConnectToServerAddress(unsigned short port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, kServerAddress, &address.sin_addr);
  for (int attempt = 0; attempt < 50; ++attempt) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
    CloseFd(&fd);
    usleep(100000);
  }
  return -1;
}

TEST(KeepAliveSlow, AVanishedClientFreesTheSlotForTheNextClient) {
  if (!SlowTestsWanted()) GTEST_SKIP() << "slow: runs with ZORVANE_SLOW_TESTS=1";
  if (!CanCreateNetworkNamespaces()) GTEST_SKIP() << "needs the right to create network namespaces";
  NamespacePair net;
  ASSERT_TRUE(net.Create());
  ASSERT_TRUE(net.EnterServerSide());
  ServerHarness server;
  ASSERT_TRUE(server.Start(Link::kPipes));

  ASSERT_TRUE(net.EnterClientSide());
  int vanishing = ConnectToServerAddress(server.ServerPort());
  ASSERT_TRUE(net.EnterServerSide());
  ASSERT_GE(vanishing, 0);
  ASSERT_EQ(server.ReadRecord(), "0:open");
  ASSERT_TRUE(server.Answer(Marker(0)));
  std::string ready;
  ASSERT_TRUE(ReadExactly(vanishing, Ready(0).size(), &ready));
  ASSERT_EQ(ready, Ready(0));

  ASSERT_TRUE(net.CutClientLink());
  EXPECT_EQ(server.ReadRecord(kDetectionBoundMs), "0:close");
  ASSERT_TRUE(server.Answer(Marker(0)));
  EXPECT_TRUE(server.HasLog("E", "fill_read_buffer(): read() failed: Connection timed out")) << server.Process().Stderr();
  int next = server.ConnectClient();
  EXPECT_GE(next, 0);
  CloseFd(&next);
  CloseFd(&vanishing);
}

}  // namespace
