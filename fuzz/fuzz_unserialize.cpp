// Fuzz target: the command record's wire form. Unserialize accepts exactly
// the wire forms (at least three bytes, the last 0x00), and Serialize gives
// the same bytes back; a rejection leaves the text as it was. Every record
// comes back unchanged through Serialize and Unserialize, and the trace
// rendering of its wire form only replaces control bytes with dots.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "mzorvanecmdclient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const short tid = size >= 2 ? static_cast<short>(data[0] << 8 | data[1]) : 4321;
  MZorvaneCmdCommand record(4321, "untouched");
  const bool wire_form = size >= 3 && data[size - 1] == 0;
  FUZZ_REQUIRE(record.Unserialize(bytes) == wire_form && record.tid == (size >= 3 ? tid : 4321));
  FUZZ_REQUIRE(record.command == (wire_form ? bytes.substr(2, size - 3) : "untouched"));

  MZorvaneCmdCommand built(tid, size >= 2 ? bytes.substr(2) : std::string()), decoded;
  std::string wire = "left over";
  built.Serialize(&wire);
  FUZZ_REQUIRE(wire == WireRecord(tid, built.command));
  std::string again = "left over";
  if (wire_form) record.Serialize(&again);
  FUZZ_REQUIRE(!wire_form || again == bytes);
  FUZZ_REQUIRE(decoded.Unserialize(wire) == 1 && decoded.tid == built.tid && decoded.command == built.command);
  std::string shown = wire;
  RenderWireForTrace(&shown);
  for (size_t i = 0; i < wire.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(wire[i]);
    FUZZ_REQUIRE(shown[i] == (byte < 0x20 || byte == 0x7F ? '.' : wire[i]));
  }
  FUZZ_REQUIRE(shown.size() == wire.size());
  return 0;
}
