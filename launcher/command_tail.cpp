#include "launcher/command_tail.h"

#include "launcher/argument_vector.h"

namespace launcher {

namespace {

// A word the split must end at: a quoted stretch left open would swallow it.
constexpr char kFollowingWord[] = " x";

// True when `form`, followed by another word, splits into two words and
// the first comes back as `argument`.
bool carries(const std::string& form, const std::string& argument) {
  const std::vector<std::string> words = splitCommandText((form + kFollowingWord).c_str());
  return words.size() == 2 && stripOuterQuotes(words[0]) == argument;
}

std::optional<std::string> formFor(const std::string& argument) {
  for (const std::string& form : {argument, '"' + argument + '"', '\'' + argument + '\''})
    if (carries(form, argument)) return form;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> commandTailFor(const std::vector<std::string>& arguments,
                                          std::string* refused) {
  std::string tail;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::optional<std::string> form = formFor(arguments[i]);
    if (!form) {
      if (refused) *refused = arguments[i];
      return std::nullopt;
    }
    if (i > 0) tail += ' ';
    tail += *form;
  }
  return tail;
}

}  // namespace launcher
