// Fuzz target: the command record's wire form. Unserialize of arbitrary bytes
// must accept exactly the wire forms (at least three bytes, the last 0x00),
// decode them so that Serialize gives the same bytes back, and leave the
// record as the rules say when it rejects. Every record built from the input
// must come back unchanged through Serialize and Unserialize, and the trace
// rendering of its wire form must only replace control bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "mzorvanecmdclient.h"

namespace {

const short kUntouchedTid = 4321;
const char kUntouchedText[] = "untouched";

short BigEndianTid(const std::string& bytes) {
  unsigned high = static_cast<unsigned char>(bytes[0]);
  unsigned low = static_cast<unsigned char>(bytes[1]);
  return static_cast<short>(static_cast<uint16_t>((high << 8) | low));
}

void CheckUnserialize(const std::string& bytes) {
  MZorvaneCmdCommand record(kUntouchedTid, kUntouchedText);
  int result = record.Unserialize(bytes);
  if (bytes.size() < 3) {
    FUZZ_REQUIRE(result == 0 && record.tid == kUntouchedTid && record.command == kUntouchedText);
    return;
  }
  FUZZ_REQUIRE(record.tid == BigEndianTid(bytes));
  if (bytes.back() != '\0') {
    FUZZ_REQUIRE(result == 0 && record.command == kUntouchedText);
    return;
  }
  FUZZ_REQUIRE(result == 1 && record.command == bytes.substr(2, bytes.size() - 3));
  std::string wire = "left over";
  record.Serialize(&wire);
  FUZZ_REQUIRE(wire == bytes);
}

void CheckRoundTrip(const std::string& bytes) {
  short tid = bytes.size() >= 2 ? BigEndianTid(bytes) : -1;
  MZorvaneCmdCommand record(tid, bytes.size() >= 2 ? bytes.substr(2) : std::string());
  std::string wire = "left over";
  record.Serialize(&wire);
  FUZZ_REQUIRE(wire == WireRecord(tid, record.command));

  MZorvaneCmdCommand decoded;
  FUZZ_REQUIRE(decoded.Unserialize(wire) == 1);
  FUZZ_REQUIRE(decoded.tid == record.tid && decoded.command == record.command);

  std::string shown = wire;
  RenderWireForTrace(&shown);
  FUZZ_REQUIRE(shown.size() == wire.size());
  for (size_t i = 0; i < wire.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(wire[i]);
    bool control = byte < 0x20 || byte == 0x7F;
    FUZZ_REQUIRE(shown[i] == (control ? '.' : wire[i]));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  CheckUnserialize(bytes);
  CheckRoundTrip(bytes);
  return 0;
}
