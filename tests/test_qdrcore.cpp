#include <gtest/gtest.h>
#include <sys/time.h>

#include <cctype>
#include <tuple>
#include <utility>

#include "diag_capture.h"
#include "errtrace.h"

namespace {

class SupportLibrary : public ::testing::Test {
 protected:
  void TearDown() override { _MTrace_SetLevel("default", 2); }
  DiagCapture capture;
};

TEST_F(SupportLibrary, TraceLevelGatesTracesAndTheirArguments) {
  int evaluated = 0;
  auto argument = [&evaluated] { return ++evaluated; };

  _MTrace_SetLevel("default", -1);  // taken as 0
  EXPECT_EQ(MTrace_GetLevel("default"), 0);
  MTRACE(1, "off %d", argument());
  MTRACE(0, "level 0 is never traced %d", argument());
  EXPECT_TRUE(capture.Raw().empty());
  EXPECT_EQ(evaluated, 0);

  _MTrace_SetLevel("default", 1);
  MTRACE(1, "one %d", argument());
  MTRACE(2, "two %d", argument());
  EXPECT_EQ(capture.Messages("T1"), std::vector<std::string>{"one 1"});
  EXPECT_TRUE(capture.Messages("T2").empty());

  _MTrace_SetLevel("default", 5);
  MTRACE(5, "five");
  EXPECT_EQ(capture.Messages("T5"), std::vector<std::string>{"five"});
  EXPECT_TRUE(_MTrace_TestLevel("default", 5));
  _MTrace_SetLevel("other", 4);  // a channel of its own
  EXPECT_EQ(std::make_pair(MTrace_GetLevel("other"), MTrace_GetLevel("default")), std::make_pair(4, 5));
}

TEST_F(SupportLibrary, RecordFormatIsOneLineWithLocation) {
  _MErrLog_Location(0, "zorvane/server/src/mzorvanetcpsocket", 42);
  _MErrLog_Add("fill_read_buffer(): read() returned 0\n");
  ASSERT_EQ(capture.Raw().size(), 1u);
  std::string raw = capture.Raw()[0];
  for (size_t i = 0; i < kRecordStampLength && i < raw.size(); ++i) raw[i] = isdigit(raw[i] & 0xFF) ? 'D' : raw[i];
  EXPECT_EQ(raw, "DDDD-DD-DD DD:DD:DD.DDDDDD E zorvane/server/src/mzorvanetcpsocket:42 "
                 "fill_read_buffer(): read() returned 0\n");
  // Around the formatter's small buffer, each message whole up to its last byte.
  for (size_t length : {511u, 512u, 513u}) {
    const std::string message = std::string(length - 1, 'a') + "z";
    capture.Clear();
    MERRLOG("%s", message.c_str());
    EXPECT_EQ(capture.Messages("E"), std::vector<std::string>{message}) << length;
  }
}

// The stamp is the local time of the record, to the microsecond.
TEST_F(SupportLibrary, RecordStampIsTheLocalTimeOfTheRecord) {
  struct timeval before, after;
  gettimeofday(&before, nullptr);
  MERRLOG("stamped");
  gettimeofday(&after, nullptr);
  ASSERT_EQ(capture.Raw().size(), 1u);
  struct tm local {};
  const char* fraction = strptime(capture.Raw()[0].c_str(), "%Y-%m-%d %H:%M:%S", &local);
  ASSERT_TRUE(fraction != nullptr && *fraction == '.');
  local.tm_isdst = -1;
  const long long stamp = mktime(&local) * 1000000LL + strtol(fraction + 1, nullptr, 10);
  EXPECT_GE(stamp, before.tv_sec * 1000000LL + before.tv_usec);
  EXPECT_LE(stamp, after.tv_sec * 1000000LL + after.tv_usec);
}

// Tabs are kept; an error trace outside a context goes straight to the log.
TEST_F(SupportLibrary, ControlBytesAreEscapedAndErrorTracesOutsideAContextLogged) {
  MERRLOG("a\tb\rc\nd%ce\x7f", 1);
  MERRLOG("\x02 first");
  MTRACE(2, "trailing line feed removed once\n\n");
  MERRTRACE("msleep_sec(): invalid argument");
  EXPECT_EQ(capture.Messages("E"), (std::vector<std::string>{"a\tb\\rc\\nd\\x01e\\x7F", "\\x02 first",
                                                             "msleep_sec(): invalid argument"}));
  EXPECT_EQ(capture.Messages("T2"), std::vector<std::string>{"trailing line feed removed once\\n"});
  for (const std::string& raw : capture.Raw()) EXPECT_EQ(raw.find('\n'), raw.size() - 1);
}

TEST_F(SupportLibrary, NestedContextsKeepTheirOwnMessages) {
  MErrTrace_BeginContext();
  MERRTRACE("outer message");
  MErrTrace_BeginContext();
  MERRTRACE("inner message");
  MERRTRACE_DUMP("inner dump");
  EXPECT_EQ(capture.Messages("E"), (std::vector<std::string>{"inner message", "inner dump"}));
  MERRTRACE_DUMP("inner dump again");  // the context was emptied by the first dump
  MErrTrace_EndContext();
  capture.Clear();
  MErrTrace_EndContext();  // unreported messages are written when the context ends
  EXPECT_EQ(capture.Messages("E"), std::vector<std::string>{"outer message"});
}

TEST_F(SupportLibrary, ContextKeepsOnlyTheNewestMessages) {
  MErrTrace_BeginContext();
  for (size_t i = 0; i < kMErrTraceContextCapacity + 5; ++i) MERRTRACE("message %zu", i);
  MERRTRACE_DUMP("closing");
  MErrTrace_EndContext();
  std::vector<std::string> errors = capture.Messages("E");
  ASSERT_EQ(errors.size(), kMErrTraceContextCapacity + 2);
  EXPECT_EQ(errors.front(), "error trace: 5 older messages dropped");
  EXPECT_EQ(errors[1], "message 5");
  EXPECT_EQ(errors.back(), "closing");
}

TEST_F(SupportLibrary, DumpToMErrLogWritesTheCausesThenItsRecord) {
  MErrTraceContext context("zorvane/server/src/mzorvanetcpserver");
  MERRTRACE("cause");
  context.DumpToMErrLog(77, "%s failed", "flush");
  std::vector<DiagRecord> records = DiagRecords(capture.Stream());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].message, "cause");
  EXPECT_EQ(std::make_tuple(records[1].message, records[1].source, records[1].line),
            std::make_tuple(std::string("flush failed"), std::string("zorvane/server/src/mzorvanetcpserver"), 77));
}

}  // namespace
