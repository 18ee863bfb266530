// Serves one channel to a server: reads command records, runs them and
// writes the answer stream, all on one thread around poll().
#ifndef ZORVANE_CMDPROC_CHANNEL_H
#define ZORVANE_CMDPROC_CHANNEL_H

#include "command_processor.h"

enum class ChannelEnd {
  kPeerClosed,  // the server closed its end of the command stream
  kFailed,      // reading, writing or polling failed
  kStopped,     // the stop descriptor became readable
};

// input_fd and output_fd must be non-blocking; they may be the same socket.
// stop_fd, when not -1, ends the service as soon as it is readable.
ChannelEnd ServeChannel(int input_fd, int output_fd, VariableStore* variables, int stop_fd);

#endif
