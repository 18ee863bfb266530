// The answer stream towards the server, held until the server reads it.
#ifndef ZORVANE_CMDPROC_OUTPUT_BUFFER_H
#define ZORVANE_CMDPROC_OUTPUT_BUFFER_H

#include <cstddef>
#include <string>

class OutputBuffer {
 public:
  // Appends text and a line feed. The text must not hold a 0x00 byte.
  void AppendLine(const std::string& text);
  // Appends the end marker of a transaction: 0x00, id high byte, id low byte.
  void AppendMarker(unsigned id);
  size_t Pending() const { return bytes_.size() - sent_; }
  // Writes as much as the non-blocking descriptor takes; false when writing failed.
  bool Flush(int fd);

 private:
  void DropSent();

  std::string bytes_;
  size_t sent_ = 0;
};

#endif
