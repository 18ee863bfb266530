// Executes the commands of one server channel and writes their answers:
// text lines and, when a transaction ends, its end marker.
#ifndef ZORVANE_CMDPROC_COMMAND_PROCESSOR_H
#define ZORVANE_CMDPROC_COMMAND_PROCESSOR_H

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "output_buffer.h"
#include "record_reader.h"

using Clock = std::chrono::steady_clock;

// The values of "set" and "get"; they outlive channels, like an instrument's settings.
using VariableStore = std::map<std::string, std::string>;

class CommandProcessor {
 public:
  // Generators ("count" and the periodic commands) produce lines only while
  // less than this waits unsent, so that a slow server bounds the memory used.
  static constexpr size_t kProductionMark = 256 * 1024;
  // Asks the server to end its client connection.
  static constexpr unsigned kTerminationId = 10000;

  CommandProcessor(VariableStore* variables, OutputBuffer* output);

  void Handle(const Record& record, Clock::time_point now);
  // Ends the sleeps that are due and produces the lines that are due.
  void Advance(Clock::time_point now);
  // Milliseconds until Advance has something to do; -1 for nothing.
  int MillisecondsToNextEvent(Clock::time_point now) const;
  // Drops all running transactions without their markers.
  void EndAllSilently();

 private:
  struct Transaction {
    enum class Kind { kSleep, kCount, kPeriodic };
    Kind kind = Kind::kSleep;
    Clock::time_point due;      // end of a sleep, next line of a periodic command
    Clock::duration interval{};  // between the lines of a periodic command
    std::string label;           // the word that starts a periodic line
    unsigned long long next = 1;  // next number of a count or a periodic line
    unsigned long long last = 0;  // last number of a count
  };

  struct Command {
    unsigned id;
    std::string word;
    std::string arguments;           // the text behind the word, its blanks kept
    std::vector<std::string> words;  // the arguments split into words
    Clock::time_point now;
  };

  using Handler = void (CommandProcessor::*)(const Command& command);
  static Handler HandlerFor(const std::string& word);

  void OpenOrClose(const Command& command);
  void Echo(const Command& command);
  void Set(const Command& command);
  void Get(const Command& command);
  void Sleep(const Command& command);
  void Count(const Command& command);
  void StartPeriodic(const Command& command);
  void Abort(const Command& command);
  void Bye(const Command& command);
  void Unknown(const Command& command);

  void AbortOne(const Command& command, const std::string& target_text);
  void AbortAll(const Command& command);
  // Ends a transaction now: an optional line, then its marker.
  void Finish(unsigned id, const std::string& line = std::string());
  bool BelowProductionMark() const;
  // Appends count lines while below the mark; true once the last line is out.
  bool ProduceCountLines(Transaction* count);
  void ProducePeriodicLine(Transaction* periodic, Clock::time_point now);

  VariableStore* variables_;
  OutputBuffer* output_;
  std::map<unsigned, Transaction> running_;
  // After "bye" the session is over: everything but "open" and "close" is dropped
  // until the next "open", so that no answer of it reaches the next client.
  bool terminated_ = false;
};

#endif
