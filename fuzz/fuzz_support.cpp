#include "fuzz_support.h"

#include <fcntl.h>
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

// ---- the server fixture ----

namespace {

void SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  FUZZ_REQUIRE(flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0);
}

}  // namespace

ServerFixture& TheServerFixture() {
  static ServerFixture* fixture = [] {
    _MTrace_SetLevel("default", 0);
    ServerFixture* created = new ServerFixture;
    int commands[2];
    int connection[2];
    FUZZ_REQUIRE(pipe(commands) == 0 && socketpair(AF_UNIX, SOCK_STREAM, 0, connection) == 0);
    for (int fd : {commands[0], commands[1], connection[0], connection[1]}) SetNonBlocking(fd);
    created->probe.CmdClient().SetWriterPipeId(commands[1]);
    created->probe.CmdClient().SetReaderPipeId(commands[0]);  // never read: answers are handed over
    FUZZ_REQUIRE(created->probe.CmdClient().GetWriterFD() == commands[1]);
    created->commands_read_end = commands[0];
    created->probe.AttachClient(connection[0]);
    created->client_end = connection[1];
    return created;
  }();
  return *fixture;
}

std::string ServerFixture::ReadClient(size_t count) {
  std::string bytes(count, '\0');
  if (count == 0) return bytes;
  ssize_t got = recv(client_end, &bytes[0], count, MSG_DONTWAIT);
  FUZZ_REQUIRE(got == static_cast<ssize_t>(count));
  return bytes;
}

bool ServerFixture::ClientQuiet() {
  char byte;
  return recv(client_end, &byte, 1, MSG_DONTWAIT) == -1 && errno == EAGAIN;
}

void ServerFixture::EndInput() {
  probe.TakeClientQueue();
  probe.CmdClient().ReadBuffer().clear();
  probe.StartConnection();
  diag.Clear();
  _MTrace_SetLevel("default", 0);
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

bool IsReplyLine(const std::string& line) {
  const size_t kFieldLength = 5;  // four digits and a TAB
  if (line.size() < kFieldLength + 2 || line[4] != '\t' || line.compare(line.size() - 2, 2, "\r\n") != 0) return false;
  for (size_t i = 0; i < 4; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
  }
  std::string body = line.substr(kFieldLength, line.size() - kFieldLength - 2);
  if (body.find_first_of("\r\n") != std::string::npos) return false;
  if (body == "ack" || body == "ready" || body.compare(0, 5, "data ") == 0) return true;
  return body.compare(0, 7, "error \"") == 0 && body.size() >= 8 && body.back() == '"';
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
  return std::string{static_cast<char>((tid >> 8) & 0xFF), static_cast<char>(tid & 0xFF)} + text + '\0';
}

bool SplitWireRecords(const std::string& bytes, std::vector<MZorvaneCmdCommand>* records) {
  size_t start = 0;
  while (start < bytes.size()) {
    size_t terminator = bytes.size() - start < 3 ? std::string::npos : bytes.find('\0', start + 2);
    if (terminator == std::string::npos) return false;
    unsigned id = static_cast<unsigned char>(bytes[start]) * 256u + static_cast<unsigned char>(bytes[start + 1]);
    records->push_back(
        MZorvaneCmdCommand(static_cast<short>(id), bytes.substr(start + 2, terminator - start - 2)));
    start = terminator + 1;
  }
  return true;
}
