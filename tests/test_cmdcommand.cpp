#include <gtest/gtest.h>

#include <string>

#include "mzorvanecmdclient.h"

namespace {

// The bytes of a literal with its terminating 0x00, which ends a wire record.
template <size_t N>
std::string Record(const char (&bytes)[N]) {
  return std::string(bytes, N);
}

// Each row: the record, its wire form; Serialize replaces what the string held
// and Unserialize gives the record back.
TEST(CmdCommand, WireFormsAndTheirInverse) {
  const std::vector<std::pair<MZorvaneCmdCommand, std::string>> rows = {
      {{12, "autoinfo"}, Record("\x00\x0c" "autoinfo")}, {{0, "open"}, Record("\x00\x00" "open")},
      {{0, "close"}, Record("\x00\x00" "close")},       {{7, "abort 0012"}, Record("\x00\x07" "abort 0012")},
      {{9999, "preview"}, Record("\x27\x0f" "preview")}, {MZorvaneCmdCommand(), Record("\xff\xff")},
      {{256, "x"}, Record("\x01\x00" "x")},             {{5, ""}, Record("\x00\x05")},
      {{256, std::string("a\0b", 3)}, Record("\x01\x00" "a\0b")}, {{-32768, "\xff\x80"}, Record("\x80\x00\xff\x80")},
  };
  for (const auto& [record, wire] : rows) {
    std::string out = "old content";
    record.Serialize(&out);
    EXPECT_EQ(out, wire) << record.command;
    MZorvaneCmdCommand back(3, "keep");
    ASSERT_EQ(back.Unserialize(wire), 1);
    EXPECT_EQ(back.tid, record.tid);
    EXPECT_EQ(back.command, record.command);
  }
}

TEST(CmdCommand, UnserializeRejectsShortInputAndMissingTerminator) {
  MZorvaneCmdCommand record(3, "keep");
  EXPECT_EQ(record.Unserialize(std::string("\x00\x05", 2)), 0);
  EXPECT_EQ(record.tid, 3);
  EXPECT_EQ(record.Unserialize(std::string("\x00\x05" "ab", 4)), 0);
  EXPECT_EQ(record.command, "keep");
}

}  // namespace
