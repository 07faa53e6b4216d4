// Named cases of the integer and bignum routines through their entry slots:
// the edge values, the runtime errors and what follows them, objects shrunk
// in place, and the temporaries fixnum operands borrow.

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "runtime/gc/allocation.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/object_extent.h"
#include "runtime/rs/tests/integer_test_support.h"

namespace integer_test {
namespace {

using gc_test::at;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::LispCallResult;
namespace nbg = lisp::nil_block::global;

constexpr int32_t kIntegerAdd = 0x18b;
constexpr int32_t kIntegerMultiply = 0x193;
constexpr int32_t kIntegerDivide = 0x197;
constexpr int32_t kShiftLeft = 0x1a7;
constexpr int32_t kLdb = 0x1b3;
constexpr int32_t kLogicalAnd = 0x1b7;
constexpr int32_t kLogicalNot = 0x1c3;
constexpr int32_t kIntegerTruncate = 0x1d3;
constexpr int32_t kIntegerRem = 0x1d7;
constexpr int32_t kBoxToNewBignum = 0x4b;
constexpr int32_t kMiInBignum = 0xc3;
constexpr int32_t kOneBigitDivInPlace = 0xcf;
constexpr int32_t kNewBignum = 0x217;
constexpr int32_t kBignumRem = 0x313;
constexpr int32_t kPrunebig = 0x317;

constexpr int32_t kTemporaryFlag = -0xd9;
constexpr lispval kErrorValue = makeFixnum(4242);  // what the stand-in error function returns

class IntegerEdges : public IntegerHeap {
 protected:
  LispCallResult callSlot(int32_t slot, const std::vector<uint32_t>& arguments) {
    return call(slotCall(slot, arguments));
  }
  std::string text(lispval word) { return formatNumber(readInteger(word)); }
  lispval big(const char* hex) { return makeInteger(parseNumber(hex)); }
  uint32_t nativeBlocksInUse() {
    return std::accumulate(std::begin(nmalloc), std::end(nmalloc), 0u);
  }
};

// ---- edge values ----

TEST_F(IntegerEdges, TheLargestFixnumPlusOneIsTheTwoDigitBignumTwoTo29) {
  const LispCallResult r =
      callSlot(kIntegerAdd, {makeFixnum(lisp::kMostPositiveFixnum), makeFixnum(1)});
  EXPECT_EQ(bignumHeader(r.eax), lisp::bignumHeader(2, 0));
  EXPECT_EQ(digit(r.eax, 0), 0x0000);
  EXPECT_EQ(digit(r.eax, 1), 0x2000);
}

TEST_F(IntegerEdges, DivideReturnsQuotientAndRemainderAsTwoValues) {
  struct Case {
    int32_t a, b;
    const char *quotient, *remainder;
  };
  for (const Case& c : {Case{lisp::kMostNegativeFixnum, -1, "0x20000000", "0x0"},
                        Case{-7, 2, "-0x3", "-0x1"}, Case{7, -2, "-0x3", "0x1"}}) {
    const LispCallResult r = callSlot(kIntegerDivide, {makeFixnum(c.a), makeFixnum(c.b)});
    EXPECT_EQ(r.carry, 1u);
    EXPECT_EQ(r.ecx, 2u);
    EXPECT_EQ(normalFormFault(r.eax), "");
    EXPECT_EQ(text(r.eax), c.quotient) << c.a << " / " << c.b;
    EXPECT_EQ(text(r.edx), c.remainder) << c.a << " / " << c.b;
  }
}

TEST_F(IntegerEdges, LdbOfMinusOneGivesAllOnesOfTheSize) {
  EXPECT_EQ(text(callSlot(kLdb, {makeFixnum(-1), makeFixnum(0), makeFixnum(40)}).eax),
            "0xffffffffff");
  // Shifted first, the value stays negative: it is masked, not taken as it is.
  EXPECT_EQ(callSlot(kLdb, {makeFixnum(-1), makeFixnum(5), makeFixnum(29)}).eax,
            makeFixnum(lisp::kMostPositiveFixnum));
}

TEST_F(IntegerEdges, LogicalNotCrossesTheFixnumBoundaryBothWays) {
  EXPECT_EQ(callSlot(kLogicalNot, {makeFixnum(lisp::kMostPositiveFixnum)}).eax,
            makeFixnum(lisp::kMostNegativeFixnum));
  const LispCallResult r = callSlot(kLogicalNot, {big("-0x20000001")});
  EXPECT_EQ(bignumHeader(r.eax), lisp::bignumHeader(2, 0));
  EXPECT_EQ(text(r.eax), "0x20000000");
}

TEST_F(IntegerEdges, LdbOfAPositiveBignumWithAHugeSizeIsTheShiftedValue) {
  // 2^24 bits would be more digits than a bignum may have; the value has 3.
  testing_support::resetRecorder(kErrorValue);
  EXPECT_EQ(text(callSlot(kLdb, {big("0x123456789abc"), makeFixnum(4), makeFixnum(1 << 24)}).eax),
            "0x123456789ab");
  EXPECT_EQ(lisp_recorder_log.count, 0u);
}

TEST_F(IntegerEdges, NewBignumHoldsTwoTo29UntilTheCallerWritesItsDigits) {
  const LispCallResult r = callSlot(kNewBignum, {makeFixnum(4)});
  EXPECT_EQ(bignumHeader(r.eax), lisp::bignumHeader(4, 0));
  EXPECT_EQ(digit(r.eax, 0), 0x0000);
  EXPECT_EQ(digit(r.eax, 1), 0x2000);
}

TEST_F(IntegerEdges, CBignumsComparesCountsBeforeDigits) {
  const lispval longer = makeBignum(parseNumber("0x1"), 3);
  const lispval shorter = big("0xffffffff");
  EXPECT_EQ(call(operationCall(INTOP_C_BIGNUMS, {longer, shorter})).eax, 1u);
  EXPECT_EQ(call(operationCall(INTOP_C_BIGNUMS, {shorter, longer})).eax, 0xffffffffu);
}

TEST_F(IntegerEdges, BoxingMinusTwoTo31GivesMagnitudeTwoTo31) {
  const LispCallResult r = callSlot(kBoxToNewBignum, {0x80000000u});
  EXPECT_EQ(bignumHeader(r.eax), lisp::bignumHeader(2, 0x80));
  EXPECT_EQ(digit(r.eax, 0), 0x0000);
  EXPECT_EQ(digit(r.eax, 1), 0x8000);
}

TEST_F(IntegerEdges, PrunebigOfTwoTo29KeepsOnlyThePositiveAsABignum) {
  const lispval negative = makeBignum(parseNumber("-0x20000000"));
  EXPECT_EQ(callSlot(kPrunebig, {negative}).eax, makeFixnum(lisp::kMostNegativeFixnum));
  const lispval positive = makeBignum(parseNumber("0x20000000"));
  EXPECT_EQ(callSlot(kPrunebig, {positive}).eax, positive);
  EXPECT_EQ(bignumHeader(positive), lisp::bignumHeader(2, 0));
}

TEST_F(IntegerEdges, OddCountFactorsAreReadWithAZeroDigitAndLeftAsTheyWere) {
  const lispval a = makeBignum(parseNumber("0x100000001"));          // 3 digits
  const lispval b = makeBignum(parseNumber("0x10000000000000001"));  // 5 digits
  // Whatever the spare bytes after the last digit held before.
  at<uint16_t>(a - 0xe + 2 * 3) = 0xbeef;
  at<uint16_t>(b - 0xe + 2 * 5) = 0xbeef;
  const LispCallResult r = callSlot(kIntegerMultiply, {a, b});
  EXPECT_EQ(text(r.eax), "0x1000000010000000100000001");
  EXPECT_EQ(bignumHeader(a), lisp::bignumHeader(3, 0));
  EXPECT_EQ(bignumHeader(b), lisp::bignumHeader(5, 0));
  EXPECT_EQ(text(a), "0x100000001");
  EXPECT_EQ(text(b), "0x10000000000000001");
}

// ---- runtime errors ----

TEST_F(IntegerEdges, DivisionByZeroReturnsTheErrorFunctionsValueWithoutDividing) {
  const lispval bignum = big("0x10000000000");
  for (const int32_t slot : {kIntegerDivide, kIntegerTruncate, kIntegerRem}) {
    for (const lispval dividend : {makeFixnum(7), bignum}) {
      testing_support::resetRecorder(kErrorValue);
      const LispCallResult r = callSlot(slot, {dividend, makeFixnum(0)});
      ASSERT_EQ(lisp_recorder_log.count, 1u) << "slot 0x" << std::hex << slot;
      EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(17));
      EXPECT_EQ(lisp_recorder_log.calls[0].edx, dividend);
      EXPECT_EQ(r.eax, kErrorValue);
      if (slot == kIntegerDivide) {
        EXPECT_EQ(r.carry, 1u);
        EXPECT_EQ(r.edx, nil());
      }
    }
  }
}

TEST_F(IntegerEdges, DividingInPlaceRefusesDivisorsOutsideOneDigit) {
  struct Case {
    lispval divisor;
    lispval code;
  };
  const Case cases[] = {{makeFixnum(0), makeFixnum(17)},
                        {makeFixnum(0x10000), makeFixnum(22)},
                        {makeFixnum(-3), makeFixnum(22)},
                        {nil(), makeFixnum(22)}};
  for (const Case& c : cases) {
    const lispval a = big("0x123456789abcdef");
    testing_support::resetRecorder(kErrorValue);
    const LispCallResult r = callSlot(kOneBigitDivInPlace, {a, c.divisor});
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    EXPECT_EQ(lisp_recorder_log.calls[0].eax, c.code);
    if (c.code == makeFixnum(17)) {
      EXPECT_EQ(lisp_recorder_log.calls[0].edx, a);
    }
    EXPECT_EQ(r.eax, kErrorValue);
    EXPECT_EQ(text(a), "0x123456789abcdef");
  }
}

TEST_F(IntegerEdges, DividingInPlaceOverwritesTheDividend) {
  const lispval a = big("-0x123456789abcdef");
  const LispCallResult r = callSlot(kOneBigitDivInPlace, {a, makeFixnum(10)});
  EXPECT_EQ(r.eax, a);
  EXPECT_EQ(text(a), "-0x1d208a5a912e31");
  EXPECT_EQ(r.edx, makeFixnum(-5));
}

TEST_F(IntegerEdges, LdbWithABadFieldSignalsError36OnceAndReturnsItsValue) {
  for (const auto& field :
       {std::pair{makeFixnum(0), makeFixnum(-1)}, std::pair{makeFixnum(-3), makeFixnum(8)},
        std::pair{nil(), makeFixnum(8)}}) {
    testing_support::resetRecorder(kErrorValue);
    const LispCallResult r = callSlot(kLdb, {big("0x10000000000"), field.first, field.second});
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(36));
    EXPECT_EQ(r.eax, kErrorValue);
  }
}

TEST_F(IntegerEdges, ABignumTooLongReturnsError35sValueAndGivesTheTemporaryBack) {
  const uint32_t first = global(nbg::kScratchBignum1);
  testing_support::resetRecorder(kErrorValue);
  const LispCallResult r = callSlot(kShiftLeft, {makeFixnum(3), makeFixnum(16 * 70000)});
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(35));
  EXPECT_EQ(r.eax, kErrorValue);
  EXPECT_EQ(global(nbg::kScratchBignum1), first);
}

TEST_F(IntegerEdges, ALongDivisionByADivisorWithATopZeroDigitSignalsError22) {
  testing_support::resetRecorder(kErrorValue);
  const LispCallResult r =
      callSlot(kBignumRem, {big("0x1000000000000000000"), makeBignum(parseNumber("0x12345"), 3)});
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(22));
  EXPECT_EQ(r.eax, kErrorValue);
}

// ---- objects changed in place ----

TEST_F(IntegerEdges, MiInBignumSetsTheSignFromTheValue) {
  const lispval b = big("-0x123456789");
  EXPECT_EQ(callSlot(kMiInBignum, {b, 5}).eax, b);
  EXPECT_EQ(text(b), "0x100000005");
  callSlot(kMiInBignum, {b, static_cast<uint32_t>(-6)});
  EXPECT_EQ(text(b), "-0x100000006");
}

TEST_F(IntegerEdges, BignumRemFillsOnlyADestinationLongEnough) {
  const lispval a = big("0x1234567890abcdef1234567890");  // 7 digits: the buffer needs 8
  const lispval b = big("0x10000000007");
  const char* remainder = "0xc6431fdb99";

  const lispval shortDestination = makeBignum(parseNumber("0x5"), 7);
  const LispCallResult shortCall = callSlot(kBignumRem, {a, b, shortDestination});
  EXPECT_EQ(text(shortCall.eax), remainder);
  EXPECT_NE(shortCall.eax, shortDestination);
  EXPECT_EQ(bignumHeader(shortDestination), lisp::bignumHeader(7, 0));
  EXPECT_EQ(text(shortDestination), "0x5");

  const lispval longDestination = makeBignum(parseNumber("0x5"), 20);
  const LispCallResult longCall = callSlot(kBignumRem, {a, b, longDestination});
  EXPECT_EQ(longCall.eax, longDestination);
  EXPECT_EQ(text(longDestination), remainder);
  EXPECT_EQ(normalFormFault(longDestination), "");
  EXPECT_TRUE(newSpaceWalksCleanly());
}

TEST_F(IntegerEdges, PrunebigLeavesAFillerTheWalksStepOver) {
  // In new space: a 12-digit object shrunk to 3 digits.
  const lispval young = makeBignum(parseNumber("0x10000000000"), 12);
  EXPECT_EQ(callSlot(kPrunebig, {young}).eax, young);
  EXPECT_EQ(bignumHeader(young), lisp::bignumHeader(3, 0));
  EXPECT_TRUE(newSpaceWalksCleanly());

  // Below the new-space boundary: the tail becomes an object of its own.
  const uint32_t address = other_from_old_xsmp(24);
  ASSERT_NE(address, 0u);
  auto* storage = reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
  ASSERT_LT(address, global(nbg::kNewSpaceBoundary));
  storage[0] = lisp::bignumHeader(9, 0x80);  // 9 digits: 3 units of 8 bytes
  for (uint32_t i = 1; i < 6; ++i) storage[i] = 0;
  storage[2] = 0x100;  // digits 2 and 3: the value -2^40
  const lispval old = lisp::pointerWord(address, lisp::Tag::Other);
  EXPECT_EQ(callSlot(kPrunebig, {old}).eax, old);
  EXPECT_EQ(text(old), "-0x10000000000");
  const gc::ObjectExtent shrunk = gc::extentOf(storage[0], storage[1]);
  ASSERT_EQ(shrunk.bytes, 16u);
  const gc::ObjectExtent filler = gc::extentOf(storage[4], storage[5]);
  ASSERT_NE(filler.row, nullptr);
  EXPECT_EQ(filler.bytes, 8u);
}

// ---- temporaries ----

TEST_F(IntegerEdges, FixnumOperandsBorrowTheTemporariesAndGiveThemBack) {
  const uint32_t first = global(nbg::kScratchBignum1), second = global(nbg::kScratchBignum2);
  const lispval bignum = big("0x10000000000");
  const uint32_t before = global(nbg::kNewSpaceNext);
  EXPECT_EQ(text(callSlot(kIntegerAdd, {makeFixnum(5), bignum}).eax), "0x10000000005");
  // The only object made is the sum: 3 + 1 digits, one 16-byte unit with its prefix.
  EXPECT_EQ(global(nbg::kNewSpaceNext) - before, 8u + 16u);
  EXPECT_EQ(text(callSlot(kLogicalAnd, {makeFixnum(-5), bignum}).eax), "0x10000000000");
  EXPECT_EQ(global(nbg::kScratchBignum1), first);
  EXPECT_EQ(global(nbg::kScratchBignum2), second);
}

TEST_F(IntegerEdges, TwoFixnumsThatFitAllocateNothing) {
  const lispval bignum = big("0x10000000000");
  const uint32_t before = global(nbg::kNewSpaceNext);
  EXPECT_EQ(callSlot(kIntegerAdd, {makeFixnum(-5), makeFixnum(7)}).eax, makeFixnum(2));
  EXPECT_EQ(callSlot(kIntegerMultiply, {makeFixnum(-5), makeFixnum(7)}).eax, makeFixnum(-35));
  EXPECT_EQ(callSlot(kIntegerMultiply, {makeFixnum(0), bignum}).eax, makeFixnum(0));
  EXPECT_EQ(global(nbg::kNewSpaceNext), before);
}

TEST_F(IntegerEdges, ATemporaryInUseIsReplacedByANativeHeapBlock) {
  const uint32_t first = global(nbg::kScratchBignum1);
  global(nbg::kScratchBignum1) = nil();  // as if an outer routine held it
  const uint32_t blocks = nativeBlocksInUse();
  EXPECT_EQ(text(callSlot(kIntegerAdd, {makeFixnum(-5), big("0x10000000000")}).eax),
            "0xfffffffffb");
  EXPECT_EQ(global(kTemporaryFlag), 4u);
  EXPECT_EQ(nativeBlocksInUse(), blocks);
  EXPECT_EQ(global(nbg::kScratchBignum1), nil());
  global(nbg::kScratchBignum1) = first;
}

// With its slot taken and the native heap unable to give a block, a fixnum
// operand ends the process with the collector's error.
TEST_F(IntegerEdges, ATemporaryFromAnExhaustedNativeHeapIsTheCollectorsError) {
  EXPECT_EXIT(
      {
        global(nbg::kScratchBignum1) = nil();  // as if an outer routine held it
        vxm_sbrk(static_cast<int32_t>(vxmmalloc_heap.committed_end - vxmmalloc_heap.brk));
        platform::setMemoryFaultHook([](platform::MemoryOperation operation, uintptr_t, size_t) {
          return operation == platform::MemoryOperation::Commit;
        });
        while (vxmmalloc(16, 0, 0)) {
        }
        call(operationCall(INTOP_FIXNUM_IN_BIG, {makeFixnum(9), t()}));
      },
      testing::ExitedWithCode(1), "Couldn't get 16 bytes from operating system");
}

TEST_F(IntegerEdges, FixnumInBigAndReplaceTempBignumByHand) {
  const uint32_t first = global(nbg::kScratchBignum1);
  const LispCallResult taken =
      call(operationCall(INTOP_FIXNUM_IN_BIG, {makeFixnum(-0x12345), t()}));
  EXPECT_EQ(taken.eax, first);
  EXPECT_EQ(global(kTemporaryFlag), 0u);
  EXPECT_EQ(global(nbg::kScratchBignum1), nil());
  EXPECT_EQ(text(first), "-0x12345");
  EXPECT_EQ(bignumHeader(first), lisp::bignumHeader(2, 0x80));

  const uint32_t blocks = nativeBlocksInUse();
  const LispCallResult nested = call(operationCall(INTOP_FIXNUM_IN_BIG, {makeFixnum(9), t()}));
  EXPECT_EQ(global(kTemporaryFlag), 4u);
  EXPECT_EQ(at<uint8_t>(nested.eax - 0x12), lisp::type_code::Bignum);
  EXPECT_EQ(text(nested.eax), "0x9");
  EXPECT_EQ(nativeBlocksInUse(), blocks + 1);
  call(operationCall(INTOP_REPLACE_TEMP_BIGNUM, {nested.eax, t(), 4}));
  EXPECT_EQ(nativeBlocksInUse(), blocks);

  EXPECT_EQ(call(operationCall(INTOP_REPLACE_TEMP_BIGNUM, {first, t(), nil()})).eax, t());
  EXPECT_EQ(global(nbg::kScratchBignum1), nil());
  call(operationCall(INTOP_REPLACE_TEMP_BIGNUM, {first, t(), 0}));
  EXPECT_EQ(global(nbg::kScratchBignum1), first);
}

}  // namespace
}  // namespace integer_test
