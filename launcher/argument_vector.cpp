#include "launcher/argument_vector.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "launcher/launcher_options.h"

namespace launcher {

namespace {

// Room for elements the launcher inserts behind element 0 after the build.
constexpr int kSpareElements = 3;

bool isQuote(char c) {
  return c == '"' || c == '\'';
}

// Merge order: '+' words, then '-' words, then any other.
int wordClass(const std::string& word) {
  if (!word.empty() && word[0] == '+') return 0;
  if (!word.empty() && word[0] == '-') return 1;
  return 2;
}

std::vector<std::string> resourceWords(const char* resource) {
  std::vector<std::string> words;
  if (!resource || !*resource) return words;
  for (const char* text = resource; *text; text += std::strlen(text) + 1) words.emplace_back(text);
  return words;
}

}  // namespace

std::vector<std::string> splitCommandText(const char* text) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  char openQuote = 0;
  for (const char* p = text ? text : ""; *p; ++p) {
    const char c = *p;
    if (!openQuote && std::isspace(static_cast<unsigned char>(c))) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
      continue;
    }
    if (isQuote(c)) {
      if (!openQuote)
        openQuote = c;
      else if (openQuote == c)
        openQuote = 0;
    }
    word += c;
    inWord = true;
  }
  if (inWord) words.push_back(word);
  return words;
}

std::string stripOuterQuotes(const std::string& word) {
  if (word.empty() || !isQuote(word.front()) || word.back() != word.front()) return word;
  if (word.size() == 1) return {};
  return word.substr(1, word.size() - 2);
}

std::vector<std::string> mergeArgumentWords(const std::vector<std::string>& commandWords,
                                            const std::vector<std::string>& resourceWords) {
  std::vector<std::string> merged;
  size_t c = 0, r = 0;
  if (!commandWords.empty()) merged.push_back(commandWords[c++]);
  auto take = [&merged](const std::vector<std::string>& list, size_t& at) {
    const std::string& word = list[at++];
    merged.push_back(word);
    if (optionTakesValue(word.c_str()) && at < list.size()) merged.push_back(list[at++]);
  };
  while (c < commandWords.size() || r < resourceWords.size()) {
    if (c == commandWords.size())
      take(resourceWords, r);
    else if (r == resourceWords.size())
      take(commandWords, c);
    else if (wordClass(resourceWords[r]) <= wordClass(commandWords[c]))
      take(resourceWords, r);
    else
      take(commandWords, c);
  }
  return merged;
}

ArgumentVector buildArgumentVector(const char* commandText, const char* resource) {
  std::vector<std::string> command = splitCommandText(commandText);
  std::vector<std::string> fromResource = resourceWords(resource);
  for (std::string& word : command) word = stripOuterQuotes(word);
  for (std::string& word : fromResource) word = stripOuterQuotes(word);
  const std::vector<std::string> merged = mergeArgumentWords(command, fromResource);

  ArgumentVector vector;
  vector.count = static_cast<int>(merged.size());
  vector.capacity = vector.count + kSpareElements;
  vector.elements = static_cast<char**>(std::calloc(vector.capacity + 1, sizeof(char*)));
  if (!vector.elements) std::abort();  // a few hundred bytes at start-up
  for (int i = 0; i < vector.count; ++i) {
    vector.elements[i] = strdup(merged[i].c_str());
    if (!vector.elements[i]) std::abort();
  }
  return vector;
}

void removeElements(ArgumentVector& vector, int index, int n) {
  if (index < 0 || index >= vector.count || n <= 0) return;
  if (n > vector.count - index) n = vector.count - index;
  std::memmove(&vector.elements[index], &vector.elements[index + n],
               (vector.count - index - n + 1) * sizeof(char*));  // with the closing null
  vector.count -= n;
}

bool insertBehindFirst(ArgumentVector& vector, const char* first, const char* second) {
  if (vector.count < 1 || vector.count + 2 > vector.capacity) return false;
  std::memmove(&vector.elements[3], &vector.elements[1], vector.count * sizeof(char*));
  vector.elements[1] = const_cast<char*>(first);
  vector.elements[2] = const_cast<char*>(second);
  vector.count += 2;
  return true;
}

}  // namespace launcher
