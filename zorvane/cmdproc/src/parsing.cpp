#include "parsing.h"

#include <cstdlib>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

size_t SkipBlanks(const std::string& text, size_t position) {
  while (position < text.size() && IsBlank(text[position])) ++position;
  return position;
}

size_t SkipWord(const std::string& text, size_t position) {
  while (position < text.size() && !IsBlank(text[position])) ++position;
  return position;
}

}  // namespace

void SplitFirstWord(const std::string& text, std::string* word, std::string* rest) {
  size_t begin = SkipBlanks(text, 0);
  size_t end = SkipWord(text, begin);
  word->assign(text, begin, end - begin);
  rest->assign(text, SkipBlanks(text, end), std::string::npos);
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  size_t position = SkipBlanks(text, 0);
  while (position < text.size()) {
    size_t end = SkipWord(text, position);
    words.emplace_back(text, position, end - position);
    position = SkipBlanks(text, end);
  }
  return words;
}

bool ParseDecimal(const std::string& text, unsigned long long max, unsigned long long* value) {
  if (text.empty()) return false;
  unsigned long long result = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    unsigned digit = static_cast<unsigned>(c - '0');
    if (digit > max || result > (max - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

bool ParseSeconds(const std::string& text, double max, double* seconds) {
  size_t digits = 0;
  size_t points = 0;
  for (char c : text) {
    if (IsDigit(c)) {
      ++digits;
    } else if (c == '.') {
      ++points;
    } else {
      return false;
    }
  }
  if (digits == 0 || points > 1) return false;
  // The text is now a plain decimal number, which strtod reads alike in the "C" locale.
  double result = std::strtod(text.c_str(), nullptr);
  if (result > max) return false;
  *seconds = result;
  return true;
}
