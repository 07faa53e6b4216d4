// mathlib through its entry slot on a real heap: every service code once
// against the function it names, bit for bit; the boxing (double-float, and
// single-float for code 7); the codes without a case; and what a callee
// sees of the x87 unit and the foreign-call chain, through probe rows.

#include "runtime/rs/math_dispatch.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "runtime/rs/float_functions.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/thread_record.h"
#include "testing/lisp_constructor_heap.h"

namespace {

using gc_test::at;
using lisp::lispval;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
namespace md = lisp::math_dispatch;
namespace nbg = lisp::nil_block::global;
namespace tc = lisp::type_code;

constexpr int32_t kMathlib = 0x1db;
constexpr double kInf = std::numeric_limits<double>::infinity();

uint16_t currentControlWord() {
  uint16_t word;
  __asm__ volatile("fnstcw %0" : "=m"(word));
  return word;
}

// ---- the rows, each against what it names ----

struct CodeRow {
  int32_t code;
  double a1, a2;
  double expected;  // computed by the same function here
};

const CodeRow kCodeRows[] = {
    {0, 0.3, 0, std::acos(0.3)},
    {1, -0.7, 0, std::asin(-0.7)},
    {2, 12.5, 0, std::atan(12.5)},
    {3, -1.0, -2.0, std::atan2(-1.0, -2.0)},
    {4, 1e6, 0, std::sin(1e6)},
    {5, 3.0, 0, std::cos(3.0)},
    {6, 1.5, 0, std::tan(1.5)},
    {8, 1e200, 3e199, std::hypot(1e200, 3e199)},
    {10, -3.25, 0, lisp_exp(-3.25)},
    {12, 1e-200, 0, lisp_log(1e-200)},
    {13, 12345.0, 0, std::log10(12345.0)},
    {14, 2e-3, 0, rs_log1p(2e-3)},
    {15, 7.5, -3.3, lisp_pow(7.5, -3.3)},
    {19, -1e10, 0, rs_asinh(-1e10)},
    {20, 1e200, 0, rs_acosh(1e200)},
    {21, 0.25, 0, rs_atanh(0.25)},
    {25, 2.0, 0, std::sqrt(2.0)},
    {28, 0.75, 0, lisp_logb(0.75)},
};

class Mathlib : public gc_test::LispConstructorHeap {
 protected:
  void SetUp() override {
    LispConstructorHeap::SetUp();
    // The libm functions then answer here as in the test's own calls.
    at<uint16_t>(nil() + nbg::kFloatControlWord) = currentControlWord();
  }
  void TearDown() override {
    md::activeMathRows = savedRows_;
    LispConstructorHeap::TearDown();
  }

  lispval arenaObject(std::initializer_list<uint32_t> words) {
    auto* storage = static_cast<uint32_t*>(objects_->allocate(16));
    std::copy(words.begin(), words.end(), storage);
    return lisp::wordOf(storage, lisp::Tag::Other);
  }
  lispval doubleFloat(double value) {
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    return arenaObject(
        {tc::DoubleFloat, 0, static_cast<uint32_t>(bits), static_cast<uint32_t>(bits >> 32)});
  }
  lispval singleFloat(float value) {
    return arenaObject({tc::SingleFloat, std::bit_cast<uint32_t>(value)});
  }

  LispCallSetup mathSetup(int32_t code, lispval a1, lispval a2) {
    LispCallSetup setup = setupFor(kMathlib, lisp::makeFixnum(code), a1, 3);
    setup.stack[2] = a2;
    return setup;
  }
  static double doubleValue(lispval object) { return at<double>(object - 0xa); }
  static float singleValue(lispval object) { return at<float>(object - 0xe); }

  // What mathlib made of (code, a1, a2): a new double-float's value.
  double doubleResult(int32_t code, lispval a1, lispval a2) {
    const lispval result = make(mathSetup(code, a1, a2));
    EXPECT_EQ(header(result) & 0xff, tc::DoubleFloat);
    return doubleValue(result);
  }

  const md::MathRows* const savedRows_ = md::activeMathRows;
};

TEST_F(Mathlib, EveryCodeAnswersAsTheFunctionItNames) {
  for (const CodeRow& row : kCodeRows) {
    const double got = doubleResult(row.code, doubleFloat(row.a1), doubleFloat(row.a2));
    EXPECT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(row.expected))
        << "code " << row.code << ": " << got << " against " << row.expected;
  }
}

TEST_F(Mathlib, SquareRootOfASingleIsASingleFloat) {
  const lispval result = make(mathSetup(7, singleFloat(2.0f), nil()));
  EXPECT_EQ(header(result) & 0xff, tc::SingleFloat);
  EXPECT_EQ(std::bit_cast<uint32_t>(singleValue(result)), std::bit_cast<uint32_t>(rs_sqrtf(2.0f)));
}

TEST_F(Mathlib, ScalingTakesAFixnumExponent) {
  EXPECT_EQ(doubleResult(29, doubleFloat(1.0), lisp::makeFixnum(1024)), kInf);
  EXPECT_EQ(doubleResult(29, doubleFloat(-3.0), lisp::makeFixnum(-2)), -0.75);
}

// A NaN made by the operation reaches the new float with its bits.
TEST_F(Mathlib, NaNAndInfinitiesAreBoxedUnchanged) {
  EXPECT_TRUE(std::isnan(doubleResult(12, doubleFloat(-1.0), nil())));
  EXPECT_EQ(doubleResult(12, doubleFloat(0.0), nil()), -kInf);
  EXPECT_EQ(doubleResult(10, doubleFloat(800.0), nil()), kInf);
  EXPECT_TRUE(std::isnan(doubleResult(15, doubleFloat(std::nan("")), doubleFloat(2.5))));
}

TEST_F(Mathlib, CodesWithoutACaseSignalError22) {
  for (int32_t code : {9, 11, 16, 17, 18, 22, 23, 24, 26, 27, 30, 31, 1000, -1, -30}) {
    EXPECT_EQ(refused(mathSetup(code, doubleFloat(1.0), doubleFloat(1.0)), 22), 0u)
        << "code " << code;
  }
}

TEST_F(Mathlib, ArgumentsOfAnotherKindSignalError22) {
  const lispval one = doubleFloat(1.0);
  struct Case {
    int32_t code;
    lispval a1, a2;
  };
  for (const Case& c : {Case{0, lisp::makeFixnum(1), nil()},    // a fixnum for a double
                        Case{12, nil(), nil()},
                        Case{15, one, singleFloat(2.0f)},       // a single for a double
                        Case{3, lisp::makeFixnum(8), one},
                        Case{7, one, nil()},                    // a double for a single
                        Case{29, one, one},                     // a double for the fixnum
                        Case{29, lisp::makeFixnum(1), lisp::makeFixnum(2)}}) {
    EXPECT_EQ(refused(mathSetup(c.code, c.a1, c.a2), 22), 0u) << "code " << c.code;
  }
}

// ---- what the operation sees ----

struct CalleeSaw {
  uint16_t controlWord;
  bool st0To5Empty;
  uint32_t clinkHead;
};
CalleeSaw g_saw;
uint32_t g_thread;

__attribute__((force_align_arg_pointer)) double probeOperation(double x) {
  uint32_t environment[7];  // fnstenv image: control, status, tag words first
  __asm__ volatile("fnstenv %0\n\tfldcw %0" : "=m"(environment));
  g_saw.controlWord = static_cast<uint16_t>(environment[0]);
  const uint32_t top = (environment[1] >> 11) & 7;
  g_saw.st0To5Empty = true;
  for (uint32_t i = 0; i < 6; ++i)
    if (((environment[2] >> (2 * ((top + i) & 7))) & 3) != 3) g_saw.st0To5Empty = false;
  g_saw.clinkHead = lisp::wordAt(g_thread, lisp::thread_record::kClinkHead);
  return x + 1;
}

TEST_F(Mathlib, TheOperationRunsUnderTheRuntimesControlWordInAForeignCallRecord) {
  md::MathRows probeRows = *md::activeMathRows;
  probeRows[4] = md::OfDouble{probeOperation};
  md::activeMathRows = &probeRows;
  g_thread = thread_;
  at<uint16_t>(nil() + nbg::kFloatControlWord) = 0x027f;

  LispCallSetup setup = mathSetup(4, doubleFloat(41.0), nil());
  setup.x87Count = 2;  // left on the x87 stack by the caller
  setup.x87Values[0] = 1.5;
  setup.x87Values[1] = 2.5;
  const lispval result = make(setup);
  EXPECT_EQ(doubleValue(result), 42.0);
  EXPECT_EQ(g_saw.controlWord, 0x027f);
  EXPECT_TRUE(g_saw.st0To5Empty);
  EXPECT_NE(g_saw.clinkHead, lisp::thread_record::kEmptyClinkChain);
}

}  // namespace
