// Checks every byte a client receives against what its requests must
// produce: the session's "0000<TAB>ready" first, then for each transaction
// its ack, its output and its ready, in that order (other transactions'
// lines may come in between). Any other byte is a mismatch.
#ifndef ZORVANE_BENCH_REPLY_CHECKER_H
#define ZORVANE_BENCH_REPLY_CHECKER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bulk_stream.h"

class ReplyChecker {
 public:
  static constexpr unsigned kNumTids = 10000;

  ReplyChecker();

  // Expected replies to "TID echo TEXT", "TID bulk COUNT LENGTH" and a
  // transaction that stays open (ack only).
  void ExpectEcho(unsigned tid, const std::string& text);
  void ExpectBulk(unsigned tid, uint64_t count, uint64_t length);
  void ExpectHeldOpen(unsigned tid);
  // A reply line of id 0 with this keyword may end the connection at any
  // time (the server's error when the processor is gone); nothing may follow.
  void AllowFinalLine(const std::string& keyword) { final_keyword_ = keyword; }

  // False on the first mismatch; Error() then tells what it was.
  bool Consume(const char* data, size_t size);

  bool SessionOpen() const { return session_open_; }
  size_t Acks() const { return acks_; }
  bool FinalLineSeen() const { return final_line_seen_; }
  // Transactions whose ready has come since the last call, oldest first.
  std::vector<unsigned> TakeFinished();
  const std::string& Error() const { return error_; }

 private:
  enum class State : uint8_t { kFree, kSent, kAcked, kOutputSeen, kHeld };

  size_t ConsumeBulk(const char* data, size_t size);
  size_t ConsumeLinePiece(const char* data, size_t size);
  bool HandleLine(const std::string& line);
  bool HandleReplyLine(unsigned tid, const std::string& keyword);
  bool HandleAck(unsigned tid);
  bool HandleReady(unsigned tid);
  bool HandleText(const std::string& line);
  bool Fail(const std::string& what, const std::string& line);

  std::vector<State> states_;
  std::vector<std::string> texts_;
  std::vector<unsigned> finished_;
  unsigned bulk_tid_ = 0;
  BulkStream expected_bulk_;
  uint64_t bulk_left_ = 0;
  bool bulk_pending_ = false;
  std::vector<char> scratch_;
  std::string line_;
  bool session_open_ = false;
  std::string final_keyword_;
  bool final_line_seen_ = false;
  size_t acks_ = 0;
  std::string error_;
};

// A text shown in a message, control bytes escaped, cut after `limit` bytes.
std::string Printable(const std::string& text, size_t limit = 120);

#endif
