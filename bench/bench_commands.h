// The commands the benchmark's command processor and responder know, and
// what each produces before the end of its transaction.
#ifndef ZORVANE_BENCH_COMMANDS_H
#define ZORVANE_BENCH_COMMANDS_H

#include <cstdint>
#include <string>

struct BenchAnswer {
  enum class Kind {
    kText,      // `text`, then the end of the transaction
    kBulk,      // `count` lines of `length` bytes (bulk_stream.h), then the end
    kHeldOpen,  // nothing, and no end until the session closes
  };
  Kind kind = Kind::kText;
  std::string text;
  uint64_t count = 0;
  uint64_t length = 0;
};

// "open" and "close" (the session), "echo TEXT", "bulk COUNT LENGTH", and
// "hold" or a background command (kept open without output).
BenchAnswer AnswerFor(const std::string& command);

bool IsSessionCommand(const std::string& command);

// The four digits and the TAB that start every client reply line.
std::string ReplyLine(unsigned tid, const char* keyword);

#endif
