// kwdscan and kwdscanb through their entry slots: the same keyword
// arguments given as stack words and as a list, to both entries, must fill
// the same result area and signal the same errors.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "runtime/rs/tests/calling_protocol_fixture.h"

namespace calling_protocol_test {
namespace {

constexpr int32_t kKwdscan = 0x4f;
constexpr int32_t kKwdscanb = 0x253;
constexpr int32_t kAllowOtherKeysGlobal = -0x219;
constexpr uint32_t kOddKeywords = 45;
constexpr uint32_t kUnknownKeyword = 46;
constexpr uint32_t kDescriptorWord = 10;  // the descriptor's first word in the function's block

// Words of a case, written with names the fixture resolves.
enum Word : uint32_t { A, B, Zz, Allow, Nil, T, One, Two };

struct KeywordCase {
  const char* name;
  bool allowFlag;               // the descriptor's allow-other-keys flag
  std::vector<Word> arguments;  // key/value words, in order
  Word dottedTail;              // Nil: a proper list
  std::vector<Word> results;    // supplied flag and value of :a, then of :b
  int oddError;                 // 1 when error 45 comes first
  Word unknownKey;              // Nil: no error 46
};

const KeywordCase kCases[] = {
    {"first duplicate wins", false, {B, One, B, Two}, Nil, {Nil, Nil, T, One}, 0, Nil},
    {"both keywords", false, {B, Two, A, One}, Nil, {T, One, T, Two}, 0, Nil},
    {"first allow-other-keys decides",
     false,
     {Allow, Nil, Allow, T, Zz, One},
     Nil,
     {Nil, Nil, Nil, Nil},
     0,
     Zz},
    {"allow-other-keys t", false, {Allow, T, Zz, One, A, Two}, Nil, {T, Two, Nil, Nil}, 0, Nil},
    {"descriptor allows", true, {Zz, One}, Nil, {Nil, Nil, Nil, Nil}, 0, Nil},
    {"last stray key reported",
     false,
     {Nil, Two, Allow, Nil, Zz, One, B, One},
     Nil,
     {Nil, Nil, T, One},
     0,
     Zz},
    {"odd count keeps the first pair", false, {A, One, B}, Nil, {T, One, Nil, Nil}, 1, Nil},
    {"odd count then a stray key", false, {Zz, One, A}, Nil, {Nil, Nil, Nil, Nil}, 1, Zz},
    {"no arguments", false, {}, Nil, {Nil, Nil, Nil, Nil}, 0, Nil},
};

class KeywordScan : public CallingProtocolHeap {
 protected:
  void SetUp() override {
    CallingProtocolHeap::SetUp();
    a_ = symbol();
    b_ = symbol();
    zz_ = symbol();
    allow_ = symbol();
    global(kAllowOtherKeysGlobal) = allow_;
  }

  uint32_t resolve(Word word) {
    switch (word) {
      case A:
        return a_;
      case B:
        return b_;
      case Zz:
        return zz_;
      case Allow:
        return allow_;
      case Nil:
        return nil();
      case T:
        return t();
      case One:
        return makeFixnum(1);
      case Two:
        return makeFixnum(2);
    }
    return 0;
  }

  // A function whose descriptor names :a and :b; returns the fixnum offset.
  lispval functionWithDescriptor(bool allow, uint32_t* offset) {
    const lispval function = arenaObject({lisp::type_code::Function}, 16);
    uint32_t* words = reinterpret_cast<uint32_t*>(lisp::objectAddress(function));
    words[kDescriptorWord] = allow ? t() : nil();
    words[kDescriptorWord + 1] = makeFixnum(2);
    words[kDescriptorWord + 2] = a_;
    words[kDescriptorWord + 3] = b_;
    const uint32_t byteOffset = addressOf(&words[kDescriptorWord]) - function;
    *offset = makeFixnum(static_cast<int32_t>(byteOffset));
    return function;
  }

  // Runs one case through an entry and a source form; returns the result
  // area's four words, with the routine's result in *value.
  std::vector<uint32_t> scan(const KeywordCase& c, int32_t slot, bool asList, uint32_t* value) {
    uint32_t offset = 0;
    const lispval function = functionWithDescriptor(c.allowFlag, &offset);
    uint32_t* area = arenaWords(4);
    for (int i = 0; i < 4; ++i) area[i] = 0xdead0000u;  // must be cleared to nil
    std::vector<lispval> words;
    for (Word w : c.arguments) words.push_back(resolve(w));
    uint32_t source = 0;
    if (asList) {
      source = list(words, c.dottedTail == Nil ? 0 : resolve(c.dottedTail));
    } else {
      uint32_t* stackWords = arenaWords(static_cast<uint32_t>(words.size()) + 2);
      for (size_t i = 0; i < words.size(); ++i) stackWords[i] = words[i];
      stackWords[words.size()] = zz_;  // past the pairs: never read
      stackWords[words.size() + 1] = makeFixnum(9);
      source = addressOf(stackWords);
    }
    const uint32_t count = static_cast<uint32_t>(words.size());
    LispCallSetup setup = setupFor(slot);
    if (slot == kKwdscan) {
      setup.eax = source;
      setup.ecx = count;
      setup.edx = addressOf(area);
      setup.ebx = offset;
      setup.frame[frameIndex(4)] = function;
    } else {
      setup.eax = makeFixnum(static_cast<int32_t>(count));
      setup.edx = function;
      setup.ecx = 5;
      setup.stack[2] = offset;
      setup.stack[3] = source;
      setup.stack[4] = addressOf(area);
    }
    const LispCallResult result = call(setup);
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.esi, slot == kKwdscan ? function : kCallerFunction);  // the caller's ebp-4
    *value = result.eax;
    return {area[0], area[1], area[2], area[3]};
  }

  lispval a_ = 0, b_ = 0, zz_ = 0, allow_ = 0;
};

TEST_F(KeywordScan, StackAndListFormsOfBothEntriesFillTheSameResultArea) {
  const struct {
    const char* name;
    int32_t slot;
    bool asList;
  } forms[] = {{"kwdscan stack", kKwdscan, false},
               {"kwdscan list", kKwdscan, true},
               {"kwdscanb stack", kKwdscanb, false},
               {"kwdscanb list", kKwdscanb, true}};
  for (const KeywordCase& c : kCases) {
    for (const auto& form : forms) {
      SCOPED_TRACE(std::string(c.name) + " / " + form.name);
      testing_support::resetRecorder(kErrorValue);
      uint32_t value = 0;
      const std::vector<uint32_t> area = scan(c, form.slot, form.asList, &value);
      std::vector<uint32_t> expected;
      for (Word w : c.results) expected.push_back(resolve(w));
      EXPECT_EQ(area, expected);

      std::vector<Signalled> errors;
      if (c.oddError) errors.push_back(error(kOddKeywords, 0));
      if (c.unknownKey != Nil) errors.push_back(error(kUnknownKeyword, resolve(c.unknownKey)));
      EXPECT_EQ(recorded(), errors);
      // The value of error 46 is the scan's value; otherwise nil.
      EXPECT_EQ(value, c.unknownKey != Nil ? kErrorValue : nil());
    }
  }
}

TEST_F(KeywordScan, AListThatGoesWrongEndsTheScanWithError45) {
  const struct {
    const char* name;
    std::vector<Word> items;
    Word tail;
    std::vector<Word> results;
  } cases[] = {
      {"(:a 1 . 5)", {A, One}, Two, {T, One, Nil, Nil}},
      {"(:a 1 :b . 5)", {A, One, B}, Two, {T, One, Nil, Nil}},
      {"(:a . 5)", {A}, Two, {Nil, Nil, Nil, Nil}},
      {"(:zz 1 :b)", {Zz, One, B}, Nil, {Nil, Nil, Nil, Nil}},
  };
  for (const auto& c : cases) {
    for (int32_t slot : {kKwdscan, kKwdscanb}) {
      SCOPED_TRACE(std::string(c.name) + (slot == kKwdscan ? " kwdscan" : " kwdscanb"));
      testing_support::resetRecorder(kErrorValue);
      uint32_t offset = 0;
      const lispval function = functionWithDescriptor(false, &offset);
      uint32_t* area = arenaWords(4);
      std::vector<lispval> items;
      for (Word w : c.items) items.push_back(resolve(w));
      const lispval source = list(items, c.tail == Nil ? 0 : resolve(c.tail));
      LispCallSetup setup = setupFor(slot);
      if (slot == kKwdscan) {
        setup.eax = source;
        setup.edx = addressOf(area);
        setup.ebx = offset;
        setup.frame[frameIndex(4)] = function;
      } else {
        setup.edx = function;
        setup.ecx = 5;
        setup.stack[2] = offset;
        setup.stack[3] = source;
        setup.stack[4] = addressOf(area);
      }
      const LispCallResult result = call(setup);
      std::vector<uint32_t> expected;
      for (Word w : c.results) expected.push_back(resolve(w));
      EXPECT_EQ(std::vector<uint32_t>(area, area + 4), expected);
      std::vector<Signalled> errors{error(kOddKeywords, 0)};
      if (c.items.size() == 3 && c.items[0] == Zz) errors.push_back(error(kUnknownKeyword, zz_));
      EXPECT_EQ(recorded(), errors);
      EXPECT_EQ(result.eax, errors.size() == 2 ? kErrorValue : nil());
    }
  }
}

}  // namespace
}  // namespace calling_protocol_test
