// Fuzz target: the trace level from the environment and the command line.
// The input's 0x00 bytes separate the arguments; with bit 0 of the flags the
// first piece is the value of MTRACE_LEVEL. The result, the option globals,
// the trace level, the error-log messages and the port traces are checked
// against a model of the option rules.
//
// Input: the last byte holds the flags; the rest are the pieces.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commandline.h"
#include "fuzz_support.h"
#include "qdrcore.h"

extern char** environ;

namespace {

constexpr size_t kMostArguments = 32;
constexpr int kMaxTraceLevel = 5;
constexpr int kTraceLevelOfPorts = 4;

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number as the C library reads it: leading white space, a sign,
// digits. `digits` tells whether there were any, `end` where reading stopped;
// the value saturates at the bounds of long long.
struct Number {
  long long value = 0;
  bool digits = false;
  size_t end = 0;
};

Number ReadNumber(const std::string& text) {
  Number number;
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const long long kLimit = LLONG_MAX / 10 - 10;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    number.digits = true;
    if (number.value < kLimit) number.value = number.value * 10 + (text[i] - '0');
  }
  if (negative) number.value = -number.value;
  number.end = number.digits ? i : 0;
  return number;
}

// As atoi for every value that fits an int; beyond, the nearest bound.
int LeadingInt(const std::string& text) {
  Number number = ReadNumber(text);
  if (number.value > INT_MAX) return INT_MAX;
  if (number.value < INT_MIN) return INT_MIN;
  return static_cast<int>(number.value);
}

// A number that takes up the whole text and fits an int.
bool WholeInt(const std::string& text, int* value) {
  Number number = ReadNumber(text);
  if (!number.digits || number.end != text.size() || number.value > INT_MAX || number.value < INT_MIN) return false;
  *value = static_cast<int>(number.value);
  return true;
}

// How the error log shows a message: one trailing line feed dropped, CR, LF
// and other control bytes escaped.
std::string Shown(std::string message) {
  if (!message.empty() && message.back() == '\n') message.pop_back();
  std::string shown;
  for (char c : message) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '\t' || (byte >= 0x20 && byte != 0x7F)) {
      shown += c;
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else {
      char hex[8];
      snprintf(hex, sizeof(hex), "\\x%02X", byte);
      shown += hex;
    }
  }
  return shown;
}

struct Options {
  int port_server = 0;
  int port_client = 0;
  bool use_pipe = false;
  int pipe_size = -1;
  int reader_pipe = -1;
  int writer_pipe = -1;
  int trace_level = 2;
  bool accepted = true;
  std::vector<std::pair<std::string, std::string>> records;  // tag, message
};

class CommandLineModel {
 public:
  explicit CommandLineModel(int trace_level) { options.trace_level = trace_level; }

  const Options& Parse(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
      if (argument.size() < 2 || argument[0] != '-') continue;
      if (!Option(argument.substr(1))) {
        options.accepted = false;
        break;
      }
    }
    return options;
  }

 private:
  bool Option(const std::string& letters) {
    bool valued = letters.size() >= 2 && letters[1] == '=';
    switch (letters[0]) {
      case 's':
        if (!valued) return Reject("Option not available!\n");
        options.pipe_size = LeadingInt(letters.substr(2));
        options.use_pipe = true;
        return true;
      case 't':
        return valued ? TraceLevel(letters.substr(2)) : Reject("pars_args(): Option not available!");
      case 'p':
        return letters.size() == 1 || PortOrPipe(letters.substr(1));
      default:
        return Reject("Option not available!\n");
    }
  }

  bool TraceLevel(const std::string& value) {
    int level = 0;
    if (!WholeInt(value, &level) || level < 0 || level > kMaxTraceLevel) {
      return Reject("parse_args(): invalid parameter -t=" + value);
    }
    options.trace_level = level;
    return true;
  }

  bool PortOrPipe(const std::string& letters) {
    if (letters.size() < 2 || letters[1] != '=') return Reject("Option not available!\n");
    std::string value = letters.substr(2);
    int port = 0;
    switch (letters[0]) {
      case 'w':
        options.writer_pipe = LeadingInt(value);
        options.use_pipe = true;
        return true;
      case 'r':
        options.reader_pipe = LeadingInt(value);
        options.use_pipe = true;
        return true;
      case 'c':
        if (!WholeInt(value, &port)) return Reject("parse_args(): invalid parameter -pc=" + value);
        options.port_client = port;
        Trace(kTraceLevelOfPorts, "parse_args(): use client port " + std::to_string(port));
        return true;
      case 's':
        if (!WholeInt(value, &port)) return Reject("parse_args(): invalid parameter -ps=" + value);
        options.port_server = port;
        Trace(kTraceLevelOfPorts, "parse_args(): use server port " + std::to_string(port));
        return true;
      default:
        return Reject("Option not available!\n");
    }
  }

  bool Reject(const std::string& message) {
    options.records.emplace_back("E", Shown(message));
    return false;
  }

  void Trace(int level, const std::string& message) {
    if (options.trace_level >= level) options.records.emplace_back("T" + std::to_string(level), message);
  }

  Options options;
};

int TraceLevelFromEnvironment(const std::string* value) {
  if (value == nullptr) return 2;
  Number number = ReadNumber(*value);
  if (number.value < 0) return 0;
  return number.value > kMaxTraceLevel ? kMaxTraceLevel : static_cast<int>(number.value);
}

void ResetOptions() {
  PortServer = 0;
  PortClient = 0;
  UsePipe = false;
  CmdClient_PipeSize = -1;
  CmdClient_ReaderPipeId = -1;
  CmdClient_WriterPipeId = -1;
}

bool SameRecords(const std::vector<std::pair<std::string, std::string>>& expected,
                 const std::vector<DiagRecord>& actual) {
  if (expected.size() != actual.size()) return false;
  for (size_t i = 0; i < expected.size(); ++i) {
    if (expected[i].first != actual[i].tag || expected[i].second != actual[i].message) return false;
  }
  return true;
}

std::vector<std::string> SplitPieces(const std::string& bytes) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (pieces.size() < kMostArguments) {
    size_t end = bytes.find('\0', start);
    pieces.push_back(bytes.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return pieces;
}

// setenv keeps every value it is given for the life of the process, which
// millions of inputs would fill; the environment is pointed at an array of
// the target's own instead: its first entry is MTRACE_LEVEL, the others are
// the process's own, less any MTRACE_LEVEL.
void SetEnvironment(const std::string* value) {
  static std::string level_entry;
  static std::vector<char*> entries = [] {
    std::vector<char*> kept = {nullptr};
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (strncmp(*entry, "MTRACE_LEVEL=", 13) != 0) kept.push_back(*entry);
    }
    kept.push_back(nullptr);
    return kept;
  }();
  if (value == nullptr) {
    environ = entries.data() + 1;
    return;
  }
  level_entry = "MTRACE_LEVEL=" + *value;
  entries[0] = &level_entry[0];
  environ = entries.data();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static DiagCapture diag;
  FuzzedDataProvider input(data, size);
  uint8_t flags = input.ConsumeIntegral<uint8_t>();
  std::vector<std::string> arguments = SplitPieces(input.ConsumeRemainingBytesAsString());
  std::string environment_value;
  const std::string* environment = nullptr;
  if ((flags & 1) != 0) {
    environment_value = arguments.front();
    environment = &environment_value;
    arguments.erase(arguments.begin());
  }

  SetEnvironment(environment);
  diag.Clear();
  GetMTraceLevelFromEnv();
  int start_level = TraceLevelFromEnvironment(environment);
  FUZZ_REQUIRE(MTrace_GetLevel("default") == start_level);

  std::vector<std::string> argv_text = {"zorvane-server"};
  argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& text : argv_text) argv.push_back(&text[0]);
  argv.push_back(nullptr);
  ResetOptions();
  diag.Clear();
  bool accepted = parse_args(static_cast<int>(argv_text.size()), argv.data());

  CommandLineModel model(start_level);
  const Options& expected = model.Parse(arguments);
  FUZZ_REQUIRE(accepted == expected.accepted);
  FUZZ_REQUIRE(PortServer == expected.port_server && PortClient == expected.port_client);
  FUZZ_REQUIRE(UsePipe == expected.use_pipe && CmdClient_PipeSize == expected.pipe_size);
  FUZZ_REQUIRE(CmdClient_ReaderPipeId == expected.reader_pipe && CmdClient_WriterPipeId == expected.writer_pipe);
  FUZZ_REQUIRE(MTrace_GetLevel("default") == expected.trace_level);
  FUZZ_REQUIRE(SameRecords(expected.records, diag.Records()));
  for (size_t i = 0; i < arguments.size(); ++i) FUZZ_REQUIRE(arguments[i] == argv[i + 1]);
  return 0;
}
