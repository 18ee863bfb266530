#include "bulk_stream.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr uint64_t kHeaderLength = 11;  // ten digits and a blank
constexpr size_t kAlphabetRun = 64 * 1024;

// Letters a..z over and over, so that any run of letters starting with any
// letter is one memcpy away.
const std::string& Alphabet() {
  static const std::string letters = [] {
    std::string text(kAlphabetRun + 26, 'a');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    return text;
  }();
  return letters;
}

}  // namespace

BulkStream::BulkStream(uint64_t count, uint64_t length) : count_(length == 0 ? 0 : count), length_(length) {
  StartLine();
}

void BulkStream::StartLine() {
  offset_ = 0;
  header_length_ = std::min(kHeaderLength, length_ == 0 ? 0 : length_ - 1);
  uint64_t number = line_;
  for (int digit = 9; digit >= 0; --digit) {
    header_[digit] = static_cast<char>('0' + number % 10);
    number /= 10;
  }
  header_[10] = ' ';
}

size_t BulkStream::Fill(char* out, size_t capacity) {
  size_t filled = 0;
  while (filled < capacity && !Done()) {
    char* at = out + filled;
    size_t room = capacity - filled;
    if (offset_ < header_length_) {
      filled += FillHeader(at, room);
    } else if (offset_ + 1 < length_) {
      filled += FillLetters(at, room);
    } else {
      *at = '\n';
      ++filled;
      ++line_;
      StartLine();
    }
  }
  return filled;
}

size_t BulkStream::FillHeader(char* out, size_t capacity) {
  size_t piece = static_cast<size_t>(std::min<uint64_t>(header_length_ - offset_, capacity));
  memcpy(out, header_ + offset_, piece);
  offset_ += piece;
  return piece;
}

// The letter at offset k of line i is 'a' + (i + k) mod 26.
size_t BulkStream::FillLetters(char* out, size_t capacity) {
  uint64_t letters_left = length_ - 1 - offset_;
  size_t piece = static_cast<size_t>(std::min<uint64_t>({letters_left, capacity, kAlphabetRun}));
  memcpy(out, Alphabet().data() + (line_ + offset_) % 26, piece);
  offset_ += piece;
  return piece;
}
