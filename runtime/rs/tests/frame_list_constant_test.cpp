// Frame-word access, list reversal and function constants through their
// entry slots, with the Lisp register conventions.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_constructor_heap.h"

namespace {

using namespace gc_test;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::LispCallSetup;
namespace tr = lisp::thread_record;

constexpr int32_t kListNreverse = 0x5f;
constexpr int32_t kFdStackReal = 0x107;
constexpr int32_t kFdStackAccess = 0x10f;
constexpr int32_t kFdStackSet = 0x113;
constexpr int32_t kFunctionConstant = 0x277;
constexpr int32_t kSetFunctionConstant = 0x27b;

class SmallRoutines : public LispConstructorHeap {
 protected:
  // Calls the routine in the slot; the result in eax, carry clear.
  lispval routine(int32_t slot, uint32_t eax, uint32_t edx, std::vector<uint32_t> stacked = {}) {
    LispCallSetup setup = setupFor(slot, eax, edx, static_cast<uint32_t>(2 + stacked.size()));
    for (size_t i = 0; i < stacked.size(); ++i) setup.stack[2 + i] = stacked[i];
    const testing_support::LispCallResult result = call(setup);
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.esi, kCallerFunction);
    return result.eax;
  }

  lispval newCons(lispval car, lispval cdr) {
    const lispval cons = lisp::pointerWord(cons_from_new_page(), lisp::Tag::Cons);
    lisp::car(cons) = car;
    lisp::cdr(cons) = cdr;
    return cons;
  }
  lispval oldCons(lispval car, lispval cdr) {
    const uint32_t cell = cons_from_old();
    EXPECT_NE(cell, 0u);
    const lispval cons = lisp::pointerWord(cell, lisp::Tag::Cons);
    lisp::car(cons) = car;
    lisp::cdr(cons) = cdr;
    return cons;
  }
  static void clearRootBits() {
    std::fill(setf_protect_bmap, setf_protect_bmap + setf_protect_bmap_size, 0u);
  }
};

// ---- frame words ----

class StackWords : public SmallRoutines {
 protected:
  void SetUp() override {
    SmallRoutines::SetUp();
    lisp::registry::forgetRegistry();
    uint32_t* record = allocate_threadctl();
    ASSERT_NE(record, nullptr);
    other_ = lisp::registry::tagged(record);
  }
  void TearDown() override {
    lisp::registry::forgetRegistry();
    SmallRoutines::TearDown();
  }
  uint32_t base() { return gc::addressOf(stack_); }
  lispval thread(int kind) {
    switch (kind) {
      case 0:
        return nil();
      case 1:
        return thread_;
      default:
        lisp::wordAt(other_, tr::kStackReadable) = kind == 3 ? 1 : 0;
        return other_;
    }
  }

  lispval other_ = 0;
  uint32_t stack_[4] = {0x11111110, 0xffffffff, 0x22222222, 40};
};

TEST_F(StackWords, ReadsWritesAndPassesOnlyWhereTheThreadsStackIsReadable) {
  const struct {
    const char* thread;
    int kind;
    bool readable;
  } threads[] = {{"nil", 0, true},
                 {"the current thread", 1, true},
                 {"another thread, word +0xc6 clear", 2, false},
                 {"another thread, word +0xc6 set", 3, true}};
  for (const auto& t : threads) {
    SCOPED_TRACE(t.thread);
    const lispval thread = this->thread(t.kind);
    auto expect = [&](lispval x) { return t.readable ? x : nil(); };

    // Type 0: the word as an unsigned integer.
    EXPECT_EQ(routine(kFdStackAccess, thread, base(), {makeFixnum(3), makeFixnum(0)}),
              expect(makeFixnum(40)));
    const lispval big = routine(kFdStackAccess, thread, base(), {makeFixnum(1), makeFixnum(0)});
    if (t.readable) {
      ASSERT_TRUE(lisp::isOther(big));
      EXPECT_EQ(header(big), lisp::bignumHeader(2));
      EXPECT_EQ(at(big - 0xe), 0xffffffffu);  // both digits 0xffff: 2^32 - 1
    } else {
      EXPECT_EQ(big, nil());
    }
    // Types 1 to 3: the word itself; others nil.
    for (int32_t type : {1, 2, 3})
      EXPECT_EQ(routine(kFdStackAccess, thread, base(), {makeFixnum(2), makeFixnum(type)}),
                expect(0x22222222u));
    EXPECT_EQ(routine(kFdStackAccess, thread, base(), {makeFixnum(2), makeFixnum(4)}), nil());
    EXPECT_EQ(routine(kFdStackAccess, thread, base(), {makeFixnum(2), makeFixnum(-1)}), nil());
    EXPECT_EQ(routine(kFdStackAccess, thread, nil(), {makeFixnum(2), makeFixnum(1)}), nil());

    EXPECT_EQ(routine(kFdStackReal, thread, makeFixnum(12)), expect(makeFixnum(12)));

    stack_[0] = 0x11111110;
    EXPECT_EQ(routine(kFdStackSet, thread, base(), {makeFixnum(0), makeFixnum(9)}),
              expect(makeFixnum(9)));
    EXPECT_EQ(stack_[0], t.readable ? makeFixnum(9) : 0x11111110u);
  }
}

// Only a registered thread record is asked whether its stack may be read:
// a copy of one, or any other object, names no thread.
TEST_F(StackWords, AnythingButARegisteredThreadRecordIsRefused) {
  alignas(8) uint32_t copy[tr::kRecordWords] = {};
  const lispval copied = lisp::pointerWord(gc::addressOf(copy), lisp::Tag::Other);
  lisp::wordAt(copied, tr::kStackReadable) = 1;
  auto* words = static_cast<uint32_t*>(objects_->allocate(16));
  words[0] = (2u << 8) | 117;
  words[1] = makeFixnum(2);
  words[2] = 0x00620061;
  const lispval string = lisp::wordOf(words, lisp::Tag::Other);
  for (const lispval thread : {copied, string, lisp::pointerWord(0x10, lisp::Tag::Other)}) {
    SCOPED_TRACE(testing::Message() << std::hex << thread);
    EXPECT_EQ(routine(kFdStackAccess, thread, base(), {makeFixnum(2), makeFixnum(1)}), nil());
    EXPECT_EQ(routine(kFdStackReal, thread, makeFixnum(12)), nil());
    EXPECT_EQ(routine(kFdStackSet, thread, base(), {makeFixnum(0), makeFixnum(9)}), nil());
    EXPECT_EQ(stack_[0], 0x11111110u);
  }
}

TEST_F(StackWords, AddressesThatAreNotFixnumShapedAreRefused) {
  const uint32_t before[] = {stack_[0], stack_[1], stack_[2], stack_[3]};
  EXPECT_EQ(routine(kFdStackAccess, nil(), base() + 1, {makeFixnum(0), makeFixnum(1)}), nil());
  EXPECT_EQ(routine(kFdStackAccess, nil(), base(), {makeFixnum(0) + 2, makeFixnum(1)}), nil());
  EXPECT_EQ(routine(kFdStackAccess, nil(), base(), {nil(), makeFixnum(1)}), nil());
  EXPECT_EQ(routine(kFdStackSet, nil(), nil(), {makeFixnum(0), makeFixnum(1)}), nil());
  EXPECT_EQ(routine(kFdStackSet, nil(), base(), {nil(), makeFixnum(1)}), nil());
  EXPECT_EQ(routine(kFdStackSet, makeFixnum(1), base(), {makeFixnum(0), makeFixnum(1)}), nil());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(stack_[i], before[i]);
  // Offsets count words; negative ones reach below the base.
  EXPECT_EQ(routine(kFdStackAccess, nil(), base() + 8, {makeFixnum(-1), makeFixnum(1)}),
            0xffffffffu);
}

// ---- list reversal ----

TEST_F(SmallRoutines, NreverseTurnsTheListAroundReusingItsConses) {
  EXPECT_EQ(routine(kListNreverse, nil(), 0), nil());

  const lispval one = newCons(makeFixnum(1), nil());
  EXPECT_EQ(routine(kListNreverse, one, 0), one);
  EXPECT_EQ(lisp::car(one), makeFixnum(1));
  EXPECT_EQ(lisp::cdr(one), nil());

  const lispval c3 = newCons(makeFixnum(3), nil());
  const lispval c2 = newCons(makeFixnum(2), c3);
  const lispval c1 = newCons(makeFixnum(1), c2);
  EXPECT_EQ(routine(kListNreverse, c1, 0), c3);
  EXPECT_EQ(lisp::cdr(c3), c2);
  EXPECT_EQ(lisp::cdr(c2), c1);
  EXPECT_EQ(lisp::cdr(c1), nil());
  EXPECT_EQ(lisp::car(c3), makeFixnum(3));
  EXPECT_EQ(lisp::car(c1), makeFixnum(1));

  // The walk stops at the first word that is not a cons.
  const lispval d2 = newCons(makeFixnum(2), makeFixnum(3));
  const lispval d1 = newCons(makeFixnum(1), d2);
  EXPECT_EQ(routine(kListNreverse, d1, 0), d2);
  EXPECT_EQ(lisp::cdr(d2), d1);
  EXPECT_EQ(lisp::cdr(d1), nil());
  EXPECT_EQ(routine(kListNreverse, makeFixnum(5), 0), nil());
}

TEST_F(SmallRoutines, NreverseOfAnOldListMarksThePagesThatNowPointIntoNewSpace) {
  const lispval o3 = oldCons(makeFixnum(3), nil());
  const lispval o2 = oldCons(makeFixnum(2), o3);
  const lispval n1 = newCons(makeFixnum(1), o2);
  clearRootBits();
  EXPECT_EQ(routine(kListNreverse, n1, 0), o3);
  EXPECT_EQ(lisp::cdr(o3), o2);
  EXPECT_EQ(lisp::cdr(o2), n1);
  EXPECT_TRUE(gc::rootBitSet(o2 + lisp::kCdrOffset));
}

// ---- function constants ----

class FunctionConstants : public SmallRoutines {
 protected:
  void SetUp() override {
    SmallRoutines::SetUp();
    const uint32_t fn = other_from_old_xsmp(lisp::functionObjectBytes(3));
    at(fn) = lisp::headerWord(lisp::type_code::Function, 0, 3);
    for (uint32_t i = 1; i < 9; ++i) at(fn + 4 * i) = nil();
    function_ = lisp::pointerWord(fn, lisp::Tag::Other);
    for (int32_t i = 0; i < 3; ++i) at(function_ + 0x12 + 4 * i) = makeFixnum(10 + i);

    const uint32_t closureHeader = lisp::headerWord(lisp::type_code::Closure, 0, 2);
    const uint32_t closureBytes = gc::extentOf(closureHeader, 0).bytes;
    const uint32_t cl = other_from_new_xsmp(closureBytes);
    at(cl) = closureHeader;
    for (uint32_t i = 1; i < closureBytes / 4; ++i) at(cl + 4 * i) = nil();
    closure_ = lisp::pointerWord(cl, lisp::Tag::Other);
    for (int32_t i = 0; i < 2; ++i) at(closure_ - 2 + 4 * i) = makeFixnum(20 + i);
  }
  lispval constant(lispval f, lispval index) { return routine(kFunctionConstant, f, index); }
  lispval setConstant(lispval f, lispval index, lispval value) {
    return routine(kSetFunctionConstant, f, index, {value});
  }
  std::vector<uint32_t> wordsOf(lispval f, uint32_t count) {
    const uint32_t object = lisp::objectAddress(f);
    return {&at(object), &at(object) + count};
  }

  lispval function_ = 0, closure_ = 0;
};

TEST_F(FunctionConstants, IndicesInRangeGiveTheConstantNilTheCountOthersNil) {
  const struct {
    const char* what;
    lispval* object;
    int32_t count, first;
  } objects[] = {{"function", &function_, 3, 10}, {"closure", &closure_, 2, 20}};
  for (const auto& o : objects) {
    SCOPED_TRACE(o.what);
    const lispval f = *o.object;
    EXPECT_EQ(constant(f, nil()), makeFixnum(o.count));
    EXPECT_EQ(constant(f, makeFixnum(0)), makeFixnum(o.first));
    EXPECT_EQ(constant(f, makeFixnum(o.count - 1)), makeFixnum(o.first + o.count - 1));
    EXPECT_EQ(constant(f, makeFixnum(o.count)), nil());
    EXPECT_EQ(constant(f, makeFixnum(-1)), nil());
    EXPECT_EQ(constant(f, lisp::makeCharacter('a')), nil());
  }
  const lispval cons = newCons(nil(), nil());
  EXPECT_EQ(constant(cons, nil()), nil());
  EXPECT_EQ(constant(makeFixnum(8), makeFixnum(0)), nil());
}

TEST_F(FunctionConstants, SetStoresInRangeThroughTheBarrierAndNothingElsewhere) {
  clearRootBits();
  const lispval value = newCons(nil(), nil());
  EXPECT_EQ(setConstant(function_, makeFixnum(2), value), nil());
  EXPECT_EQ(constant(function_, makeFixnum(2)), value);
  EXPECT_TRUE(gc::rootBitSet(function_ + 0x12 + 8));

  EXPECT_EQ(setConstant(closure_, makeFixnum(0), makeFixnum(99)), nil());
  EXPECT_EQ(constant(closure_, makeFixnum(0)), makeFixnum(99));

  for (lispval f : {function_, closure_}) {
    const std::vector<uint32_t> before = wordsOf(f, 12);
    for (lispval index : {makeFixnum(-1), makeFixnum(3), makeFixnum(2000), nil()})
      EXPECT_EQ(setConstant(f, index, makeFixnum(7)), nil());
    EXPECT_EQ(wordsOf(f, 12), before);
  }
}

}  // namespace
