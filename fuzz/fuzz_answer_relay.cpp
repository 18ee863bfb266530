// Fuzz target: the command processor's answer stream into the answer relay,
// against a transaction table the input sets up. The stream arrives in chunks
// the input chooses and is handed over in pieces of the read size; after each
// piece the result, what the client receives, what stays in the receive
// buffer, the table and the error log are checked against a model:
// - text reaches the client unchanged, in order, and only up to a line feed:
//   the relayed text is the stream's text (markers removed) up to its last
//   line feed before the first marker not handled;
// - each handled marker yields one ready or error line, right after the text
//   up to the last line feed before it;
// - the termination marker 10000 returns false and stays in the buffer with
//   everything behind it.
// With a backlog (a client that reads nothing) all goes to the queue;
// without, the relay writes to the client connection itself, and what the
// client received and what is still queued are checked at the end.
//
// Input, taken from the back: flags (bit 0: trace level 5; bits 1 to 3 all
// set: no backlog, one input in eight, since each write costs a system call),
// the read size (1 to 256), the number of table entries (0 to 16) and each
// entry (a 16-bit value: below 256 the id of that marker of the stream, else
// the tid itself; then background or not), then the length of each chunk (1
// to 256) whose bytes are taken from the front.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qdrcore.h"

namespace {

constexpr unsigned kNumTids = MZorvaneTCPServer::kNumTids;

unsigned TidAt(const std::string& bytes, size_t at) {
  return static_cast<unsigned char>(bytes[at + 1]) * 256u + static_cast<unsigned char>(bytes[at + 2]);
}

// The tid of the stream's marker `index`, 0 if there is none; text never
// holds 0x00, so every 0x00 starts a marker of three bytes.
unsigned NthMarkerTid(const std::string& bytes, size_t index) {
  size_t at = bytes.find('\0');
  for (; index > 0 && at != std::string::npos; --index) at = bytes.find('\0', at + 3);
  return at == std::string::npos || at + 3 > bytes.size() ? 0 : TidAt(bytes, at);
}

// The relay over the bytes it holds: each complete marker in turn, the text
// up to the last line feed before it, then its ready or error line; the
// termination marker ends it with the marker and all behind it kept.
struct RelayModel {
  std::string kept, client_bytes;
  size_t line_free = 0;  // how many bytes at the front of `kept` are known to hold no line feed
  size_t errors = 0;
  bool result = true;
  TableModel table;

  void Start() {
    kept.clear();
    line_free = 0;
    result = true;
    table.Clear();
  }

  // Only an unfinished marker, in the last two bytes, can be older than the new bytes.
  void Arrived(const std::string& bytes, size_t from, size_t count) {
    size_t marker = kept.find('\0', kept.size() - std::min<size_t>(kept.size(), 2));
    kept.append(bytes, from, count);
    client_bytes.clear();
    errors = 0;
    if (marker == std::string::npos) marker = kept.find('\0', kept.size() - count);
    for (; marker != std::string::npos && marker + 3 <= kept.size(); marker = kept.find('\0', marker)) {
      unsigned tid = TidAt(kept, marker);
      marker -= Relay(marker);
      if (tid == MZorvaneTCPServer::kTerminationTid) return void(result = false);
      kept.erase(marker, 3);
      if (tid >= kNumTids || (tid != 0 && table.IsFree(static_cast<int>(tid)))) {
        AppendReply(&client_bytes, 0, "error \"received ready for ", tid >= kNumTids ? "invalid" : "unused", " tid\"");
        ++errors;
        continue;
      }
      AppendReply(&client_bytes, static_cast<int>(tid), "ready");
      if (tid != 0) table.Free(static_cast<int>(tid));
    }
    Relay(std::min(marker, kept.size()));
  }

  // Relays the text in front of `end` up to its last line feed; returns how much.
  size_t Relay(size_t end) {
    const void* found = end > line_free ? memrchr(kept.data() + line_free, '\n', end - line_free) : nullptr;
    if (found == nullptr) {
      line_free = std::max(line_free, end);
      return 0;
    }
    size_t relayed = static_cast<size_t>(static_cast<const char*>(found) - kept.data()) + 1;
    client_bytes.append(kept, 0, relayed);
    kept.erase(0, relayed);
    line_free = end - relayed;
    return relayed;
  }
};

// Without a backlog the relay writes to the connection itself: what it wrote,
// read back once at the end (one byte more would be too much), and what it
// still queues are `expected`.
bool ClientGotAll(ServerFixture* fixture, const std::string& expected) {
  static std::string written;
  written.resize(expected.size() + 1);
  ssize_t got = recv(fixture->client_end, &written[0], written.size(), MSG_DONTWAIT);
  size_t count = got > 0 ? static_cast<size_t>(got) : 0;
  return (got >= 0 || errno == EAGAIN) && count <= expected.size() &&
         expected.compare(0, count, written, 0, count) == 0 && fixture->probe.ClientQueueIs(expected, 0, count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ServerFixture& fixture = TheServerFixture(false);
  static RelayModel model;
  static std::vector<size_t> chunks;
  static std::string command, stream, relayed;
  MZorvaneTCPServerProbe& probe = fixture.probe;
  FuzzedDataProvider input(data, size);
  uint8_t flags = input.ConsumeIntegral<uint8_t>();
  _MTrace_SetLevel("default", (flags & 1) != 0 ? 5 : 0);
  const bool backlog = (flags & 14) != 14;
  const size_t read_size = input.ConsumeIntegralInRange<size_t>(1, 256);
  uint16_t entries[16][2];
  size_t entry_count = input.ConsumeIntegralInRange<size_t>(0, 16);
  for (size_t i = 0; i < entry_count; ++i) {
    entries[i][0] = input.ConsumeIntegral<uint16_t>();
    entries[i][1] = input.ConsumeBool();
  }
  for (chunks.clear(), stream.clear(); input.remaining_bytes() != 0;) {
    size_t length = input.ConsumeIntegralInRange<size_t>(1, 256);
    stream.resize(stream.size() + length);
    chunks.push_back(input.ConsumeData(&stream[stream.size() - length], length));
    stream.resize(stream.size() - length + chunks.back());
  }
  model.Start();
  relayed.clear();
  probe.StartConnection();
  // A value below 256 names a marker of the stream, so that table and stream
  // meet often; ids that are not valid or already taken are skipped.
  for (size_t i = 0; i < entry_count; ++i) {
    unsigned tid = entries[i][0] < 256 ? NthMarkerTid(stream, entries[i][0]) : entries[i][0];
    if (tid == 0 || tid >= kNumTids || !model.table.IsFree(static_cast<int>(tid))) continue;
    command.assign(entries[i][1] ? "autoinfo " : "get ").append(FourDigits(static_cast<int>(i)).text);
    probe.AddTransaction(static_cast<int>(tid), command, entries[i][1]);
    model.table.Add(static_cast<int>(tid), command, entries[i][1]);
  }
  if (backlog) FUZZ_REQUIRE(probe.Socket().SendAck(0));  // waits unsent for the client throughout

  // Each chunk in pieces of the read size, as reads of the command channel hand them on.
  std::string& buffer = probe.CmdClient().ReadBuffer();
  bool going = true;
  for (size_t chunk = 0, available = 0, chunk_end = 0; going && chunk < chunks.size(); ++chunk) {
    for (chunk_end += chunks[chunk]; going && available < chunk_end;) {
      size_t piece = std::min(read_size, chunk_end - available);
      buffer.append(stream, available, piece);
      model.Arrived(stream, available, piece);
      available += piece;
      fixture.errors.Clear();
      size_t queued_before = probe.ClientQueueSize();
      going = probe.AnalyseClientAnswer(buffer);
      FUZZ_REQUIRE(going == model.result && probe.SendClose() == going);
      FUZZ_REQUIRE(fixture.Errors(model.errors));
      FUZZ_REQUIRE(!backlog || probe.ClientQueueIs(model.client_bytes, queued_before));
      if (!backlog) relayed.append(model.client_bytes);
      // What the relay keeps: when it took nothing, only the piece's bytes need comparing.
      size_t from = going && model.client_bytes.empty() ? buffer.size() - std::min(piece, buffer.size()) : 0;
      FUZZ_REQUIRE(buffer.size() == model.kept.size() &&
                   buffer.compare(from, std::string::npos, model.kept, from) == 0);
      FUZZ_REQUIRE(model.table.Matches(probe, !going));
    }
  }
  FUZZ_REQUIRE(model.table.Matches(probe, true));
  FUZZ_REQUIRE(backlog || ClientGotAll(&fixture, relayed));
  fixture.EndInput();
  return 0;
}
