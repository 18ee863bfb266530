#include <gtest/gtest.h>

#include <string>

#include "mzorvanecmdclient.h"

namespace {

std::string Wire(short tid, const std::string& text) {
  std::string out;
  MZorvaneCmdCommand(tid, text).Serialize(&out);
  return out;
}

std::string Bytes(std::initializer_list<unsigned char> values) { return std::string(values.begin(), values.end()); }

TEST(CmdCommand, WireFormsOfTheWorkedExamples) {
  EXPECT_EQ(Wire(12, "autoinfo"), Bytes({0x00, 0x0C, 'a', 'u', 't', 'o', 'i', 'n', 'f', 'o', 0x00}));
  EXPECT_EQ(Wire(0, "open"), Bytes({0x00, 0x00, 'o', 'p', 'e', 'n', 0x00}));
  EXPECT_EQ(Wire(0, "close"), Bytes({0x00, 0x00, 'c', 'l', 'o', 's', 'e', 0x00}));
  EXPECT_EQ(Wire(7, "abort 0012"), Bytes({0x00, 0x07, 'a', 'b', 'o', 'r', 't', ' ', '0', '0', '1', '2', 0x00}));
  EXPECT_EQ(Wire(9999, "preview"), Bytes({0x27, 0x0F, 'p', 'r', 'e', 'v', 'i', 'e', 'w', 0x00}));
  std::string out;
  MZorvaneCmdCommand().Serialize(&out);
  EXPECT_EQ(out, Bytes({0xFF, 0xFF, 0x00}));
  EXPECT_EQ(Wire(256, "x"), Bytes({0x01, 0x00, 'x', 0x00}));
  EXPECT_EQ(Wire(5, ""), Bytes({0x00, 0x05, 0x00}));
}

TEST(CmdCommand, SerializeReplacesWhatTheStringHeld) {
  std::string out = "old content";
  MZorvaneCmdCommand(1, "a").Serialize(&out);
  EXPECT_EQ(out, Bytes({0x00, 0x01, 'a', 0x00}));
}

TEST(CmdCommand, UnserializeRejectsShortInputAndMissingTerminator) {
  MZorvaneCmdCommand record(3, "keep");
  EXPECT_EQ(record.Unserialize(Bytes({0x00, 0x05})), 0);
  EXPECT_EQ(record.tid, 3);
  EXPECT_EQ(record.command, "keep");

  EXPECT_EQ(record.Unserialize(Bytes({0x00, 0x05, 'a', 'b'})), 0);
  EXPECT_EQ(record.tid, 5);
  EXPECT_EQ(record.command, "keep");

  EXPECT_EQ(record.Unserialize(Bytes({0x00, 0x05, 0x00})), 1);
  EXPECT_EQ(record.tid, 5);
  EXPECT_EQ(record.command, "");
}

TEST(CmdCommand, UnserializeInvertsSerialize) {
  const MZorvaneCmdCommand records[] = {{0, "open"}, {-1, ""}, {9999, "preview"},
                                        {256, std::string("a\0b", 3)}, {-32768, "\xff\x80"}};
  for (const MZorvaneCmdCommand& record : records) {
    std::string wire;
    record.Serialize(&wire);
    MZorvaneCmdCommand back;
    ASSERT_EQ(back.Unserialize(wire), 1);
    EXPECT_EQ(back.tid, record.tid);
    EXPECT_EQ(back.command, record.command);
  }
}

TEST(CmdCommand, TraceRenderingHidesOnlyControlBytes) {
  std::string bytes = Bytes({0x7F, 0x1F, 0x20, 0x80, 0xFF, 'a'});
  RenderWireForTrace(&bytes);
  EXPECT_EQ(bytes, Bytes({'.', '.', ' ', 0x80, 0xFF, 'a'}));
  std::string wire = Wire(12, "autoinfo");
  RenderWireForTrace(&wire);
  EXPECT_EQ(wire, "..autoinfo.");
}

}  // namespace
