#include "reply_checker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bench_commands.h"

namespace {

std::string ReplyLineText(unsigned tid, const std::string& keyword) { return ReplyLine(tid, keyword.c_str()); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "DDDD<TAB>KEYWORD<CR><LF>": the id and the keyword, or false.
bool ParseReplyLine(const std::string& line, unsigned* tid, std::string* keyword) {
  if (line.size() < 8 || line[4] != '\t' || line.compare(line.size() - 2, 2, "\r\n") != 0) return false;
  *tid = 0;
  for (int i = 0; i < 4; ++i) {
    if (!IsDigit(line[i])) return false;
    *tid = *tid * 10 + static_cast<unsigned>(line[i] - '0');
  }
  *keyword = line.substr(5, line.size() - 7);
  return true;
}

// An echo text starts with "t" and the four digits of its transaction.
bool TextTid(const std::string& line, unsigned* tid) {
  if (line.size() < 6 || line[0] != 't') return false;
  *tid = 0;
  for (int i = 1; i <= 4; ++i) {
    if (!IsDigit(line[i])) return false;
    *tid = *tid * 10 + static_cast<unsigned>(line[i] - '0');
  }
  return true;
}

}  // namespace

std::string Printable(const std::string& text, size_t limit) {
  std::string shown;
  for (size_t i = 0; i < text.size() && i < limit; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\t') {
      shown += "\\t";
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      snprintf(hex, sizeof(hex), "\\x%02X", c);
      shown += hex;
    } else {
      shown += static_cast<char>(c);
    }
  }
  if (text.size() > limit) shown += "...";
  return shown;
}

ReplyChecker::ReplyChecker() : states_(kNumTids, State::kFree), texts_(kNumTids) {}

void ReplyChecker::ExpectEcho(unsigned tid, const std::string& text) {
  states_[tid] = State::kSent;
  texts_[tid] = text + "\n";
}

void ReplyChecker::ExpectBulk(unsigned tid, uint64_t count, uint64_t length) {
  states_[tid] = State::kSent;
  texts_[tid].clear();
  bulk_tid_ = tid;
  expected_bulk_ = BulkStream(count, length);
  bulk_left_ = 0;
  bulk_pending_ = true;
}

void ReplyChecker::ExpectHeldOpen(unsigned tid) {
  states_[tid] = State::kSent;
  texts_[tid].clear();
}

std::vector<unsigned> ReplyChecker::TakeFinished() {
  std::vector<unsigned> taken;
  taken.swap(finished_);
  return taken;
}

bool ReplyChecker::Consume(const char* data, size_t size) {
  while (size > 0 && error_.empty()) {
    if (final_line_seen_) return Fail("bytes after the final line", std::string(data, std::min<size_t>(size, 40)));
    size_t used = bulk_left_ > 0 ? ConsumeBulk(data, size) : ConsumeLinePiece(data, size);
    data += used;
    size -= used;
  }
  return error_.empty();
}

size_t ReplyChecker::ConsumeBulk(const char* data, size_t size) {
  size_t piece = static_cast<size_t>(std::min<uint64_t>(size, bulk_left_));
  if (scratch_.size() < piece) scratch_.resize(piece);
  expected_bulk_.Fill(scratch_.data(), piece);
  if (memcmp(scratch_.data(), data, piece) != 0) {
    size_t at = 0;
    while (scratch_[at] == data[at]) ++at;
    Fail("bulk output differs " + std::to_string(expected_bulk_.TotalBytes() - bulk_left_ + at) +
             " bytes into the output of transaction " + std::to_string(bulk_tid_) + ", expected \"" +
             Printable(std::string(scratch_.data() + at, std::min<size_t>(40, piece - at))) + "\"",
         std::string(data + at, std::min<size_t>(40, piece - at)));
    return piece;
  }
  bulk_left_ -= piece;
  if (bulk_left_ == 0) states_[bulk_tid_] = State::kOutputSeen;
  return piece;
}

size_t ReplyChecker::ConsumeLinePiece(const char* data, size_t size) {
  const void* end = memchr(data, '\n', size);
  size_t piece = end ? static_cast<size_t>(static_cast<const char*>(end) - data) + 1 : size;
  line_.append(data, piece);
  if (end != nullptr) {
    std::string line;
    line.swap(line_);
    HandleLine(line);
  }
  return piece;
}

bool ReplyChecker::HandleLine(const std::string& line) {
  unsigned tid = 0;
  std::string keyword;
  if (ParseReplyLine(line, &tid, &keyword)) return HandleReplyLine(tid, keyword);
  return HandleText(line);
}

bool ReplyChecker::HandleReplyLine(unsigned tid, const std::string& keyword) {
  std::string line = ReplyLineText(tid, keyword);
  if (tid == 0 && !final_keyword_.empty() && keyword == final_keyword_) return final_line_seen_ = true;
  if (!session_open_) {
    if (tid == 0 && keyword == "ready") return session_open_ = true;
    return Fail("the session's \"0000\\tready\" was expected first, got", line);
  }
  if (keyword == "ack") return HandleAck(tid);
  if (keyword == "ready") return HandleReady(tid);
  return Fail("unexpected reply", line);
}

bool ReplyChecker::HandleAck(unsigned tid) {
  if (states_[tid] != State::kSent) return Fail("ack for a transaction not waiting for one", ReplyLineText(tid, "ack"));
  ++acks_;
  bool held = texts_[tid].empty() && !(bulk_pending_ && tid == bulk_tid_);
  states_[tid] = held ? State::kHeld : State::kAcked;
  if (bulk_pending_ && tid == bulk_tid_) {
    bulk_pending_ = false;
    bulk_left_ = expected_bulk_.TotalBytes();
    if (bulk_left_ == 0) states_[tid] = State::kOutputSeen;
  }
  return true;
}

bool ReplyChecker::HandleReady(unsigned tid) {
  if (states_[tid] != State::kOutputSeen) {
    return Fail("ready before the transaction's ack and output", ReplyLineText(tid, "ready"));
  }
  states_[tid] = State::kFree;
  finished_.push_back(tid);
  return true;
}

bool ReplyChecker::HandleText(const std::string& line) {
  unsigned tid = 0;
  if (!session_open_ || !TextTid(line, &tid) || tid >= kNumTids) return Fail("unexpected line", line);
  if (states_[tid] != State::kAcked) return Fail("output of a transaction not acknowledged", line);
  if (line != texts_[tid]) return Fail("output differs from \"" + Printable(texts_[tid]) + "\"", line);
  states_[tid] = State::kOutputSeen;
  return true;
}

bool ReplyChecker::Fail(const std::string& what, const std::string& line) {
  error_ = what + ": \"" + Printable(line) + "\"";
  return false;
}
