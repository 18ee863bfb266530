#include "output_buffer.h"

#include <unistd.h>

#include <cerrno>

namespace {
// Sent bytes are erased from the front only past this size, to keep erasing cheap.
constexpr size_t kCompactionSize = 64 * 1024;
}  // namespace

void OutputBuffer::AppendLine(const std::string& text) {
  bytes_ += text;
  bytes_ += '\n';
}

void OutputBuffer::AppendMarker(unsigned id) {
  bytes_ += '\0';
  bytes_ += static_cast<char>((id >> 8) & 0xFF);
  bytes_ += static_cast<char>(id & 0xFF);
}

bool OutputBuffer::Flush(int fd) {
  while (Pending() > 0) {
    ssize_t written = write(fd, bytes_.data() + sent_, Pending());
    if (written > 0) {
      sent_ += static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    break;
  }
  DropSent();
  return true;
}

void OutputBuffer::DropSent() {
  if (sent_ == bytes_.size()) {
    bytes_.clear();
    sent_ = 0;
  } else if (sent_ >= kCompactionSize && sent_ * 2 >= bytes_.size()) {
    bytes_.erase(0, sent_);
    sent_ = 0;
  }
}
