// Fuzz target: the trace level from the environment and the command line.
// The input's 0x00 bytes separate the arguments; with bit 0 of the flags the
// first piece is the value of MTRACE_LEVEL. Properties: parsing never fails
// the process; a refusal logs exactly one error, an acceptance none; an
// accepted command line holds only known options, and each global holds the
// value of the last option that sets it, the trace level within 0 to 5 and
// the idle limit within 0 to 86400.
//
// Input: the last byte holds the flags; the rest are the pieces.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
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

namespace {

// strtoll clamped to the range of int, as the option globals hold it.
int Clamped(const char* text, long long low = INT_MIN, long long high = INT_MAX) {
  return static_cast<int>(std::min(std::max(strtoll(text, nullptr, 10), low), high));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ErrorRecords errors;
  // putenv takes the text itself, where setenv would keep a copy of every
  // value for good; the text never moves.
  static std::string entry(size_t{1} << 16, '\0');
  FuzzedDataProvider input(data, size);
  const bool from_environment = (input.ConsumeIntegral<uint8_t>() & 1) != 0;
  std::string bytes = input.ConsumeRemainingBytesAsString();
  std::vector<char*> argv = {const_cast<char*>("zorvane-server")};
  for (size_t start = 0; start <= bytes.size() && argv.size() <= 32; start += strlen(&bytes[start]) + 1) {
    argv.push_back(&bytes[start]);
  }
  const char* environment = nullptr;
  if (from_environment) {
    snprintf(&entry[0], entry.size(), "MTRACE_LEVEL=%.65000s", argv[1]);
    putenv(&entry[0]);
    environment = entry.c_str() + 13;
    argv.erase(argv.begin() + 1);
  } else {
    unsetenv("MTRACE_LEVEL");
  }
  GetMTraceLevelFromEnv();
  int level = environment == nullptr ? 2 : Clamped(environment, 0, 5);
  FUZZ_REQUIRE(MTrace_GetLevel("default") == level);

  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);
  PortServer = PortClient = UsePipe = IdleLimitSeconds = 0;
  BindAddress = WireTracePath = nullptr;
  CmdClient_PipeSize = CmdClient_ReaderPipeId = CmdClient_WriterPipeId = -1;
  errors.Clear();
  const bool accepted = parse_args(argc, argv.data());
  FUZZ_REQUIRE(errors.Count() == (accepted ? 0u : 1u));
  if (!accepted) return 0;

  int expected[6] = {0, 0, -1, -1, -1, level};  // -ps -pc -pw -pr -s -t
  const char* prefixes[6] = {"-ps=", "-pc=", "-pw=", "-pr=", "-s=", "-t="};
  // -b= -i= -w=: the value of the last one, as the server keeps it.
  const char* valued[3] = {nullptr, nullptr, nullptr};
  const char* valued_prefixes[3] = {"-b=", "-i=", "-w="};
  bool pipes = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    size_t option = 0;
    while (option < 6 && argument.compare(0, strlen(prefixes[option]), prefixes[option]) != 0) ++option;
    size_t valued_option = 0;
    while (valued_option < 3 && argument.compare(0, 3, valued_prefixes[valued_option]) != 0) ++valued_option;
    FUZZ_REQUIRE(option < 6 || valued_option < 3 || argument.size() < 2 || argument[0] != '-' || argument == "-p");
    if (option < 6) expected[option] = Clamped(argument.c_str() + strlen(prefixes[option]));
    if (valued_option < 3) valued[valued_option] = argv[i] + 3;
    pipes = pipes || (option >= 2 && option <= 4);
  }
  FUZZ_REQUIRE(BindAddress == valued[0] && WireTracePath == valued[2] && (valued[2] == nullptr || *valued[2] != '\0'));
  FUZZ_REQUIRE(IdleLimitSeconds == (valued[1] == nullptr ? 0 : Clamped(valued[1])));
  FUZZ_REQUIRE(IdleLimitSeconds >= 0 && IdleLimitSeconds <= 86400);
  FUZZ_REQUIRE(PortServer == expected[0] && PortClient == expected[1]);
  FUZZ_REQUIRE(CmdClient_WriterPipeId == expected[2] && CmdClient_ReaderPipeId == expected[3]);
  FUZZ_REQUIRE(CmdClient_PipeSize == expected[4] && UsePipe == pipes);
  FUZZ_REQUIRE(MTrace_GetLevel("default") == expected[5] && expected[5] >= 0 && expected[5] <= 5);
  return 0;
}
