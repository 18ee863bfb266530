// Fuzz target: the command processor's answer stream into the answer relay,
// against a transaction table the input sets up.
// The stream arrives in chunks the input chooses and is handed over in pieces
// of the read size; after every piece the relay's result, what the client
// receives, what stays in the receive buffer, the table and the error log are
// checked against a model that works on the whole stream at once:
//
// - text reaches the client unchanged and in order, and only up to a line
//   feed: after each call the relayed text is the stream's text (markers
//   removed) up to its last line feed before the first marker not handled;
// - each handled marker yields exactly one ready or error line, right after
//   the text up to the last line feed before the marker;
// - the termination marker 10000 returns false and stays in the buffer with
//   everything behind it.
//
// With a backlog (a client that reads nothing) all goes to the queue;
// without, the relay writes to the client connection itself.
//
// Input, taken from the back: flags (bit 0: trace level 5, bit 1: backlog),
// the read size (1 to 256), the number of table entries (0 to 16) and each
// entry (a 16-bit value: below 256 the id of that marker of the stream, else
// the tid itself; then background or not), then the length of each chunk (1
// to 256) whose bytes are taken from the front.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qdrcore.h"
#include "server_probe.h"

namespace {

constexpr unsigned kNumTids = MZorvaneTCPServer::kNumTids;
constexpr unsigned kTerminationTid = MZorvaneTCPServer::kTerminationTid;
constexpr size_t kMarkerLength = 3;

// The whole answer stream split into its text and its markers. Text never
// holds 0x00, so every 0x00 starts a marker.
class AnswerStream {
 public:
  struct Marker {
    size_t offset;       // in the stream
    size_t text_before;  // text bytes in front of it
    bool complete;       // all three bytes are in the stream
    unsigned tid;
  };

  explicit AnswerStream(const std::string& stream) : bytes(stream) {
    for (size_t i = 0; i < bytes.size();) {
      if (bytes[i] != '\0') {
        text += bytes[i++];
        continue;
      }
      Marker marker{i, text.size(), i + kMarkerLength <= bytes.size(), 0};
      if (marker.complete) marker.tid = Byte(i + 1) * 256u + Byte(i + 2);
      markers.push_back(marker);
      i += kMarkerLength;
    }
    line_end_before.assign(text.size() + 1, 0);
    for (size_t i = 0; i < text.size(); ++i) line_end_before[i + 1] = text[i] == '\n' ? i + 1 : line_end_before[i];
  }

  const std::string& Bytes() const { return bytes; }
  const std::string& Text() const { return text; }
  const std::vector<Marker>& Markers() const { return markers; }

  // The end of the last complete text line within the first `count` text bytes.
  size_t LineEndBefore(size_t count) const { return line_end_before[count]; }

 private:
  unsigned Byte(size_t i) const { return static_cast<unsigned char>(bytes[i]); }

  std::string bytes;
  std::string text;
  std::vector<Marker> markers;
  std::vector<size_t> line_end_before;
};

// The relay applied to the stream as far as it has arrived.
class RelayModel {
 public:
  struct Outcome {
    bool result = true;
    std::string client_bytes;
    size_t errors = 0;
  };

  explicit RelayModel(const AnswerStream& stream) : stream(stream) {}

  TableModel table;

  Outcome Arrived(size_t available) {
    Outcome outcome;
    const std::vector<AnswerStream::Marker>& markers = stream.Markers();
    while (next_marker < markers.size() && markers[next_marker].complete &&
           markers[next_marker].offset + kMarkerLength <= available) {
      const AnswerStream::Marker& marker = markers[next_marker];
      Relay(marker.text_before, &outcome);
      if (marker.tid == kTerminationTid) {
        outcome.result = false;
        return outcome;
      }
      HandleMarker(marker.tid, &outcome);
      ++next_marker;
    }
    Relay(TextArrived(available), &outcome);
    return outcome;
  }

  // What the relay leaves in the buffer: the text not relayed, then the
  // stream from the first marker not handled on.
  std::string Kept(size_t available) const {
    std::string kept = stream.Text().substr(relayed, TextArrived(available) - relayed);
    if (next_marker < stream.Markers().size()) {
      size_t offset = stream.Markers()[next_marker].offset;
      if (offset < available) kept += stream.Bytes().substr(offset, available - offset);
    }
    return kept;
  }

 private:

  // Text bytes that have arrived, up to the first marker not handled.
  size_t TextArrived(size_t available) const {
    const std::vector<AnswerStream::Marker>& markers = stream.Markers();
    size_t next_offset = next_marker < markers.size() ? markers[next_marker].offset : stream.Bytes().size();
    size_t text_at_next = next_marker < markers.size() ? markers[next_marker].text_before : stream.Text().size();
    if (available >= next_offset) return text_at_next;
    return text_at_next - (next_offset - available);
  }

  void Relay(size_t text_count, Outcome* outcome) {
    size_t end = stream.LineEndBefore(text_count);
    if (end <= relayed) return;
    outcome->client_bytes += stream.Text().substr(relayed, end - relayed);
    relayed = end;
  }

  void HandleMarker(unsigned tid, Outcome* outcome) {
    if (tid >= kNumTids) {
      outcome->client_bytes += ReplyLine(0, "error \"received ready for invalid tid\"");
      ++outcome->errors;
      return;
    }
    if (tid != 0 && table.IsFree(static_cast<int>(tid))) {
      outcome->client_bytes += ReplyLine(0, "error \"received ready for unused tid\"");
      ++outcome->errors;
      return;
    }
    outcome->client_bytes += ReplyLine(static_cast<int>(tid), "ready");
    if (tid != 0) table.Free(static_cast<int>(tid));
  }

  const AnswerStream& stream;
  size_t next_marker = 0;
  size_t relayed = 0;  // text bytes relayed so far
};

using Fixture = ServerFixture;

struct TableEntry {
  unsigned value;
  bool background;
};

std::vector<TableEntry> ConsumeTableEntries(FuzzedDataProvider* input) {
  std::vector<TableEntry> entries(input->ConsumeIntegralInRange<size_t>(0, 16));
  for (TableEntry& entry : entries) {
    entry.value = input->ConsumeIntegral<uint16_t>();
    entry.background = input->ConsumeBool();
  }
  return entries;
}

// A value below 256 names a marker of the stream, so that the table and the
// stream meet often; ids that are not valid or already taken are skipped.
void SetUpTable(const std::vector<TableEntry>& entries, const AnswerStream& stream, MZorvaneTCPServerProbe* probe,
                RelayModel* model) {
  for (size_t i = 0; i < entries.size(); ++i) {
    unsigned tid = entries[i].value;
    if (tid < 256) {
      if (tid >= stream.Markers().size()) continue;
      tid = stream.Markers()[tid].tid;
    }
    if (tid == 0 || tid >= kNumTids || !model->table.IsFree(static_cast<int>(tid))) continue;
    bool background = entries[i].background;
    std::string command = background ? "autoinfo " + std::to_string(i) : "get " + std::to_string(i);
    probe->AddTransaction(static_cast<short>(tid), command, background);
    model->table.Add(static_cast<int>(tid), command, background);
  }
}

// What the client got from the last call. With a backlog all of it is
// queued behind what waited before; without one, what the server wrote
// comes first, then what it queued.
std::string ClientReceived(Fixture* fixture, bool backlog, size_t expected_size, size_t queued_before) {
  if (backlog) return fixture->probe.ClientQueue().substr(queued_before);
  std::string queued = fixture->probe.TakeClientQueue();
  if (queued.size() > expected_size) return queued;
  return fixture->ReadClient(expected_size - queued.size()) + queued;
}

// Hands a chunk to the relay in pieces of the read size, as the main loop's
// reads of the command channel would. False once the relay asked to end.
bool RelayChunk(Fixture* fixture, const std::string& chunk, size_t read_size, bool backlog, size_t* available,
                RelayModel* model) {
  MZorvaneTCPServerProbe& probe = fixture->probe;
  std::string& buffer = probe.CmdClient().ReadBuffer();
  for (size_t at = 0; at < chunk.size(); at += read_size) {
    std::string piece = chunk.substr(at, read_size);
    buffer += piece;
    *available += piece.size();

    RelayModel::Outcome expected = model->Arrived(*available);
    fixture->diag.Clear();
    size_t queued_before = probe.ClientQueue().size();
    bool result = probe.AnalyseClientAnswer(buffer);
    FUZZ_REQUIRE(probe.TableInvariantsHold());
    FUZZ_REQUIRE(result == expected.result);
    FUZZ_REQUIRE(probe.SendClose() == result);
    FUZZ_REQUIRE(fixture->diag.Messages("E").size() == expected.errors);
    FUZZ_REQUIRE(ClientReceived(fixture, backlog, expected.client_bytes.size(), queued_before) ==
                 expected.client_bytes);
    FUZZ_REQUIRE(buffer == model->Kept(*available));
    FUZZ_REQUIRE(model->table.Matches(probe));
    if (!result) {
      size_t marker = buffer.find('\0');
      FUZZ_REQUIRE(marker != std::string::npos && buffer.compare(marker, kMarkerLength, std::string("\0\x27\x10", 3)) == 0);
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture& fixture = TheServerFixture();
  FuzzedDataProvider input(data, size);
  uint8_t flags = input.ConsumeIntegral<uint8_t>();
  _MTrace_SetLevel("default", (flags & 1) != 0 ? 5 : 0);
  const bool backlog = (flags & 2) != 0;
  const size_t read_size = input.ConsumeIntegralInRange<size_t>(1, 256);

  std::vector<TableEntry> entries = ConsumeTableEntries(&input);
  std::vector<std::string> chunks;
  std::string stream_bytes;
  while (input.remaining_bytes() != 0) {
    size_t length = input.ConsumeIntegralInRange<size_t>(1, 256);
    chunks.push_back(input.ConsumeBytesAsString(length));
    stream_bytes += chunks.back();
  }
  AnswerStream stream(stream_bytes);

  fixture.probe.StartConnection();
  RelayModel model(stream);
  SetUpTable(entries, stream, &fixture.probe, &model);
  FUZZ_REQUIRE(fixture.probe.TableInvariantsHold());
  if (backlog) FUZZ_REQUIRE(fixture.probe.Socket().SendAck(0));  // waits unsent for the client throughout

  size_t available = 0;
  for (const std::string& chunk : chunks) {
    if (!RelayChunk(&fixture, chunk, read_size, backlog, &available, &model)) break;
  }
  if (!backlog) FUZZ_REQUIRE(fixture.ClientQuiet());
  fixture.EndInput();
  return 0;
}
