// The edit control's text rules. Lines are separated by "\r\n", as the
// control keeps them.

#include "launcher/console_text.h"

#include <algorithm>

namespace launcher {

namespace {

constexpr std::string_view kLineBreak = "\r\n";

int32_t length(const ConsoleText& console) {
  return static_cast<int32_t>(console.text.size());
}

// Where typing goes in: the caret, kept behind the mark and inside the text.
// (Right after Enter the mark stands 2 past the end, on the break to come.)
int32_t typingPosition(const ConsoleText& console) {
  const int32_t end = static_cast<int32_t>(console.text.size());
  return std::min(std::max(console.caret, std::min(console.mark, end)), end);
}

void collapseSelection(ConsoleText& console) {
  console.selectionStart = console.selectionEnd = console.caret;
}

// Start of the line holding `index`.
size_t lineStart(const std::string& text, size_t index) {
  const size_t found = index == 0 ? std::string::npos : text.rfind(kLineBreak, index - 1);
  if (found == std::string::npos) return 0;
  // A break that straddles `index` (index points between CR and LF) still
  // belongs to the line before.
  return found + kLineBreak.size() <= index ? found + kLineBreak.size() : 0;
}

}  // namespace

ConsoleLimits consoleLimitsFor(int32_t limit, bool oldSystem) {
  if (oldSystem) return {kSmallConsoleLimit, kSmallConsoleSlop};
  if (limit == -1) return {kDefaultConsoleLimit, kDefaultConsoleSlop};
  return {limit, static_cast<int32_t>(limit * kSlopShare)};
}

std::vector<std::string> displayPieces(std::string_view bytes) {
  std::vector<std::string> pieces;
  std::string piece;
  char previous = '\0';
  auto add = [&](char c) {
    if (piece.size() == kDisplayPieceLimit) pieces.push_back(std::move(piece)), piece.clear();
    piece.push_back(c);
  };
  for (const char c : bytes) {
    if (c == '\0') continue;
    if (c == '\n' && previous != '\r') add('\r');
    add(c);
    previous = c;
  }
  if (!piece.empty()) pieces.push_back(std::move(piece));
  return pieces;
}

void appendPiece(ConsoleText& console, std::string_view piece, int32_t limit, int32_t slop) {
  const int32_t end = length(console);
  if (limit > 0 && end > limit) {
    const int32_t cut = std::min<int64_t>(int64_t{end} + slop - limit, end);
    console.text.replace(0, static_cast<size_t>(cut), kTrimMark);
    // Decision: a mark inside the trimmed front goes to the text's start.
    console.mark = std::max(console.mark - (cut - 3), 0);
    console.mark = std::min(console.mark, length(console));
  }
  console.text.insert(static_cast<size_t>(console.mark), piece);
  console.unseen += piece;
  console.mark += static_cast<int32_t>(piece.size());
  console.caret = std::min<int64_t>(int64_t{end} + static_cast<int64_t>(piece.size()),
                                    length(console));
  collapseSelection(console);
}

std::vector<std::string> takeEnteredInput(ConsoleText& console) {
  const std::string& text = console.text;
  const size_t mark = std::min(static_cast<size_t>(console.mark), console.text.size());
  console.unseen.append(console.text, mark).append(kLineBreak);
  size_t start = lineStart(text, mark);
  size_t column = mark - start;
  std::vector<std::string> pieces;
  std::string gathered;
  bool first = true;
  for (;;) {
    size_t stop = text.find(kLineBreak, start);
    const bool last = stop == std::string::npos;
    if (last) stop = text.size();
    const std::string_view line =
        std::string_view(text).substr(start, std::min(stop - start, kInputLineBytes));
    if (!first) gathered += '\n';
    if (!first || column < line.size()) gathered += line.substr(first ? column : 0);
    first = false;
    if (last) {
      console.mark = static_cast<int32_t>(stop + kLineBreak.size());
      break;
    }
    if (gathered.size() > kInputPieceThreshold) pieces.push_back(std::move(gathered)), gathered.clear();
    start = stop + kLineBreak.size();
    column = 0;
  }
  gathered += '\n';
  pieces.push_back(std::move(gathered));
  return pieces;
}

void typeCharacter(ConsoleText& console, char character) {
  console.caret = typingPosition(console);
  console.text.insert(static_cast<size_t>(console.caret), 1, character);
  ++console.caret;
  collapseSelection(console);
}

void typeLineBreak(ConsoleText& console) {
  console.caret = typingPosition(console);
  console.text.insert(static_cast<size_t>(console.caret), kLineBreak);
  console.caret += static_cast<int32_t>(kLineBreak.size());
  collapseSelection(console);
}

void typeBackspace(ConsoleText& console) {
  console.caret = typingPosition(console);
  if (console.caret > console.mark) {
    console.text.erase(static_cast<size_t>(console.caret - 1), 1);
    --console.caret;
  }
  collapseSelection(console);
}

void selectAll(ConsoleText& console) {
  console.selectionStart = 0;
  console.selectionEnd = length(console);
}

}  // namespace launcher
