// Small parsers for command words, numbers and durations.
#ifndef ZORVANE_CMDPROC_PARSING_H
#define ZORVANE_CMDPROC_PARSING_H

#include <string>
#include <vector>

// Splits text into its first blank-separated word and the rest, with the
// blanks between them removed (the rest keeps its own inner and trailing blanks).
void SplitFirstWord(const std::string& text, std::string* word, std::string* rest);

// All blank-separated words of text.
std::vector<std::string> Words(const std::string& text);

// Decimal digits only, at most max; false on anything else.
bool ParseDecimal(const std::string& text, unsigned long long max, unsigned long long* value);

// Seconds as digits with an optional fraction ("2", "0.25", ".5"), at most max.
bool ParseSeconds(const std::string& text, double max, double* seconds);

#endif
