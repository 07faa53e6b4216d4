// Building the Lisp's argument vector and applying the launcher's options to
// it, as tables of (input -> vector, settings).

#include "launcher/argument_vector.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "launcher/launcher_options.h"
#include "launcher/tests/owned_argument_vector.h"

namespace {

using launcher::ArgumentVector;
using launcher::LauncherSettings;
using Words = std::vector<std::string>;

const std::string kPath = "/opt/lisp/liblunvarra.so";

Words wordsOf(const ArgumentVector& vector) {
  Words words(vector.elements, vector.elements + vector.count);
  EXPECT_EQ(vector.elements[vector.count], nullptr) << "the vector keeps its closing null";
  return words;
}

// A resource list: texts joined with their NULs, ended by an empty text.
std::string resourceOf(const Words& texts) {
  std::string data;
  for (const std::string& text : texts) data += text + '\0';
  return data + '\0';
}

struct VectorCase {
  const char* name;
  std::string tail;
  Words resource;
  Words expected;  // after element 0
};

class VectorConstruction : public ::testing::TestWithParam<VectorCase> {};

TEST_P(VectorConstruction, GivesTheVector) {
  const VectorCase& c = GetParam();
  const std::string commandText = "\"" + kPath + "\" " + c.tail;
  const std::string resource = resourceOf(c.resource);
  launcher_testing::OwnedArgumentVector owned(commandText.c_str(),
                                              c.resource.empty() ? nullptr : resource.data());
  const ArgumentVector& vector = owned.vector;
  Words expected{kPath};
  expected.insert(expected.end(), c.expected.begin(), c.expected.end());
  EXPECT_EQ(wordsOf(vector), expected);
  EXPECT_EQ(vector.capacity, vector.count + 3);
}

INSTANTIATE_TEST_SUITE_P(
    Launcher, VectorConstruction,
    ::testing::Values(
        VectorCase{"CommandWordsKeepTheirOrder", "+c w +p", {}, {"+c", "w", "+p"}},
        VectorCase{"ResourceFirstOnEqualClass", "+c", {"+B"}, {"+B", "+c"}},
        VectorCase{"PlusBeforeMinusBeforeOther", "a -x", {"-y", "+B"}, {"-y", "+B", "a", "-x"}},
        VectorCase{"ResourceTextsStayUnsplit",
                   "-I img",
                   {"+t", "a title"},
                   {"+t", "a title", "-I", "img"}},
        VectorCase{"ValueComesFromItsOwnList", "+s -go", {"+c", "x"}, {"+c", "+s", "-go", "x"}},
        VectorCase{"ValueTakenWhateverItIs", "+d +c", {}, {"+d", "+c"}},
        VectorCase{"DoubleQuotesHoldBlanks", "-e \"a b\" c", {}, {"-e", "a b", "c"}},
        VectorCase{"SingleQuotesHoldBlanks", "'x \"y' z", {}, {"x \"y", "z"}},
        VectorCase{"QuoteInsideOtherKindStays", "\"it's here\"", {}, {"it's here"}},
        VectorCase{"OuterQuotesStrippedOnce", "'\"q\"'", {}, {"\"q\""}},
        VectorCase{"LoneQuoteBecomesEmpty", "a \"", {}, {"a", ""}},
        VectorCase{"UnclosedMixedQuotesStay", "\" '", {}, {"\" '"}},
        VectorCase{"LoneQuoteResourceWordsBecomeEmptyAndGoFirst", "a", {"'", "\""}, {"", "", "a"}},
        VectorCase{"QuotesMidWordStay", "a\"b c\"d", {}, {"a\"b c\"d"}},
        VectorCase{"TabsAndRunsOfBlanksSeparate", "  a\t\tb  ", {}, {"a", "b"}}),
    [](const auto& info) { return info.param.name; });

// ---- options ----

std::string commandTextOf(const Words& afterPath) {
  std::string text = "\"" + kPath + "\"";
  for (const std::string& word : afterPath) text += " " + word;
  return text;
}

struct OptionCase {
  const char* name;
  Words arguments;
  Words remaining;  // after element 0
  void (*check)(const LauncherSettings&);
};

class LauncherOptions : public ::testing::TestWithParam<OptionCase> {};

TEST_P(LauncherOptions, SetTheSettingsAndLeaveTheRest) {
  const OptionCase& c = GetParam();
  launcher_testing::OwnedArgumentVector owned(commandTextOf(c.arguments).c_str(), nullptr);
  ArgumentVector& vector = owned.vector;
  LauncherSettings settings;
  launcher::applyLauncherOptions(settings, vector);
  Words remaining{kPath};
  remaining.insert(remaining.end(), c.remaining.begin(), c.remaining.end());
  EXPECT_EQ(wordsOf(vector), remaining);
  c.check(settings);
}

#define CHECK(body) [](const LauncherSettings& s) { body; }

INSTANTIATE_TEST_SUITE_P(
    Launcher, LauncherOptions,
    ::testing::Values(
        OptionCase{"Defaults", {}, {}, CHECK({
                     EXPECT_EQ(s.consoleWanted, 1);
                     EXPECT_STREQ(s.trayName, "Lisp");
                     EXPECT_EQ(s.splashWanted, 1);
                     EXPECT_EQ(s.consoleTextLimit, -1);
                     EXPECT_EQ(s.minimiseState, 1);
                     EXPECT_EQ(s.trayIconWanted, 1);
                   })},
        OptionCase{"NoConsole", {"+c"}, {}, CHECK(EXPECT_EQ(s.consoleWanted, 0))},
        OptionCase{"StopsAtOrdinaryWord", {"+c", "w", "+p"}, {"w", "+p"}, CHECK({
                     EXPECT_EQ(s.consoleWanted, 0);
                     EXPECT_EQ(s.pauseAtExit, 0);
                   })},
        OptionCase{"ConsoleNoActivate", {"+c", "+cn"}, {}, CHECK({
                     EXPECT_EQ(s.consoleWanted, 1);
                     EXPECT_EQ(s.noActivate, 1);
                   })},
        OptionCase{"ConsoleMinimised", {"+c", "+cm"}, {}, CHECK({
                     EXPECT_EQ(s.consoleWanted, 1);
                     EXPECT_EQ(s.startMinimised, 1);
                   })},
        OptionCase{"ConsoleHidden", {"+c", "+cx"}, {}, CHECK({
                     EXPECT_EQ(s.consoleWanted, 1);
                     EXPECT_EQ(s.startHidden, 1);
                     EXPECT_EQ(s.noActivate, 1);
                   })},
        OptionCase{"ConsoleClearsTheShowFlags", {"+cx", "+m", "+c", "+cc"}, {}, CHECK({
                     EXPECT_EQ(s.consoleWanted, 1);
                     EXPECT_EQ(s.startHidden, 0);
                     EXPECT_EQ(s.noActivate, 0);
                     EXPECT_EQ(s.startMinimised, 0);
                   })},
        OptionCase{"TrayAndClose", {"+Cx", "+Ti", "+Tx", "+R"}, {}, CHECK({
                     EXPECT_EQ(s.closeButtonMode, 1);
                     EXPECT_EQ(s.noTrayInterrupt, 1);
                     EXPECT_EQ(s.trayExitDisabled, 1);
                     EXPECT_EQ(s.trayIconWanted, 0);
                   })},
        OptionCase{"TrayIconAgain", {"+R", "+RR"}, {}, CHECK(EXPECT_EQ(s.trayIconWanted, 1))},
        OptionCase{"PauseOnOff", {"+c", "+p", "+M"}, {}, CHECK({
                     EXPECT_EQ(s.pauseAtExit, 1);
                     EXPECT_EQ(s.consoleWanted, 1);
                     EXPECT_EQ(s.noPauseOnError, 1);
                   })},
        OptionCase{"NoPause", {"+p", "+P"}, {}, CHECK(EXPECT_EQ(s.pauseAtExit, 0))},
        OptionCase{"MinimisedAndNoActivate", {"+c", "+m", "+n", "+x"}, {}, CHECK({
                     EXPECT_EQ(s.startMinimised, 1);
                     EXPECT_EQ(s.noActivate, 1);
                     EXPECT_EQ(s.startHidden, 1);
                     EXPECT_EQ(s.consoleWanted, 1);
                   })},
        OptionCase{"ValuesAreTaken",
                   {"+s", "in.lisp", "+d", "rt.so", "+t", "T", "-Q", "-go"},
                   {"-go"},
                   CHECK({
                     EXPECT_STREQ(s.scriptFileName, "in.lisp");
                     EXPECT_STREQ(s.runtimeLibraryName, "rt.so");
                     EXPECT_STREQ(s.consoleTitle, "T");
                   })},
        OptionCase{"SplashText", {"+B", "+b", "-x"}, {}, CHECK({
                     EXPECT_EQ(s.splashWanted, 1);
                     EXPECT_STREQ(s.splashText, "-x");
                   })},
        OptionCase{"SplashOff", {"+B"}, {}, CHECK(EXPECT_EQ(s.splashWanted, 0))},
        OptionCase{"SplashTimedAndPersistent", {"+B", "+Bt", "+Bp"}, {}, CHECK({
                     EXPECT_EQ(s.splashWanted, 1);
                     EXPECT_EQ(s.splashTimed, 1);
                     EXPECT_EQ(s.splashPersistent, 1);
                   })},
        OptionCase{"SplashLastStillWanted", {"+B", "+b"}, {}, CHECK({
                     EXPECT_EQ(s.splashWanted, 1);
                     EXPECT_EQ(s.splashText, nullptr);
                   })},
        OptionCase{
            "LibraryLastRemovedAlone", {"+d"}, {}, CHECK(EXPECT_EQ(s.runtimeLibraryName, nullptr))},
        OptionCase{"TrayNameOf25KeepsNineteen",
                   {"+N", "abcdefghijklmnopqrstuvwxy"},
                   {},
                   CHECK(EXPECT_STREQ(s.trayName, "abcdefghijklmnopqrs"))},
        OptionCase{"TrayNameOf20StaysWhole",
                   {"+N", "abcdefghijklmnopqrst"},
                   {},
                   CHECK(EXPECT_STREQ(s.trayName, "abcdefghijklmnopqrst"))},
        OptionCase{"ConsoleLimit", {"+5000"}, {}, CHECK(EXPECT_EQ(s.consoleTextLimit, 5000))},
        OptionCase{"ConsoleLimitRaised", {"+1000"}, {}, CHECK(EXPECT_EQ(s.consoleTextLimit, 2000))},
        OptionCase{"ConsoleLimitOutOfRange",
                   {"+99999999999"},
                   {},
                   CHECK(EXPECT_EQ(s.consoleTextLimit, INT_MAX))},
        OptionCase{"ThreeDigitsStopTheLoop",
                   {"+123", "+c"},
                   {"+123", "+c"},
                   CHECK(EXPECT_EQ(s.consoleWanted, 1))},
        OptionCase{"OptionsMatchWholeWords",
                   {"+cq", "+c"},
                   {"+cq", "+c"},
                   CHECK(EXPECT_EQ(s.consoleWanted, 1))},
        OptionCase{"OptionsAreCaseSensitive", {"+X"}, {"+X"}, CHECK(EXPECT_EQ(s.startHidden, 0))}),
    [](const auto& info) { return info.param.name; });

#undef CHECK

TEST(LauncherVector, InsertAndRemoveKeepOrderAndTheClosingNull) {
  launcher_testing::OwnedArgumentVector owned(commandTextOf({"a", "b"}).c_str(), nullptr);
  ArgumentVector& vector = owned.vector;
  ASSERT_TRUE(launcher::insertBehindFirst(vector, "-I", "img.vxi"));
  EXPECT_EQ(wordsOf(vector), (Words{kPath, "-I", "img.vxi", "a", "b"}));
  launcher::removeElements(vector, 2, 5);
  EXPECT_EQ(wordsOf(vector), (Words{kPath, "-I"}));
}

TEST(LauncherVector, ValueTakingMergeKeepsThePairAcrossLists) {
  // "+N" from the resource takes its value from the resource even when the
  // command tail's next word would go first.
  EXPECT_EQ(launcher::mergeArgumentWords({"p", "+c"}, {"+N", "name", "-x"}),
            (Words{"p", "+N", "name", "+c", "-x"}));
}

}  // namespace
