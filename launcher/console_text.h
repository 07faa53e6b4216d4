// The console's edit control without a display: its text, the input mark
// (where the user's not yet entered input begins), the caret and the
// selection, and the rules by which the Lisp's output and the user's typing
// change them.
//
// Invariant: 0 <= mark <= text length and 0 <= caret <= text length; the
// output always goes in at the mark, so typed input stays behind it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace launcher {

// Output is sent to the frame in pieces of at most this many characters.
inline constexpr size_t kDisplayPieceLimit = 1048;
// Each line of entered input is read into a buffer of this many bytes.
inline constexpr size_t kInputLineBytes = 1024;
// Entered input goes to the Lisp in a piece whenever more than this has
// gathered.
inline constexpr size_t kInputPieceThreshold = 1750;

// Text limit and shrink slop when none is set (and on the old system family
// whose edit controls held less).
inline constexpr int32_t kDefaultConsoleLimit = 100000;
inline constexpr int32_t kDefaultConsoleSlop = 15000;
inline constexpr int32_t kSmallConsoleLimit = 25000;
inline constexpr int32_t kSmallConsoleSlop = 5000;
inline constexpr double kSlopShare = 0.15;
inline constexpr const char* kTrimMark = "...";

struct ConsoleText {
  std::string text;
  int32_t mark = 0;
  int32_t caret = 0;
  int32_t selectionStart = 0;
  int32_t selectionEnd = 0;
  // Text that went in before the mark (output, entered lines) since a front
  // end last took it, in order.
  std::string unseen;
};

// The console's limit and slop at window creation: -1 gives the defaults,
// the old system family its small ones, any other limit keeps itself with a
// slop of 15 per cent.
struct ConsoleLimits {
  int32_t limit;
  int32_t slop;
};
ConsoleLimits consoleLimitsFor(int32_t limit, bool oldSystem);

// Output bytes as the pieces appended to the console: a line feed not
// preceded by a carriage return gets one, NUL bytes are dropped.
std::vector<std::string> displayPieces(std::string_view bytes);

// Inserts one piece at the input mark, first trimming the front of the text
// to "..." when it has passed `limit` (limit <= 0: never).
void appendPiece(ConsoleText& console, std::string_view piece, int32_t limit, int32_t slop);

// Enter: the input typed since the mark, line by line ("\n" joined, a final
// "\n"), in the pieces it goes to the Lisp in; the mark then stands past the
// line break the control is about to insert.
std::vector<std::string> takeEnteredInput(ConsoleText& console);

// The control's own handling of typing: a character replaces nothing and
// goes in at the caret; Enter inserts a line break; Backspace removes the
// character before the caret, but never one before the input mark.
void typeCharacter(ConsoleText& console, char character);
void typeLineBreak(ConsoleText& console);
void typeBackspace(ConsoleText& console);
void selectAll(ConsoleText& console);

}  // namespace launcher
