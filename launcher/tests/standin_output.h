// The numbered lines the stand-in runtime writes with STANDIN_WRITE, for
// the tests that check every byte arrived.
#pragma once

#include <cstdio>
#include <string>

inline std::string standinOutputLine(int number) {
  char line[80];
  std::snprintf(line, sizeof line, "%06d the quick brown fox jumps over the lazy dog\n", number);
  return line;
}

inline std::string standinOutput(int total) {
  std::string text;
  for (int number = 0; static_cast<int>(text.size()) < total; ++number)
    text += standinOutputLine(number);
  text.resize(static_cast<size_t>(total));
  return text;
}
