#include "mzorvanetcpsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "qdrcore.h"
#include "socketoptions.h"
#include "waits.h"
#include "wiretrace.h"

namespace {

constexpr int kListenBacklog = 1;
constexpr size_t kMaxWriteSize = kSocketBufferSize;
constexpr int kLingerSeconds = 1;
// One read takes what a client with many transactions in flight has sent
// (about 650 short requests): reads of 1500 bytes made four times the passes,
// and twice the server's CPU per transaction at 256 in flight.
constexpr size_t kReadChunk = 16384;
// Replies to ordinary requests stay within the small size. Relaying pauses
// past a backlog of 1 MiB; one answer line relayed then adds at most 1 MiB
// more, and the replies to one read of the client some hundred KiB, so the
// large size is not outgrown but by a status listing thousands of open
// transactions; its pages only count once they are used.
constexpr size_t kSmallWriteBuffer = 64 * 1024;
constexpr size_t kLargeWriteBuffer = 2 * 1024 * 1024 + 512 * 1024 + 64 * 1024;
constexpr size_t kWrittenBytesKept = 256 * 1024;

// Spare line strings kept for reuse: enough for the requests of a busy
// client's read, and only short ones, so that a long line's memory is given
// back (lines of up to 15 bytes hold no memory of their own anyway).
constexpr size_t kSpareLinesKept = 1024;
constexpr size_t kSpareLineCapacity = 256;

const char* TextOrEmpty(const char* text) { return text ? text : ""; }

// The first `byte` in [from, end), or end.
const char* FindByte(const char* from, const char* end, char byte) {
  const void* found = memchr(from, byte, static_cast<size_t>(end - from));
  return found ? static_cast<const char*>(found) : end;
}

bool SetLinger(int fd) {
  struct linger linger;
  linger.l_onoff = 1;
  linger.l_linger = kLingerSeconds;
  return setsockopt(fd, SOL_SOCKET, SO_LINGER, &linger, sizeof(linger)) == 0;
}

// MSG_NOSIGNAL: see MQdrCore_WriteWithoutSigpipe. A write offers at most half
// the send buffer: on loopback one segment may carry 64 KiB, and a single
// segment filling the buffer waits for the client's delayed acknowledgement
// (about 40 ms), while two smaller ones are acknowledged at once.
ssize_t SendBytes(int fd, const char* data, size_t count) {
  return send(fd, data, std::min(count, kMaxWriteSize), MSG_NOSIGNAL);
}


// "a.b.c.d:PORT" or "[IPv6]:PORT"; an IPv4 client of a listener on "::"
// comes as a mapped IPv6 address and is shown in its IPv4 form.
std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address.ss_family == AF_INET6) {
    const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(address);
    const unsigned port = ntohs(ipv6.sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&ipv6.sin6_addr)) {
      (void)inet_ntop(AF_INET, &ipv6.sin6_addr.s6_addr[12], text, sizeof(text));  // "?" where it fails
      return std::string(text) + ":" + std::to_string(port);
    }
    (void)inet_ntop(AF_INET6, &ipv6.sin6_addr, text, sizeof(text));
    return "[" + std::string(text) + "]:" + std::to_string(port);
  }
  const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
  (void)inet_ntop(AF_INET, &ipv4.sin_addr, text, sizeof(text));
  return std::string(text) + ":" + std::to_string(ntohs(ipv4.sin_port));
}

// A numeric IPv4 or IPv6 address and a port as a socket address; 0 when the
// text is neither, else the address's length.
socklen_t MakeSocketAddress(const std::string& text, unsigned port, sockaddr_storage* address) {
  memset(address, 0, sizeof(*address));
  auto* ipv4 = reinterpret_cast<sockaddr_in*>(address);
  if (inet_pton(AF_INET, text.c_str(), &ipv4->sin_addr) == 1) {
    ipv4->sin_family = AF_INET;
    ipv4->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof(sockaddr_in);
  }
  auto* ipv6 = reinterpret_cast<sockaddr_in6*>(address);
  if (inet_pton(AF_INET6, text.c_str(), &ipv6->sin6_addr) == 1) {
    ipv6->sin6_family = AF_INET6;
    ipv6->sin6_port = htons(static_cast<uint16_t>(port));
    return sizeof(sockaddr_in6);
  }
  return 0;
}

// The journal names every client by address and port: `outcome` says what
// became of it. *peer gets the client's "ADDRESS:PORT".
int AcceptPeer(int listen_fd, const char* outcome, std::string* peer) {
  sockaddr_storage address;
  socklen_t length = sizeof(address);
  int fd = accept(listen_fd, reinterpret_cast<sockaddr*>(&address), &length);
  if (fd != -1) {
    *peer = AddressText(address);
    MTRACE(2, "%s client %s", outcome, peer->c_str());
  }
  return fd;
}

// Accepted connections inherit these from the listener.
void SetKeepAliveTiming(int fd) {
  struct Timing {
    int option;
    const char* name;
    int value;
  };
  for (const Timing& timing : {Timing{TCP_KEEPIDLE, "TCP_KEEPIDLE", MZorvaneTCPSocket::kKeepAliveIdleSeconds},
                               Timing{TCP_KEEPINTVL, "TCP_KEEPINTVL", MZorvaneTCPSocket::kKeepAliveIntervalSeconds},
                               Timing{TCP_KEEPCNT, "TCP_KEEPCNT", MZorvaneTCPSocket::kKeepAliveProbeCount}}) {
    if (!SetIntOption(fd, IPPROTO_TCP, timing.option, timing.value)) {
      MERRLOG_ERRNO("MZorvaneTCPSocket::CreateSocket(): setsockopt(... ,%s, ...) failed", timing.name);
    }
  }
}

// Keep-alive and address reuse are needed for a usable listener; the rest
// only tunes it, so their failures are logged and set-up goes on.
bool SetListenerOptions(int fd) {
  if (!SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1)) {
    MERRTRACE_ERRNO("MZorvaneTCPSocket::CreateSocket(): setsockopt(... ,SO_KEEPALIVE, ...) failed");
    return false;
  }
  SetKeepAliveTiming(fd);
  if (!SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1)) {
    MERRTRACE_ERRNO("MZorvaneTCPSocket::CreateSocket(): setsockopt(... ,SO_REUSEADDR, ...) failed");
    return false;
  }
  if (!SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1)) {
    MERRLOG_ERRNO("MZorvaneTCPSocket::CreateSocket(): setsockopt(... ,TCP_NODELAY, ...) failed");
  }
  if (!SetIntOption(fd, SOL_SOCKET, SO_SNDBUF, kSocketBufferSize)) {
    MERRLOG_ERRNO("MZorvaneTCPSocket::CreateSocket(): setsockopt(... ,SO_SNDBUF, ...) failed");
  }
  if (!SetLinger(fd)) {
    MERRLOG_ERRNO("MZorvaneTCPSocket::CreateSocket(): setsockopt(... ,SO_LINGER, ...) failed");
  }
  return true;
}

// "SO_SNDVUF" is the established wording of this trace; log readers match on it.
void TraceListenerOptions(int fd) {
  int send_buffer = GetIntOption(fd, SO_SNDBUF);
  int receive_buffer = GetIntOption(fd, SO_RCVBUF);
  int dont_route = GetIntOption(fd, SO_DONTROUTE);
  MTRACE(2, "MZorvaneTCPSocket: SO_SNDVUF = %d, SO_RCVBUF = %d, SO_DONTROUTE = %d", send_buffer, receive_buffer,
         dont_route);
}

// Port 0 means: the port registered for the service, else the default.
unsigned ChoosePort(unsigned port) {
  if (port != 0) return port;
  const servent* entry = getservbyname("zorvane", "tcp");
  if (entry) return ntohs(static_cast<uint16_t>(entry->s_port));
  MTRACE(2, "MZorvaneTCPSocket::CreateSocket(): service \"zorvane\" not registered, using port %u",
         MZorvaneTCPSocket::kDefaultPort);
  return MZorvaneTCPSocket::kDefaultPort;
}

bool IsTcpListener(int fd) {
  const int family = GetIntOption(fd, SO_DOMAIN);
  return FitsFdSet(fd) && (family == AF_INET || family == AF_INET6) && GetIntOption(fd, SO_TYPE) == SOCK_STREAM &&
         GetIntOption(fd, SO_ACCEPTCONN) == 1;
}

// "::" takes both families; any other IPv6 address its own family only,
// whatever the system's default.
bool SetIPv6Only(int fd, const sockaddr_storage& address) {
  if (address.ss_family != AF_INET6) return true;
  const bool any = IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
  if (SetIntOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, any ? 0 : 1)) return true;
  MERRTRACE_ERRNO("MZorvaneTCPSocket::CreateSocket(): setsockopt(... ,IPV6_V6ONLY, ...) failed");
  return false;
}

bool BindAndListen(int fd, const std::string& text, const sockaddr_storage& address, socklen_t length) {
  const unsigned port = ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);  // where both families keep it
  if (!SetIPv6Only(fd, address)) return false;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    MERRTRACE_ERRNO("MZorvaneTCPSocket::CreateSocket(): bind(%s,%u) failed", text.c_str(), port);
    return false;
  }
  if (listen(fd, kListenBacklog) != 0) {
    MERRTRACE_ERRNO("MZorvaneTCPSocket::CreateSocket(): listen(%s,%u) failed", text.c_str(), port);
    return false;
  }
  return true;
}

constexpr size_t kReplyStartLength = 5;

// "00" to "99", for writing the four digits as two pairs.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The four digits of a transaction id and the TAB that start every reply line.
// Ids outside 0..9999, which callers never pass, keep the digit-by-digit form.
void WriteReplyStart(int tid, char* start) {
  start[4] = '\t';
  if (tid >= 0 && tid <= 9999) {
    memcpy(start, kDigitPairs + 2 * (tid / 100), 2);
    memcpy(start + 2, kDigitPairs + 2 * (tid % 100), 2);
    return;
  }
  start[0] = static_cast<char>('0' + tid / 1000);
  start[1] = static_cast<char>('0' + (tid % 1000) / 100);
  start[2] = static_cast<char>('0' + (tid % 100) / 10);
  start[3] = static_cast<char>('0' + tid % 10);
}

}  // namespace

MZorvaneTCPSocket::~MZorvaneTCPSocket() { DestroySocket(); }

bool MZorvaneTCPSocket::CreateSocket(unsigned port) {
  if (port > kHighestPort) {
    MERRTRACE("MZorvaneTCPSocket::CreateSocket(): port %u out of range, highest is 65535", port);
    return false;
  }
  sockaddr_storage address;
  const socklen_t length = MakeSocketAddress(bind_address, ChoosePort(port), &address);
  if (length == 0) {
    MERRTRACE("MZorvaneTCPSocket::CreateSocket(): %s is not a numeric IPv4 or IPv6 address", bind_address.c_str());
    return false;
  }
  // A listener held before would otherwise leak, still bound to its port.
  DestroySocket();
  socket_fd = OpenStreamSocket("MZorvaneTCPSocket::CreateSocket()", address.ss_family);
  if (socket_fd == -1) return false;
  if (!PrepareListener() || !BindAndListen(socket_fd, bind_address, address, length)) {
    DestroySocket();
    return false;
  }
  return true;
}

bool MZorvaneTCPSocket::AdoptListener(int fd) {
  DestroySocket();
  if (!IsTcpListener(fd)) {
    MERRTRACE("MZorvaneTCPSocket::CreateSocket(): descriptor %d from the service manager is not a TCP listener", fd);
    return false;
  }
  socket_fd = fd;
  if (!PrepareListener()) {
    DestroySocket();
    return false;
  }
  return true;
}

// Accepted connections inherit the options from the listener, so that a
// client sees the same whoever opened it.
bool MZorvaneTCPSocket::PrepareListener() {
  if (!SetListenerOptions(socket_fd)) return false;
  TraceListenerOptions(socket_fd);
  if (!SetNonBlocking(socket_fd)) {
    MERRTRACE_ERRNO("MZorvaneTCPSocket::CreateSocket(): fcntl() failed");
    return false;
  }
  return true;
}

std::string MZorvaneTCPSocket::GetListenAddress() const {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  (void)getsockname(socket_fd, reinterpret_cast<sockaddr*>(&address), &length);
  return AddressText(address);
}

void MZorvaneTCPSocket::DestroySocket() {
  if (socket_fd == -1) return;
  if (connection_fd != -1) CloseConnection();
  if (close(socket_fd) != 0) {
    MERRLOG_ERRNO("MZorvaneTCPSocket::DestroySocket(): close() failed");
  }
  socket_fd = -1;
}

bool MZorvaneTCPSocket::OpenConnection() {
  if (connection_fd != -1) CloseConnection();
  connection_fd = accept_client("MZorvaneTCPSocket::OpenConnection(): accepted", &peer_name);
  if (connection_fd == -1) {
    if (errno != EAGAIN) {
      MERRLOG_ERRNO("MZorvaneTCPSocket::OpenConnection(): accept() failed");
    }
    return false;
  }
  if (!FitsFdSet(connection_fd)) {
    MERRLOG("MZorvaneTCPSocket::OpenConnection(): descriptor %d is not below FD_SETSIZE (%d), connection closed",
            connection_fd, FD_SETSIZE);
    CloseConnection();
    return false;
  }
  stream_ended = false;
  if (!SetNonBlocking(connection_fd)) {
    MERRLOG_ERRNO("MZorvaneTCPSocket::OpenConnection(): fcntl() failed");
  }
  return true;
}

// A shortage of descriptors or memory outlasts the call: the pause keeps the
// waiting client from turning the loop into a spin. errno is kept for the caller.
int MZorvaneTCPSocket::accept_client(const char* outcome, std::string* peer) {
  const int fd = AcceptPeer(socket_fd, outcome, peer);
  if (fd == -1 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
    const int error = errno;
    accept_paused_until_us = MonotonicMicroseconds() + kAcceptPauseUs;
    errno = error;
  }
  return fd;
}

bool MZorvaneTCPSocket::accept_pause_goes_on() {
  if (MonotonicMicroseconds() < accept_paused_until_us) return true;
  accept_paused_until_us = 0;
  return false;
}

void MZorvaneTCPSocket::CloseConnection() {
  if (connection_fd != -1) {
    if (close(connection_fd) != 0) {
      MERRLOG_ERRNO("MZorvaneTCPSocket::CloseConnection(): close() failed");
    }
    connection_fd = -1;
  }
  DiscardConnectionBuffers();
}

void MZorvaneTCPSocket::DiscardConnectionBuffers() {
  // Swapping with empty strings gives back the memory of a long line at once.
  if (!read_buffer.empty()) {
    MTRACE(4, "CloseSession(): deleting read_buffer with size %zu", read_buffer.size());
    std::string().swap(read_buffer);
  }
  if (GetNumUnwrittenBytes() != 0) {
    MTRACE(4, "CloseSession(): deleting write_buffer with size %zu", GetNumUnwrittenBytes());
  }
  std::string().swap(write_buffer);
  write_offset = 0;
  if (!read_lines.empty()) {
    MTRACE(4, "CloseSession(): deleting read_lines with size %zu", read_lines.size());
    read_lines.clear();
  }
}

// The refused client gets its line on a blocking descriptor; what becomes of
// the writes and the close does not matter to the client being served.
bool MZorvaneTCPSocket::BlockConnection(const char* text) {
  std::string refused_peer;
  int refused_fd = accept_client("MZorvaneTCPSocket::BlockConnection(): refused", &refused_peer);
  if (refused_fd == -1) {
    MERRLOG_ERRNO("MZorvaneTCPSocket::BlockConnection(): accept() failed");
    return false;
  }
  const char* line = TextOrEmpty(text);
  (void)SendBytes(refused_fd, line, strlen(line));
  (void)SendBytes(refused_fd, "\r\n", 2);
  (void)close(refused_fd);
  return true;
}

bool MZorvaneTCPSocket::FillReadBuffer() {
  char chunk[kReadChunk];
  ssize_t count = read(connection_fd, chunk, sizeof(chunk));
  if (count == -1) {
    if (errno == EAGAIN) return true;
    MERRLOG_ERRNO("fill_read_buffer(): read() failed");
    return false;
  }
  if (count == 0) {
    MERRLOG("fill_read_buffer(): read() returned 0");
    stream_ended = true;
    return false;
  }
  WireRecord(WireHop::kClientToServer, chunk, static_cast<size_t>(count));
  CutLines(chunk, static_cast<size_t>(count));
  if (read_buffer.size() > kMaxUnterminatedLine) {
    MERRLOG("fill_read_buffer(): more than %zu bytes without a line end", kMaxUnterminatedLine);
    return false;
  }
  return true;
}

// Cuts the received bytes into lines where they lie: only the start of a
// line held from before (it has no line end) and the unterminated rest pass
// through read_buffer. The next CR and the next LF are each looked for again
// only once the line end before them has been passed, so memchr reads every
// byte at most once for each of the two.
void MZorvaneTCPSocket::CutLines(const char* data, size_t count) {
  const char* end = data + count;
  const char* start = data;
  const char* next_cr = FindByte(data, end, '\r');
  const char* next_lf = FindByte(data, end, '\n');
  for (;;) {
    const char* line_end = std::min(next_cr, next_lf);
    if (line_end == end) break;
    if (!read_buffer.empty()) {
      read_buffer.append(start, static_cast<size_t>(line_end - start));
      AddReadLine(read_buffer.data(), read_buffer.size());
      read_buffer.clear();
    } else if (line_end > start) {
      AddReadLine(start, static_cast<size_t>(line_end - start));
    }
    start = line_end + 1;
    if (start == end) return;
    if (next_cr < start) next_cr = FindByte(start, end, '\r');
    if (next_lf < start) next_lf = FindByte(start, end, '\n');
  }
  if (start != end) read_buffer.append(start, static_cast<size_t>(end - start));
}

// A new line takes the storage of a spare string when there is one.
void MZorvaneTCPSocket::AddReadLine(const char* data, size_t count) {
  if (spare_lines.empty()) {
    read_lines.emplace_back(data, count);
    return;
  }
  read_lines.push_back(std::move(spare_lines.back()));
  spare_lines.pop_back();
  std::string& line = read_lines.back();
  line.clear();
  line.append(data, count);
}

// Moving the line out leaves it the caller's former storage, kept as a spare.
bool MZorvaneTCPSocket::PopReadLine(std::string* line) {
  if (read_lines.empty()) return false;
  std::string& oldest = read_lines.front();
  *line = std::move(oldest);
  if (spare_lines.size() < kSpareLinesKept && oldest.capacity() <= kSpareLineCapacity) {
    spare_lines.push_back(std::move(oldest));
  }
  read_lines.pop_front();
  return true;
}

// Every write to the served client; what it took goes to the wire trace.
ssize_t MZorvaneTCPSocket::send_to_client(const char* data, size_t count) {
  const ssize_t written = SendBytes(connection_fd, data, count);
  if (written > 0) WireRecord(WireHop::kServerToClient, data, static_cast<size_t>(written));
  return written;
}

// One write of what is queued; a full socket is not a failure. `failure`
// is the caller's text for the error trace.
inline bool MZorvaneTCPSocket::write_queue(const char* failure) {
  errno = 0;
  ssize_t written = send_to_client(write_buffer.data() + write_offset, GetNumUnwrittenBytes());
  if (written > 0) ConsumeWritten(static_cast<size_t>(written));
  if (written >= 0 || errno == EAGAIN) return true;
  MERRTRACE_ERRNO("%s", failure);
  return false;
}

bool MZorvaneTCPSocket::FlushWriteBuffer() { return write_queue("flush_write_buffer(): write() failed"); }

bool MZorvaneTCPSocket::Send(const std::string& text) { return QueueLine(text.data(), text.size()); }

bool MZorvaneTCPSocket::QueueLine(const char* data, size_t count) {
  if (socket_fd == -1) {
    MERRTRACE("MZorvaneTCPSocket::Send(): no socket");
    return false;
  }
  AppendToQueue(data, count);
  return true;
}

// Written bytes are only counted off; they are moved out of the buffer once
// they outnumber the bytes still waiting or pass a quarter of a MiB, so that
// a long backlog is not moved forward after every partial write, nor slides
// through more memory than it needs.
void MZorvaneTCPSocket::ConsumeWritten(size_t count) {
  write_offset += count;
  if (write_offset == write_buffer.size()) {
    write_buffer.clear();
    write_offset = 0;
  } else if (write_offset >= GetNumUnwrittenBytes() || write_offset >= kWrittenBytesKept) {
    write_buffer.erase(0, write_offset);
    write_offset = 0;
  }
}

// Room taken by written bytes is reused before the buffer grows. A backlog
// that outgrows a small buffer gets room for the most that can wait at once
// in one step: doubling step by step would hold the old and the new copy
// together at each step.
void MZorvaneTCPSocket::AppendToQueue(const char* data, size_t count) {
  size_t needed = GetNumUnwrittenBytes() + count;
  if (needed > write_buffer.capacity() - write_offset) {
    write_buffer.erase(0, write_offset);
    write_offset = 0;
    if (needed > write_buffer.capacity() && needed > kSmallWriteBuffer) {
      write_buffer.reserve(std::max(needed, kLargeWriteBuffer));
    }
  }
  write_buffer.append(data, count);
}

// Writes at once only when nothing is queued, so that the order of the calls
// stays the order of the bytes on the wire.
bool MZorvaneTCPSocket::BulkSend(const char* data, unsigned count) {
  if (GetNumUnwrittenBytes() != 0) {
    AppendToQueue(data, count);
    return true;
  }
  return WriteDirectly(data, count);
}

bool MZorvaneTCPSocket::WriteDirectly(const char* data, size_t count) {
  errno = 0;
  ssize_t written = send_to_client(data, count);
  if (written >= 0) {
    // Also after a write of 0 bytes: what was not written is kept, never dropped.
    AppendToQueue(data + written, count - static_cast<size_t>(written));
    return true;
  }
  int error = errno;
  AppendToQueue(data, count);
  if (error == EAGAIN) return true;
  MERRTRACE_ERRNUM(error, "MZorvaneTCPSocket::BulkSend(): write() failed");
  return false;
}

void MZorvaneTCPSocket::QueueBulk(const char* data, size_t count) { AppendToQueue(data, count); }

bool MZorvaneTCPSocket::WriteQueuedBulk() { return write_queue("MZorvaneTCPSocket::BulkSend(): write() failed"); }

// These two lines are built on the stack: they are sent for every transaction.
bool MZorvaneTCPSocket::SendAck(int tid) {
  char line[] = "0000\tack\r\n";
  WriteReplyStart(tid, line);
  if (QueueLine(line, sizeof(line) - 1)) return true;
  MERRTRACE("MZorvaneTCPSocket::SendAck(): Send() failed");
  return false;
}

bool MZorvaneTCPSocket::SendReady(int tid) {
  char line[] = "0000\tready\r\n";
  WriteReplyStart(tid, line);
  if (QueueLine(line, sizeof(line) - 1)) return true;
  MERRTRACE("MZorvaneTCPSocket::SendReady(): Send() failed");
  return false;
}

// Data and error lines carry texts of any length: built in one reused string.
bool MZorvaneTCPSocket::QueueReply(int tid, const char* kind, const char* text, const char* end) {
  reply_line.resize(kReplyStartLength);
  WriteReplyStart(tid, &reply_line[0]);
  reply_line.append(kind).append(TextOrEmpty(text)).append(end);
  return QueueLine(reply_line.data(), reply_line.size());
}

bool MZorvaneTCPSocket::SendData(int tid, const char* text) {
  if (QueueReply(tid, "data ", text, "\r\n")) return true;
  MERRTRACE("MZorvaneTCPSocket::SendData(): Send() failed");
  return false;
}

bool MZorvaneTCPSocket::SendError(int tid, const char* text) {
  if (QueueReply(tid, "error \"", text, "\"\r\n")) return true;
  MERRTRACE("MZorvaneTCPSocket::SendError(): Send() failed");
  return false;
}
