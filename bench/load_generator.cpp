// zorvane-bench-load: the benchmark's client. It connects to a port on
// 127.0.0.1, runs one scenario, checks every byte it receives and prints one
// line of results; any mismatch ends it with status 1.
//
//   zorvane-bench-load --port PORT [--watch PID] [--hold N [--hold-foreground]] SCENARIO
//     seq N               N transactions, each sent after the ready of the one before
//     inflight K N        N transactions, K of them in flight at any time
//     bulk COUNT LENGTH   one transaction answered by COUNT lines of LENGTH bytes
//     idle SECONDS        connected, sending nothing
//     connections C N     C connections one after another, each sending N
//                         transactions at once (for fault injection, below)
//   zorvane-bench-load free-ports N    prints N ports that are free on 127.0.0.1
//
// --watch PID adds the CPU time that process and its children used during
// the measurement (cpu_s, from /proc/PID/schedstat). --hold N first opens N
// transactions that stay open (background ones, or foreground ones with
// --hold-foreground).
//
// The connections scenario expects a server under injected failures: a
// connection may end early, or end with the server's error that the command
// processor is not available, and the next one starts. It prints how many
// connections got every reply (exact), ended early (cut_short), got that
// error (told) or got a wrong byte (corrupt, each shown on stderr), and ends
// with status 1 when any was corrupt.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_net.h"
#include "reply_checker.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadSize = 256 * 1024;
constexpr int kSilenceLimitMs = 60000;  // a peer silent this long has failed
// The server's last line to a client when the processor is gone.
const char kProcessorUnavailable[] = "error \"command processor not available\"";

[[noreturn]] void Die(const std::string& message) {
  fprintf(stderr, "zorvane-bench-load: %s\n", message.c_str());
  exit(1);
}

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// CPU time of one process in seconds, user and system, to the nanosecond
// (the scheduler's account; /proc/PID/stat counts whole clock ticks, too
// coarse for a relay's fraction of a microsecond per transaction). -1 when
// it cannot be read.
double OwnCpuSeconds(const std::string& pid) {
  std::ifstream file("/proc/" + pid + "/schedstat");
  double nanoseconds = -1;
  if (!(file >> nanoseconds)) return -1;
  return nanoseconds / 1e9;
}

// CPU seconds of a process and its children: a relay that forks serves each
// connection in a child. -1 when the process cannot be read.
double ProcessCpuSeconds(int pid) {
  if (pid <= 0) return -1;
  const std::string id = std::to_string(pid);
  double seconds = OwnCpuSeconds(id);
  if (seconds < 0) return -1;
  std::ifstream children("/proc/" + id + "/task/" + id + "/children");
  std::string child;
  while (children >> child) seconds += std::max(OwnCpuSeconds(child), 0.0);
  return seconds;
}

struct Options {
  unsigned port = 0;
  int watch_pid = 0;
  unsigned hold = 0;
  bool hold_foreground = false;
  std::string scenario;
  std::vector<unsigned long long> numbers;
};

// What became of one connection of the connections scenario.
enum Outcome { kExact, kCutShort, kTold, kCorrupt, kNumOutcomes };

struct Result {
  size_t transactions = 0;
  uint64_t output_bytes = 0;
  double seconds = 0;
  std::vector<double> latencies_us;
  double cpu_seconds = -1;
};

class Client {
 public:
  explicit Client(const Options& options) : options_(options), buffer_(kReadSize), tid_busy_(ReplyChecker::kNumTids) {}

  void Connect();
  void TolerateFaults();
  Outcome RunPipelined(size_t count, size_t first_serial);
  void WaitForSession();
  void HoldOpen(unsigned count, bool foreground);
  Result RunTransactions(size_t window, size_t total);
  Result RunBulk(uint64_t count, uint64_t length);
  Result StayIdle(double seconds);
  void Disconnect();

 private:
  void Send(const std::string& line);
  unsigned NextFreeTid();
  void SendEcho(unsigned tid, size_t serial);
  void Pump(int timeout_ms);
  void Flush();
  void Read();
  void EndOnFailure(const std::string& what);
  bool Serving() const { return !peer_closed_ && !corrupt_ && !checker_.FinalLineSeen(); }

  const Options& options_;
  int fd_ = -1;
  std::string out_;
  size_t out_offset_ = 0;
  std::vector<char> buffer_;
  ReplyChecker checker_;
  std::vector<char> tid_busy_;
  unsigned first_tid_ = 1;
  unsigned next_tid_ = 1;
  bool peer_closed_ = false;
  bool tolerant_ = false;
  bool corrupt_ = false;
};

void Client::Connect() {
  fd_ = ConnectToLoopback(options_.port);
  if (fd_ < 0) Die("cannot connect to 127.0.0.1:" + std::to_string(options_.port) + ": " + strerror(errno));
  SetNoDelay(fd_);
  SetNonBlocking(fd_);
}

// A connection that ends, or ends with the processor's unavailability, is
// an outcome to count; a wrong byte still is not.
void Client::TolerateFaults() {
  tolerant_ = true;
  checker_.AllowFinalLine(kProcessorUnavailable);
}

// Sends N echoes at once and takes the replies until all are ready or the
// connection ends; then closes it as the protocol asks.
Outcome Client::RunPipelined(size_t count, size_t first_serial) {
  while (!checker_.SessionOpen() && Serving()) Pump(kSilenceLimitMs);
  size_t finished = 0;
  if (Serving()) {
    for (size_t i = 0; i < count; ++i) SendEcho(NextFreeTid(), first_serial + i);
  }
  while (finished < count && Serving()) {
    Pump(kSilenceLimitMs);
    finished += checker_.TakeFinished().size();
  }
  Disconnect();
  if (corrupt_) return kCorrupt;
  if (finished == count) return kExact;
  return checker_.FinalLineSeen() ? kTold : kCutShort;
}

void Client::EndOnFailure(const std::string& what) {
  if (!tolerant_) Die(what);
  peer_closed_ = true;
}

void Client::Send(const std::string& line) { out_ += line; }

void Client::Flush() {
  while (out_offset_ < out_.size()) {
    ssize_t written = send(fd_, out_.data() + out_offset_, out_.size() - out_offset_, MSG_NOSIGNAL);
    if (written < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      EndOnFailure(std::string("write failed: ") + strerror(errno));
      return;
    }
    out_offset_ += static_cast<size_t>(written);
  }
  out_.clear();
  out_offset_ = 0;
}

void Client::Read() {
  ssize_t got = read(fd_, buffer_.data(), buffer_.size());
  if (got < 0) {
    if (errno == EAGAIN || errno == EINTR) return;
    EndOnFailure(std::string("read failed: ") + strerror(errno));
    return;
  }
  if (got == 0) {
    peer_closed_ = true;
    return;
  }
  // After a wrong byte the rest is only read, until the server closes.
  if (corrupt_ || checker_.Consume(buffer_.data(), static_cast<size_t>(got))) return;
  if (!tolerant_) Die("MISMATCH: " + checker_.Error());
  fprintf(stderr, "zorvane-bench-load: MISMATCH: %s\n", checker_.Error().c_str());
  corrupt_ = true;
}

// Writes what is queued, waits for the socket and reads once.
void Client::Pump(int timeout_ms) {
  Flush();
  short events = static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT));
  struct pollfd entry = {fd_, events, 0};
  int ready = poll(&entry, 1, timeout_ms);
  if (ready < 0 && errno != EINTR) Die(std::string("poll failed: ") + strerror(errno));
  if (ready == 0 && timeout_ms == kSilenceLimitMs) Die("no answer for 60 seconds");
  if (ready > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR))) Read();
}

void Client::WaitForSession() {
  while (!checker_.SessionOpen() && !peer_closed_) Pump(kSilenceLimitMs);
  if (peer_closed_) Die("connection closed before the session opened");
}

void Client::HoldOpen(unsigned count, bool foreground) {
  for (unsigned tid = 1; tid <= count; ++tid) {
    checker_.ExpectHeldOpen(tid);
    tid_busy_[tid] = 1;
    Send(std::to_string(tid) + (foreground ? " hold\n" : " autoinfo\n"));
  }
  first_tid_ = next_tid_ = count + 1;
  while (checker_.Acks() < count && !peer_closed_) Pump(kSilenceLimitMs);
  if (peer_closed_) Die("connection closed while opening held transactions");
}

unsigned Client::NextFreeTid() {
  for (unsigned tries = 0; tries < ReplyChecker::kNumTids; ++tries) {
    unsigned tid = next_tid_;
    next_tid_ = next_tid_ + 1 >= ReplyChecker::kNumTids ? first_tid_ : next_tid_ + 1;
    if (!tid_busy_[tid]) return tid;
  }
  Die("no free transaction id");
}

void Client::SendEcho(unsigned tid, size_t serial) {
  char text[32];
  snprintf(text, sizeof(text), "t%04u-%08zu", tid, serial % 100000000);
  checker_.ExpectEcho(tid, text);
  tid_busy_[tid] = 1;
  Send(std::to_string(tid) + " echo " + text + "\n");
}

Result Client::RunTransactions(size_t window, size_t total) {
  if (window == 0 || window > ReplyChecker::kNumTids - first_tid_) Die("window out of range");
  Result result;
  result.latencies_us.reserve(total);
  std::vector<Clock::time_point> sent_at(ReplyChecker::kNumTids);
  double cpu_before = ProcessCpuSeconds(options_.watch_pid);
  Clock::time_point start = Clock::now();
  size_t sent = 0;
  size_t in_flight = 0;
  while (result.transactions < total) {
    for (; in_flight < window && sent < total; ++sent, ++in_flight) {
      unsigned tid = NextFreeTid();
      SendEcho(tid, sent);
      sent_at[tid] = Clock::now();
    }
    Pump(kSilenceLimitMs);
    if (peer_closed_) Die("connection closed during the transactions");
    Clock::time_point now = Clock::now();
    for (unsigned tid : checker_.TakeFinished()) {
      result.latencies_us.push_back(std::chrono::duration<double, std::micro>(now - sent_at[tid]).count());
      tid_busy_[tid] = 0;
      --in_flight;
      ++result.transactions;
    }
  }
  result.seconds = SecondsSince(start);
  if (cpu_before >= 0) result.cpu_seconds = ProcessCpuSeconds(options_.watch_pid) - cpu_before;
  return result;
}

Result Client::RunBulk(uint64_t count, uint64_t length) {
  Result result;
  unsigned tid = NextFreeTid();
  checker_.ExpectBulk(tid, count, length);
  double cpu_before = ProcessCpuSeconds(options_.watch_pid);
  Clock::time_point start = Clock::now();
  Send(std::to_string(tid) + " bulk " + std::to_string(count) + " " + std::to_string(length) + "\n");
  while (result.transactions == 0) {
    Pump(kSilenceLimitMs);
    if (peer_closed_) Die("connection closed during the bulk output");
    result.transactions = checker_.TakeFinished().size();
  }
  result.seconds = SecondsSince(start);
  result.output_bytes = count * length;
  result.latencies_us.push_back(result.seconds * 1e6);
  if (cpu_before >= 0) result.cpu_seconds = ProcessCpuSeconds(options_.watch_pid) - cpu_before;
  return result;
}

Result Client::StayIdle(double seconds) {
  Result result;
  double cpu_before = ProcessCpuSeconds(options_.watch_pid);
  Clock::time_point start = Clock::now();
  while (SecondsSince(start) < seconds && !peer_closed_) {
    Pump(static_cast<int>(std::max(1.0, (seconds - SecondsSince(start)) * 1000.0)));
  }
  if (peer_closed_) Die("connection closed while idle");
  result.seconds = SecondsSince(start);
  if (cpu_before >= 0) result.cpu_seconds = ProcessCpuSeconds(options_.watch_pid) - cpu_before;
  return result;
}

// "." ends the connection; nothing may come after it but the close.
void Client::Disconnect() {
  Send(".\n");
  while (!peer_closed_) Pump(kSilenceLimitMs);
  close(fd_);
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}

void PrintResult(const Options& options, const Result& result) {
  printf("scenario=%s tx=%zu seconds=%.6f tps=%.1f p50_us=%.1f p99_us=%.1f bytes=%llu mbps=%.2f", options.scenario.c_str(),
         result.transactions, result.seconds, result.seconds > 0 ? result.transactions / result.seconds : 0.0,
         Percentile(result.latencies_us, 0.50), Percentile(result.latencies_us, 0.99),
         static_cast<unsigned long long>(result.output_bytes),
         result.seconds > 0 ? static_cast<double>(result.output_bytes) / 1e6 / result.seconds : 0.0);
  if (result.cpu_seconds >= 0) printf(" cpu_s=%.6f", result.cpu_seconds);
  printf("\n");
}

void PrintFreePorts(unsigned count) {
  std::vector<int> listeners;
  for (unsigned i = 0; i < count; ++i) {
    int fd = ListenOnLoopback(0);
    if (fd < 0) Die("no free port");
    listeners.push_back(fd);
    printf(i == 0 ? "%u" : " %u", BoundPort(fd));
  }
  printf("\n");
  for (int fd : listeners) close(fd);
}

[[noreturn]] void Usage() {
  fprintf(stderr,
          "usage: zorvane-bench-load --port PORT [--watch PID] [--hold N [--hold-foreground]] "
          "seq N | inflight K N | bulk COUNT LENGTH | idle SECONDS | connections C N\n"
          "       zorvane-bench-load free-ports N\n");
  exit(2);
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    std::string option = argv[i];
    if (option == "--hold-foreground") {
      options.hold_foreground = true;
      continue;
    }
    if (i + 1 >= argc) Usage();
    unsigned long value = strtoul(argv[++i], nullptr, 10);
    if (option == "--port") {
      options.port = static_cast<unsigned>(value);
    } else if (option == "--watch") {
      options.watch_pid = static_cast<int>(value);
    } else if (option == "--hold") {
      options.hold = static_cast<unsigned>(value);
    } else {
      Usage();
    }
  }
  if (i >= argc) Usage();
  options.scenario = argv[i++];
  for (; i < argc; ++i) options.numbers.push_back(strtoull(argv[i], nullptr, 10));
  return options;
}

size_t NumbersFor(const std::string& scenario) {
  if (scenario == "seq" || scenario == "idle" || scenario == "free-ports") return 1;
  if (scenario == "inflight" || scenario == "bulk" || scenario == "connections") return 2;
  Usage();
}

// Each connection is a client of its own; its echo texts carry serials
// never used before, so that a reply of an earlier connection is told apart.
int RunConnections(const Options& options) {
  size_t counts[kNumOutcomes] = {};
  const size_t connections = options.numbers[0];
  const size_t per_connection = options.numbers[1];
  if (per_connection == 0 || per_connection >= ReplyChecker::kNumTids) Usage();
  for (size_t i = 0; i < connections; ++i) {
    Client client(options);
    client.TolerateFaults();
    client.Connect();
    ++counts[client.RunPipelined(per_connection, i * per_connection)];
  }
  printf("scenario=connections connections=%zu exact=%zu cut_short=%zu told=%zu corrupt=%zu\n", connections,
         counts[kExact], counts[kCutShort], counts[kTold], counts[kCorrupt]);
  return counts[kCorrupt] == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = ParseOptions(argc, argv);
  if (options.numbers.size() != NumbersFor(options.scenario)) Usage();
  if (options.scenario == "free-ports") {
    PrintFreePorts(static_cast<unsigned>(options.numbers[0]));
    return 0;
  }
  if (options.port == 0 || options.hold >= ReplyChecker::kNumTids - 1) Usage();
  if (options.scenario == "connections") return RunConnections(options);
  Client client(options);
  client.Connect();
  client.WaitForSession();
  if (options.hold > 0) client.HoldOpen(options.hold, options.hold_foreground);
  Result result;
  if (options.scenario == "seq") {
    result = client.RunTransactions(1, options.numbers[0]);
  } else if (options.scenario == "inflight") {
    result = client.RunTransactions(options.numbers[0], options.numbers[1]);
  } else if (options.scenario == "bulk") {
    result = client.RunBulk(options.numbers[0], options.numbers[1]);
  } else {
    result = client.StayIdle(static_cast<double>(options.numbers[0]));
  }
  client.Disconnect();
  PrintResult(options, result);
  return 0;
}
