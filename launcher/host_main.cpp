// lunvarra_host: the small host program that starts a Lisp through the
// launcher library. Its arguments become the command tail, each quoted so
// that the launcher's split gives it back whole.

#include <string>

#include "launcher/start_lisp.h"

namespace {

// An argument holding a blank (or an empty one) is double-quoted, or
// single-quoted when it holds a double quote.
std::string quotedForTail(const std::string& argument) {
  const bool needsQuotes =
      argument.empty() || argument.find_first_of(" \t\n\v\f\r") != std::string::npos;
  if (!needsQuotes) return argument;
  const char quote = argument.find('"') != std::string::npos ? '\'' : '"';
  return quote + argument + quote;
}

}  // namespace

int main(int argc, char** argv) {
  std::string tail;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) tail += ' ';
    tail += quotedForTail(argv[i]);
  }
  constexpr int kShowNormal = 1;
  StartLisp(tail.c_str(), kShowNormal, 0);
  return 1;  // StartLisp does not return
}
