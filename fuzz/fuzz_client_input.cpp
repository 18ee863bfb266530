// Fuzz target: the client's bytes through the line cutter into the request
// interpreter. The bytes reach the line cutter in chunks the input chooses, as
// reads from the client connection would hand them on; each line is checked
// against a model of the request grammar: the reply bytes queued for the
// client, the wire records queued for the command processor, the result and
// the transaction table. No descriptor is touched per line.
//
// Input: the last byte holds flags (bit 0: no command-processor session,
// bit 1: trace level 5); then, taken from the back, the length of each chunk
// (1 to 256) whose bytes are taken from the front.
#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qdrcore.h"
#include "server_probe.h"

namespace {

constexpr int kNumTids = MZorvaneTCPServer::kNumTids;
constexpr int kHighestTid = kNumTids - 1;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Where the run of characters that `in_run` accepts, from `from` on, ends.
size_t RunEnd(const std::string& text, size_t from, bool (*in_run)(char)) {
  while (from < text.size() && in_run(text[from])) ++from;
  return from;
}
size_t SkipBlanks(const std::string& text, size_t from) { return RunEnd(text, from, IsBlank); }
size_t DigitRunEnd(const std::string& text, size_t from) { return RunEnd(text, from, IsDigit); }

// The value of a run of digits; kNumTids stands for every value above 9999.
int DigitRunValue(const std::string& digits) {
  size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 0;
  if (digits.size() - first > 4) return kNumTids;
  int value = 0;
  for (size_t i = first; i < digits.size(); ++i) value = value * 10 + (digits[i] - '0');
  return value;
}

std::string Error(const std::string& text) { return "error \"" + text + "\""; }

std::string FourDigits(int tid) {
  char digits[8];
  snprintf(digits, sizeof(digits), "%04d", tid);
  return digits;
}

// The line cutter: CR and LF end a line, empty lines are dropped.
class LineModel {
 public:
  std::vector<std::string> Feed(const std::string& bytes) {
    std::vector<std::string> lines;
    for (char c : bytes) {
      if (c != '\r' && c != '\n') {
        partial += c;
      } else if (!partial.empty()) {
        lines.push_back(partial);
        partial.clear();
      }
    }
    return lines;
  }

 private:
  std::string partial;
};

// The request grammar over a transaction table of its own.
class RequestModel {
 public:
  struct Outcome {
    bool result = true;
    std::string replies;
    std::string wire;
    std::vector<std::string> errors;
  };

  explicit RequestModel(bool session_open) : session_open(session_open) {}

  Outcome Handle(const std::string& received) {
    const std::string line = received.substr(0, received.find('\0'));
    Outcome outcome;
    if (!line.empty() && line[0] == '.') {
      outcome.result = false;
      return outcome;
    }
    if (!line.empty() && line[0] == '\t') {
      outcome.replies = StatusReport(0);
      return outcome;
    }
    size_t id_end = DigitRunEnd(line, 0);
    if (id_end == 0) {
      outcome.replies = ReplyLine(0, Error("transaction: t-id missing"));
      return outcome;
    }
    int tid = DigitRunValue(line.substr(0, id_end));
    if (tid < 1 || tid > kHighestTid || !table.IsFree(tid)) {
      outcome.replies = ReplyLine(0, Error("transaction: t-id invalid"));
      return outcome;
    }
    if (id_end == line.size() || !IsBlank(line[id_end])) {
      outcome.replies = ReplyLine(tid, Error("syntax invalid"));
      return outcome;
    }
    outcome.replies = ReplyLine(tid, "ack");
    size_t word = SkipBlanks(line, id_end);
    size_t word_end = RunEnd(line, word, IsLetter);
    if (word_end == word || (word_end < line.size() && !IsBlank(line[word_end]))) {
      outcome.replies += ReplyLine(tid, Error("transaction: command missing or invalid")) + ReplyLine(tid, "ready");
      return outcome;
    }
    std::string command = line.substr(word);
    if (command.compare(0, 6, "status") == 0) {
      outcome.replies += StatusReport(tid) + ReplyLine(tid, "ready");
      return outcome;
    }
    if (command.compare(0, 5, "abort") == 0) {
      Abort(tid, line.substr(word_end), &outcome);
      return outcome;
    }
    Forward(tid, command, &outcome);
    return outcome;
  }

  TableModel table;

 private:

  std::string StatusReport(int tid) const {
    if (table.pending.empty() && table.background.empty()) return ReplyLine(tid, "data idle");
    std::string report;
    for (size_t i = 0; i < table.pending.size(); ++i) {
      report += ReplyLine(tid, "data " + FourDigits(table.pending[i].tid) + (i == 0 ? " running" : " waiting"));
    }
    for (const TableRecord& record : table.background) {
      report += ReplyLine(tid, "data " + FourDigits(record.tid) + " background");
    }
    return report;
  }

  void Abort(int tid, const std::string& rest, Outcome* outcome) {
    size_t digits = SkipBlanks(rest, 0);
    size_t digits_end = DigitRunEnd(rest, digits);
    const char* error = nullptr;
    int target = DigitRunValue(rest.substr(digits, digits_end - digits));
    if (SkipBlanks(rest, digits_end) != rest.size()) {
      error = "syntax invalid";
    } else if (target > kHighestTid) {
      error = "t-id invalid";
    } else if (target != 0 && table.IsFree(target)) {
      error = "t-id unused";
    }
    if (error != nullptr) {
      outcome->replies += ReplyLine(tid, Error(error)) + ReplyLine(tid, "ready");
      return;
    }
    if (session_open) outcome->wire = WireRecord(tid, target == 0 ? "abort" : "abort " + FourDigits(target));
    table.Add(tid, "", false);
  }

  void Forward(int tid, const std::string& command, Outcome* outcome) {
    if (!session_open) {
      outcome->result = false;
      outcome->errors.push_back("SendCommand failed, closing connection");
      return;
    }
    outcome->wire = WireRecord(tid, command);
    bool background_command = command.compare(0, 8, "autoinfo") == 0 || command.compare(0, 9, "autolatch") == 0 ||
                              command.compare(0, 7, "preview") == 0;
    table.Add(tid, command, background_command);
  }

  bool session_open;
};

using Fixture = ServerFixture;

// Opens a session on the fixture's command pipe: "open" is the one record written.
void OpenSession(Fixture* fixture) {
  FUZZ_REQUIRE(fixture->probe.CmdClient().OpenSession() == 1);
  std::string wire = WireRecord(0, "open");
  std::string written(wire.size() + 1, '\0');
  FUZZ_REQUIRE(read(fixture->commands_read_end, &written[0], written.size()) == static_cast<ssize_t>(wire.size()));
  FUZZ_REQUIRE(written.substr(0, wire.size()) == wire);
}

// One line through the interpreter: the result, the error log, the replies,
// the wire records queued since `wire_seen` and the table against the model.
void CheckRequest(Fixture* fixture, const std::string& line, RequestModel* model, size_t* wire_seen) {
  MZorvaneTCPServerProbe& probe = fixture->probe;
  RequestModel::Outcome expected = model->Handle(line);
  fixture->diag.Clear();
  bool result = probe.AnalyseCommandLine(line);
  FUZZ_REQUIRE(probe.TableInvariantsHold());
  FUZZ_REQUIRE(result == expected.result);
  FUZZ_REQUIRE(fixture->diag.Messages("E") == expected.errors);

  std::string replies = probe.TakeClientQueue();
  std::vector<std::string> reply_lines;
  FUZZ_REQUIRE(SplitReplyLines(replies, &reply_lines));
  for (const std::string& reply : reply_lines) FUZZ_REQUIRE(IsReplyLine(reply));
  FUZZ_REQUIRE(replies == expected.replies);

  const std::string& queued = probe.CmdClient().WriteBuffer();
  FUZZ_REQUIRE(queued.size() >= *wire_seen);
  std::string wire = queued.substr(*wire_seen);
  *wire_seen = queued.size();
  std::vector<MZorvaneCmdCommand> records;
  FUZZ_REQUIRE(SplitWireRecords(wire, &records));
  FUZZ_REQUIRE(records.size() <= 1);
  if (!records.empty()) FUZZ_REQUIRE(reply_lines.size() == 1 && reply_lines[0] == ReplyLine(records[0].tid, "ack"));
  FUZZ_REQUIRE(wire == expected.wire);
  FUZZ_REQUIRE(model->table.Matches(probe));
}

// Hands one chunk to the line cutter as a read from the client would, and
// every line it completes to the interpreter, as the main loop does.
void FeedChunk(Fixture* fixture, const std::string& chunk, LineModel* cutter, RequestModel* model,
               size_t* wire_seen) {
  std::vector<std::string> expected_lines = cutter->Feed(chunk);
  fixture->probe.ReceiveFromClient(chunk);
  size_t delivered = 0;
  for (std::string line; fixture->probe.Socket().PopReadLine(&line); ++delivered) {
    FUZZ_REQUIRE(!line.empty() && line.find_first_of("\r\n") == std::string::npos);
    FUZZ_REQUIRE(delivered < expected_lines.size() && line == expected_lines[delivered]);
    CheckRequest(fixture, line, model, wire_seen);
  }
  FUZZ_REQUIRE(delivered == expected_lines.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture& fixture = (OpenSession(&TheServerFixture()), TheServerFixture());
  FuzzedDataProvider input(data, size);
  uint8_t flags = input.ConsumeIntegral<uint8_t>();
  bool session_open = (flags & 1) == 0;
  _MTrace_SetLevel("default", (flags & 2) != 0 ? 5 : 0);

  fixture.probe.StartConnection();
  if (!session_open) FUZZ_REQUIRE(fixture.probe.CmdClient().CloseSession(false));
  LineModel cutter;
  RequestModel model(session_open);
  size_t wire_seen = 0;
  while (input.remaining_bytes() != 0) {
    size_t length = input.ConsumeIntegralInRange<size_t>(1, 256);
    FeedChunk(&fixture, input.ConsumeBytesAsString(length), &cutter, &model, &wire_seen);
  }
  FeedChunk(&fixture, "\n", &cutter, &model, &wire_seen);  // the client ends its last line

  // The queued records go with the session; the next input starts a new one.
  if (session_open) FUZZ_REQUIRE(fixture.probe.CmdClient().CloseSession(false));
  OpenSession(&fixture);
  fixture.EndInput();
  return 0;
}
