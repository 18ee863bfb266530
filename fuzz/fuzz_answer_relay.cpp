// Fuzz target: the command processor's answer stream into the answer relay,
// against a transaction table the input sets up. The stream arrives in chunks
// the input chooses and is handed over in pieces of the read size; after each
// piece the result, what the client receives, what stays in the receive
// buffer, the table and the error log are checked against a model of the
// whole stream:
// - text reaches the client unchanged, in order, and only up to a line feed:
//   the relayed text is the stream's text (markers removed) up to its last
//   line feed before the first marker not handled;
// - each handled marker yields one ready or error line, right after the text
//   up to the last line feed before it;
// - the termination marker 10000 returns false and stays in the buffer with
//   everything behind it.
// With a backlog (a client that reads nothing) all goes to the queue;
// without, the relay writes to the client connection itself.
//
// Input, taken from the back: flags (bit 0: trace level 5, bit 1: backlog),
// the read size (1 to 256), the number of table entries (0 to 16) and each
// entry (a 16-bit value: below 256 the id of that marker of the stream, else
// the tid itself; then background or not), then the length of each chunk (1
// to 256) whose bytes are taken from the front.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qdrcore.h"

namespace {

constexpr unsigned kNumTids = MZorvaneTCPServer::kNumTids;
constexpr size_t kMarkerLength = 3;

struct Marker {
  size_t offset;       // in the stream
  size_t text_before;  // text bytes in front of it
  bool complete;       // all three bytes are in the stream
  unsigned tid;
};

// The stream split into its text and its markers (text never holds 0x00, so
// every 0x00 starts a marker), and the relay applied to it as far as it has arrived.
struct RelayModel {
  std::string bytes, text, client_bytes;
  std::vector<Marker> markers;
  std::vector<size_t> line_end_before;  // [n]: the end of the last text line within the first n text bytes
  size_t next_marker = 0, relayed = 0, errors = 0;
  bool result = true;
  TableModel table;

  void Split() {
    text.clear();
    markers.clear();
    next_marker = relayed = 0;
    for (size_t i = 0; i < bytes.size();) {
      if (bytes[i] != '\0') {
        text += bytes[i++];
        continue;
      }
      bool complete = i + kMarkerLength <= bytes.size();
      unsigned tid = complete ? static_cast<unsigned char>(bytes[i + 1]) * 256u + static_cast<unsigned char>(bytes[i + 2]) : 0;
      markers.push_back(Marker{i, text.size(), complete, tid});
      i += kMarkerLength;
    }
    line_end_before.resize(text.size() + 1);
    for (size_t i = 0; i < text.size(); ++i) line_end_before[i + 1] = text[i] == '\n' ? i + 1 : line_end_before[i];
  }

  void Arrived(size_t available) {
    result = true;
    errors = 0;
    client_bytes.clear();
    for (; next_marker < markers.size() && markers[next_marker].complete &&
           markers[next_marker].offset + kMarkerLength <= available;
         ++next_marker) {
      Relay(markers[next_marker].text_before);
      if (markers[next_marker].tid == MZorvaneTCPServer::kTerminationTid) return void(result = false);
      HandleMarker(markers[next_marker].tid);
    }
    Relay(TextArrived(available));
  }

  // Text bytes that have arrived, up to the first marker not handled.
  size_t TextArrived(size_t available) const {
    if (next_marker == markers.size()) return text.size() - (bytes.size() - available);
    const Marker& next = markers[next_marker];
    return available >= next.offset ? next.text_before : next.text_before - (next.offset - available);
  }

  void Relay(size_t text_count) {
    size_t end = line_end_before[text_count];
    if (end <= relayed) return;
    client_bytes.append(text, relayed, end - relayed);
    relayed = end;
  }

  void HandleMarker(unsigned tid) {
    if (tid >= kNumTids || (tid != 0 && table.IsFree(static_cast<int>(tid)))) {
      AppendReply(&client_bytes, 0, "error \"received ready for ", tid >= kNumTids ? "invalid" : "unused", " tid\"");
      ++errors;
      return;
    }
    AppendReply(&client_bytes, static_cast<int>(tid), "ready");
    if (tid != 0) table.Free(static_cast<int>(tid));
  }

  // The buffer keeps the text not relayed, then the stream from the first
  // marker not handled on. Unless `whole`, only the size and the last `tail`
  // bytes are compared: a piece that changed nothing else need not cost a
  // comparison of everything held.
  bool Kept(const std::string& buffer, size_t available, bool whole, size_t tail) const {
    size_t count = TextArrived(available) - relayed;
    size_t offset = next_marker < markers.size() ? std::min(markers[next_marker].offset, available) : available;
    if (buffer.size() != count + available - offset) return false;
    size_t from = whole ? 0 : buffer.size() - std::min(tail, buffer.size());
    size_t rest = std::max(from, count);  // where the bytes from the marker on start, or the compared tail
    return (from >= count || buffer.compare(from, count - from, text, relayed + from, count - from) == 0) &&
           buffer.compare(rest, std::string::npos, bytes, offset + rest - count, buffer.size() - rest) == 0;
  }
};

// What the client got from the last call is `expected`: with a backlog all of
// it is queued behind what waited before; without, what the server wrote
// comes first, then what it queued.
bool ClientGot(ServerFixture* fixture, bool backlog, const std::string& expected, size_t queued_before) {
  if (backlog) return fixture->probe.ClientQueueIs(expected, queued_before);
  static std::string written;
  size_t queued = fixture->probe.ClientQueueSize();
  if (queued > expected.size()) return false;
  written.resize(expected.size() - queued);
  if (!written.empty() && recv(fixture->client_end, &written[0], written.size(), MSG_DONTWAIT) != static_cast<ssize_t>(written.size())) {
    return false;
  }
  bool same = expected.compare(0, written.size(), written) == 0 && fixture->probe.ClientQueueIs(expected, 0, written.size());
  fixture->probe.DropClientQueue();
  return same;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ServerFixture& fixture = TheServerFixture(false);
  static RelayModel model;
  static std::vector<size_t> chunks;
  static std::string command;
  MZorvaneTCPServerProbe& probe = fixture.probe;
  FuzzedDataProvider input(data, size);
  uint8_t flags = input.ConsumeIntegral<uint8_t>();
  _MTrace_SetLevel("default", (flags & 1) != 0 ? 5 : 0);
  const bool backlog = (flags & 2) != 0;
  const size_t read_size = input.ConsumeIntegralInRange<size_t>(1, 256);
  uint16_t entries[16][2];
  size_t entry_count = input.ConsumeIntegralInRange<size_t>(0, 16);
  for (size_t i = 0; i < entry_count; ++i) {
    entries[i][0] = input.ConsumeIntegral<uint16_t>();
    entries[i][1] = input.ConsumeBool();
  }
  chunks.clear();
  model.bytes.clear();
  while (input.remaining_bytes() != 0) {
    size_t length = input.ConsumeIntegralInRange<size_t>(1, 256);
    length = std::min(length, input.remaining_bytes());
    model.bytes.resize(model.bytes.size() + length);
    input.ConsumeData(&model.bytes[model.bytes.size() - length], length);
    chunks.push_back(length);
  }
  model.Split();
  model.table.Clear();
  probe.StartConnection();
  // A value below 256 names a marker of the stream, so that table and stream
  // meet often; ids that are not valid or already taken are skipped.
  for (size_t i = 0; i < entry_count; ++i) {
    unsigned tid = entries[i][0];
    if (tid < 256) tid = tid < model.markers.size() ? model.markers[tid].tid : 0;
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
      buffer.append(model.bytes, available, piece);
      available += piece;
      model.Arrived(available);
      fixture.diag.Clear();
      size_t queued_before = probe.ClientQueueSize();
      going = probe.AnalyseClientAnswer(buffer);
      FUZZ_REQUIRE(going == model.result && probe.SendClose() == going);
      FUZZ_REQUIRE(fixture.Errors(model.errors));
      FUZZ_REQUIRE(ClientGot(&fixture, backlog, model.client_bytes, queued_before));
      FUZZ_REQUIRE(model.Kept(buffer, available, !going || !model.client_bytes.empty(), piece));
      FUZZ_REQUIRE(model.table.Matches(probe, !going));
      size_t marker = buffer.find('\0');
      FUZZ_REQUIRE(going || (marker != std::string::npos &&
                             buffer.compare(marker, kMarkerLength, "\0\x27\x10", kMarkerLength) == 0));
    }
  }
  FUZZ_REQUIRE(model.table.Matches(probe, true));
  char byte;
  FUZZ_REQUIRE(backlog || (recv(fixture.client_end, &byte, 1, MSG_DONTWAIT) == -1 && errno == EAGAIN));
  fixture.EndInput();
  return 0;
}
