// Fuzz target: the client's bytes, in chunks the input chooses, through the
// line cutter into the request interpreter; each line is checked against a
// model of the request grammar: the replies queued for the client, the wire
// record queued for the command processor, the result, the error log and the
// transaction table. No descriptor is touched per line.
//
// Input: the last byte holds flags (bit 0: no command-processor session,
// bit 1: trace level 5); then, taken from the back, the length of each chunk
// (1 to 256) whose bytes are taken from the front.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "qdrcore.h"

namespace {

constexpr int kHighestTid = MZorvaneTCPServer::kNumTids - 1;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
size_t RunEnd(const std::string& text, size_t from, bool (*in_run)(char)) {
  return std::find_if_not(text.begin() + static_cast<long>(from), text.end(), in_run) - text.begin();
}
// The digits from `from` to `end` as a number; above 9999 counts as 10000.
int DigitsValue(const std::string& text, size_t from, size_t end) {
  int value = 0;
  for (; from < end; ++from) value = std::min(value * 10 + (text[from] - '0'), kHighestTid + 1);
  return value;
}
bool StartsWith(const std::string& text, size_t from, const char* prefix) {
  return text.compare(from, strlen(prefix), prefix) == 0;
}

// The request grammar over a transaction table of its own.
struct RequestModel {
  bool session_open = true, result = true, send_failed = false;
  std::string line, replies, wire;
  TableModel table;

  void Handle(const std::string& received) {
    line.assign(received, 0, received.find('\0'));
    result = true;
    send_failed = false;
    replies.clear();
    wire.clear();
    size_t id_end = RunEnd(line, 0, IsDigit);
    int tid = DigitsValue(line, 0, id_end);
    if (line[0] == '.') {
      result = false;
    } else if (line[0] == '\t') {
      StatusReport(0);
    } else if (id_end == 0 || tid < 1 || tid > kHighestTid || !table.IsFree(tid)) {
      AppendReply(&replies, 0, "error \"transaction: t-id ", id_end == 0 ? "missing" : "invalid", "\"");
    } else if (id_end == line.size() || !IsBlank(line[id_end])) {
      AppendReply(&replies, tid, "error \"syntax invalid\"");
    } else {
      AppendReply(&replies, tid, "ack");
      Command(tid, RunEnd(line, id_end, IsBlank));
    }
  }

  void Command(int tid, size_t word) {
    size_t word_end = RunEnd(line, word, IsLetter);
    if (word_end == word || (word_end < line.size() && !IsBlank(line[word_end]))) {
      Refuse(tid, "transaction: command missing or invalid");
    } else if (StartsWith(line, word, "status")) {
      StatusReport(tid);
      AppendReply(&replies, tid, "ready");
    } else if (StartsWith(line, word, "abort")) {
      Abort(tid, word_end);
    } else {
      Forward(tid, word);
    }
  }

  void Refuse(int tid, const char* error) {
    AppendReply(&replies, tid, "error \"", error, "\"");
    AppendReply(&replies, tid, "ready");
  }

  void StatusReport(int tid) {
    if (table.lists[0].empty() && table.lists[1].empty()) AppendReply(&replies, tid, "data idle");
    for (const MZorvaneCmdCommand& record : table.lists[0]) {
      const char* state = &record == &table.lists[0].front() ? " running" : " waiting";
      AppendReply(&replies, tid, "data ", FourDigits(record.tid).text, state);
    }
    for (const MZorvaneCmdCommand& record : table.lists[1]) {
      AppendReply(&replies, tid, "data ", FourDigits(record.tid).text, " background");
    }
  }

  void Abort(int tid, size_t from) {
    size_t digits = RunEnd(line, from, IsBlank);
    size_t digits_end = RunEnd(line, digits, IsDigit);
    int target = DigitsValue(line, digits, digits_end);
    if (RunEnd(line, digits_end, IsBlank) != line.size()) return Refuse(tid, "syntax invalid");
    if (target > kHighestTid) return Refuse(tid, "t-id invalid");
    if (target != 0 && table.IsFree(target)) return Refuse(tid, "t-id unused");
    if (session_open && target == 0) AppendWire(&wire, tid, "abort");
    if (session_open && target != 0) AppendWire(&wire, tid, "abort ", FourDigits(target).text);
    table.Add(tid, std::string(), false);
  }

  void Forward(int tid, size_t word) {
    send_failed = !session_open;
    result = session_open;
    if (!session_open) return;
    AppendWire(&wire, tid, std::string_view(line).substr(word));
    bool background = StartsWith(line, word, "autoinfo") || StartsWith(line, word, "autolatch") ||
                      StartsWith(line, word, "preview");
    table.Add(tid, line.substr(word), background);
  }
};

// One line through the interpreter and the model.
void CheckRequest(ServerFixture* fixture, const std::string& line, RequestModel* model, size_t* wire_seen) {
  MZorvaneTCPServerProbe& probe = fixture->probe;
  model->Handle(line);
  fixture->errors.Clear();
  FUZZ_REQUIRE(probe.AnalyseCommandLine(line) == model->result);
  FUZZ_REQUIRE(fixture->Errors(model->send_failed, "SendCommand failed, closing connection"));
  FUZZ_REQUIRE(probe.ClientQueueIs(model->replies));
  probe.DropClientQueue();
  const std::string& queued = probe.CmdClient().WriteBuffer();
  FUZZ_REQUIRE(queued.size() >= *wire_seen && queued.compare(*wire_seen, std::string::npos, model->wire) == 0);
  *wire_seen = queued.size();
  FUZZ_REQUIRE(model->table.Matches(probe, false));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ServerFixture& fixture = TheServerFixture(true);
  static RequestModel model;
  static std::string chunk, partial, line;
  FuzzedDataProvider input(data, size);
  uint8_t flags = input.ConsumeIntegral<uint8_t>();
  model.session_open = (flags & 1) == 0;
  _MTrace_SetLevel("default", (flags & 2) != 0 ? 5 : 0);
  fixture.probe.StartConnection();
  if (!model.session_open) FUZZ_REQUIRE(fixture.probe.CmdClient().CloseSession(false));
  model.table.Clear();
  partial.clear();
  size_t wire_seen = 0;
  // The chunks as reads from the client hand them on; the model cuts lines
  // at CR and LF and drops empty ones. The last line is ended by the client.
  for (bool last = false; !last;) {
    last = input.remaining_bytes() == 0;
    if (last) {
      chunk.assign(1, '\n');
    } else {
      chunk.resize(input.ConsumeIntegralInRange<size_t>(1, 256));
      chunk.resize(input.ConsumeData(&chunk[0], chunk.size()));
    }
    fixture.probe.ReceiveFromClient(chunk);
    for (size_t at = 0, end = 0; at < chunk.size(); at = end + 1) {
      end = at;
      while (end < chunk.size() && chunk[end] != '\r' && chunk[end] != '\n') ++end;
      partial.append(chunk, at, end - at);
      if (end == chunk.size() || partial.empty()) continue;
      FUZZ_REQUIRE(fixture.probe.Socket().PopReadLine(&line) && line == partial);
      CheckRequest(&fixture, line, &model, &wire_seen);
      partial.clear();
    }
    FUZZ_REQUIRE(!fixture.probe.Socket().PopReadLine(&line));
  }
  FUZZ_REQUIRE(model.table.Matches(fixture.probe, true));
  FUZZ_REQUIRE(fixture.probe.CmdClient().IsSessionOpen() == model.session_open);
  // The next input starts with an open session and nothing queued for the processor.
  if (model.session_open) fixture.probe.DropCommandQueue();
  if (!model.session_open) fixture.OpenSession();
  fixture.EndInput();
  return 0;
}
