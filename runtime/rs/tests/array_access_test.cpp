// Element access through aref and inv_s_aref on a real heap: round trips for
// every vector type, each kind's boundaries, the index model of arrays of
// several axes and of displaced arrays, every refusal (which touches no
// element), and the array-header constructor.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "platform/thread_block.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/object_routines.h"
#include "testing/lisp_constructor_heap.h"

namespace {

using namespace gc_test;
using lisp::lispval;
using lisp::makeCharacter;
using lisp::makeFixnum;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
namespace tc = lisp::type_code;
namespace nbg = lisp::nil_block::global;

constexpr int32_t kQcons = 0x2b;
constexpr int32_t kMakeSvector = 0xcb;
constexpr int32_t kAref = 0x9b;
constexpr int32_t kInvSAref = 0xe3;
constexpr int32_t kMakeArrayHeader = 0xb7;

class Arrays : public LispConstructorHeap {
 protected:
  // ---- objects to access ----

  lispval svector(uint32_t length, uint8_t type) {
    LispCallSetup setup =
        setupFor(kMakeSvector, makeFixnum(static_cast<int32_t>(length)), nil(), 5);
    setup.stack[2] = makeFixnum(type);
    setup.stack[3] = nil();
    setup.stack[4] = nil();
    return make(setup);
  }
  lispval cons(lispval car, lispval cdr) { return call(setupFor(kQcons, car, cdr, 2)).eax; }
  lispval list(std::initializer_list<int32_t> fixnums) {
    std::vector<int32_t> items(fixnums);
    lispval result = nil();
    for (auto item = items.rbegin(); item != items.rend(); ++item)
      result = cons(makeFixnum(*item), result);
    return result;
  }
  LispCallSetup headerSetup(lispval rank, lispval word1, lispval data, lispval displacement,
                            lispval dims, lispval sixth, lispval seventh) {
    LispCallSetup setup = setupFor(kMakeArrayHeader, rank, word1, 7);
    setup.stack[2] = data;
    setup.stack[3] = displacement;
    setup.stack[4] = dims;
    setup.stack[5] = sixth;
    setup.stack[6] = seventh;
    return setup;
  }
  // An array of the given dimensions over `data` (a cons whose cdr is the
  // data vector, or another array header).
  lispval array(std::initializer_list<int32_t> dims, lispval data, int32_t displacement = 0) {
    return make(headerSetup(makeFixnum(static_cast<int32_t>(dims.size())), nil(), data,
                            makeFixnum(displacement), list(dims), nil(), nil()));
  }

  // Number objects in the test arena, as the heap would hold them.
  lispval arenaObject(std::initializer_list<uint32_t> words) {
    auto* storage = static_cast<uint32_t*>(objects_->allocate(16));
    std::copy(words.begin(), words.end(), storage);
    return lisp::wordOf(storage, lisp::Tag::Other);
  }
  lispval bignum(uint16_t low, uint16_t high, uint8_t sign = 0) {
    return arenaObject({lisp::bignumHeader(2, sign), uint32_t{low} | uint32_t{high} << 16});
  }
  lispval singleBits(uint32_t bits) { return arenaObject({tc::SingleFloat, bits}); }
  lispval doubleBits(uint64_t bits) {
    return arenaObject(
        {tc::DoubleFloat, 0, static_cast<uint32_t>(bits), static_cast<uint32_t>(bits >> 32)});
  }
  lispval complex(lispval real, lispval imaginary) {
    return arenaObject({tc::Complex, real, imaginary});
  }

  // ---- the two routines ----

  LispCallSetup arefSetup(std::initializer_list<lispval> arguments) {
    std::vector<lispval> words(arguments);
    LispCallSetup setup = setupFor(kAref, 0, 0, static_cast<uint32_t>(words.size()));
    for (size_t i = 0; i < words.size(); ++i) setup.stack[i] = words[i];
    setup.eax = words.size() > 0 ? words[0] : 0;
    setup.edx = words.size() > 1 ? words[1] : 0;
    return setup;
  }
  LispCallSetup storeSetup(std::initializer_list<lispval> arguments) {
    LispCallSetup setup = arefSetup(arguments);
    setup.target = global(kInvSAref);
    return setup;
  }
  lispval read(std::initializer_list<lispval> arguments) {
    const LispCallResult result = call(arefSetup(arguments));
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.esi, kCallerFunction);
    EXPECT_EQ(lisp_recorder_log.count, 0u) << "error " << lisp_recorder_log.calls[0].eax / 4;
    testing_support::resetRecorder(kErrorValue);
    return result.eax;
  }
  void store(std::initializer_list<lispval> arguments) {
    const uint32_t before = next();
    const LispCallResult result = call(storeSetup(arguments));
    EXPECT_EQ(result.eax, *arguments.begin());
    EXPECT_EQ(result.esi, kCallerFunction);
    EXPECT_EQ(lisp_recorder_log.count, 0u) << "error " << lisp_recorder_log.calls[0].eax / 4;
    EXPECT_EQ(next(), before);
    testing_support::resetRecorder(kErrorValue);
  }

  // The bytes of an object, to see that a refused call changed none.
  static std::vector<uint8_t> bytesOf(lispval object) {
    const gc::ObjectExtent extent = gc::extentOf(header(object), at(object - 0xe));
    const auto* first = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(object - 0x12));
    return std::vector<uint8_t>(first, first + extent.bytes);
  }

  static uint32_t dataAt(lispval vector) {
    return vector - 0x12 + lisp::vectorDataOffset(*lisp::vectorType(header(vector) & 0xff));
  }

  // Whether two Lisp values stand for the same element: equal words, or
  // number objects of one type with equal bits.
  static bool sameElement(lispval a, lispval b) {
    if (a == b) return true;
    if (!lisp::isOther(a) || !lisp::isOther(b) || header(a) != header(b)) return false;
    switch (header(a) & 0xff) {
      case tc::SingleFloat:
        return at(a - 0xe) == at(b - 0xe);
      case tc::DoubleFloat:
        return at(a - 0xa) == at(b - 0xa) && at(a - 6) == at(b - 6);
      case tc::Bignum:
        return std::memcmp(reinterpret_cast<const void*>(static_cast<uintptr_t>(a - 0xe)),
                           reinterpret_cast<const void*>(static_cast<uintptr_t>(b - 0xe)),
                           2 * (header(a) >> 16)) == 0;
      case tc::Complex:
        return sameElement(at(a - 0xe), at(b - 0xe)) && sameElement(at(a - 0xa), at(b - 0xa));
      default:
        return false;
    }
  }
};

// ---- every vector type ----

// Two values of each element kind: index 0 gets the first, the last index
// the second; both must read back as the same element.
TEST_F(Arrays, EveryVectorTypeReadsBackWhatWasStoredAtBothEnds) {
  const lispval single1 = singleBits(0x3fc00000), single2 = singleBits(0x7fc12345);
  const lispval double1 = doubleBits(0x400921fb54442d18ull),
                double2 = doubleBits(0x8000000000000000ull);
  const struct {
    lisp::ElementKind kind;
    lispval first, last;
  } values[] = {
      {lisp::ElementKind::LispValue, makeCharacter('q'), nil()},
      {lisp::ElementKind::Bit, makeFixnum(1), makeFixnum(1)},
      {lisp::ElementKind::Unsigned8, makeFixnum(255), makeFixnum(0)},
      {lisp::ElementKind::Unsigned16, makeFixnum(65535), makeFixnum(1)},
      {lisp::ElementKind::Unsigned32, bignum(0xffff, 0xffff), makeFixnum(536870911)},
      {lisp::ElementKind::Character, makeCharacter(0x263a), makeCharacter(0)},
      {lisp::ElementKind::SingleFloat, single1, single2},
      {lisp::ElementKind::DoubleFloat, double1, double2},
      {lisp::ElementKind::Signed8, makeFixnum(-128), makeFixnum(127)},
      {lisp::ElementKind::Signed16, makeFixnum(-32768), makeFixnum(32767)},
      {lisp::ElementKind::Nibble, makeFixnum(15), makeFixnum(9)},
      {lisp::ElementKind::Signed32, bignum(0, 0x8000, 0x80), bignum(0xffff, 0x7fff)},
      {lisp::ElementKind::Code, makeFixnum(0xc3), makeFixnum(65535)},
      {lisp::ElementKind::ComplexSingle, complex(single1, single2), complex(single2, single1)},
      {lisp::ElementKind::ComplexDouble, complex(double1, double2), complex(double2, double1)},
      {lisp::ElementKind::Entry, nil(), bignum(0, 0xf000)},
      {lisp::ElementKind::Fixnum, makeFixnum(-536870912), makeFixnum(536870911)},
  };
  for (const lisp::VectorType& row : lisp::kVectorTypes) {
    if (row.element == lisp::ElementKind::Refused) continue;
    for (const auto& v : values) {
      if (v.kind != row.element) continue;
      SCOPED_TRACE(testing::Message() << "type " << int(row.code));
      const uint32_t length = row.widthBits < 8 ? 11 : 3;
      const lispval vector = svector(length, row.code);
      const lispval last = makeFixnum(static_cast<int32_t>(length - 1));
      store({v.first, vector, makeFixnum(0)});
      store({v.last, vector, last});
      const lispval first = read({vector, makeFixnum(0)});
      EXPECT_TRUE(sameElement(first, v.first)) << std::hex << first;
      const lispval end = read({vector, last});
      EXPECT_TRUE(sameElement(end, v.last)) << std::hex << end;
    }
  }
}

TEST_F(Arrays, ReadsConvertByTheElementKind) {
  // 0xffffffff is an unsigned bignum in 119 and -1 in 123.
  const lispval ones = bignum(0xffff, 0xffff);
  const lispval unsignedWords = svector(2, 119);
  store({ones, unsignedWords, makeFixnum(1)});
  const lispval big = read({unsignedWords, makeFixnum(1)});
  ASSERT_TRUE(lisp::isOther(big));
  EXPECT_EQ(header(big), lisp::bignumHeader(2));
  EXPECT_EQ(at(big - 0xe), 0xffffffffu);
  const lispval signedWords = svector(2, 123);
  store({ones, signedWords, makeFixnum(1)});
  EXPECT_EQ(read({signedWords, makeFixnum(1)}), makeFixnum(-1));

  // Element 0 of an entry vector is read as it is.
  const lispval entries = svector(2, 111);
  at(dataAt(entries)) = 0x12345677;
  EXPECT_EQ(read({entries, makeFixnum(0)}), 0x12345677u);

  // Nibbles: element i in the low nibble of byte i/2 when i is even.
  const lispval nibbles = svector(3, 106);
  at<uint8_t>(dataAt(nibbles)) = 0xa5;
  at<uint8_t>(dataAt(nibbles) + 1) = 0x07;
  EXPECT_EQ(read({nibbles, makeFixnum(0)}), makeFixnum(5));
  EXPECT_EQ(read({nibbles, makeFixnum(1)}), makeFixnum(0xa));
  EXPECT_EQ(read({nibbles, makeFixnum(2)}), makeFixnum(7));
  store({makeFixnum(3), nibbles, makeFixnum(1)});
  EXPECT_EQ(at<uint8_t>(dataAt(nibbles)), 0x35);

  // Bits: bit i is bit i mod 8 of byte i/8.
  const lispval bits = svector(10, 118);
  at<uint16_t>(dataAt(bits)) = 0x0205;
  const int32_t expected[] = {1, 0, 1, 0, 0, 0, 0, 0, 0, 1};
  for (int32_t i = 0; i < 10; ++i) EXPECT_EQ(read({bits, makeFixnum(i)}), makeFixnum(expected[i]));
  store({makeFixnum(0), bits, makeFixnum(2)});
  store({makeFixnum(1), bits, makeFixnum(8)});
  EXPECT_EQ(at<uint16_t>(dataAt(bits)), 0x0301);
}

TEST_F(Arrays, AComplexElementIsANewComplexOfTwoNewFloats) {
  const lispval vector = svector(2, 116);
  store({complex(doubleBits(0x3ff8000000000000ull), doubleBits(0xc000000000000000ull)), vector,
         makeFixnum(1)});
  const uint32_t before = next();
  const lispval element = read({vector, makeFixnum(1)});
  // The two floats (24 bytes each with their prefix) first, then the
  // complex that holds them.
  EXPECT_EQ(element, before + 48 + 0x1a);
  EXPECT_EQ(header(element), tc::Complex);
  EXPECT_EQ(at(element - 0xe), before + 0x1a);
  EXPECT_EQ(at(element - 0xa), before + 24 + 0x1a);
  EXPECT_EQ(at(before + 0x1a - 6), 0x3ff80000u);
  EXPECT_EQ(at(before + 24 + 0x1a - 6), 0xc0000000u);
  EXPECT_EQ(next(), before + 72);
}

// ---- stores: kinds and ranges ----

TEST_F(Arrays, StoresOfTheWrongKindOrOutOfRangeAreRefusedAndChangeNothing) {
  const lispval single = singleBits(0x3f800000), dbl = doubleBits(0);
  const struct {
    const char* what;
    uint8_t type;
    lispval value;
  } cases[] = {
      {"300 into 98", 98, makeFixnum(300)},
      {"-1 into 98", 98, makeFixnum(-1)},
      {"-129 into 104", 104, makeFixnum(-129)},
      {"128 into 121", 121, makeFixnum(128)},
      {"65536 into 99", 99, makeFixnum(65536)},
      {"-32769 into 105", 105, makeFixnum(-32769)},
      {"65536 into 108", 108, makeFixnum(65536)},
      {"2 into 97", 97, makeFixnum(2)},
      {"16 into 124", 124, makeFixnum(16)},
      {"a character into 125", 125, makeCharacter('a')},
      {"a fixnum into 117", 117, makeFixnum(65)},
      {"nil into 120", 120, nil()},
      {"nil into 107", 107, nil()},
      {"a double into 113", 113, dbl},
      {"a single into 114", 114, single},
      {"a fixnum into 102", 102, makeFixnum(1)},
      {"a complex of doubles into 115", 115, complex(dbl, dbl)},
      {"a complex of a single and a fixnum into 109", 109, complex(single, makeFixnum(0))},
      {"a single into 116", 116, single},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const lispval vector = svector(4, c.type);
    const std::vector<uint8_t> before = bytesOf(vector);
    refused(storeSetup({c.value, vector, makeFixnum(1)}), 21);
    EXPECT_EQ(bytesOf(vector), before);
  }
  const lispval bytes = svector(2, 98);
  store({makeFixnum(255), bytes, makeFixnum(1)});
  EXPECT_EQ(read({bytes, makeFixnum(1)}), makeFixnum(255));
}

TEST_F(Arrays, StoredValuesInOldSpaceMarkTheirPage) {
  const lispval young = svector(1, 112);
  LispCallSetup setup = setupFor(kMakeSvector, makeFixnum(3), nil(), 5);
  setup.stack[2] = makeFixnum(112);
  setup.stack[3] = nil();
  setup.stack[4] = makeFixnum(1);  // old space
  const lispval old = call(setup).eax;
  ASSERT_LT(old, GsNewFence);
  store({young, old, makeFixnum(2)});
  EXPECT_EQ(at(old - 0xa + 8), young);
  EXPECT_TRUE(gc::rootBitSet(old - 0xa + 8));
}

// ---- arrays ----

TEST_F(Arrays, SubscriptsOfThreeAxesFollowTheRowMajorModel) {
  const lispval vector = svector(24, 112);
  for (int32_t i = 0; i < 24; ++i) at(dataAt(vector) + 4 * i) = makeFixnum(i);
  const lispval a = array({2, 3, 4}, cons(nil(), vector));
  for (int32_t i = 0; i < 2; ++i)
    for (int32_t j = 0; j < 3; ++j)
      for (int32_t k = 0; k < 4; ++k)
        EXPECT_EQ(read({a, makeFixnum(i), makeFixnum(j), makeFixnum(k)}),
                  makeFixnum((i * 3 + j) * 4 + k))
            << i << " " << j << " " << k;
  const lispval b = array({2, 3}, cons(nil(), vector));
  EXPECT_EQ(read({b, makeFixnum(1), makeFixnum(2)}), makeFixnum(5));
  store({makeCharacter('x'), b, makeFixnum(1), makeFixnum(0)});
  EXPECT_EQ(at(dataAt(vector) + 4 * 3), makeCharacter('x'));
  // Each axis bounds its own subscript.
  for (auto subscripts : {std::initializer_list<int32_t>{2, 0}, {0, 3}, {-1, 0}, {0, -1}}) {
    const int32_t i = subscripts.begin()[0], j = subscripts.begin()[1];
    refused(arefSetup({b, makeFixnum(i), makeFixnum(j)}), 13);
  }
}

TEST_F(Arrays, DisplacementsAddUpAlongTheWalk) {
  const lispval vector = svector(12, 125);
  for (int32_t i = 0; i < 12; ++i) at<uint8_t>(dataAt(vector) + i) = static_cast<uint8_t>(100 + i);
  const lispval inner = array({12}, cons(nil(), vector), 3);
  const lispval outer = array({4}, inner, 2);
  for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(read({outer, makeFixnum(i)}), makeFixnum(105 + i));
  store({makeFixnum(7), outer, makeFixnum(1)});
  EXPECT_EQ(at<uint8_t>(dataAt(vector) + 6), 7);
  // The data vector bounds what the walk reaches.
  refused(arefSetup({outer, makeFixnum(7)}), 13);
}

TEST_F(Arrays, AOneAxisArrayChecksOnlyAZeroDimensionAndANegativeSubscript) {
  const lispval vector = svector(10, 112);
  for (int32_t i = 0; i < 10; ++i) at(dataAt(vector) + 4 * i) = makeFixnum(i);
  const lispval a = array({2}, cons(nil(), vector));
  EXPECT_EQ(read({a, makeFixnum(7)}), makeFixnum(7));
  refused(arefSetup({a, makeFixnum(10)}), 13);
  refused(arefSetup({a, makeFixnum(-1)}), 13);
  refused(arefSetup({array({0}, cons(nil(), vector)), makeFixnum(0)}), 13);
}

TEST_F(Arrays, ARankZeroArrayHasOneElement) {
  const lispval vector = svector(1, 112);
  at(dataAt(vector)) = makeCharacter('z');
  EXPECT_EQ(read({array({}, cons(nil(), vector))}), makeCharacter('z'));
}

TEST_F(Arrays, OfTheFlaggedFormsReadsTake210AndStoresTakeEvery) {
  const lispval vector = svector(3, 112);
  for (uint8_t type : {uint8_t{192}, uint8_t{193}, uint8_t{197}, uint8_t{208}, uint8_t{210}}) {
    SCOPED_TRACE(testing::Message() << "type " << int(type));
    const lispval a = make(headerSetup(makeFixnum(1), nil(), makeFixnum(type), makeFixnum(1),
                                       list({2}), nil(), nil()));
    at(a - 0xa) = cons(nil(), vector);
    store({makeFixnum(type), a, makeFixnum(1)});
    EXPECT_EQ(at(dataAt(vector) + 8), makeFixnum(type));
    if (type == tc::FlaggedArray) {
      EXPECT_EQ(read({a, makeFixnum(1)}), makeFixnum(type));
    } else {
      EXPECT_EQ(refused(arefSetup({a, makeFixnum(1)}), 14), a);
    }
  }
}

// ---- refusals ----

TEST_F(Arrays, RefusalsSignalTheirCodeAndTouchNoElement) {
  const lispval vector = svector(3, 112);
  const lispval typeOnly = make(
      headerSetup(makeFixnum(1), nil(), makeFixnum(80), makeFixnum(0), list({3}), nil(), nil()));
  const lispval loopA = array({3}, cons(nil(), vector));
  const lispval loopB = array({3}, loopA);
  at(loopA - 0xa) = loopB;  // each displaced onto the other
  LispCallSetup noArguments = arefSetup({});
  const struct {
    const char* what;
    LispCallSetup setup;
    uint32_t code;
    lispval datum;  // 0: the one-argument error
  } cases[] = {
      {"no arguments", noArguments, 55, nil()},
      {"a fixnum", arefSetup({makeFixnum(3), makeFixnum(0)}), 14, makeFixnum(3)},
      {"nil", arefSetup({nil(), makeFixnum(0)}), 14, nil()},
      {"a character", arefSetup({makeCharacter('a'), makeFixnum(0)}), 14, makeCharacter('a')},
      {"a structure", arefSetup({svector(2, tc::Structure), makeFixnum(0)}), 14, 0},
      {"a header with nil data", arefSetup({typeOnly, makeFixnum(0)}), 14, nil()},
      {"a cycle of headers", arefSetup({loopA, makeFixnum(0)}), 14, 0},
      {"two subscripts for a vector", arefSetup({vector, makeFixnum(0), makeFixnum(0)}), 18, 0},
      {"no subscript for a vector", arefSetup({vector}), 18, 0},
      {"two subscripts for one axis", arefSetup({typeOnly, makeFixnum(0), makeFixnum(0)}), 18, 0},
      {"a character subscript", arefSetup({vector, makeCharacter('a')}), 16, makeCharacter('a')},
      {"index = length", arefSetup({vector, makeFixnum(3)}), 13, 0},
      {"a negative index", arefSetup({vector, makeFixnum(-1)}), 13, 0},
      {"type 242", arefSetup({svector(3, 242), makeFixnum(0)}), 13, 0},
      {"type 229", arefSetup({svector(3, 229), makeFixnum(0)}), 14, 0},
      {"store: one argument", storeSetup({makeFixnum(1)}), 18, 0},
      {"store: into nil", storeSetup({makeFixnum(1), nil(), makeFixnum(0)}), 14, nil()},
      {"store: index = length", storeSetup({makeFixnum(1), vector, makeFixnum(3)}), 13, 0},
      {"store: nil subscript", storeSetup({makeFixnum(1), vector, nil()}), 16, nil()},
      {"store: two subscripts", storeSetup({makeFixnum(1), vector, makeFixnum(0), makeFixnum(1)}),
       18, 0},
      {"store: through nil data", storeSetup({makeFixnum(1), typeOnly, makeFixnum(0)}), 14, nil()},
      {"store: type 242", storeSetup({makeFixnum(1), svector(3, 242), makeFixnum(0)}), 13, 0},
  };
  const std::vector<uint8_t> before = bytesOf(vector);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const uint32_t datum = refused(c.setup, c.code);
    if (c.datum != 0) {
      EXPECT_EQ(datum, c.datum);
    }
  }
  EXPECT_EQ(bytesOf(vector), before);
}

// ---- array headers ----

TEST_F(Arrays, HeaderFlagsComeFromTheSixthWord1AndSeventhArguments) {
  const lispval vector = svector(4, tc::SimpleString);
  const lispval set = makeFixnum(0);  // not nil
  for (uint32_t combination = 0; combination < 8; ++combination) {
    const lispval sixth = combination & 1 ? set : nil();
    const lispval word1 = combination & 2 ? set : nil();
    const lispval seventh = combination & 4 ? set : nil();
    const lispval data = cons(nil(), vector);
    const lispval dims = list({4});
    const lispval a =
        make(headerSetup(makeFixnum(1), word1, data, makeFixnum(2), dims, sixth, seventh));
    EXPECT_EQ(header(a), lisp::headerWord(85, static_cast<uint8_t>(combination), 1)) << combination;
    EXPECT_EQ(at(a - 0xe), word1);
    EXPECT_EQ(at(a - 0xa), data);
    EXPECT_EQ(at(a - 6), makeFixnum(2));
    EXPECT_EQ(at(a - 2), dims);
  }
}

TEST_F(Arrays, HeaderTypesAndSerialNumbers) {
  global(nbg::kArraySerial) = 41;
  const lispval typed = make(
      headerSetup(makeFixnum(2), nil(), makeFixnum(72), makeFixnum(0), list({2, 2}), nil(), nil()));
  EXPECT_EQ(header(typed), lisp::headerWord(72, 0, 2));
  EXPECT_EQ(at(typed - 0xa), nil());
  EXPECT_EQ(at(typed + 2), makeFixnum(42));
  // A vector given directly, and another array header.
  const lispval direct = make(
      headerSetup(makeFixnum(1), nil(), svector(2, 98), makeFixnum(0), list({2}), nil(), nil()));
  EXPECT_EQ(header(direct) & 0xff, 66u);
  EXPECT_EQ(at(direct + 2), makeFixnum(43));
  const lispval displaced =
      make(headerSetup(makeFixnum(1), nil(), typed, makeFixnum(1), list({2}), nil(), nil()));
  EXPECT_EQ(header(displaced) & 0xff, 72u);
  EXPECT_EQ(global(nbg::kArraySerial), 44u);

  // A type byte that is no array-header code would make an object the
  // collector cannot size: refused with the data, nothing made.
  const lispval function = objects_->makeFunction(0);
  for (lispval data : {makeFixnum(76), makeFixnum(112), makeFixnum(300), nil(),
                       cons(nil(), makeFixnum(2)), cons(nil(), function)}) {
    EXPECT_EQ(
        refused(headerSetup(makeFixnum(1), nil(), data, makeFixnum(0), nil(), nil(), nil()), 14),
        data);
  }
  EXPECT_EQ(global(nbg::kArraySerial), 44u);
}

TEST_F(Arrays, NarheaderIsANativeEntryOverTheConstructor) {
  ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
  const lispval vector = svector(6, 112);
  const lispval data = cons(nil(), vector);
  const lispval dims = list({2, 3});
  const uint32_t before = next();
  const lispval a =
      narheader(makeFixnum(2), nil(), data, makeFixnum(0), dims, nil(), makeFixnum(1));
  EXPECT_EQ(a, before + 0x1a);
  EXPECT_EQ(header(a), lisp::headerWord(80, 4, 2));
  EXPECT_EQ(at(a - 0xa), data);
  EXPECT_EQ(at(a - 2), dims);
  EXPECT_EQ(next(), before + 32);
}

}  // namespace
