#include "output_queue.h"

#include <sys/socket.h>

#include <cerrno>

namespace {

constexpr size_t kStageSize = 256 * 1024;

}  // namespace

void OutputQueue::Append(const char* data, size_t size) {
  if (jobs_.empty() || jobs_.back().is_bulk) jobs_.emplace_back();
  jobs_.back().literal.append(data, size);
}

void OutputQueue::AppendBulk(uint64_t count, uint64_t length) {
  Job job;
  job.bulk = BulkStream(count, length);
  job.is_bulk = true;
  jobs_.push_back(job);
}

// Moves the next bytes from the jobs into the staging buffer.
void OutputQueue::Stage() {
  staged_.clear();
  staged_offset_ = 0;
  while (!jobs_.empty() && staged_.size() < kStageSize) {
    Job& job = jobs_.front();
    if (!job.is_bulk) {
      staged_.append(job.literal);
      jobs_.pop_front();
      continue;
    }
    size_t used = staged_.size();
    staged_.resize(kStageSize);
    staged_.resize(used + job.bulk.Fill(&staged_[used], kStageSize - used));
    if (job.bulk.Done()) jobs_.pop_front();
  }
}

bool OutputQueue::WriteTo(int fd) {
  for (;;) {
    if (staged_offset_ == staged_.size()) Stage();
    if (staged_offset_ == staged_.size()) return true;
    ssize_t written = send(fd, staged_.data() + staged_offset_, staged_.size() - staged_offset_, MSG_NOSIGNAL);
    if (written < 0) return errno == EAGAIN || errno == EINTR;
    staged_offset_ += static_cast<size_t>(written);
  }
}
