#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag_capture.h"
#include "qdrcore.h"

void PropertyViolated(const char* file, int line, const char* property) {
  MQdrCore_ResetSink();
  MERRLOG("property violated at %s:%d: %s", file, line, property);
  abort();
}

ServerFixture& TheServerFixture(bool open_session) {
  static ServerFixture* fixture = [] {
    _MTrace_SetLevel("default", 0);
    ServerFixture* created = new ServerFixture;
    int commands[2], connection[2];
    FUZZ_REQUIRE(pipe2(commands, O_NONBLOCK) == 0 &&
                 socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, connection) == 0);
    created->probe.CmdClient().SetWriterPipeId(commands[1]);
    created->probe.CmdClient().SetReaderPipeId(commands[0]);  // never read: answers are handed over
    created->commands_read_end = commands[0];
    created->probe.AttachClient(connection[0]);
    created->client_end = connection[1];
    return created;
  }();
  if (open_session && !fixture->probe.CmdClient().IsSessionOpen()) fixture->OpenSession();
  return *fixture;
}

void ErrorRecords::Sink(const char* record, size_t length, void* user) {
  ErrorRecords* records = static_cast<ErrorRecords*>(user);
  if (length < kRecordStampLength + 2 || memcmp(record + kRecordStampLength, "E ", 2) != 0) return;
  ++records->count;
  records->last.assign(record, length);
}

bool ServerFixture::Errors(size_t count, const char* message) const {
  return errors.Count() == count &&
         (message == nullptr || count == 0 || errors.Last().find(message) != std::string::npos);
}

void ServerFixture::OpenSession() {
  FUZZ_REQUIRE(probe.CmdClient().OpenSession() == 1);
  char written[16];
  FUZZ_REQUIRE(read(commands_read_end, written, sizeof(written)) == 7 && memcmp(written, "\0\0open\0", 7) == 0);
}

void ServerFixture::EndInput() {
  probe.DropClientQueue();
  probe.CmdClient().ReadBuffer().clear();
  probe.StartConnection();
  errors.Clear();
  _MTrace_SetLevel("default", 0);
}

void TableModel::Clear() {  // only listed tids are taken: cheaper than filling every state
  for (std::vector<MZorvaneCmdCommand>& list : lists) {
    for (const MZorvaneCmdCommand& record : list) states[static_cast<size_t>(record.tid)] = MZorvaneTCPServer::kTidFree;
    list.clear();
  }
}

void TableModel::Add(int tid, const std::string& command, bool background) {
  lists[background].emplace_back(static_cast<short>(tid), command);
  states[static_cast<size_t>(tid)] = background ? MZorvaneTCPServer::kTidBackground : MZorvaneTCPServer::kTidPending;
}

void TableModel::Free(int tid) {
  std::vector<MZorvaneCmdCommand>& list = lists[states[static_cast<size_t>(tid)] == MZorvaneTCPServer::kTidBackground];
  auto has_tid = [tid](const MZorvaneCmdCommand& record) { return record.tid == tid; };
  list.erase(std::find_if(list.begin(), list.end(), has_tid));
  states[static_cast<size_t>(tid)] = MZorvaneTCPServer::kTidFree;
}

bool TableModel::Matches(MZorvaneTCPServerProbe& probe, bool whole) const {
  auto same = [](const MZorvaneCmdCommand& a, const MZorvaneCmdCommand& b) {
    return a.tid == b.tid && a.command == b.command;
  };
  for (bool background : {false, true}) {
    const std::list<MZorvaneCmdCommand>& actual = probe.Commands(background);
    if (actual.size() != lists[background].size()) return false;
    if (whole && !std::equal(actual.begin(), actual.end(), lists[background].begin(), same)) return false;
  }
  return !whole || probe.States() == states;
}
