// Name conversion of fasl files: the conversion table with overrides and the
// required mode, the case-mode item against the Lisp world's case-mode
// globals (the mismatch signalled to the recorder as the error function),
// and text operands decoded into strings made by the runtime's constructors.
#include "runtime/load/symbol_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/thread_block.h"
#include "runtime/load/case_mapping.h"
#include "runtime/load/fasl_format.h"
#include "runtime/load/tests/loader_object_heap.h"
#include "runtime/rs/object_routines.h"
#include "runtime/rs/runtime_errors.h"

namespace {

using namespace lisp::fasl;
using lisp::lispval;
using lisp::makeFixnum;

constexpr uint32_t K = kKeepCase, L = kToLowerCase, U = kToUpperCase;

TEST(ConversionMode, TableByImageModeAndFileMode) {
  const uint32_t expected[4][4] = {{K, K, L, L}, {L, K, L, L}, {U, U, K, K}, {U, U, U, K}};
  for (uint32_t image = 0; image < 4; ++image)
    for (uint32_t file = 0; file < 4; ++file) {
      EXPECT_EQ(strcvt_mode(image, file, 0, 0), expected[image][file]) << image << "," << file;
      // Override 1 reads row 0, override 2 row 3, whatever the image's mode.
      EXPECT_EQ(strcvt_mode(image, file, 1, 0), expected[0][file]) << image << "," << file;
      EXPECT_EQ(strcvt_mode(image, file, 2, 0), expected[3][file]) << image << "," << file;
      // A required mode keeps every name as it is.
      EXPECT_EQ(strcvt_mode(image, file, 0, 1), K);
      EXPECT_EQ(strcvt_mode(image, file, 2, 2), K);
    }
  // Modes a file's nibble or a damaged image could hold convert nothing.
  EXPECT_EQ(strcvt_mode(0, 15, 0, 0), K);
  EXPECT_EQ(strcvt_mode(7, 0, 0, 0), K);
}

// The case-mode item and buftostr on a heap, with globals 28 to 30 holding
// the three modes and global 327 the current-mode symbol.
class NameConversion : public loader_test::LoaderObjectHeap {
 protected:
  void SetUp() override {
    LoaderObjectHeap::SetUp();
    ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
    savedBootmode_ = bootmode;
    savedReadmode_ = curreadmode;
    bootmode = 0;
    curreadmode = 0;
    for (uint32_t i = 0; i < 3; ++i)
      global(runtimeGlobalOffset(kCaseModeGlobals[i])) = makeFixnum(static_cast<int32_t>(i));
    modeSymbol_ = objects_->makeSymbol(nil());
    global(runtimeGlobalOffset(kCurrentCaseModeSymbolGlobal)) = modeSymbol_;
    setCurrentMode(0);
  }
  void TearDown() override {
    bootmode = savedBootmode_;
    curreadmode = savedReadmode_;
    LoaderObjectHeap::TearDown();
  }
  void setCurrentMode(int32_t mode) {
    lisp::objectOf<lisp::SymbolObject>(modeSymbol_)->globalValue = makeFixnum(mode);
  }
  lispval currentMode() { return lisp::objectOf<lisp::SymbolObject>(modeSymbol_)->globalValue; }

  DecodedString decode(const std::string& text, uint8_t encoding, uint32_t mode,
                       bool useCache = false) {
    return buftostr(reinterpret_cast<const uint8_t*>(text.data()),
                    static_cast<uint32_t>(text.size()), encoding, useCache, mode, kMaker);
  }

  uint32_t savedBootmode_ = 0, savedReadmode_ = 0;
  lispval modeSymbol_ = 0;
};

TEST_F(NameConversion, ALoadStartsWithFileModeZero) {
  curreadmode = 2;
  EXPECT_EQ(startingCaseMode().conversion, U);
  curreadmode = 0;
  EXPECT_EQ(startingCaseMode().conversion, K);
}

TEST_F(NameConversion, UpperCaseNamesForALowerCaseReaderSignalTheMismatch) {
  CaseModeState state = startingCaseMode();
  caseModeItem(0x03, state);
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(lisp::runtime_error::kFaslCaseModeMismatch));
  EXPECT_EQ(state.conversion, L) << "the names are still converted";
  // In boot mode too; a file mode other than 3 is no mismatch.
  testing_support::resetRecorder(kErrorValue);
  caseModeItem(0x02, state);
  EXPECT_EQ(lisp_recorder_log.count, 0u);
}

TEST_F(NameConversion, RequiredModeOneTurnsConversionOffAndSwitchesTheWorld) {
  curreadmode = 2;
  CaseModeState state = startingCaseMode();
  caseModeItem(0x10, state);
  EXPECT_EQ(state.conversion, K);
  EXPECT_EQ(state.override, 1u);
  EXPECT_EQ(currentMode(), makeFixnum(1)) << "the world now runs in global 29's mode";
  EXPECT_EQ(lisp_recorder_log.count, 0u);
  const DecodedString name = decode("Name", 1, state.conversion);
  EXPECT_EQ(charactersOf(name.string), u"Name");
  // A world already in the required mode is not switched again.
  setCurrentMode(7);
  global(runtimeGlobalOffset(30)) = makeFixnum(7);
  caseModeItem(0x20, state);
  EXPECT_EQ(currentMode(), makeFixnum(7));
  EXPECT_EQ(state.override, 2u);
}

TEST_F(NameConversion, AWorldInAnotherModeOverridesTheImageMode) {
  setCurrentMode(2);  // global 30's mode
  CaseModeState state = startingCaseMode();
  caseModeItem(0x00, state);
  EXPECT_EQ(state.override, 2u);
  EXPECT_EQ(state.conversion, U) << "row 3, file mode 0";
  setCurrentMode(1);  // global 29's mode
  caseModeItem(0x03, state);
  EXPECT_EQ(state.override, 1u);
  EXPECT_EQ(state.conversion, L) << "row 0, file mode 3";
  EXPECT_EQ(lisp_recorder_log.count, 0u) << "an override is no mismatch";
}

TEST_F(NameConversion, BootModeLeavesTheLispWorldAlone) {
  bootmode = 1;
  CaseModeState state = startingCaseMode();
  caseModeItem(0x10, state);
  EXPECT_EQ(currentMode(), makeFixnum(0));
  EXPECT_EQ(state.conversion, K);
}

TEST_F(NameConversion, TextBecomesAStringOfItsEncodingsType) {
  const DecodedString wide = decode("car\xc3\xbf", 1, U);  // "carÿ"
  ASSERT_FALSE(wide.fault);
  EXPECT_EQ(header(wide.string), 117u);
  EXPECT_EQ(charactersOf(wide.string), u"CAR\u0178");

  const DecodedString narrow = decode("Lisp", 0, L);
  ASSERT_FALSE(narrow.fault);
  EXPECT_EQ(header(narrow.string) & 0xff, 101u);
  EXPECT_EQ(charactersOf(narrow.string), u"lisp");

  const DecodedString empty = decode("", 1, K, true);
  ASSERT_FALSE(empty.fault);
  EXPECT_EQ(charactersOf(empty.string), u"");
  EXPECT_EQ(made_.size(), 3u);
}

TEST_F(NameConversion, TheRuntimesConstructorDispatchServesAsTheMaker) {
  const std::string text = "Wide\xc3\xbf";
  const DecodedString wide = buftostr(reinterpret_cast<const uint8_t*>(text.data()),
                                      static_cast<uint32_t>(text.size()), 1, true, U, new_lisp_obj);
  ASSERT_FALSE(wide.fault);
  EXPECT_EQ(header(wide.string), 117u);
  EXPECT_EQ(charactersOf(wide.string), u"WIDE\u0178");
  const DecodedString narrow =
      buftostr(reinterpret_cast<const uint8_t*>(text.data()), 4, 0, false, L, new_lisp_obj);
  EXPECT_EQ(charactersOf(narrow.string), u"wide");
  EXPECT_EQ(lisp_recorder_log.count, 0u);
  EXPECT_TRUE(newSpaceWalksCleanly());
}

TEST_F(NameConversion, LongTextGoesThroughAnAllocatedScratchArea) {
  std::string text;
  std::u16string expected;
  for (int i = 0; i < 300; ++i) {
    text += "\xd0\xb0";  // U+0430, Cyrillic a
    expected.push_back(u'\u0410');
  }
  const DecodedString long_ = decode(text, 1, U, true);
  ASSERT_FALSE(long_.fault);
  EXPECT_EQ(charactersOf(long_.string), expected);
}

TEST_F(NameConversion, MalformedTextMakesNothing) {
  EXPECT_EQ(decode("ab\xc3", 1, K).fault, Fault::CutUtf8);
  EXPECT_EQ(decode("\xe4\xb8", 1, K, true).fault, Fault::CutUtf8);
  EXPECT_EQ(decode("\xe4\xb8\x80", 0, K).fault, Fault::WideCharacter);
  EXPECT_TRUE(made_.empty());
  EXPECT_EQ(lisp_recorder_log.count, 0u);
}

}  // namespace
