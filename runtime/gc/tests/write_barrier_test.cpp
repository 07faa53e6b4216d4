// The barrier entries, called the way compiled code calls them: through
// their slots of the runtime entry table, with the Lisp register conventions.

#include "runtime/gc/write_barrier.h"

#include <gtest/gtest.h>

#include "runtime/gc/allocation.h"
#include "runtime/gc/lispstatic.h"
#include "testing/lisp_heap_fixture.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/runtime_routines.h"
#include "testing/lisp_call_harness.h"

namespace {

using namespace gc;
using namespace gc_test;
using lisp::lispval;
using lisp::Tag;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;

// Entry-table slots (offsets from nil).
constexpr int32_t kSetfProtect = 0x3f;
constexpr int32_t kSetfProtect1 = 0x133;
constexpr int32_t kSetfProtectX = 0x25b;
constexpr int32_t kSetfProtectAtomic = 0x26f;
constexpr int32_t kSetProtect = 0x2fb;

enum class Target { Old, OldOtherPage, New, BelowHeap, PastBitmap };
enum class Value {
  FixnumHigh,
  FixnumOddHigh,
  CharacterTagHigh,
  NewCons,
  NewOther,
  NewSymbol,
  LastNewWord,
  AboveNewTop,
  NewFence,
  JustAboveNewFence,
  Old,
  LispStatic,
};

uint32_t g_belowHeap[4];

class WriteBarrier : public LispHeap {
 protected:
  void SetUp() override {
    LispHeap::SetUp();
    old_ = other_from_old_xsmp(64);
    oldFar_ = other_from_old_xsmp(0x90000);  // reaches beyond a one-word bitmap
    new_ = other_from_new_xsmp(64);
    newCons_ = cons_from_new_page();
    staticObject_ = other_from_static_xsmp(16, 0, nullptr);
    thread_ = lisp::pointerWord(addressOf(threadRecord_), Tag::Other);
  }
  void TearDown() override {
    Gslispstatic_count = 0;
    LispHeap::TearDown();
  }

  uint32_t target(Target kind) {
    switch (kind) {
      case Target::Old:
        return old_ + 8;
      case Target::OldOtherPage:
        return oldFar_ + 3 * kPageBytes;
      case Target::New:
        return new_ + 8;
      case Target::BelowHeap:
        return addressOf(&g_belowHeap[1]);
      case Target::PastBitmap:
        return oldFar_ + 0x90000 - 8;
    }
    return 0;
  }
  lispval value(Value kind) {
    switch (kind) {
      case Value::FixnumHigh:
        return 0x7ffffff0;
      case Value::FixnumOddHigh:
        return 0x7ffffff4;
      case Value::CharacterTagHigh:
        return 0x7ffffff6;
      case Value::NewCons:
        return lisp::pointerWord(newCons_, Tag::Cons);
      case Value::NewOther:
        return lisp::pointerWord(new_, Tag::Other);
      case Value::NewSymbol:
        return lisp::pointerWord(new_, Tag::Symbol);
      case Value::LastNewWord:
        return GsNewTopLV - 1;  // tag 7; GsNewTopLV itself reads as a fixnum
      case Value::AboveNewTop:
        return GsNewTopLV + 1;
      case Value::NewFence:
        return GsNewFence;
      case Value::JustAboveNewFence:
        return GsNewFence + 1;
      case Value::Old:
        return lisp::pointerWord(old_, Tag::Other);
      case Value::LispStatic:
        return lisp::pointerWord(staticObject_, Tag::Other);
    }
    return 0;
  }
  // Makes the lisp-static range cover the static object.
  void registerStaticRange() {
    Gslispstatic_count = 1;
    Gslispstatic_min = Gslispstatic_max = value(Value::LispStatic);
  }

  LispCallSetup setupFor(int32_t slot, lispval eax, uint32_t edx) {
    LispCallSetup setup;
    setup.target = global(slot);
    setup.edi = nilval;
    setup.ebx = thread_;
    setup.esi = 0x30000102;
    setup.ecx = 0x85;
    setup.eax = eax;
    setup.edx = edx;
    return setup;
  }
  LispCallResult call(const LispCallSetup& setup) {
    const LispCallResult result = testing_support::callWithLispConventions(setup);
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.espDelta, 0);
    EXPECT_EQ(result.edx, setup.edx);
    EXPECT_EQ(result.ecx, setup.ecx);
    EXPECT_EQ(result.ebx, setup.ebx);
    EXPECT_EQ(result.esi, setup.esi);
    EXPECT_TRUE(result.ediSurvived(setup));
    return result;
  }
  void clearBitmap() {
    std::fill(setf_protect_bmap, setf_protect_bmap + setf_protect_bmap_size, 0u);
  }
  uint32_t setBits() {
    uint32_t bits = 0;
    for (uint32_t i = 0; i < setf_protect_bmap_size; ++i)
      bits += __builtin_popcount(setf_protect_bmap[i]);
    return bits;
  }

  uint32_t old_ = 0, oldFar_ = 0, new_ = 0, newCons_ = 0, staticObject_ = 0;
  alignas(8) uint32_t threadRecord_[128] = {};
  lispval thread_ = 0;
};

struct BarrierCase {
  Target target;
  Value value;
  bool marks;
  bool staticObjects = false;
};

constexpr BarrierCase kBarrierCases[] = {
    {Target::Old, Value::FixnumHigh, false},
    {Target::Old, Value::FixnumOddHigh, false},
    {Target::Old, Value::CharacterTagHigh, false},
    {Target::Old, Value::NewCons, true},
    {Target::Old, Value::NewOther, true},
    {Target::Old, Value::NewSymbol, true},
    {Target::Old, Value::LastNewWord, true},
    {Target::Old, Value::AboveNewTop, false},
    {Target::Old, Value::NewFence, false},
    {Target::Old, Value::JustAboveNewFence, true},
    {Target::Old, Value::Old, false},
    {Target::Old, Value::LispStatic, false},
    {Target::Old, Value::LispStatic, true, true},
    {Target::OldOtherPage, Value::NewOther, true},
    {Target::New, Value::NewCons, false},
    {Target::New, Value::NewOther, false},
    {Target::New, Value::LispStatic, false, true},
    {Target::BelowHeap, Value::NewCons, false},
    {Target::BelowHeap, Value::LispStatic, false, true},
    {Target::PastBitmap, Value::NewCons, false},
};

const char* targetName(Target target) {
  constexpr const char* kNames[] = {"old", "old, other page", "new", "below the heap",
                                    "past the bitmap"};
  return kNames[static_cast<int>(target)];
}

TEST_F(WriteBarrier, StoresMarkThePageOnlyForPointersIntoNewSpaceOrLispStatics) {
  const struct {
    const char* name;
    int32_t slot;
    bool stores;
  } entries[] = {{"gc_setf_protect", kSetfProtect, true},
                 {"gc_setf_protect_x", kSetfProtectX, true},
                 {"gsgc_setf_protect_1", kSetfProtect1, false}};
  const uint32_t fullBitmap = setf_protect_bmap_size;
  for (const auto& entry : entries) {
    for (const BarrierCase& c : kBarrierCases) {
      SCOPED_TRACE(testing::Message() << entry.name << ": target " << targetName(c.target)
                                      << ", value kind " << static_cast<int>(c.value));
      Gslispstatic_count = 0;
      if (c.staticObjects) registerStaticRange();
      clearBitmap();
      // One bitmap word covers 32 pages from the heap's first page.
      setf_protect_bmap_size = c.target == Target::PastBitmap ? 1 : fullBitmap;
      const uint32_t slot = target(c.target);
      at(slot) = 0x5a5a5a5a;
      const LispCallResult result = call(setupFor(entry.slot, value(c.value), slot));
      setf_protect_bmap_size = fullBitmap;
      EXPECT_EQ(result.eax, value(c.value));
      EXPECT_EQ(at(slot), entry.stores ? value(c.value) : 0x5a5a5a5au);
      EXPECT_EQ(rootBitSet(slot), c.marks);
      EXPECT_EQ(setBits(), c.marks ? 1u : 0u);
    }
  }
}

TEST_F(WriteBarrier, SecondEntryStoresAndMarksThroughTheMarkingStep) {
  for (const BarrierCase& c : kBarrierCases) {
    if (c.target == Target::PastBitmap) continue;
    Gslispstatic_count = 0;
    if (c.staticObjects) registerStaticRange();
    clearBitmap();
    const uint32_t slot = target(c.target);
    LispCallSetup setup = setupFor(kSetfProtect, value(c.value), slot);
    setup.target = routineAddress(gc_setf_protect_y);
    call(setup);
    EXPECT_EQ(at(slot), value(c.value));
    EXPECT_EQ(rootBitSet(slot), c.marks) << targetName(c.target) << static_cast<int>(c.value);
  }
}

TEST_F(WriteBarrier, SymbolValuesGoToTheThreadsBindingOrTheGlobalCell) {
  // An old symbol whose value vector holds itself and one binding (a locative).
  const uint32_t symbol = other_from_old_xsmp(sizeof(lisp::SymbolObject));
  other_from_old_xsmp(0x2000);  // puts the binding's value cell on a later page
  const uint32_t binding = other_from_old_xsmp(sizeof(lisp::LocativeObject));
  const uint32_t vector = other_from_old_xsmp(16);
  const lispval symbolWord = lisp::pointerWord(symbol, Tag::Symbol);
  const lispval bindingWord = lisp::pointerWord(binding, Tag::Symbol);
  at(symbol) = lisp::kSymbolTypeByte;
  at(symbol + 24) = lisp::pointerWord(vector, Tag::Other);
  at(binding) = lisp::kLocativeTypeByte;
  at(vector) = lisp::headerWord(lisp::type_code::SimpleVector);
  at(vector + 4) = lisp::makeFixnum(2);
  at(vector + 8) = symbolWord;
  at(vector + 12) = bindingWord;
  const uint32_t globalCell = symbol + 4, bindingCell = binding + 4;
  ASSERT_NE(pageOf(globalCell), pageOf(bindingCell));

  const struct {
    int32_t bindingIndex;  // element number
    uint32_t cell;
  } cases[] = {{1, bindingCell}, {2, globalCell}, {7, globalCell}};
  for (const auto& c : cases) {
    at(globalCell) = at(bindingCell) = nilval;
    clearBitmap();
    lisp::wordAt(thread_, 0x62) = lisp::makeFixnum(c.bindingIndex);
    const LispCallResult result = call(setupFor(kSetProtect, value(Value::NewOther), symbolWord));
    EXPECT_EQ(result.eax, value(Value::NewOther));
    EXPECT_EQ(at(c.cell), value(Value::NewOther)) << c.bindingIndex;
    EXPECT_EQ(at(c.cell == globalCell ? bindingCell : globalCell), nilval) << c.bindingIndex;
    EXPECT_TRUE(rootBitSet(c.cell));
    EXPECT_EQ(setBits(), 1u);
  }
}

TEST_F(WriteBarrier, AtomicStoreMarksThenSwapsOnlyFromTheExpectedValue) {
  const uint32_t slot = target(Target::Old);
  const lispval expected = value(Value::Old), fresh = value(Value::NewCons);
  const struct {
    lispval found;
    bool swaps;
  } cases[] = {{expected, true}, {nilval, false}};
  for (const auto& c : cases) {
    clearBitmap();
    at(slot) = c.found;
    LispCallSetup setup = setupFor(kSetfProtectAtomic, expected, slot);
    setup.stack[2] = fresh;
    const LispCallResult result = call(setup);
    EXPECT_EQ(result.eax, c.found);
    EXPECT_EQ(at(slot), c.swaps ? fresh : c.found);
    EXPECT_TRUE(rootBitSet(slot));  // marked whether or not the swap happened
  }
}

// ---- the native side ----

TEST_F(WriteBarrier, NativeNotesFollowTheSameRules) {
  // cnoteroot looks at the value only; fasl_protect only at old-space slots.
  const struct {
    Target target;
    Value value;
    bool staticObjects;
    uint32_t cnoterootBits, faslProtectBits;
  } cases[] = {
      {Target::Old, Value::NewCons, false, 1, 1},
      {Target::Old, Value::NewFence, false, 0, 0},  // below GsNewFenceLV
      {Target::Old, Value::LastNewWord, false, 1, 1},
      {Target::Old, Value::AboveNewTop, false, 0, 0},
      {Target::Old, Value::FixnumHigh, false, 0, 0},
      {Target::Old, Value::CharacterTagHigh, false, 0, 0},
      {Target::Old, Value::LispStatic, true, 1, 1},
      {Target::Old, Value::LispStatic, false, 0, 0},
      {Target::New, Value::NewCons, false, 1, 0},
      {Target::BelowHeap, Value::NewCons, false, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << targetName(c.target) << " " << static_cast<int>(c.value));
    Gslispstatic_count = 0;
    if (c.staticObjects) registerStaticRange();
    const uint32_t slot = target(c.target);
    at(slot) = value(c.value);
    clearBitmap();
    cnoteroot(slot);
    EXPECT_EQ(setBits(), c.cnoterootBits);
    EXPECT_EQ(rootBitSet(slot), c.cnoterootBits == 1);
    clearBitmap();
    fasl_protect(slot);
    EXPECT_EQ(setBits(), c.faslProtectBits);
  }
}

TEST_F(WriteBarrier, OnlyRegisteredLispStaticsAreNoted) {
  registerStaticRange();
  const uint32_t slot = target(Target::Old);
  // In the range but not a native-heap object.
  Gslispstatic_min = value(Value::Old) - 8;
  at(slot) = value(Value::Old);
  notelispstatic(slot);
  EXPECT_FALSE(rootBitSet(slot));
  at(slot) = value(Value::LispStatic);
  notelispstatic(slot);
  EXPECT_TRUE(rootBitSet(slot));
  EXPECT_EQ(valid_lispstatic(value(Value::LispStatic), 0), 1);
  EXPECT_EQ(valid_lispstatic(value(Value::LispStatic), 1), 0);  // no registry entry names it
  EXPECT_EQ(valid_lispstatic(value(Value::NewCons), 0), 0);
}

}  // namespace
