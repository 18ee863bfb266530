#include "wiretrace.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "qdrcore.h"

WireTrace* wire_trace = nullptr;

namespace {

const char* HopName(WireHop hop) {
  switch (hop) {
    case WireHop::kClientToServer:
      return "client>server ";
    case WireHop::kServerToClient:
      return "server>client ";
    case WireHop::kServerToProcessor:
      return "server>processor ";
    case WireHop::kProcessorToServer:
      return "processor>server ";
  }
  return "? ";
}

int OpenForAppending(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
}

}  // namespace

WireTrace::~WireTrace() {
  if (fd != -1) (void)close(fd);
}

bool WireTrace::Open(const std::string& new_path) {
  path = new_path;
  fd = OpenForAppending(path);
  if (fd == -1) {
    MERRLOG_ERRNO("WireTrace::Open(): cannot open %s", path.c_str());
    return false;
  }
  return true;
}

void WireTrace::Record(WireHop hop, const char* data, size_t count) {
  const size_t before = buffer.size();
  MQdrCore_AppendTimestamp(&buffer);
  buffer.append(HopName(hop)).append(std::to_string(count)).append(": ");
  MQdrCore_AppendEscaped(&buffer, data, count);
  buffer.push_back('\n');
  if (buffer.size() > kBufferLimit) {
    buffer.resize(before);
    drop(1, "more than 1 MiB waits to be written", 0);
    return;
  }
  ++buffered_records;
}

void WireTrace::Flush() {
  if (reopen_requested != 0) reopen();
  if (buffer.empty()) return;
  ssize_t written = fd == -1 ? -1 : write(fd, buffer.data(), buffer.size());
  const int error = errno;
  if (written < 0) {
    drop(buffered_records, "write failed", error);
  } else if (static_cast<size_t>(written) < buffer.size()) {
    drop(static_cast<size_t>(std::count(buffer.begin() + written, buffer.end(), '\n')), "short write", 0);
  }
  buffer.clear();
  buffered_records = 0;
}

// Lines gathered before the signal go to the new file, as they are newer
// than anything the old one holds.
void WireTrace::reopen() {
  reopen_requested = 0;
  const int new_fd = OpenForAppending(path);
  if (new_fd == -1) {
    if (!reopen_failure_logged)
      MERRLOG_ERRNO("WireTrace::Flush(): cannot reopen %s, going on with the open file", path.c_str());
    reopen_failure_logged = true;
    return;
  }
  reopen_failure_logged = false;
  if (fd != -1) (void)close(fd);
  fd = new_fd;
  MTRACE(1, "WireTrace::Flush(): %s reopened, %llu records dropped so far", path.c_str(), dropped);
}

// The first loss is logged with its reason; later ones are only counted.
void WireTrace::drop(size_t records, const char* why, int error) {
  dropped += records;
  if (drop_logged) return;
  drop_logged = true;
  if (error != 0) {
    MERRLOG_ERRNUM(error, "WireTrace: %s, records dropped from now on are only counted", why);
  } else {
    MERRLOG("WireTrace: %s, records dropped from now on are only counted", why);
  }
}
