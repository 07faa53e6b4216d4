// rs_bitop and rs_bit_equal through their entry slots, on bit vectors of
// both layouts made by make_svector: every operation against a model of
// single bits, the refusals that must write nothing, and the comparison
// table.

#include "runtime/rs/bit_vector_operations.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <vector>

#include "runtime/gc/scavenger.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_constructor_heap.h"

namespace {

using namespace gc_test;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::LispCallSetup;

constexpr int32_t kRsBitop = 0x11b;
constexpr int32_t kRsBitEqual = 0xd3;
constexpr int32_t kMakeSvector = 0xcb;
constexpr uint8_t kHeaderLength = 97;   // length in the header
constexpr uint8_t kFixnumLength = 118;  // length in a fixnum word

uint32_t wordCount(uint32_t bits) {
  return (bits + 31) / 32;
}

class BitVectors : public LispConstructorHeap {
 protected:
  lispval t() const { return lisp::nil_block::tFor(nil()); }

  // A bit vector of the type, its words filled from the generator (bits
  // beyond the length included).
  lispval bitVector(uint8_t type, uint32_t bits) {
    LispCallSetup setup = setupFor(kMakeSvector, makeFixnum(static_cast<int32_t>(bits)), 0, 5);
    setup.stack[2] = makeFixnum(type);
    setup.stack[3] = nil();
    setup.stack[4] = nil();
    const lispval vector = make(setup);
    for (uint32_t i = 0; i < wordCount(bits); ++i) words(vector)[i] = random_();
    return vector;
  }
  static uint32_t* words(lispval vector) {
    const bool fixnumLength = lisp::typeCodeOf(header(vector)) == kFixnumLength;
    return &at(vector + (fixnumLength ? -0xa : -0xe));
  }
  static std::vector<uint32_t> wordsOf(lispval vector, uint32_t bits) {
    return {words(vector), words(vector) + wordCount(bits)};
  }
  static void flip(lispval vector, uint32_t i) { words(vector)[i / 32] ^= 1u << (i % 32); }
  // The first byte after the vector's object.
  static uint32_t objectEnd(lispval vector) {
    const uint32_t object = lisp::objectAddress(vector);
    return object + gc::extentOf(at(object), at(object + 4)).bytes;
  }

  lispval bitop(lispval a, lispval b, lispval result, lispval operation) {
    LispCallSetup setup = setupFor(kRsBitop, a, b, 4);
    setup.stack[2] = result;
    setup.stack[3] = operation;
    const testing_support::LispCallResult called = call(setup);
    EXPECT_EQ(called.carry, 0u);
    EXPECT_EQ(called.esi, kCallerFunction);
    return called.eax;
  }
  lispval bitEqual(lispval a, lispval b) {
    const testing_support::LispCallResult called = call(setupFor(kRsBitEqual, a, b, 2));
    EXPECT_EQ(called.carry, 0u);
    return called.eax;
  }

  std::mt19937 random_{20261210};
};

// What each operation makes of one bit of a and one of b.
const std::function<bool(bool, bool)> kBitModel[16] = {
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    [](bool a, bool) { return !a; },
    nullptr,
    [](bool a, bool b) { return a && b; },
    [](bool a, bool b) { return a || b; },
    [](bool a, bool b) { return a != b; },
    [](bool a, bool b) { return a == b; },
    [](bool a, bool b) { return !(a && b); },
    [](bool a, bool b) { return !(a || b); },
    [](bool a, bool b) { return !a && b; },
    [](bool a, bool b) { return a && !b; },
    [](bool a, bool b) { return !a || b; },
    [](bool a, bool b) { return a || !b; },
};

// Every word the operation reaches, bit by bit from the model, including
// the bits of the last word beyond the length.
std::vector<uint32_t> modelled(int operation, const std::vector<uint32_t>& a,
                               const std::vector<uint32_t>& b) {
  std::vector<bool> bits;
  for (size_t i = 0; i < 32 * a.size(); ++i)
    bits.push_back(kBitModel[operation](a[i / 32] >> (i % 32) & 1, b[i / 32] >> (i % 32) & 1));
  std::vector<uint32_t> words(a.size(), 0);
  for (size_t i = 0; i < bits.size(); ++i)
    if (bits[i]) words[i / 32] |= 1u << (i % 32);
  return words;
}

constexpr uint32_t kLengths[] = {0, 1, 31, 32, 33, 70};
constexpr uint8_t kLayouts[] = {kHeaderLength, kFixnumLength};

TEST_F(BitVectors, EveryOperationMatchesTheBitModelInBothLayoutsGivenOrMade) {
  for (uint32_t n : kLengths) {
    for (uint8_t layoutA : kLayouts) {
      for (uint8_t layoutB : kLayouts) {
        const lispval a = bitVector(layoutA, n);
        const lispval b = bitVector(layoutB, n);
        const lispval given = bitVector(layoutB, n);
        const std::vector<uint32_t> aWords = wordsOf(a, n), bWords = wordsOf(b, n);
        for (int operation = 4; operation <= 15; ++operation) {
          if (operation == 5) continue;
          SCOPED_TRACE(testing::Message() << "n " << n << ", a " << int{layoutA} << ", b "
                                          << int{layoutB} << ", operation " << operation);
          const std::vector<uint32_t> expected = modelled(operation, aWords, bWords);
          EXPECT_EQ(bitop(a, b, given, makeFixnum(operation)), given);
          EXPECT_EQ(wordsOf(given, n), expected);

          const lispval made = bitop(a, b, nil(), makeFixnum(operation));
          ASSERT_TRUE(lisp::isOther(made));
          if (layoutA == kFixnumLength) {
            EXPECT_EQ(header(made), kFixnumLength);
            EXPECT_EQ(at(made - 0xe), makeFixnum(static_cast<int32_t>(n)));
          } else {
            EXPECT_EQ(header(made), lisp::headerWithLength(kHeaderLength, n));
          }
          EXPECT_EQ(wordsOf(made, n), expected);
          EXPECT_EQ(wordsOf(a, n), aWords);
          EXPECT_EQ(wordsOf(b, n), bWords);
        }
      }
    }
  }
  EXPECT_EQ(lisp_recorder_log.count, 0u);
}

TEST_F(BitVectors, NotWithoutBTakesANewVectorOrTheGivenOne) {
  const lispval a = bitVector(kFixnumLength, 40);
  const lispval made = bitop(a, nil(), nil(), makeFixnum(4));
  EXPECT_EQ(wordsOf(made, 40), modelled(4, wordsOf(a, 40), {0, 0}));
  const lispval same = bitop(a, nil(), a, makeFixnum(4));
  EXPECT_EQ(same, a);
  EXPECT_EQ(wordsOf(a, 40), wordsOf(made, 40));
}

TEST_F(BitVectors, WithoutBTheBinaryOperationsReadItsWordsAsZero) {
  const lispval a = bitVector(kHeaderLength, 40);
  EXPECT_EQ(wordsOf(bitop(a, nil(), nil(), makeFixnum(7)), 40), wordsOf(a, 40));
  EXPECT_EQ(wordsOf(bitop(a, nil(), nil(), makeFixnum(6)), 40), (std::vector<uint32_t>{0, 0}));
}

// a and b wait in their home slots while the result is made: a scavenge
// that the allocation runs moves them, and the operation reads the copies.
TEST_F(BitVectors, AScavengeWhileTheResultIsMadeKeepsAAndB) {
  const lispval a = bitVector(kFixnumLength, 70);
  const lispval b = bitVector(kHeaderLength, 70);
  const std::vector<uint32_t> expected = modelled(8, wordsOf(a, 70), wordsOf(b, 70));
  // A byte vector that leaves 16 bytes of new space; the result takes 32.
  const uint32_t left = global(lisp::nil_block::global::kNewSpaceFree);
  LispCallSetup filler = setupFor(kMakeSvector, makeFixnum(static_cast<int32_t>(left - 28)), 0, 5);
  filler.stack[2] = makeFixnum(lisp::type_code::ByteVector);
  filler.stack[3] = nil();
  filler.stack[4] = nil();
  make(filler);
  ASSERT_LT(global(lisp::nil_block::global::kNewSpaceFree), 32u);
  const uint32_t scavenges = ScavengeCt;

  const lispval made = bitop(a, b, nil(), makeFixnum(8));
  EXPECT_EQ(ScavengeCt, scavenges + 1);
  ASSERT_TRUE(lisp::isOther(made));
  EXPECT_EQ(header(made), kFixnumLength);
  EXPECT_EQ(wordsOf(made, 70), expected);
}

TEST_F(BitVectors, OperationsThatStoreNothingLeaveTheResultAsItWas) {
  const lispval a = bitVector(kHeaderLength, 33);
  const lispval b = bitVector(kFixnumLength, 33);
  const lispval given = bitVector(kHeaderLength, 33);
  const std::vector<uint32_t> before = wordsOf(given, 33);
  for (lispval operation : {makeFixnum(5), makeFixnum(3), makeFixnum(16), makeFixnum(-1), nil()}) {
    SCOPED_TRACE(testing::Message() << "operation word 0x" << std::hex << operation);
    EXPECT_EQ(bitop(a, b, given, operation), given);
    EXPECT_EQ(wordsOf(given, 33), before);
  }
  // A made result of an operation that stores nothing is all zeros.
  const lispval made = bitop(a, b, nil(), makeFixnum(5));
  EXPECT_EQ(wordsOf(made, 33), (std::vector<uint32_t>{0, 0}));
}

TEST_F(BitVectors, BOfAnotherLengthGivesNilAndWritesNothing) {
  const lispval a = bitVector(kHeaderLength, 33);
  const lispval given = bitVector(kHeaderLength, 33);
  const std::vector<uint32_t> before = wordsOf(given, 33);
  for (uint32_t n : {32u, 34u}) {
    const lispval b = bitVector(kFixnumLength, n);
    const uint32_t free = next();
    EXPECT_EQ(bitop(a, b, given, makeFixnum(6)), nil());
    EXPECT_EQ(bitop(a, b, nil(), makeFixnum(6)), nil());
    EXPECT_EQ(next(), free);
    EXPECT_EQ(wordsOf(given, 33), before);
  }
}

TEST_F(BitVectors, AResultWithFewerBitsGivesNilAndTheNextObjectKeepsItsWords) {
  for (uint8_t layout : kLayouts) {
    SCOPED_TRACE(testing::Message() << "result layout " << int{layout});
    const lispval a = bitVector(kHeaderLength, 70);
    const lispval b = bitVector(kHeaderLength, 70);
    const lispval shortResult = bitVector(layout, 1);
    const lispval neighbour = bitVector(kHeaderLength, 64);
    const uint32_t end = objectEnd(shortResult);
    const uint32_t after[] = {at(end), at(end + 4), at(end + 8), at(end + 12)};
    const uint32_t firstWord = words(shortResult)[0];
    EXPECT_EQ(bitop(a, b, shortResult, makeFixnum(7)), nil());
    EXPECT_EQ(words(shortResult)[0], firstWord);
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(at(end + 4 * i), after[i]) << "word " << i;
    EXPECT_EQ(lisp::objectAddress(neighbour), end + 8);
  }
  // As long as a (in its own layout) is enough.
  const lispval a = bitVector(kHeaderLength, 40);
  const lispval longer = bitVector(kFixnumLength, 64);
  EXPECT_EQ(bitop(a, nil(), longer, makeFixnum(4)), longer);
}

TEST_F(BitVectors, AnythingButAVectorIsRefused) {
  const lispval a = bitVector(kHeaderLength, 8);
  const lispval cons = lisp::pointerWord(0x30000000, lisp::Tag::Cons);
  const uint32_t free = next();
  EXPECT_EQ(bitop(makeFixnum(8), a, a, makeFixnum(6)), nil());
  EXPECT_EQ(bitop(a, cons, a, makeFixnum(6)), nil());
  EXPECT_EQ(bitop(a, nil(), makeFixnum(1), makeFixnum(4)), nil());
  EXPECT_EQ(bitEqual(a, makeFixnum(8)), nil());
  EXPECT_EQ(next(), free);
}

// ---- rs_bit_equal ----

TEST_F(BitVectors, EqualityComparesTheLengthAndTheBitsUpToIt) {
  struct Case {
    const char* what;
    uint8_t layoutA, layoutB;
    uint32_t lengthA, lengthB;
    int flipInB;  // -1: none
    bool equal;
  };
  const Case cases[] = {
      {"equal 35-bit vectors", kHeaderLength, kHeaderLength, 35, 35, -1, true},
      {"bit 34 differs", kHeaderLength, kHeaderLength, 35, 35, 34, false},
      {"bit 0 differs", kHeaderLength, kHeaderLength, 35, 35, 0, false},
      {"bit 35 differs, beyond the length in the last byte", kHeaderLength, kHeaderLength, 35, 35,
       35, true},
      {"bit 39 differs", kHeaderLength, kHeaderLength, 35, 35, 39, true},
      {"length 0", kHeaderLength, kHeaderLength, 0, 0, -1, true},
      {"length 32", kFixnumLength, kFixnumLength, 32, 32, -1, true},
      {"length 32, bit 31 differs", kFixnumLength, kFixnumLength, 32, 32, 31, false},
      {"length 64", kHeaderLength, kHeaderLength, 64, 64, -1, true},
      {"length 64, bit 63 differs", kHeaderLength, kHeaderLength, 64, 64, 63, false},
      {"lengths 35 and 36", kHeaderLength, kHeaderLength, 35, 36, -1, false},
      {"lengths 0 and 1", kFixnumLength, kFixnumLength, 0, 1, -1, false},
      {"mixed layouts, equal bits", kHeaderLength, kFixnumLength, 35, 35, -1, true},
      {"mixed layouts, bit 20 differs", kFixnumLength, kHeaderLength, 35, 35, 20, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const lispval a = bitVector(c.layoutA, c.lengthA);
    const lispval b = bitVector(c.layoutB, c.lengthB);
    for (uint32_t i = 0; i < wordCount(std::min(c.lengthA, c.lengthB)); ++i)
      words(b)[i] = words(a)[i];
    if (c.flipInB >= 0) flip(b, static_cast<uint32_t>(c.flipInB));
    EXPECT_EQ(bitEqual(a, b), c.equal ? t() : nil());
    EXPECT_EQ(bitEqual(b, a), c.equal ? t() : nil());
  }
}

}  // namespace
