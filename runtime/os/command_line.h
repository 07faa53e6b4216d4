// A child's command line, given whole as one text, turned into the program
// to start and its arguments: split by the C runtime's rules for command
// lines and the program looked up on PATH, as a process start without a
// shell does.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lisp::os {

// The words of a command line. The first (the program) ends at a space or
// tab, or is everything between a leading double quote and the next one;
// backslashes in it are plain. In every later word spaces and tabs separate
// words outside quotes; 2n backslashes before a double quote give n
// backslashes and the quote opens or closes quoting, 2n+1 give n and a
// literal quote; two double quotes inside quoting give one literal quote;
// other backslashes are plain.
std::vector<std::string> splitCommandLine(std::string_view line);

// The file to start for `program`: a name with a slash names the file itself
// (made absolute against `baseDirectory` when relative, since the child may
// start in another directory); otherwise the first executable regular file
// of that name in a directory of `searchPath`, where an empty or relative
// entry counts from `baseDirectory`. Nothing when not found.
std::optional<std::string> findProgram(const std::string& program, const char* searchPath,
                                       const std::string& baseDirectory);

}  // namespace lisp::os
