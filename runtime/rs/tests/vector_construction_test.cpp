// Vectors made through their entry slots on a real heap: make_svector over
// every type against the collector's extents, its errors and element
// conversions, the vectors with a kind number, code vectors and their
// chain, closure vectors, and shrinking in new and old space.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "platform/thread_block.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_constructor_heap.h"

namespace {

using namespace gc_test;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
namespace nbg = lisp::nil_block::global;
namespace tc = lisp::type_code;

constexpr int32_t kMakeSvector = 0xcb;
constexpr int32_t kNewCodeVector = 0x16f;
constexpr int32_t kNewClosureVector = 0x73;
constexpr int32_t kNewWeakVector = 0x2e7;
constexpr int32_t kNewWeakKeyVector = 0x2cf;
constexpr int32_t kNewFinalization = 0x2eb;
constexpr int32_t kShrinkSvector = 0x1c7;

// A fill or static flag that is not nil. The static flag also goes to the
// static allocator as its in-heap argument: any word but 0 asks for old space.
constexpr lispval kSet = makeFixnum(1);

class Vectors : public LispConstructorHeap {
 protected:
  static uint32_t dataAt(lispval object) {
    const uint8_t code = header(object) & 0xff;
    const lisp::VectorType* type = lisp::vectorType(code);
    return object - 0x12 + (type ? lisp::vectorDataOffset(*type) : 4);
  }

  LispCallSetup svectorSetup(lispval length, lispval x, uint8_t type, lispval fill,
                             lispval isStatic) {
    LispCallSetup setup = setupFor(kMakeSvector, length, x, 5);
    setup.stack[2] = makeFixnum(type);
    setup.stack[3] = fill;
    setup.stack[4] = isStatic;
    return setup;
  }
  lispval svector(uint32_t length, lispval x, uint8_t type, lispval fill) {
    return make(svectorSetup(makeFixnum(length), x, type, fill, nil()));
  }

  // Number objects in the test arena, as the heap would hold them.
  lispval otherObject(std::initializer_list<uint32_t> words) {
    auto* storage = static_cast<uint32_t*>(objects_->allocate(16));
    std::copy(words.begin(), words.end(), storage);
    return lisp::wordOf(storage, lisp::Tag::Other);
  }
  lispval bignum(std::initializer_list<uint16_t> digits, uint8_t sign = 0) {
    auto* storage = static_cast<uint32_t*>(objects_->allocate(8 + 2 * digits.size()));
    storage[0] = lisp::bignumHeader(static_cast<uint32_t>(digits.size()), sign);
    std::copy(digits.begin(), digits.end(), reinterpret_cast<uint16_t*>(storage + 1));
    return lisp::wordOf(storage, lisp::Tag::Other);
  }
  lispval singleFloat(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    return otherObject({tc::SingleFloat, bits});
  }
  lispval doubleFloat(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, 8);
    return otherObject(
        {tc::DoubleFloat, 0, static_cast<uint32_t>(bits), static_cast<uint32_t>(bits >> 32)});
  }
  lispval complex(lispval real, lispval imaginary) {
    return otherObject({tc::Complex, real, imaginary});
  }
};

// ---- make_svector ----

TEST_F(Vectors, EveryTypeTakesItsCollectorExtentAtEveryLength) {
  std::vector<uint8_t> types = {tc::Structure, tc::ValuesVector};
  for (const lisp::VectorType& row : lisp::kVectorTypes) types.push_back(row.code);
  for (uint8_t type : types) {
    for (uint32_t length : {0u, 1u, 3u, 8u, 17u}) {
      SCOPED_TRACE(testing::Message() << "type " << int(type) << " length " << length);
      const lispval v = svector(length, nil(), type, nil());
      const lisp::VectorType* row = lisp::vectorType(type);
      if (row && row->fixnumLength) {
        EXPECT_EQ(header(v), type);
        EXPECT_EQ(at(v - 0xe), makeFixnum(length));
      } else {
        EXPECT_EQ(header(v), lisp::headerWithLength(type, length));
        if (length == 0) {
          EXPECT_EQ(at(v - 0xe), 0u);
        }
      }
      EXPECT_EQ(kindOf(v), 0u);
    }
  }
}

TEST_F(Vectors, BoxedTypesAreFilledEvenWithoutTheFillFlag) {
  const lispval x = makeFixnum(-3);
  for (uint8_t type : {tc::LispVector, tc::SimpleVector, tc::ValuesVector, tc::Structure}) {
    const lispval v = svector(5, x, type, nil());
    for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(at(dataAt(v) + 4 * i), x) << int(type) << " " << i;
  }
  const lispval fixnums = svector(3, makeFixnum(9), 120, nil());
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(at(dataAt(fixnums) + 4 * i), makeFixnum(0));
}

TEST_F(Vectors, InitialElementsAreConvertedToTheElementRepresentation) {
  const struct {
    const char* what;
    uint8_t type;
    lispval x;
    std::vector<uint8_t> element;  // the bytes of element 0 (and of every one)
  } cases[] = {
      {"bignum 2^31-1 into 107", 107, bignum({0xffff, 0x7fff}), {0xff, 0xff, 0xff, 0x7f}},
      {"-5 into 107", 107, makeFixnum(-5), {0xfb, 0xff, 0xff, 0xff}},
      {"bignum 2^32-1 into 100", 100, bignum({0xffff, 0xffff}), {0xff, 0xff, 0xff, 0xff}},
      {"negative bignum into 123", 123, bignum({0x2345, 0x0001}, 0x80), {0xbb, 0xdc, 0xfe, 0xff}},
      {"one-digit bignum into 127", 127, bignum({0x1234}), {0x34, 0x12, 0, 0}},
      {"300 into 98", 98, makeFixnum(300), {44}},
      {"-2 into 104", 104, makeFixnum(-2), {0xfe}},
      {"0x12345 into 126", 126, makeFixnum(0x12345), {0x45, 0x23}},
      {"1 into bits", 97, makeFixnum(1), {0xff}},
      {"10 into nibbles", 124, makeFixnum(10), {0xaa}},
      {"1.5 into 102", 102, singleFloat(1.5f), {0, 0, 0xc0, 0x3f}},
      {"-0.0 into 114", 114, doubleFloat(-0.0), {0, 0, 0, 0, 0, 0, 0, 0x80}},
      {"complex single into 115",
       115,
       complex(singleFloat(1.0f), singleFloat(-2.0f)),
       {0, 0, 0x80, 0x3f, 0, 0, 0, 0xc0}},
      {"complex double into 116",
       116,
       complex(doubleFloat(1.5), doubleFloat(-2.0)),
       {0, 0, 0, 0, 0, 0, 0xf8, 0x3f, 0, 0, 0, 0, 0, 0, 0, 0xc0}},
      {"#\\A into 117", 117, lisp::makeCharacter('A'), {0x41, 0}},
      {"fixnum word into 120", 120, makeFixnum(7), {0x1c, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const uint32_t length = 5;
    const lispval v = svector(length, c.x, c.type, kSet);
    const lisp::VectorType& row = *lisp::vectorType(c.type);
    const uint32_t bytes = static_cast<uint32_t>(lisp::vectorElementBytes(row, length));
    const auto* data = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(dataAt(v)));
    for (uint32_t at = 0; at < bytes; ++at)
      ASSERT_EQ(data[at], c.element[at % c.element.size()]) << "byte " << at;
  }
}

TEST_F(Vectors, StringsEndInAZeroUnitAndWordVectorsStartWithNil) {
  const lispval string = svector(3, lisp::makeCharacter('z'), 117, kSet);
  EXPECT_EQ(at<uint16_t>(dataAt(string) + 6), 0u);
  const lispval characters = svector(2, lisp::makeCharacter('z'), 101, kSet);
  EXPECT_EQ(at<uint16_t>(dataAt(characters) + 4), 0u);
  for (uint8_t type : {uint8_t{111}, uint8_t{119}}) {
    const lispval v = svector(3, makeFixnum(6), type, kSet);
    EXPECT_EQ(at(dataAt(v)), nil()) << int(type);
    EXPECT_EQ(at(dataAt(v) + 4), 6u);
    EXPECT_EQ(at(dataAt(v) + 8), 6u);
  }
  EXPECT_EQ(at(svector(0, makeFixnum(6), 111, kSet) - 0xe), 0u);
}

TEST_F(Vectors, BadRequestsSignalBeforeAnythingIsAllocated) {
  const lispval single = singleFloat(1.0f);
  const struct {
    const char* what;
    lispval length, x;
    uint8_t type;
    bool fill;
    uint32_t code;
    lispval datum;  // 0: the one-argument error
  } cases[] = {
      {"negative length", makeFixnum(-1), nil(), 112, false, 13, 0},
      {"length not a fixnum", nil(), nil(), 112, false, 13, 0},
      {"type 21", makeFixnum(1), nil(), 21, false, 22, 0},
      {"type 64", makeFixnum(1), nil(), 64, false, 22, 0},
      {"114 at 2^28", makeFixnum(268435456), nil(), 114, false, 56, makeFixnum(268435456)},
      {"116 at 2^27", makeFixnum(134217728), nil(), 116, false, 56, makeFixnum(134217728)},
      {"96 at 2^24", makeFixnum(16777216), nil(), 96, false, 56, makeFixnum(16777216)},
      {"130 at 2^24", makeFixnum(16777216), nil(), 130, false, 56, makeFixnum(16777216)},
      {"242 filled", makeFixnum(1), makeFixnum(0), 242, true, 13, 0},
      {"fixnum into 114", makeFixnum(2), makeFixnum(5), 114, true, 21, makeFixnum(5)},
      {"single into 114", makeFixnum(2), single, 114, true, 21, single},
      {"nil into 107", makeFixnum(2), nil(), 107, true, 21, nil()},
      {"complex of singles into 116", makeFixnum(2), complex(single, single), 116, true, 21, 0},
      {"character into 120", makeFixnum(2), lisp::makeCharacter('a'), 120, true, 21, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const uint32_t datum =
        refused(svectorSetup(c.length, c.x, c.type, c.fill ? kSet : nil(), nil()), c.code);
    if (c.datum != 0) {
      EXPECT_EQ(datum, c.datum);
    }
    if (c.code == 21) {
      EXPECT_EQ(datum, c.x);
    }
  }
  // A 242 vector of no elements has nothing to fill.
  svector(0, makeFixnum(0), 242, kSet);
  // The 24-bit limit holds for every header-length type.
  refused(svectorSetup(makeFixnum(0x1000000), nil(), 107, nil(), nil()), 56);
}

TEST_F(Vectors, StaticVectorsComeFromOldSpaceAndStoresThereAreProtected) {
  const lispval young = svector(1, nil(), tc::SimpleVector, nil());
  const uint32_t before = next();
  const LispCallResult result =
      call(svectorSetup(makeFixnum(4), young, tc::SimpleVector, nil(), kSet));
  EXPECT_EQ(next(), before);
  const lispval v = result.eax;
  EXPECT_LT(v, GsNewFence);
  EXPECT_EQ(header(v), tc::SimpleVector);
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(at(v - 0xa + 4 * i), young);
  EXPECT_TRUE(gc::rootBitSet(v - 0xa));
  EXPECT_TRUE(oldSpaceWalksCleanly());

  // The word 0 (fixnum 0) is not nil either: the native heap's static storage.
  const lispval native = call(svectorSetup(makeFixnum(2), makeFixnum(3), 107, kSet, 0)).eax;
  EXPECT_EQ(next(), before);
  EXPECT_GE(native, heap_reservation::kDefaultNativeAddress);
  EXPECT_EQ(header(native), lisp::headerWithLength(107, 2));
  EXPECT_EQ(at(native - 0xe), 3u);

  // Storage that cannot be had: error 31 with the byte count, here beyond
  // the fixnums and so a bignum (the only object made).
  const LispCallResult failed = call(svectorSetup(makeFixnum(0x7ffffff), nil(), 116, nil(), 0));
  EXPECT_EQ(failed.eax, kErrorValue);
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(31));
  const lispval datum = lisp_recorder_log.calls[0].edx;
  EXPECT_EQ(datum, before + 0x1a);
  EXPECT_EQ(header(datum), lisp::bignumHeader(2));
  EXPECT_EQ(at(datum - 0xe), 0x7ffffff8u);
  testing_support::resetRecorder(kErrorValue);
}

// ---- vectors with a kind number ----

TEST_F(Vectors, WeakAndWeakKeyVectorsCarryTheirKind) {
  const struct {
    int32_t slot;
    uint32_t count;
    uint16_t kind;
  } cases[] = {{kNewWeakVector, 1, 6},
               {kNewWeakKeyVector, 2, 20},
               {kNewWeakKeyVector, 1, 22},
               {kNewWeakKeyVector, 3, 22}};
  for (const auto& c : cases) {
    const lispval v = make(setupFor(c.slot, makeFixnum(3), makeFixnum(1), c.count));
    EXPECT_EQ(header(v), tc::SimpleVector);
    EXPECT_EQ(at(v - 0xe), makeFixnum(3));
    EXPECT_EQ(kindOf(v), c.kind) << c.slot << " with " << c.count;
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(at(v - 0xa + 4 * i), nil());
  }
}

TEST_F(Vectors, NweakvecIsANativeEntryOverTheWeakVector) {
  ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
  const uint32_t before = next();
  const lispval v = nweakvec(2);
  EXPECT_EQ(v, before + 0x1a);
  EXPECT_EQ(kindOf(v), 6u);
  EXPECT_EQ(at(v - 0xe), makeFixnum(2));
  // Beyond the fixnums: a bad length, not a short vector.
  EXPECT_EQ(nweakvec(0x40000001), kErrorValue);
  EXPECT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(next(), before + 24);
}

TEST_F(Vectors, ValuesVectorsAndFinalizations) {
  const lispval values = make(setupForRoutine(new_mv_vector, makeFixnum(3)));
  EXPECT_EQ(header(values), lisp::headerWithLength(tc::ValuesVector, 3));
  EXPECT_EQ(kindOf(values), 2u);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(at(values - 0xe + 4 * i), nil());
  make(setupForRoutine(new_mv_vector, makeFixnum(0)));
  EXPECT_EQ(refused(setupForRoutine(new_mv_vector, makeFixnum(16777216)), 56),
            makeFixnum(16777216));
  refused(setupForRoutine(new_mv_vector, makeFixnum(-2)), 13);

  const lispval finalization = make(setupFor(kNewFinalization));
  EXPECT_EQ(header(finalization), 0x360u);
  EXPECT_EQ(kindOf(finalization), 10u);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(at(finalization - 0xe + 4 * i), nil());
}

// ---- code vectors ----

TEST_F(Vectors, CodeVectorsAreChainedInOrderThroughTheirPrefixes) {
  const uint32_t countBefore = GsCVC_count;
  const uint32_t tailBefore = GsCVC_tail;
  lispval made[3];
  for (uint32_t i = 0; i < 3; ++i) {
    made[i] = make(setupFor(kNewCodeVector, makeFixnum(2 * i + 1), 0, 1));
    EXPECT_EQ(header(made[i]), lisp::headerWithLength(tc::CodeVector, 2 * i + 5));
  }
  EXPECT_EQ(GsCVC_count, countBefore + 3);
  EXPECT_EQ(at(tailBefore), made[0] - 0x1a);
  EXPECT_EQ(at(made[0] - 0x1a), made[1] - 0x1a);
  EXPECT_EQ(at(made[1] - 0x1a), made[2] - 0x1a);
  EXPECT_EQ(GsCVC_tail, made[2] - 0x1a);
  EXPECT_EQ(at(made[2] - 0x1a), 0u);

  const lispval unchained = make(setupFor(kNewCodeVector, makeFixnum(6), nil(), 2));
  EXPECT_EQ(header(unchained), lisp::headerWithLength(99, 10));
  EXPECT_EQ(GsCVC_count, countBefore + 3);
  EXPECT_EQ(GsCVC_tail, made[2] - 0x1a);

  refused(setupFor(kNewCodeVector, makeFixnum(-1), 0, 1), 13);
  EXPECT_EQ(refused(setupFor(kNewCodeVector, makeFixnum(0xfffffc), 0, 1), 56),
            makeFixnum(0xfffffc));
  EXPECT_EQ(GsCVC_count, countBefore + 3);
}

TEST_F(Vectors, OldCodeVectorsEndInAMinusOneWord) {
  for (uint32_t n : {0u, 1u, 2u, 5u}) {
    const uint32_t before = next();
    const LispCallResult result = call(setupForRoutine(new_old_code_vector, makeFixnum(n)));
    EXPECT_EQ(next(), before);
    const lispval v = result.eax;
    EXPECT_LT(v, GsNewFence);
    EXPECT_EQ(header(v), lisp::headerWithLength(tc::CodeVector, n + 4));
    const uint32_t marker = (v - 0x12) + 4 + ((2 * n + 10) & ~7u);
    EXPECT_EQ(at(marker), 0xffffffffu) << n;
    EXPECT_LT(marker, (v - 0x12) + gc::extentOf(header(v), 0).bytes);
  }
  EXPECT_TRUE(oldSpaceWalksCleanly());
}

// ---- closure vectors ----

TEST_F(Vectors, ClosureVectorsAreClosuresForKindsZeroAndTwo) {
  global(nbg::kInitialFunction) = objects_->makeFunction(0x1234);
  for (uint32_t kind : {0u, 2u}) {
    const lispval closure = make(setupFor(kNewClosureVector, makeFixnum(3), makeFixnum(kind), 2));
    EXPECT_EQ(header(closure), lisp::headerWord(tc::Closure, 0x84 + kind, 3));
    EXPECT_EQ(at(closure - 0xe), global(-0x1b9));
    EXPECT_EQ(at(closure - 0xa), global(nbg::kInitialFunction));
    EXPECT_EQ(at(closure - 6), nil());
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(at(closure - 2 + 4 * i), nil());
  }
  const lispval kind = lisp::makeCharacter('k');
  const lispval v = make(setupFor(kNewClosureVector, makeFixnum(2), kind, 2));
  EXPECT_EQ(header(v), tc::SimpleVector);
  EXPECT_EQ(at(v - 0xa), kind);
  EXPECT_EQ(at(v - 6), nil());
  const lispval empty = make(setupFor(kNewClosureVector, makeFixnum(0), kind, 2));
  EXPECT_EQ(at(empty - 0xe), makeFixnum(0));
  refused(setupFor(kNewClosureVector, makeFixnum(-1), kind, 2), 13);
  refused(setupFor(kNewClosureVector, makeFixnum(70000), makeFixnum(2), 2), 56);
}

// ---- shrinking ----

class Shrinking : public Vectors {
 protected:
  lispval shrink(lispval v, lispval length) {
    const LispCallResult result = call(setupFor(kShrinkSvector, v, length, 2));
    EXPECT_EQ(result.eax, v);
    EXPECT_EQ(lisp_recorder_log.count, 0u);
    return result.eax;
  }
  lispval oldVector(uint32_t length, uint8_t type) {
    return call(svectorSetup(makeFixnum(length), makeFixnum(0), type, nil(), kSet)).eax;
  }
};

TEST_F(Shrinking, ANewSimpleVectorLeavesAFillerForItsFreedTail) {
  const lispval v = svector(10, nil(), tc::SimpleVector, nil());
  shrink(v, makeFixnum(4));
  EXPECT_EQ(header(v), tc::SimpleVector);
  EXPECT_EQ(at(v - 0xe), makeFixnum(4));
  EXPECT_EQ(at(v - 0x12 + 24), 24u);
  EXPECT_EQ(at(v - 0x12 + 28), 0xffffffffu);
  svector(1, nil(), tc::SimpleVector, nil());  // the walk goes on after the filler
}

TEST_F(Shrinking, AnOldSimpleVectorLeavesAByteVectorForItsFreedTail) {
  const lispval v = oldVector(10, tc::SimpleVector);
  ASSERT_LT(v, GsNewFence);
  shrink(v, makeFixnum(4));
  EXPECT_EQ(at(v - 0xe), makeFixnum(4));
  const uint32_t filler = at(v - 0x12 + 24);
  EXPECT_EQ(filler, 0x1462u);
  EXPECT_EQ(24 + gc::extentOf(filler, 0).bytes, 48u);
  oldVector(3, tc::LispVector);
  EXPECT_TRUE(oldSpaceWalksCleanly());
}

TEST_F(Shrinking, HeaderLengthVectorsKeepTheirTypeAndCharactersTheirZeroUnit) {
  const struct {
    uint8_t type;
    uint32_t from, to;
  } cases[] = {{96, 10, 4}, {101, 9, 2}, {98, 40, 3}, {103, 5, 1}, {97, 100, 9}, {130, 6, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.type));
    const lispval v = svector(c.from, makeFixnum(0), c.type, nil());
    const uint32_t oldBytes = gc::extentOf(header(v), 0).bytes;
    shrink(v, makeFixnum(c.to));
    EXPECT_EQ(header(v), lisp::headerWithLength(c.type, c.to));
    const uint32_t newBytes = gc::extentOf(header(v), 0).bytes;
    if (c.type == 101) {
      EXPECT_EQ(at<uint16_t>(v - 0xe + 2 * c.to), 0u);
    }
    if (newBytes < oldBytes) {
      EXPECT_EQ(at(v - 0x12 + newBytes), oldBytes - newBytes);
      EXPECT_EQ(at(v - 0x12 + newBytes + 4), 0xffffffffu);
    }
  }
  svector(1, nil(), tc::SimpleVector, nil());
}

TEST_F(Shrinking, TheSameOrALargerLengthChangesNothing) {
  const lispval v = svector(6, nil(), tc::SimpleVector, nil());
  const lispval h = svector(6, nil(), tc::LispVector, nil());
  for (int32_t length : {6, 7, 100}) {
    shrink(v, makeFixnum(length));
    shrink(h, makeFixnum(length));
    EXPECT_EQ(at(v - 0xe), makeFixnum(6));
    EXPECT_EQ(header(h), lisp::headerWithLength(tc::LispVector, 6));
  }
}

TEST_F(Shrinking, BadArgumentsLeaveTheVectorAsItWas) {
  const lispval simple = svector(6, nil(), tc::SimpleVector, nil());
  const lispval words = svector(6, nil(), tc::LispVector, nil());
  const lispval structure = svector(6, nil(), tc::Structure, nil());
  const struct {
    const char* what;
    lispval v, length;
    uint32_t code;
    lispval datum;
  } cases[] = {
      {"length not a fixnum", simple, nil(), 16, nil()},
      {"negative length, fixnum-length vector", simple, makeFixnum(-1), 13, 0},
      {"negative length, header-length vector", words, makeFixnum(-1), 13, 0},
      {"a structure", structure, makeFixnum(2), 14, structure},
      {"not an other object", makeFixnum(5), makeFixnum(2), 14, makeFixnum(5)},
      {"a cons-tagged word", nil(), makeFixnum(2), 14, nil()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const uint32_t datum = refused(setupFor(kShrinkSvector, c.v, c.length, 2), c.code);
    if (c.datum) {
      EXPECT_EQ(datum, c.datum);
    }
  }
  EXPECT_EQ(at(simple - 0xe), makeFixnum(6));
  EXPECT_EQ(header(words), lisp::headerWithLength(tc::LispVector, 6));
  EXPECT_EQ(header(structure), lisp::headerWithLength(tc::Structure, 6));
  // shrink_lvector alone refuses a vector without a length word.
  refused(setupForRoutine(shrink_lvector, words, makeFixnum(2), 2), 14);
}

// ---- the collector's walk ----

TEST_F(Shrinking, TheCollectorsWalkVisitsEveryObjectMadeAndNothingElse) {
  ASSERT_EQ(next(), GsNewOther1);
  std::vector<uint32_t> made;
  auto keep = [&made](lispval v) { made.push_back(v - 0x12); };
  for (const lisp::VectorType& row : lisp::kVectorTypes) keep(svector(5, nil(), row.code, nil()));
  keep(svector(3, nil(), tc::Structure, nil()));
  const lispval shrunk = svector(12, nil(), tc::SimpleVector, nil());
  keep(shrunk);
  shrink(shrunk, makeFixnum(1));
  const lispval shrunkWords = svector(12, nil(), tc::LispVector, nil());
  keep(shrunkWords);
  shrink(shrunkWords, makeFixnum(2));
  keep(make(setupForRoutine(new_mv_vector, makeFixnum(4))));
  keep(make(setupFor(kNewCodeVector, makeFixnum(9), 0, 1)));
  keep(make(setupFor(kNewClosureVector, makeFixnum(2), makeFixnum(2), 2)));
  keep(make(setupFor(kNewWeakKeyVector, makeFixnum(2), 0, 1)));
  keep(make(setupFor(kNewFinalization)));
  EXPECT_EQ(collectorWalkOfNewSpace(), made);
}

}  // namespace
