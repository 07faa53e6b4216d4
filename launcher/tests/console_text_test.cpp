// The console text rules: display pieces, trimming at the limit, output
// before unfinished input, and entered input as the Lisp receives it.

#include "launcher/console_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using launcher::ConsoleText;
using Pieces = std::vector<std::string>;

ConsoleText withText(const std::string& text, int32_t mark) {
  ConsoleText console;
  console.text = text;
  console.mark = mark;
  console.caret = static_cast<int32_t>(text.size());
  return console;
}

void type(ConsoleText& console, const std::string& keys) {
  for (char key : keys) {
    if (key == '\n') launcher::typeLineBreak(console);
    else launcher::typeCharacter(console, key);
  }
}

TEST(ConsoleText, DisplayPiecesGetCarriageReturnsLoseNulsAndKeepTheirSize) {
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<size_t> sizes;
    std::string joined;
  };
  const Case cases[] = {
      {"3000 plain characters", std::string(3000, 'x'), {1048, 1048, 904}, std::string(3000, 'x')},
      {"line feeds", "a\nb\r\nc\n", {9}, "a\r\nb\r\nc\r\n"},
      {"NULs dropped", std::string("a\0b\0", 4), {2}, "ab"},
      {"a carriage return counts in the piece", std::string(1047, 'x') + "\n", {1048, 1},
       std::string(1047, 'x') + "\r\n"},
      {"nothing", "", {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Pieces pieces = launcher::displayPieces(c.bytes);
    std::vector<size_t> sizes;
    std::string joined;
    for (const std::string& piece : pieces) sizes.push_back(piece.size()), joined += piece;
    EXPECT_EQ(sizes, c.sizes);
    EXPECT_EQ(joined, c.joined);
  }
}

TEST(ConsoleText, PastTheLimitTheFrontBecomesDotsThenThePieceGoesIn) {
  ConsoleText console = withText(std::string(2100, 'o'), 2100);
  launcher::appendPiece(console, "new", 2000, 300);
  ASSERT_EQ(console.text.size(), 1703u + 3);
  EXPECT_EQ(console.text.substr(0, 4), "...o");
  EXPECT_EQ(console.text.substr(1703), "new");
  EXPECT_EQ(console.mark, 1706);
  EXPECT_EQ(console.caret, 1706);

  ConsoleText under = withText(std::string(2000, 'o'), 2000);  // at the limit: no trim
  launcher::appendPiece(under, "x", 2000, 300);
  EXPECT_EQ(under.text.size(), 2001u);
  ConsoleText unlimited = withText(std::string(5000, 'o'), 5000);
  launcher::appendPiece(unlimited, "x", 0, 300);
  EXPECT_EQ(unlimited.text.size(), 5001u);
}

TEST(ConsoleText, OutputLandsBeforeTheUnfinishedInput) {
  ConsoleText console = withText("> ", 2);
  type(console, "par");
  launcher::appendPiece(console, "late output\r\n", 0, 0);
  EXPECT_EQ(console.text, "> late output\r\npar");
  EXPECT_EQ(console.mark, 15);
  type(console, "t");
  EXPECT_EQ(console.text, "> late output\r\npart");
  EXPECT_EQ(console.unseen, "late output\r\n");
}

TEST(ConsoleText, TrimmingMovesTheMarkBackWithTheText) {
  ConsoleText console = withText(std::string(2100, 'o'), 2100);
  type(console, "typed");
  launcher::appendPiece(console, "!", 2000, 300);
  EXPECT_EQ(console.text.substr(console.text.size() - 6), "!typed");
  EXPECT_EQ(console.text.substr(0, 3), "...");
}

TEST(ConsoleText, EnterSendsTheLinesSinceTheMarkJoined) {
  ConsoleText console = withText("prompt> ", 8);
  type(console, "a\nb");
  EXPECT_EQ(launcher::takeEnteredInput(console), Pieces{"a\nb\n"});
  EXPECT_EQ(console.mark, static_cast<int32_t>(console.text.size()) + 2);
  launcher::typeLineBreak(console);  // the control's own break
  EXPECT_EQ(console.mark, static_cast<int32_t>(console.text.size()));
  type(console, "c");
  EXPECT_EQ(launcher::takeEnteredInput(console), Pieces{"c\n"});
  launcher::typeLineBreak(console);
  EXPECT_EQ(launcher::takeEnteredInput(console), Pieces{"\n"});  // an empty line
}

TEST(ConsoleText, LongInputGoesInPiecesOfLinesOfAtMost1024Bytes) {
  ConsoleText lines = withText("", 0);
  for (int i = 0; i < 4; ++i) type(lines, std::string(1000, 'a' + i) + (i < 3 ? "\n" : ""));
  const Pieces pieces = launcher::takeEnteredInput(lines);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], std::string(1000, 'a') + "\n" + std::string(1000, 'b'));
  EXPECT_EQ(pieces[1], "\n" + std::string(1000, 'c') + "\n" + std::string(1000, 'd') + "\n");

  ConsoleText oneLine = withText("", 0);
  type(oneLine, std::string(4000, 'x'));
  EXPECT_EQ(launcher::takeEnteredInput(oneLine), Pieces{std::string(1024, 'x') + "\n"});
}

TEST(ConsoleText, BackspaceStopsAtTheMark) {
  ConsoleText console = withText("out", 3);
  type(console, "ab");
  launcher::typeBackspace(console);
  launcher::typeBackspace(console);
  launcher::typeBackspace(console);
  EXPECT_EQ(console.text, "out");
}

TEST(ConsoleText, LimitsAtCreation) {
  EXPECT_EQ(launcher::consoleLimitsFor(-1, false).limit, 100000);
  EXPECT_EQ(launcher::consoleLimitsFor(-1, false).slop, 15000);
  EXPECT_EQ(launcher::consoleLimitsFor(5000, false).limit, 5000);
  EXPECT_EQ(launcher::consoleLimitsFor(5000, false).slop, 750);
  EXPECT_EQ(launcher::consoleLimitsFor(5000, true).limit, 25000);
  EXPECT_EQ(launcher::consoleLimitsFor(5000, true).slop, 5000);
}

}  // namespace
