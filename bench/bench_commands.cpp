#include "bench_commands.h"

#include <cstdio>
#include <cstdlib>

namespace {

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

BenchAnswer BulkAnswer(const std::string& arguments) {
  BenchAnswer answer;
  unsigned long long count = 0;
  unsigned long long length = 0;
  if (sscanf(arguments.c_str(), "%llu %llu", &count, &length) != 2) {
    answer.text = "usage: bulk COUNT LENGTH\n";
    return answer;
  }
  answer.kind = BenchAnswer::Kind::kBulk;
  answer.count = count;
  answer.length = length;
  return answer;
}

}  // namespace

bool IsSessionCommand(const std::string& command) { return command == "open" || command == "close"; }

BenchAnswer AnswerFor(const std::string& command) {
  BenchAnswer answer;
  if (IsSessionCommand(command)) return answer;
  if (command == "echo") {
    answer.text = "\n";
  } else if (StartsWith(command, "echo ")) {
    answer.text = command.substr(5) + "\n";
  } else if (StartsWith(command, "bulk ")) {
    answer = BulkAnswer(command.substr(5));
  } else if (command == "hold" || StartsWith(command, "autoinfo") || StartsWith(command, "autolatch") ||
             StartsWith(command, "preview")) {
    answer.kind = BenchAnswer::Kind::kHeldOpen;
  } else {
    answer.text = "unknown command\n";
  }
  return answer;
}

std::string ReplyLine(unsigned tid, const char* keyword) {
  char line[32];
  snprintf(line, sizeof(line), "%04u\t%s\r\n", tid % 10000, keyword);
  return line;
}
