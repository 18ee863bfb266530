#include "fuzz_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qdrcore.h"

void PropertyViolated(const char* file, int line, const char* property) {
  MQdrCore_ResetSink();
  MERRLOG("property violated at %s:%d: %s", file, line, property);
  abort();
}

// ---- descriptors ----

void SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  FUZZ_REQUIRE(flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0);
}

size_t BytesWaiting(int fd) {
  int count = 0;
  FUZZ_REQUIRE(ioctl(fd, FIONREAD, &count) == 0 && count >= 0);
  return static_cast<size_t>(count);
}

std::string ReadAvailable(int fd) {
  std::string bytes;
  char chunk[65536];
  for (;;) {
    ssize_t count = read(fd, chunk, sizeof(chunk));
    if (count > 0) {
      bytes.append(chunk, static_cast<size_t>(count));
      continue;
    }
    FUZZ_REQUIRE(count == -1 && errno == EAGAIN);
    return bytes;
  }
}

void WriteAll(int fd, const std::string& bytes) {
  ssize_t written = write(fd, bytes.data(), bytes.size());
  FUZZ_REQUIRE(written == static_cast<ssize_t>(bytes.size()));
}

namespace {

unsigned FreeLoopbackPort() {
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  FUZZ_REQUIRE(probe != -1);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  FUZZ_REQUIRE(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0);
  FUZZ_REQUIRE(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0);
  close(probe);
  return ntohs(address.sin_port);
}

int ConnectLoopback(unsigned port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  FUZZ_REQUIRE(fd != -1);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  FUZZ_REQUIRE(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0);
  return fd;
}

void WaitReadable(int fd) {
  pollfd entry = {fd, POLLIN, 0};
  FUZZ_REQUIRE(poll(&entry, 1, 5000) == 1);
}

// Another process may take the free port between the look-up and the bind.
void CreateListener(MZorvaneTCPSocket* socket) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (socket->CreateSocket(FreeLoopbackPort())) return;
  }
  PropertyViolated(__FILE__, __LINE__, "a listener on a free port");
}

unsigned ListenerPort(int listen_fd) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  FUZZ_REQUIRE(getsockname(listen_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0);
  return ntohs(address.sin_port);
}

}  // namespace

int AttachClientConnection(MZorvaneTCPSocket* socket) {
  CreateListener(socket);
  int tcp_client = ConnectLoopback(ListenerPort(socket->GetSocketFD()));
  WaitReadable(socket->GetSocketFD());
  FUZZ_REQUIRE(socket->OpenConnection());
  int pair[2];
  FUZZ_REQUIRE(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
  FUZZ_REQUIRE(dup2(pair[0], socket->GetConnectionFD()) == socket->GetConnectionFD());
  close(pair[0]);
  close(tcp_client);
  SetNonBlocking(socket->GetConnectionFD());
  SetNonBlocking(pair[1]);
  return pair[1];
}

CommandPipes AttachCommandPipes(MZorvaneCmdClient* client) {
  int commands[2];
  int answers[2];
  FUZZ_REQUIRE(pipe(commands) == 0 && pipe(answers) == 0);
  for (int fd : {commands[0], commands[1], answers[0], answers[1]}) SetNonBlocking(fd);
  client->SetWriterPipeId(commands[1]);
  client->SetReaderPipeId(answers[0]);
  FUZZ_REQUIRE(client->GetWriterFD() == commands[1] && client->GetReaderFD() == answers[0]);
  CommandPipes pipes;
  pipes.commands_read_end = commands[0];
  pipes.answers_write_end = answers[1];
  return pipes;
}

namespace {

// Reads `fd` while flushing what is still queued, until nothing is.
template <typename Unwritten, typename Flush>
std::string ReadUntilFlushed(int fd, Unwritten unwritten, Flush flush) {
  std::string bytes = ReadAvailable(fd);
  while (unwritten() != 0) {
    FUZZ_REQUIRE(flush());
    bytes += ReadAvailable(fd);
  }
  return bytes;
}

}  // namespace

std::string CollectClientBytes(MZorvaneTCPSocket* socket, int client_end) {
  return ReadUntilFlushed(
      client_end, [socket] { return socket->GetNumUnwrittenBytes(); }, [socket] { return socket->FlushWriteBuffer(); });
}

std::string CollectCommandBytes(MZorvaneCmdClient* client, int commands_read_end) {
  return ReadUntilFlushed(
      commands_read_end, [client] { return client->GetNumUnwrittenCommands(); },
      [client] { return client->FlushCommandBuffer(); });
}

ServerFixture* NewServerFixture() {
  CaptureDiagnostics();
  _MTrace_SetLevel("default", 0);
  ServerFixture* fixture = new ServerFixture;
  fixture->client_end = AttachClientConnection(&fixture->probe.Socket());
  fixture->pipes = AttachCommandPipes(&fixture->probe.CmdClient());
  return fixture;
}

// ---- transaction table model ----

void TableModel::Add(int tid, const std::string& command, bool background_transaction) {
  (background_transaction ? background : pending).push_back(TableRecord{tid, command});
  states[static_cast<size_t>(tid)] =
      background_transaction ? MZorvaneTCPServer::kTidBackground : MZorvaneTCPServer::kTidPending;
}

void TableModel::Free(int tid) {
  std::vector<TableRecord>& list =
      states[static_cast<size_t>(tid)] == MZorvaneTCPServer::kTidPending ? pending : background;
  for (auto record = list.begin(); record != list.end(); ++record) {
    if (record->tid == tid) {
      list.erase(record);
      break;
    }
  }
  states[static_cast<size_t>(tid)] = MZorvaneTCPServer::kTidFree;
}

namespace {

bool SameRecords(const std::vector<TableRecord>& expected, const MZorvaneTCPServerProbe::CommandList& actual) {
  if (expected.size() != actual.size()) return false;
  auto record = actual.begin();
  for (const TableRecord& wanted : expected) {
    if (record->tid != wanted.tid || record->command != wanted.command) return false;
    ++record;
  }
  return true;
}

}  // namespace

bool TableModel::Matches(MZorvaneTCPServerProbe& probe) const {
  return SameRecords(pending, probe.PendingCommands()) && SameRecords(background, probe.BackgroundCommands()) &&
         memcmp(states.data(), probe.States().data(), states.size()) == 0;
}

// ---- forms ----

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool HasNoLineEnd(const std::string& text, size_t from, size_t count) {
  return text.substr(from, count).find_first_of("\r\n") == std::string::npos;
}

}  // namespace

bool IsReplyLine(const std::string& line) {
  const size_t kFieldLength = 5;  // four digits and a TAB
  if (line.size() < kFieldLength + 2) return false;
  for (size_t i = 0; i < 4; ++i) {
    if (!IsDigit(line[i])) return false;
  }
  if (line[4] != '\t' || !EndsWith(line, "\r\n")) return false;
  std::string body = line.substr(kFieldLength, line.size() - kFieldLength - 2);
  if (body == "ack" || body == "ready") return true;
  if (body.compare(0, 5, "data ") == 0) return HasNoLineEnd(body, 5, std::string::npos);
  if (body.compare(0, 7, "error \"") == 0 && body.size() >= 8 && body.back() == '"') {
    return HasNoLineEnd(body, 7, body.size() - 8);
  }
  return false;
}

bool SplitReplyLines(const std::string& bytes, std::vector<std::string>* lines) {
  size_t start = 0;
  for (size_t end = bytes.find("\r\n"); end != std::string::npos; end = bytes.find("\r\n", start)) {
    lines->push_back(bytes.substr(start, end + 2 - start));
    start = end + 2;
  }
  return start == bytes.size();
}

std::string ReplyLine(int tid, const std::string& body) {
  char field[8];
  snprintf(field, sizeof(field), "%04d\t", tid);
  return field + body + "\r\n";
}

std::string WireRecord(int tid, const std::string& text) {
  std::string record;
  record += static_cast<char>((tid >> 8) & 0xFF);
  record += static_cast<char>(tid & 0xFF);
  record += text;
  record += '\0';
  return record;
}

bool SplitWireRecords(const std::string& bytes, std::vector<MZorvaneCmdCommand>* records) {
  size_t start = 0;
  while (start < bytes.size()) {
    if (bytes.size() - start < 3) return false;
    size_t terminator = bytes.find('\0', start + 2);
    if (terminator == std::string::npos) return false;
    unsigned high = static_cast<unsigned char>(bytes[start]);
    unsigned low = static_cast<unsigned char>(bytes[start + 1]);
    records->push_back(MZorvaneCmdCommand(static_cast<short>((high << 8) | low),
                                          bytes.substr(start + 2, terminator - start - 2)));
    start = terminator + 1;
  }
  return true;
}

// ---- diagnostics ----

namespace {

std::vector<DiagRecord> records;

// A record: date, time, tag, source:line, message, line feed.
void KeepRecord(const char* record, size_t length, void*) {
  std::string text(record, length);
  size_t tag = text.find(' ', text.find(' ') + 1) + 1;
  size_t location = text.find(' ', tag) + 1;
  size_t message = text.find(' ', location) + 1;
  records.push_back(DiagRecord{text.substr(tag, location - tag - 1), text.substr(message, text.size() - message - 1)});
}

}  // namespace

void CaptureDiagnostics() { MQdrCore_SetSink(KeepRecord, nullptr); }

const std::vector<DiagRecord>& CapturedRecords() { return records; }

size_t ErrorCount() {
  size_t count = 0;
  for (const DiagRecord& record : records) count += record.tag == "E" ? 1 : 0;
  return count;
}

std::vector<std::string> ErrorMessages() {
  std::vector<std::string> messages;
  for (const DiagRecord& record : records) {
    if (record.tag == "E") messages.push_back(record.message);
  }
  return messages;
}

void ClearDiagnostics() { records.clear(); }
