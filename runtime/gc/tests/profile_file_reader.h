// A reader of the profiler's data and index files, written from their format
// alone: it rebuilds every sample's stack from the one before.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace profile_reader {

struct Frame {
  bool found = false;
  uint32_t number = 0;  // 24 bits, with a Lisp function
  uint32_t offset = 0;  // 24 bits, with a Lisp function
  uint32_t pc = 0;      // without one
  bool operator==(const Frame&) const = default;
};

struct Sample {
  uint32_t added = 0;
  uint32_t depth = 0;
  int16_t tag = 0;
  std::vector<Frame> stack;  // innermost first
};

inline Frame lispFrame(uint32_t number, uint32_t offset) {
  return {true, number & 0xffffff, offset & 0xffffff, 0};
}
inline Frame rawFrame(uint32_t pc) {
  return {false, 0, 0, pc};
}

inline std::vector<uint16_t> readWords(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
  std::vector<uint16_t> words(bytes.size() / 2);
  for (size_t i = 0; i < words.size(); ++i)
    words[i] = static_cast<uint16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                     static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
  return words;
}

// The frames of the data file in order, `count` of them; nothing when the
// file ends early or holds words past the last frame.
inline std::optional<std::vector<Frame>> readFrames(const std::vector<uint16_t>& data,
                                                    uint32_t count) {
  std::vector<Frame> frames;
  size_t at = 0;
  while (frames.size() < count) {
    if (at >= data.size()) return std::nullopt;
    const uint16_t flags = data[at++];
    for (int bit = 15; bit >= 0 && frames.size() < count; --bit) {
      if (flags & (1u << bit)) {
        if (at + 3 > data.size()) return std::nullopt;
        const uint32_t high = data[at + 2];
        frames.push_back(
            lispFrame((high >> 8) << 16 | data[at], (high & 0xff) << 16 | data[at + 1]));
        at += 3;
      } else {
        if (at + 2 > data.size()) return std::nullopt;
        frames.push_back(rawFrame(uint32_t{data[at]} << 16 | data[at + 1]));
        at += 2;
      }
    }
  }
  if (at != data.size()) return std::nullopt;
  return frames;
}

// Every sample with its rebuilt stack; nothing when the files disagree.
inline std::optional<std::vector<Sample>> readProfile(const std::string& dataPath,
                                                      const std::string& indexPath) {
  const std::vector<uint16_t> index = readWords(indexPath);
  if (index.size() % 3 != 0) return std::nullopt;
  uint32_t total = 0;
  for (size_t i = 0; i < index.size(); i += 3) total += index[i];
  const auto frames = readFrames(readWords(dataPath), total);
  if (!frames) return std::nullopt;
  std::vector<Sample> samples;
  std::vector<Frame> stack;
  size_t next = 0;
  for (size_t i = 0; i < index.size(); i += 3) {
    Sample sample{index[i], index[i + 1], static_cast<int16_t>(index[i + 2]), {}};
    if (sample.added > sample.depth || sample.depth - sample.added > stack.size())
      return std::nullopt;
    const size_t kept = sample.depth - sample.added;
    sample.stack.assign(frames->begin() + static_cast<long>(next),
                        frames->begin() + static_cast<long>(next + sample.added));
    sample.stack.insert(sample.stack.end(), stack.end() - static_cast<long>(kept), stack.end());
    next += sample.added;
    stack = sample.stack;
    samples.push_back(std::move(sample));
  }
  return samples;
}

}  // namespace profile_reader
