// zorvane-bench-proc: a command processor for the benchmark, fast enough
// never to be the bottleneck. It listens on 127.0.0.1 for the server's
// command channel and answers the commands of bench_commands.h: text lines,
// then the three-byte end marker (0x00, id high, id low).
//
//   zorvane-bench-proc [--port PORT]     (0 or none: a free port)
//
// Prints "port=PORT" once it listens; runs until it is ended by a signal.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_commands.h"
#include "bench_net.h"
#include "output_queue.h"

namespace {

constexpr size_t kReadSize = 64 * 1024;

void AppendMarker(unsigned tid, OutputQueue* output) {
  const char marker[3] = {'\0', static_cast<char>((tid >> 8) & 0xFF), static_cast<char>(tid & 0xFF)};
  output->Append(marker, sizeof(marker));
}

void Answer(unsigned tid, const std::string& command, OutputQueue* output) {
  // "close" ends the session and with it every transaction still producing.
  if (command == "close") output->DropQueued();
  BenchAnswer answer = AnswerFor(command);
  switch (answer.kind) {
    case BenchAnswer::Kind::kHeldOpen:
      return;  // held transactions end silently with the session
    case BenchAnswer::Kind::kBulk:
      output->AppendBulk(answer.count, answer.length);
      break;
    case BenchAnswer::Kind::kText:
      output->Append(answer.text);
      break;
  }
  AppendMarker(tid, output);
}

// Handles every whole record (id high, id low, text, 0x00) at the front of
// `input` and removes them.
void HandleRecords(std::string* input, OutputQueue* output) {
  size_t start = 0;
  for (;;) {
    size_t end = input->find('\0', start + 2);
    if (start + 2 > input->size() || end == std::string::npos) break;
    unsigned tid = static_cast<unsigned char>((*input)[start]) * 256u + static_cast<unsigned char>((*input)[start + 1]);
    Answer(tid, input->substr(start + 2, end - start - 2), output);
    start = end + 1;
  }
  input->erase(0, start);
}

// One connection of the server; returns when the server goes away.
void ServeChannel(int fd) {
  SetNonBlocking(fd);
  SetNoDelay(fd);
  std::string input;
  OutputQueue output;
  char chunk[kReadSize];
  for (;;) {
    struct pollfd entry = {fd, static_cast<short>(POLLIN | (output.Empty() ? 0 : POLLOUT)), 0};
    if (poll(&entry, 1, -1) < 0) continue;
    if (entry.revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t got = read(fd, chunk, sizeof(chunk));
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) break;
      if (got > 0) {
        input.append(chunk, static_cast<size_t>(got));
        HandleRecords(&input, &output);
      }
    }
    if (!output.WriteTo(fd)) break;
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) { return ServeConnectionsForever("zorvane-bench-proc", argc, argv, ServeChannel); }
