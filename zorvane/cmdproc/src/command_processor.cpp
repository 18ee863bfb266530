#include "command_processor.h"

#include <algorithm>
#include <cmath>

#include "diagnostics.h"
#include "parsing.h"

namespace {

constexpr unsigned kMaxTransactionId = 9999;
constexpr size_t kMaxVariables = 1000;
constexpr double kMaxSeconds = 1000000.0;
constexpr double kMinInterval = 0.001;
constexpr double kDefaultInterval = 1.0;
constexpr unsigned long long kMaxCount = 1000000000000000ULL;
// Longest poll timeout; the loop simply looks again after it.
constexpr int kMaxWaitMs = 60000;

Clock::duration Seconds(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int MillisecondsUntil(Clock::time_point due, Clock::time_point now) {
  if (due <= now) return 0;
  double ms = std::chrono::duration<double, std::milli>(due - now).count();
  // Rounded up: waking a little early would only lead to another short wait.
  return static_cast<int>(std::min(std::ceil(ms), static_cast<double>(kMaxWaitMs)));
}

}  // namespace

CommandProcessor::CommandProcessor(VariableStore* variables, OutputBuffer* output)
    : variables_(variables), output_(output) {}

CommandProcessor::Handler CommandProcessor::HandlerFor(const std::string& word) {
  static const std::map<std::string, Handler> handlers = {
      {"open", &CommandProcessor::OpenOrClose},
      {"close", &CommandProcessor::OpenOrClose},
      {"echo", &CommandProcessor::Echo},
      {"set", &CommandProcessor::Set},
      {"get", &CommandProcessor::Get},
      {"sleep", &CommandProcessor::Sleep},
      {"count", &CommandProcessor::Count},
      {"autoinfo", &CommandProcessor::StartPeriodic},
      {"autolatch", &CommandProcessor::StartPeriodic},
      {"preview", &CommandProcessor::StartPeriodic},
      {"abort", &CommandProcessor::Abort},
      {"bye", &CommandProcessor::Bye},
  };
  auto found = handlers.find(word);
  return found == handlers.end() ? &CommandProcessor::Unknown : found->second;
}

void CommandProcessor::Handle(const Record& record, Clock::time_point now) {
  if (record.id > kMaxTransactionId) {
    // Its marker would be invalid, or for 10000 even end the client connection.
    Warn("record with invalid transaction id %u ignored", record.id);
    return;
  }
  Command command{record.id, std::string(), std::string(), {}, now};
  SplitFirstWord(record.text, &command.word, &command.arguments);
  command.words = Words(command.arguments);
  bool session_command = command.word == "open" || command.word == "close";
  if (terminated_ && !session_command) return;
  // A running transaction whose id comes again is replaced: two markers for one id would be ambiguous.
  running_.erase(record.id);
  if (record.too_long) {
    Finish(record.id, "command too long");
    return;
  }
  (this->*HandlerFor(command.word))(command);
}

void CommandProcessor::OpenOrClose(const Command& command) {
  EndAllSilently();
  terminated_ = false;
  Finish(command.id);
}

void CommandProcessor::Echo(const Command& command) {
  // Also an empty text gives a line.
  output_->AppendLine(command.arguments);
  Finish(command.id);
}

void CommandProcessor::Set(const Command& command) {
  std::string name;
  std::string value;
  SplitFirstWord(command.arguments, &name, &value);
  if (name.empty() || value.empty()) {
    Finish(command.id, "usage: set NAME VALUE");
  } else if (variables_->count(name) == 0 && variables_->size() >= kMaxVariables) {
    Finish(command.id, "set: too many names");
  } else {
    (*variables_)[name] = value;
    Finish(command.id);
  }
}

void CommandProcessor::Get(const Command& command) {
  if (command.words.size() != 1) {
    Finish(command.id, "usage: get NAME");
    return;
  }
  const std::string& name = command.words[0];
  auto found = variables_->find(name);
  Finish(command.id, found == variables_->end() ? "get: no value for " + name : found->second);
}

void CommandProcessor::Sleep(const Command& command) {
  double seconds = 0;
  if (command.words.size() != 1) {
    Finish(command.id, "usage: sleep SECONDS");
  } else if (!ParseSeconds(command.words[0], kMaxSeconds, &seconds)) {
    Finish(command.id, "sleep: invalid seconds: " + command.words[0]);
  } else {
    Transaction sleep;
    sleep.kind = Transaction::Kind::kSleep;
    sleep.due = command.now + Seconds(seconds);
    running_[command.id] = sleep;
  }
}

void CommandProcessor::Count(const Command& command) {
  unsigned long long last = 0;
  if (command.words.size() != 1) {
    Finish(command.id, "usage: count N");
    return;
  }
  if (!ParseDecimal(command.words[0], kMaxCount, &last)) {
    Finish(command.id, "count: invalid number: " + command.words[0]);
    return;
  }
  Transaction count;
  count.kind = Transaction::Kind::kCount;
  count.last = last;
  if (ProduceCountLines(&count)) {
    Finish(command.id);
  } else {
    running_[command.id] = count;
  }
}

void CommandProcessor::StartPeriodic(const Command& command) {
  const std::vector<std::string>& words = command.words;
  double interval = kDefaultInterval;
  if (words.size() > 1) {
    Finish(command.id, "usage: " + command.word + " [SECONDS]");
    return;
  }
  if (words.size() == 1 && (!ParseSeconds(words[0], kMaxSeconds, &interval) || interval < kMinInterval)) {
    Finish(command.id, command.word + ": invalid seconds: " + words[0]);
    return;
  }
  Transaction periodic;
  periodic.kind = Transaction::Kind::kPeriodic;
  periodic.label = command.word;
  periodic.interval = Seconds(interval);
  periodic.due = command.now;
  ProducePeriodicLine(&periodic, command.now);
  running_[command.id] = periodic;
}

void CommandProcessor::Abort(const Command& command) {
  if (command.words.empty()) {
    AbortAll(command);
  } else if (command.words.size() == 1) {
    AbortOne(command, command.words[0]);
  } else {
    Finish(command.id, "usage: abort [TTTT]");
  }
}

void CommandProcessor::AbortOne(const Command& command, const std::string& target_text) {
  unsigned long long target = 0;
  if (!ParseDecimal(target_text, kMaxTransactionId, &target)) {
    Finish(command.id, "abort: invalid transaction id: " + target_text);
    return;
  }
  auto found = running_.find(static_cast<unsigned>(target));
  if (found == running_.end()) {
    Finish(command.id, "abort: transaction " + target_text + " is not running");
    return;
  }
  running_.erase(found);
  output_->AppendMarker(static_cast<unsigned>(target));
  Finish(command.id);
}

void CommandProcessor::AbortAll(const Command& command) {
  for (const auto& entry : running_) output_->AppendMarker(entry.first);
  running_.clear();
  Finish(command.id);
}

void CommandProcessor::Bye(const Command& command) {
  EndAllSilently();
  // The own marker goes before the termination marker: the server drops what follows that.
  Finish(command.id, "bye");
  output_->AppendMarker(kTerminationId);
  terminated_ = true;
}

void CommandProcessor::Unknown(const Command& command) { Finish(command.id, "unknown command: " + command.word); }

void CommandProcessor::EndAllSilently() { running_.clear(); }

void CommandProcessor::Finish(unsigned id, const std::string& line) {
  if (!line.empty()) output_->AppendLine(line);
  output_->AppendMarker(id);
}

void CommandProcessor::Advance(Clock::time_point now) {
  for (auto entry = running_.begin(); entry != running_.end();) {
    Transaction& transaction = entry->second;
    bool finished = false;
    switch (transaction.kind) {
      case Transaction::Kind::kSleep:
        finished = transaction.due <= now;
        break;
      case Transaction::Kind::kCount:
        finished = ProduceCountLines(&transaction);
        break;
      case Transaction::Kind::kPeriodic:
        if (transaction.due <= now) ProducePeriodicLine(&transaction, now);
        break;
    }
    if (finished) {
      output_->AppendMarker(entry->first);
      entry = running_.erase(entry);
    } else {
      ++entry;
    }
  }
}

int CommandProcessor::MillisecondsToNextEvent(Clock::time_point now) const {
  int wait = -1;
  for (const auto& entry : running_) {
    const Transaction& transaction = entry.second;
    int until = -1;
    if (transaction.kind == Transaction::Kind::kSleep) {
      until = MillisecondsUntil(transaction.due, now);
    } else if (BelowProductionMark()) {
      // Above the mark, generators wait for the server to read, not for time.
      until = transaction.kind == Transaction::Kind::kCount ? 0 : MillisecondsUntil(transaction.due, now);
    }
    if (until >= 0 && (wait < 0 || until < wait)) wait = until;
  }
  return wait;
}

bool CommandProcessor::BelowProductionMark() const { return output_->Pending() < kProductionMark; }

bool CommandProcessor::ProduceCountLines(Transaction* count) {
  while (count->next <= count->last && BelowProductionMark()) {
    output_->AppendLine(std::to_string(count->next));
    ++count->next;
  }
  return count->next > count->last;
}

void CommandProcessor::ProducePeriodicLine(Transaction* periodic, Clock::time_point now) {
  if (!BelowProductionMark()) return;
  output_->AppendLine(periodic->label + " " + std::to_string(periodic->next));
  ++periodic->next;
  periodic->due += periodic->interval;
  // After a stall (a slow server) the lines go on from now instead of catching up in a burst.
  if (periodic->due <= now) periodic->due = now + periodic->interval;
}
