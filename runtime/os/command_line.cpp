// Splitting a command line into words and finding its program.

#include "runtime/os/command_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace lisp::os {

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// The program word: up to a blank, or quoted whole; no escapes.
size_t takeProgram(std::string_view line, std::string& word) {
  size_t at = 0;
  if (at < line.size() && line[at] == '"') {
    ++at;
    while (at < line.size() && line[at] != '"') word += line[at++];
    if (at < line.size()) ++at;  // the closing quote
    return at;
  }
  while (at < line.size() && !isBlank(line[at])) word += line[at++];
  return at;
}

// One later word from `at`, which is not blank; returns where it ended.
size_t takeWord(std::string_view line, size_t at, std::string& word) {
  bool quoting = false;
  while (at < line.size()) {
    size_t backslashes = 0;
    while (at < line.size() && line[at] == '\\') ++backslashes, ++at;
    if (at < line.size() && line[at] == '"') {
      word.append(backslashes / 2, '\\');
      if (backslashes % 2 == 1) {
        word += '"';
        ++at;
      } else if (quoting && at + 1 < line.size() && line[at + 1] == '"') {
        word += '"';
        at += 2;
      } else {
        quoting = !quoting;
        ++at;
      }
      continue;
    }
    word.append(backslashes, '\\');
    if (at >= line.size() || (!quoting && isBlank(line[at]))) break;
    word += line[at++];
  }
  return at;
}

bool isExecutableFile(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

std::string fromBase(const std::string& path, const std::string& baseDirectory) {
  if (!path.empty() && path[0] == '/') return path;
  return baseDirectory + "/" + path;
}

}  // namespace

std::vector<std::string> splitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < line.size() && isBlank(line[at])) ++at;
  if (at >= line.size()) return words;
  std::string program;
  at += takeProgram(line.substr(at), program);
  words.push_back(std::move(program));
  for (;;) {
    while (at < line.size() && isBlank(line[at])) ++at;
    if (at >= line.size()) return words;
    std::string word;
    at = takeWord(line, at, word);
    words.push_back(std::move(word));
  }
}

std::optional<std::string> findProgram(const std::string& program, const char* searchPath,
                                       const std::string& baseDirectory) {
  if (program.empty()) return std::nullopt;
  if (program.find('/') != std::string::npos) {
    const std::string path = fromBase(program, baseDirectory);
    if (isExecutableFile(path)) return path;
    return std::nullopt;
  }
  // Decision: without PATH the search covers the system's usual directories.
  const std::string_view directories = searchPath ? searchPath : "/bin:/usr/bin";
  size_t start = 0;
  for (;;) {
    const size_t end = std::min(directories.find(':', start), directories.size());
    const std::string directory(directories.substr(start, end - start));
    const std::string path =
        fromBase(directory.empty() ? program : directory + "/" + program, baseDirectory);
    if (isExecutableFile(path)) return path;
    if (end >= directories.size()) return std::nullopt;
    start = end + 1;
  }
}

}  // namespace lisp::os
