#include "mech_engine_common/engine_error.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// Formats the record the way the model does: text as format, all six arguments.
std::string formatLikeModel(const EngineErrorRecord& record) {
  char buffer[2048];
  std::snprintf(buffer, sizeof buffer, record.text, record.arguments[0], record.arguments[1],
                record.arguments[2], record.arguments[3], record.arguments[4], record.arguments[5]);
  return buffer;
}

TEST(EngineErrorRecord, MessageWithoutPlaceholdersLeavesSixEmptyArguments) {
  setEngineError("%s", "stale");  // a previous message must not leak into the next
  EXPECT_TRUE(setEngineError("Insufficient heap space."));
  const EngineErrorRecord* record = getEngineError();
  EXPECT_STREQ(record->text, "Insufficient heap space.");
  for (const char* argument : record->arguments) EXPECT_EQ(argument, nullptr);
}

TEST(EngineErrorRecord, KeepsStringPlaceholdersAndFormatsNumbers) {
  const char* path = "zorvath/RampLinkage/Revolute";
  setEngineError(
      "Error originates in Mechanical block %s. There were %i active constraints, now %i.", path, 3,
      2);
  const EngineErrorRecord* record = getEngineError();
  EXPECT_STREQ(record->text,
               "Error originates in Mechanical block %s. There were 3 active constraints, now 2.");
  EXPECT_EQ(record->arguments[0], path);
  EXPECT_EQ(record->arguments[1], nullptr);
  EXPECT_EQ(formatLikeModel(*record),
            "Error originates in Mechanical block zorvath/RampLinkage/Revolute. There were 3 "
            "active constraints, now 2.");
}

TEST(EngineErrorRecord, StoresUpToSixStringsInPlaceholderOrder) {
  setEngineError("%s|%s|%s|%s|%s|%s %d", "a", "b", "c", "d", "e", "f", 42);
  EXPECT_EQ(formatLikeModel(*getEngineError()), "a|b|c|d|e|f 42");
}

TEST(EngineErrorRecord, SeventhStringBecomesAPercentSign) {
  setEngineError("%s%s%s%s%s%s%s%d", "1", "2", "3", "4", "5", "6", "7", 8);
  EXPECT_STREQ(getEngineError()->text, "%s%s%s%s%s%s%%8");
  EXPECT_EQ(formatLikeModel(*getEngineError()), "123456%8");
}

TEST(EngineErrorRecord, LiteralPercentSurvivesBothFormattingPasses) {
  setEngineError("%s at 100%% load, %d", "block", 7);
  EXPECT_EQ(formatLikeModel(*getEngineError()), "block at 100% load, 7");
}

TEST(EngineErrorRecord, LongMessageIsCutAndTerminated) {
  const std::string longText(3000, 'x');
  setEngineError(longText.c_str());
  EXPECT_EQ(std::string(getEngineError()->text), longText.substr(0, kEngineErrorTextSize - 1));

  const std::string longWithNumber = "%s" + std::string(1020, 'y') + "%d";
  setEngineError(longWithNumber.c_str(), "path", 123456);
  const std::string text = getEngineError()->text;
  EXPECT_EQ(text.size(), kEngineErrorTextSize - 1);
  EXPECT_EQ(text.substr(0, 2), "%s");
}

TEST(EngineErrorRecord, LastMessageWins) {
  setEngineError("first %s", "x");
  setEngineError("second");
  EXPECT_STREQ(getEngineError()->text, "second");
  EXPECT_EQ(getEngineError()->arguments[0], nullptr);
}

const std::string kDashes(73, '-');
const std::string kBanner = std::string(24, ' ') + "Fyrnomic Assertion" + std::string(22, ' ');

TEST(AssertionReport, PrintsConditionDetailFileAndLine) {
  testing::internal::CaptureStdout();
  assertionFailed("mechanism->transform2D != NULL", "some detail",
                  "mech_engine/mech_engine_common/createEngineMechanism", 51);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\n" + kDashes + "\n" + kBanner + "\n" + kDashes +
                "\n\tAssertion Failed mechanism->transform2D != NULL at line 51 of file "
                "\"mech_engine/mech_engine_common/createEngineMechanism\".\n\tsome detail\n\n\n");
}

TEST(AssertionReport, NullConditionIsForcedAndNullDetailIsOmitted) {
  testing::internal::CaptureStdout();
  assertionFailed(nullptr, nullptr, "mech_engine/mech_engine_common/vfMath", 1083);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\n" + kDashes + "\n" + kBanner + "\n" + kDashes +
                "\n\tForced Assertion at line 1083 of file "
                "\"mech_engine/mech_engine_common/vfMath\".\n\n\n");
}

TEST(WarningFormatter, WrapsMessageForTheCallersOwnFormatting) {
  const char* format =
      formatWarning("The %d position constraint equation associated with block: %s was redundant");
  char line[256];
  std::snprintf(line, sizeof line, format, 1, "Door");
  EXPECT_STREQ(line,
               "Warning: The 1 position constraint equation associated with block: Door was "
               "redundant.\n");
}

}  // namespace
