// The native constructor dispatch over every type code, the constructors of
// the remaining object kinds through their entry slots, sysvectors outside
// the moving heap with the growth of a thread's fasl stack, and the call
// into Lisp of restructurify.

#include <gtest/gtest.h>

#include <cstdint>
#include <set>

#include "platform/memory.h"
#include "platform/thread_block.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/object_routines.h"
#include "testing/lisp_constructor_heap.h"

namespace {

using namespace gc_test;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
namespace tc = lisp::type_code;
namespace tr = lisp::thread_record;

constexpr int32_t kNewHashTable = 0x123;
constexpr int32_t kNewRatio = 0x12b;
constexpr int32_t kMakeComplex = 0x12f;
constexpr int32_t kMakeReadtable = 0xd7;
constexpr int32_t kMakeTrellonUpi = 0x293;
constexpr int32_t kMakeTrellonTriple = 0x28f;
constexpr int32_t kNewStandardInstance = 0x237;
constexpr int32_t kNewRemoteObject = 0x23b;
constexpr int32_t kCvtVectorToInstance = 0x1e3;
constexpr int32_t kRealSysvector = 0x8b;

constexpr int32_t kFillFlagGlobal = -0x1d;
constexpr int32_t kHashTableWord9Global = -0x115;
constexpr int32_t kInstanceSerialGlobal = -0x1a1;
constexpr int32_t kRemoteSerialGlobal = -0x305;
constexpr int32_t kRestructureSymbolGlobal = -0x3a9;

class OtherConstructors : public LispConstructorHeap {
 protected:
  void SetUp() override {
    LispConstructorHeap::SetUp();
    ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
  }

  // A native entry that must make one object at the free position.
  lispval madeNatively(lispval result, uint32_t before) {
    EXPECT_EQ(lisp_recorder_log.count, 0u) << "error " << lisp_recorder_log.calls[0].eax / 4;
    EXPECT_EQ(result, before + 0x1a);
    const gc::ObjectExtent extent = gc::extentOf(at(before + 8), at(before + 12));
    EXPECT_NE(extent.row, nullptr);
    EXPECT_EQ(next(), before + 8 + extent.bytes);
    return result;
  }
  lispval vectorObject(uint8_t type, uint32_t length) {
    LispCallSetup setup = setupFor(0xcb, makeFixnum(static_cast<int32_t>(length)), nil(), 5);
    setup.stack[2] = makeFixnum(type);
    setup.stack[3] = nil();
    setup.stack[4] = nil();
    return make(setup);
  }
  LispCallSetup sysvectorSetup(lispval n, lispval old, uint32_t w) {
    LispCallSetup setup = setupForRoutine(new_direct_sysvector_pvec, n, old, 3);
    setup.stack[2] = w;
    return setup;
  }
};

// ---- new_lisp_obj ----

// What each type code makes: the header type byte of the object, 0 for a
// refusal; conses and symbols are checked by their tags.
uint8_t expectedKind(uint32_t type) {
  if (type == 143) return tc::Structure;
  if ((type >= 96 && type <= 127) || type == 242) return static_cast<uint8_t>(type);
  switch (type) {
    case 1:
    case 7:
    case 8:
    case 9:
    case 15:
    case 16:
    case 17:
    case 18:
    case 19:
    case 20:
      return static_cast<uint8_t>(type);
    default:
      return 0;
  }
}

TEST_F(OtherConstructors, NewLispObjMakesEachListedKindAndRefusesTheRest) {
  for (uint32_t type = 0; type < 260; ++type) {
    SCOPED_TRACE(testing::Message() << "type " << type);
    const uint8_t kind = expectedKind(type);
    const uint32_t a = type == 7 ? nil() : 3;  // a symbol's name, else a count
    const uint32_t b = type == 8 ? 0x80 : 0;
    const uint32_t before = next();
    const lispval made = new_lisp_obj(type, a, b);
    if (kind == 0) {
      EXPECT_EQ(made, kErrorValue);
      ASSERT_EQ(lisp_recorder_log.count, 1u);
      EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(22));
      EXPECT_EQ(next(), before);
      testing_support::resetRecorder(kErrorValue);
    } else if (type == 1) {
      ASSERT_TRUE(lisp::isCons(made));
      EXPECT_EQ(lisp::car(made), makeFixnum(0));
      EXPECT_EQ(lisp::cdr(made), makeFixnum(0));
    } else if (type == 7) {
      EXPECT_EQ(lisp::tagOf(made), lisp::Tag::Symbol);
      EXPECT_EQ(at(made - 7), nil());
    } else {
      madeNatively(made, before);
      EXPECT_EQ(header(made) & 0xff, kind);
    }
  }
}

TEST_F(OtherConstructors, NewLispObjPassesItsArgumentsOnAsEachConstructorTakesThem) {
  uint32_t before = next();
  const lispval structure = madeNatively(new_lisp_obj(143, 3, 0), before);
  EXPECT_EQ(header(structure), lisp::headerWithLength(tc::Structure, 3));
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(at(structure - 0xe + 4 * i), nil());

  // Boxed vectors are filled from the global fill flag, others not.
  global(kFillFlagGlobal) = makeFixnum(1);
  before = next();
  const lispval filled = madeNatively(new_lisp_obj(96, 2, 0), before);
  EXPECT_EQ(at(filled - 0xe), nil());

  for (uint32_t type : {19u, 20u}) {
    before = next();
    const lispval twoPart = madeNatively(new_lisp_obj(type, 0, 0), before);
    EXPECT_EQ(header(twoPart), type);
    EXPECT_EQ(at(twoPart - 0xe), nil());
    EXPECT_EQ(at(twoPart - 0xa), nil());
  }

  before = next();
  const lispval function = madeNatively(new_lisp_obj(8, 2, 0x80), before);
  EXPECT_EQ(header(function), lisp::headerWord(tc::Function, 0x80, 2));
  before = next();
  const lispval closure = madeNatively(new_lisp_obj(9, 2, 0), before);
  EXPECT_EQ(header(closure), lisp::headerWord(tc::Closure, 0, 2));
  before = next();
  const lispval big = madeNatively(new_lisp_obj(18, 5, 0), before);
  EXPECT_EQ(header(big), lisp::bignumHeader(5));
  before = next();
  const lispval single = madeNatively(new_lisp_obj(16, 0, 0), before);
  EXPECT_EQ(at(single - 0xe), 0u);

  // Type 99: a plain vector of n units, or with b the code-vector shape.
  before = next();
  const lispval units = madeNatively(new_lisp_obj(99, 6, 0), before);
  EXPECT_EQ(header(units), lisp::headerWithLength(99, 6));
  before = next();
  const lispval codeShaped = madeNatively(new_lisp_obj(99, 6, 1), before);
  EXPECT_EQ(header(codeShaped), lisp::headerWithLength(99, 10));

  // A count beyond the fixnums is a bad length, not a short vector.
  before = next();
  EXPECT_EQ(new_lisp_obj(112, 0x40000000, 0), kErrorValue);
  EXPECT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(next(), before);
}

TEST_F(OtherConstructors, CodeVectorsAreChainedInNewSpaceOrMadeInOldSpace) {
  const uint32_t before = next();
  const lispval chained = madeNatively(new_lisp_obj(108, 6, 0), before);
  EXPECT_EQ(header(chained), lisp::headerWithLength(tc::CodeVector, 10));
  EXPECT_EQ(GsCVC_tail, before);

  const lispval old = new_lisp_obj(108, 6, 1);
  EXPECT_EQ(next(), before + 32);
  ASSERT_LT(old, GsNewFence);
  EXPECT_EQ(header(old), lisp::headerWithLength(tc::CodeVector, 10));
  EXPECT_EQ(at(old - 0x12 + 4 + ((2 * 6 + 10) & ~7)), 0xffffffffu);
  EXPECT_EQ(GsCVC_tail, before);
  EXPECT_TRUE(oldSpaceWalksCleanly());
}

// ---- the small constructors ----

TEST_F(OtherConstructors, HashTablesReadtablesAndTrellons) {
  global(kHashTableWord9Global) = makeFixnum(9);
  const lispval table = make(setupFor(kNewHashTable));
  EXPECT_EQ(header(table), tc::HashTable);
  const lispval words[] = {nil(), nil(), nil(),         nil(), nil(), nil(),
                           0,     nil(), makeFixnum(9), 0,     nil()};
  for (uint32_t i = 0; i < 11; ++i)
    EXPECT_EQ(at(table - 0xe + 4 * i), words[i]) << "word " << i + 1;

  const lispval readtable = make(setupFor(kMakeReadtable));
  EXPECT_EQ(header(readtable), tc::Readtable);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(at(readtable - 0xe + 4 * i), nil());

  EXPECT_EQ(header(make(setupFor(kMakeTrellonUpi))), tc::TrellonUpi);
  const uint32_t before = next();
  EXPECT_EQ(header(make(setupFor(kMakeTrellonTriple))), tc::TrellonTriple);
  EXPECT_EQ(next(), before + 72);
}

TEST_F(OtherConstructors, RatiosAndComplexesHoldTheirTwoParts) {
  const lispval young = vectorObject(112, 1);
  for (int32_t slot : {kNewRatio, kMakeComplex}) {
    const lispval made = make(setupFor(slot, young, makeFixnum(-3), 2));
    EXPECT_EQ(header(made), slot == kNewRatio ? tc::Ratio : tc::Complex);
    EXPECT_EQ(at(made - 0xe), young);
    EXPECT_EQ(at(made - 0xa), makeFixnum(-3));
  }
}

TEST_F(OtherConstructors, InstancesAndRemoteObjectsCarryTheLow16BitsOfTheirSerial) {
  global(kInstanceSerialGlobal) = 65534;
  const lispval first = make(setupFor(kNewStandardInstance, makeFixnum(1), makeFixnum(2), 2));
  EXPECT_EQ(header(first), lisp::headerWord(tc::StandardInstance, 0, 65535));
  EXPECT_EQ(at(first - 0xe), makeFixnum(1));
  EXPECT_EQ(at(first - 0xa), makeFixnum(2));
  EXPECT_EQ(at(first - 6), nil());
  const lispval wrapped = make(setupFor(kNewStandardInstance, nil(), nil(), 2));
  EXPECT_EQ(header(wrapped), lisp::headerWord(tc::StandardInstance, 0, 0));
  EXPECT_EQ(global(kInstanceSerialGlobal), 65536u);

  global(kRemoteSerialGlobal) = 6;
  const lispval remote = make(setupFor(kNewRemoteObject, makeFixnum(5), 0xdeadbeef, 2));
  EXPECT_EQ(header(remote), lisp::headerWord(tc::RemoteObject, 0, 7));
  EXPECT_EQ(at(remote - 0xe), makeFixnum(5));
  EXPECT_EQ(at(remote - 0xa), nil());
  EXPECT_EQ(at(remote - 6), 0xdeadbeefu);
}

TEST_F(OtherConstructors, OnlyATypeNinetySixVectorBecomesAnInstance) {
  const lispval v = vectorObject(96, 2);
  EXPECT_EQ(call(setupFor(kCvtVectorToInstance, v, makeFixnum(128), 2)).eax, v);
  EXPECT_EQ(header(v), lisp::headerWithLength(128, 2));

  const lispval simple = vectorObject(112, 2);
  const struct {
    lispval v, t, datum;
  } cases[] = {
      {simple, makeFixnum(128), simple},
      {makeFixnum(4), makeFixnum(128), makeFixnum(4)},
      {nil(), makeFixnum(128), nil()},
  };
  for (const auto& c : cases)
    EXPECT_EQ(refused(setupFor(kCvtVectorToInstance, c.v, c.t, 2), 32), c.datum);
  EXPECT_EQ(header(simple), 112u);
  // A type under which the collector would size or scan the vector
  // otherwise is refused with the type.
  const lispval other = vectorObject(96, 1);
  for (lispval t : {nil(), makeFixnum(112), makeFixnum(98), makeFixnum(8), makeFixnum(256)})
    EXPECT_EQ(refused(setupFor(kCvtVectorToInstance, other, t, 2), 32), t);
  EXPECT_EQ(header(other), lisp::headerWithLength(96, 1));
  for (uint8_t t : {uint8_t{129}, uint8_t{130}, uint8_t{15}, uint8_t{96}}) {
    const lispval fresh = vectorObject(96, 1);
    EXPECT_EQ(call(setupFor(kCvtVectorToInstance, fresh, makeFixnum(t), 2)).eax, fresh);
    EXPECT_EQ(header(fresh), lisp::headerWithLength(t, 1));
  }
}

// ---- sysvectors ----

TEST_F(OtherConstructors, SysvectorsLieOutsideTheMovingHeap) {
  const uint32_t before = next();
  const LispCallResult made = call(sysvectorSetup(makeFixnum(4), nil(), 0x55));
  EXPECT_EQ(made.ecx, 0u);
  const lispval s = made.eax;
  EXPECT_EQ(next(), before);
  EXPECT_GE(s, heap_reservation::kDefaultNativeAddress);
  EXPECT_EQ(header(s), (28u << 8) | 13);
  EXPECT_EQ(at(s - 0xe), makeFixnum(1));
  EXPECT_EQ(at(s - 0xa), 0u);
  EXPECT_EQ(at(s - 6), 0x55u);
  EXPECT_EQ(gc::extentOf(header(s), 0).bytes, 32u);

  // real_sysvector: an indirection gives its word 2, anything else itself.
  const lispval indirection = call(sysvectorSetup(makeFixnum(0), nil(), 0)).eax;
  at(indirection - 0xe) = makeFixnum(3);
  at(indirection - 0xa) = s;
  for (lispval x : {indirection, s, nil(), makeFixnum(3)}) {
    const LispCallResult real = call(setupFor(kRealSysvector, x, 0, 1));
    EXPECT_EQ(real.eax, x == indirection ? s : x);
    EXPECT_EQ(real.carry, 0u);
  }

  refused(sysvectorSetup(makeFixnum(-1), nil(), 0), 13);
  EXPECT_EQ(refused(sysvectorSetup(makeFixnum(0x400000), nil(), 0), 56), makeFixnum(0x400000));
  const lispval notOne = vectorObject(112, 1);
  EXPECT_EQ(refused(sysvectorSetup(makeFixnum(2), notOne, 0), 14), notOne);
}

TEST_F(OtherConstructors, TheFaslStackGrowsKeepingItsContents) {
  threadWord(tr::kFaslStack) = nil();
  threadWord(tr::kFaslStackWords) = 0;
  const lispval first = grow_fasl_stack(makeFixnum(100));
  EXPECT_EQ(lisp_recorder_log.count, 0u);
  EXPECT_EQ(threadWord(tr::kFaslStack), first);
  EXPECT_EQ(threadWord(tr::kFaslStackWords), 100u);
  EXPECT_EQ(header(first), ((400u + 12) << 8) | 13);
  EXPECT_EQ(at(first - 6), 0xffffffffu);
  for (uint32_t i = 0; i < 100; ++i) at(first - 2 + 4 * i) = 0x1000 + i;

  const lispval second = grow_fasl_stack(makeFixnum(100));
  EXPECT_EQ(threadWord(tr::kFaslStack), second);
  EXPECT_EQ(threadWord(tr::kFaslStackWords), 200u);
  EXPECT_EQ(header(second), ((800u + 12) << 8) | 13);
  for (uint32_t i = 0; i < 100; ++i) ASSERT_EQ(at(second - 2 + 4 * i), 0x1000 + i) << i;
}

TEST_F(OtherConstructors, AFaslStackThatCannotGrowIsLeftAsItWas) {
  threadWord(tr::kFaslStack) = nil();
  threadWord(tr::kFaslStackWords) = 0;
  const lispval stack = grow_fasl_stack(makeFixnum(100));
  // A native heap that cannot commit more: error 31 with the fixnum byte
  // count.
  platform::setMemoryFaultHook([](platform::MemoryOperation operation, uintptr_t, size_t) {
    return operation == platform::MemoryOperation::Commit;
  });
  const uint32_t increment = 0x100000;
  const lispval refused = grow_fasl_stack(makeFixnum(increment));
  platform::setMemoryFaultHook(nullptr);
  EXPECT_EQ(refused, kErrorValue);
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(31));
  EXPECT_EQ(lisp_recorder_log.calls[0].edx, makeFixnum(4 * (100 + increment) + 16));
  EXPECT_EQ(threadWord(tr::kFaslStack), stack);
  EXPECT_EQ(threadWord(tr::kFaslStackWords), 100u);
  EXPECT_EQ(header(stack), ((400u + 12) << 8) | 13);
}

// ---- restructurify ----

TEST_F(OtherConstructors, RestructurifyCallsTheFunctionOfItsSymbol) {
  global(kRestructureSymbolGlobal) =
      objects_->makeSymbol(objects_->makeFunction(testing_support::recorderAddress()));
  testing_support::resetRecorder(makeFixnum(12));
  EXPECT_EQ(restructurify(makeFixnum(4)), makeFixnum(12));
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(4));
  EXPECT_EQ(lisp_recorder_log.calls[0].ecx, 1u);
  testing_support::resetRecorder(kErrorValue);
}

}  // namespace
