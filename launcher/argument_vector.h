// The Lisp's argument vector: built once from the command text (the quoted
// module path and the caller's command tail) and the host's command-line
// resource, then edited in place: elements removed by shifting the rest down,
// or two inserted behind element 0. The array has room for three elements
// more than it held when built (and a null behind the last, never counted).
// Elements live until the process ends; the runtime keeps pointers into them.
#pragma once

#include <string>
#include <vector>

namespace launcher {

struct ArgumentVector {
  int count = 0;
  int capacity = 0;  // elements the array can hold besides the closing null
  char** elements = nullptr;
};

// Words of the command text: blanks outside quotes separate them; a double
// quote opens or closes a double-quoted stretch unless a single-quoted one is
// open, and the other way round; quotes stay in the word.
std::vector<std::string> splitCommandText(const char* text);
// A word beginning and ending with the same quote character loses both, once;
// a lone quote character becomes empty.
std::string stripOuterQuotes(const std::string& word);
// Element 0 is the first command word; the rest of both lists merge one word
// at a time by class ('+' before '-' before any other; the resource word first
// on equal class), a value-taking option bringing its next word from its own
// list along.
std::vector<std::string> mergeArgumentWords(const std::vector<std::string>& commandWords,
                                            const std::vector<std::string>& resourceWords);

// The whole construction. `resource` is a list of NUL-terminated texts ended
// by an empty one, or null.
ArgumentVector buildArgumentVector(const char* commandText, const char* resource);
// Removes `n` elements from `index` on (fewer when the vector ends first).
void removeElements(ArgumentVector& vector, int index, int n);
// Puts two elements behind element 0; false when there is no room.
bool insertBehindFirst(ArgumentVector& vector, const char* first, const char* second);

}  // namespace launcher
