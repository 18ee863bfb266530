// zorvane-bench-responder: answers clients directly with the bytes the
// server would send for the benchmark's commands (bench_commands.h): the
// session's "0000<TAB>ready" on connect, then for each request line its ack,
// its output and its ready. A line starting with "." ends the connection.
// One client at a time.
//
//   zorvane-bench-responder [--port PORT]     (0 or none: a free port)
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

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "ID COMMAND": false for a line that ends the connection.
bool AnswerLine(const std::string& line, OutputQueue* output) {
  if (line[0] == '.') return false;
  size_t cursor = 0;
  unsigned tid = 0;
  while (cursor < line.size() && IsDigit(line[cursor])) tid = tid * 10 + static_cast<unsigned>(line[cursor++] - '0');
  while (cursor < line.size() && (line[cursor] == ' ' || line[cursor] == '\t')) ++cursor;
  BenchAnswer answer = AnswerFor(line.substr(cursor));
  output->Append(ReplyLine(tid, "ack"));
  switch (answer.kind) {
    case BenchAnswer::Kind::kHeldOpen:
      return true;
    case BenchAnswer::Kind::kBulk:
      output->AppendBulk(answer.count, answer.length);
      break;
    case BenchAnswer::Kind::kText:
      output->Append(answer.text);
      break;
  }
  output->Append(ReplyLine(tid, "ready"));
  return true;
}

// Answers every complete line of `input` (CR or LF ends a line, empty lines
// are dropped) and keeps the unfinished rest; false once the client asked
// to end the connection.
bool AnswerLines(std::string* input, OutputQueue* output) {
  size_t start = 0;
  bool go_on = true;
  for (size_t end = input->find_first_of("\r\n"); go_on && end != std::string::npos;
       end = input->find_first_of("\r\n", start)) {
    if (end > start) go_on = AnswerLine(input->substr(start, end - start), output);
    start = end + 1;
  }
  input->erase(0, start);
  return go_on;
}

void ServeClient(int fd) {
  SetNonBlocking(fd);
  SetNoDelay(fd);
  std::string input;
  OutputQueue output;
  output.Append(ReplyLine(0, "ready"));
  bool reading = true;
  char chunk[kReadSize];
  while (reading || !output.Empty()) {
    short events = static_cast<short>((reading ? POLLIN : 0) | (output.Empty() ? 0 : POLLOUT));
    struct pollfd entry = {fd, events, 0};
    if (poll(&entry, 1, -1) < 0) continue;
    if (reading && (entry.revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t got = read(fd, chunk, sizeof(chunk));
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) break;
      if (got > 0) {
        input.append(chunk, static_cast<size_t>(got));
        reading = AnswerLines(&input, &output);
      }
    }
    if (!output.WriteTo(fd)) break;
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) { return ServeConnectionsForever("zorvane-bench-responder", argc, argv, ServeClient); }
