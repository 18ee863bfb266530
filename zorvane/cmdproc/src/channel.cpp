#include "channel.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diagnostics.h"
#include "output_buffer.h"
#include "record_reader.h"

namespace {

// Commands are read only while less than this waits unsent; it lies above the
// production mark, so that an "abort" still gets through while a count streams.
constexpr size_t kReadingMark = 1024 * 1024;
constexpr size_t kReadChunk = 64 * 1024;

enum class ReadResult { kData, kEnd, kFailed };

class Channel {
 public:
  Channel(int input_fd, int output_fd, VariableStore* variables, int stop_fd)
      : input_fd_(input_fd), output_fd_(output_fd), stop_fd_(stop_fd), processor_(variables, &output_) {}

  ChannelEnd Serve();

 private:
  ReadResult ReadCommands();
  void FinishAtEnd();

  int input_fd_;
  int output_fd_;
  int stop_fd_;
  RecordReader reader_;
  OutputBuffer output_;
  CommandProcessor processor_;
};

ChannelEnd Channel::Serve() {
  for (;;) {
    processor_.Advance(Clock::now());
    if (!output_.Flush(output_fd_)) {
      WarnErrno("writing answers failed");
      return ChannelEnd::kFailed;
    }
    pollfd watched[3];
    nfds_t count = 0;
    int input_slot = -1;
    int stop_slot = -1;
    if (output_.Pending() < kReadingMark) {
      input_slot = static_cast<int>(count);
      watched[count++] = {input_fd_, POLLIN, 0};
    }
    if (output_.Pending() > 0) watched[count++] = {output_fd_, POLLOUT, 0};
    if (stop_fd_ >= 0) {
      stop_slot = static_cast<int>(count);
      watched[count++] = {stop_fd_, POLLIN, 0};
    }
    int ready = poll(watched, count, processor_.MillisecondsToNextEvent(Clock::now()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      WarnErrno("poll failed");
      return ChannelEnd::kFailed;
    }
    if (stop_slot >= 0 && watched[stop_slot].revents != 0) return ChannelEnd::kStopped;
    if (input_slot >= 0 && watched[input_slot].revents != 0) {
      ReadResult result = ReadCommands();
      if (result == ReadResult::kFailed) return ChannelEnd::kFailed;
      if (result == ReadResult::kEnd) {
        FinishAtEnd();
        return ChannelEnd::kPeerClosed;
      }
    }
  }
}

ReadResult Channel::ReadCommands() {
  char chunk[kReadChunk];
  ssize_t count = read(input_fd_, chunk, sizeof(chunk));
  // A server that goes away with answers unread resets the connection: that is an end too.
  if (count == 0 || (count < 0 && errno == ECONNRESET)) return ReadResult::kEnd;
  if (count < 0) {
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return ReadResult::kData;
    WarnErrno("reading commands failed");
    return ReadResult::kFailed;
  }
  reader_.Feed(chunk, static_cast<size_t>(count));
  Record record;
  Clock::time_point now = Clock::now();
  while (reader_.Next(&record)) processor_.Handle(record, now);
  return ReadResult::kData;
}

void Channel::FinishAtEnd() {
  if (reader_.HoldsPartialRecord()) Warn("incomplete command record at the end of the input ignored");
  processor_.EndAllSilently();
  // One last attempt for answers still waiting; nobody may read them any more.
  output_.Flush(output_fd_);
}

}  // namespace

ChannelEnd ServeChannel(int input_fd, int output_fd, VariableStore* variables, int stop_fd) {
  Channel channel(input_fd, output_fd, variables, stop_fd);
  return channel.Serve();
}
