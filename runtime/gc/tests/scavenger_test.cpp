// The scavenger's rules one at a time on small heaps: tenuring, list
// copying, the copy-scan queue, return addresses, the fatal checks, and what
// happens when the heap cannot grow.
#include "runtime/gc/scavenger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/memory.h"
#include "platform/thread_block.h"
#include "platform/waitable.h"
#include "runtime/gc/from_space.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/lispstatic.h"
#include "runtime/gc/sizing.h"
#include "runtime/gc/tests/mutator_fixture.h"
#include "runtime/os/tests/thread_record_fixture.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/integer_context.h"
#include "testing/temp_working_directory.h"

namespace {

using namespace gc;
using gc_test::at;
using gc_test::Kind;
using lisp::lispval;
using lisp::Tag;

constexpr int32_t kHeapExhaustedFunction = -0x15 - 4 * 128;

// The heap after a scavenge: every slot holds an immediate, a special, a
// live object or a registered lisp-static object, and every old slot that
// points into new space lies on a page whose root-set bit is set.
void verifySlot(uint32_t slot) {
  const int code = verify_slot(slot, 0, 1);
  if (code != verify_code::kImmediate && code != verify_code::kSpecial &&
      code != verify_code::kCons && code != verify_code::kObject &&
      code != verify_code::kLispStatic)
    ADD_FAILURE() << "slot 0x" << std::hex << slot << " holds 0x" << at(slot) << " (code "
                  << std::dec << code << ")";
  const lispval value = at(slot);
  const bool oldSlot = slot >= areaAddress(GsOldAreas) && slot < GsNewFence;
  if (oldSlot && value >= GsNewFenceLV && value < GsNewTopLV && !rootBitSet(slot))
    ADD_FAILURE() << "old slot 0x" << std::hex << slot << " points into new space, page unmarked";
}
uint32_t verifyCons(uint32_t cell) {
  verifySlot(cell);
  verifySlot(cell + 4);
  return 0;
}
uint32_t verifyObject(uint32_t object) {
  static const SlotTreatment treatment{verifySlot, verifySlot};
  scan_other_item(object, &treatment);
  return 0;
}

class Scavenger : public gc_test::MutatorHeap {
 protected:
  void TearDown() override {
    setLispCaller(nullptr);
    platform::setMemoryFaultHook(nullptr);
    MutatorHeap::TearDown();
  }

  lispval& root(uint32_t i) { return rootArray_[i]; }
  uint32_t header(lispval value) { return lisp::objectAddress(value); }
  bool inOldSpace(lispval value) { return lisp::objectAddress(value) < GsNewFence; }
  bool inAllocationSemispace(lispval value) {
    const uint32_t address = lisp::objectAddress(value);
    return address >= GsNewAllocationArea.start && address < GsNewAllocationArea.end;
  }
  lispval vector(uint32_t n) {
    return lisp::pointerWord(newObject(Kind::Vector, n, 7), Tag::Other);
  }
  lispval cons(lispval car, lispval cdr) {
    const uint32_t cell = newCons();
    at(cell) = car;
    at(cell + 4) = cdr;
    return lisp::pointerWord(cell, Tag::Cons);
  }
  uint32_t generation() { return global(global::kGeneration); }
  void verifyHeap() {
    gsgc_scan_all(verifyCons, verifyObject, 1, 1, 1);
    for (uint32_t i = 0; i < gc_test::kRootSlots; ++i) verifySlot(addressOf(&root(i)));
  }
  // A cons on the cons page of generation g.
  lispval consInGeneration(uint32_t g) {
    EXPECT_EQ(require_new_cons(static_cast<int32_t>(g)), 1);
    ConsPageHeader* page = consPage(GsGenConsPage[g]);
    const uint32_t cell = page->fill;
    page->fill += kConsCellBytes;
    at(cell) = at(cell + 4) = nil();
    return lisp::pointerWord(cell, Tag::Cons);
  }
};

// ---- tenuring ----

TEST_F(Scavenger, WithSpreadOneAndFlagAnObjectIsCopiedOnceThenTenured) {
  GsGenSpread = 1;
  GsCtlFlags |= flag::kAdvanceGeneration;
  scavenge(0);
  root(0) = vector(3);
  root(1) = cons(lisp::makeFixnum(5), nil());
  scavenge(0);
  EXPECT_TRUE(inAllocationSemispace(root(0)));
  EXPECT_TRUE(inAllocationSemispace(root(1)));
  scavenge(0);
  EXPECT_TRUE(inOldSpace(root(0)));
  EXPECT_TRUE(inOldSpace(root(1)));
  EXPECT_EQ(lisp::car(root(1)), lisp::makeFixnum(5));
}

TEST_F(Scavenger, WithoutFlagAOnlyStampZeroTenures) {
  global(global::kGeneration) = 1;
  root(0) = vector(2);
  root(1) = cons(nil(), nil());
  global(global::kGeneration) = 0;
  root(2) = vector(2);
  root(3) = consInGeneration(0);
  global(global::kGeneration) = 1;
  for (int i = 0; i < 4; ++i) scavenge(0);
  EXPECT_TRUE(inAllocationSemispace(root(0)));
  EXPECT_TRUE(inAllocationSemispace(root(1)));
  EXPECT_TRUE(inOldSpace(root(2)));
  EXPECT_TRUE(inOldSpace(root(3)));
  EXPECT_EQ(generation(), 1u);
}

TEST_F(Scavenger, KeepNewObjectsAreNeverTenured) {
  GsGenSpread = 1;
  GsCtlFlags |= flag::kAdvanceGeneration;
  root(0) = lisp::pointerWord(newObject(Kind::Weak, 2, 9), Tag::Other);
  root(1) = vector(1);
  for (int i = 0; i < 5; ++i) scavenge(0);
  EXPECT_TRUE(inAllocationSemispace(root(0)));
  EXPECT_TRUE(inOldSpace(root(1)));
}

TEST_F(Scavenger, FullOldSpaceKeepsTenuresInNewSpaceAndGrowsOldSpace) {
  // Fill the open area: one byte vector over its free bytes, then the cons page.
  GsOldArea* area = GsLastOldArea;
  const uint32_t bytes = area->freeBytes & ~7u;
  const uint32_t filler = other_from_old_xsmp(bytes);
  at(filler) = ((bytes - 8) << 8) | lisp::type_code::ByteVector;
  for (uint32_t cell; (cell = cons_from_old()) != 0;) at(cell) = at(cell + 4) = nil();
  GsConsTenuresWaiting = 0;

  global(global::kGeneration) = 0;
  root(0) = vector(40);
  root(1) = consInGeneration(0);
  global(global::kGeneration) = 1;
  const uint32_t areas = GsOldAreaCt;
  for (int i = 0; i < 3 && GsOldAreaCt == areas; ++i) {
    scavenge(0);
    EXPECT_TRUE(inAllocationSemispace(root(0)));
    EXPECT_TRUE(inAllocationSemispace(root(1)));
  }
  ASSERT_EQ(GsOldAreaCt, areas + 1);
  scavenge(0);
  for (const lispval value : {root(0), root(1)}) {
    EXPECT_GE(lisp::objectAddress(value), areaAddress(GsLastOldArea));
    EXPECT_LT(lisp::objectAddress(value), GsLastOldArea->end);
  }
}

// ---- copying ----

TEST_F(Scavenger, AListReachedThroughItsHeadLandsInConsecutiveCells) {
  lispval list = nil();
  for (int i = 0; i < 60; ++i) {
    list = cons(lisp::makeFixnum(i), list);
    vector(1);  // garbage between the cells' pages does not matter
  }
  root(0) = list;
  scavenge(0);
  int expected = 59;
  uint32_t previous = 0;
  for (lispval x = root(0); x != nil(); x = lisp::cdr(x), --expected) {
    EXPECT_EQ(lisp::car(x), lisp::makeFixnum(expected));
    if (previous != 0) {
      EXPECT_EQ(lisp::objectAddress(x), previous + 8);
    }
    previous = lisp::objectAddress(x);
  }
  EXPECT_EQ(expected, -1);
}

TEST_F(Scavenger, AConsCopiedIntoAPageTheScanPassedIsStillScanned) {
  // X (generation 2) -> Y (generation 1) -> V. The to-space page of
  // generation 1 is the top one; X's copy lands below it, so Y's copy goes
  // into a page the scan has already passed.
  global(global::kGeneration) = 1;
  const lispval v = vector(2);
  const lispval y = cons(v, nil());
  root(0) = consInGeneration(2);
  lisp::car(root(0)) = y;
  scavenge(0);
  const lispval yCopy = lisp::car(root(0));
  ASSERT_TRUE(inAllocationSemispace(yCopy));
  const lispval vCopy = lisp::car(yCopy);
  EXPECT_TRUE(inAllocationSemispace(vCopy));
  EXPECT_EQ(at(header(vCopy)), lisp::headerWord(lisp::type_code::SimpleVector));
  EXPECT_GT(lisp::objectAddress(yCopy), lisp::objectAddress(root(0)));
}

TEST_F(Scavenger, FunctionEntryWordsFollowTheirCodeVectors) {
  const uint32_t code = newObject(Kind::CodeVector, 0, 3);
  root(1) = lisp::pointerWord(code, Tag::Other);
  const uint32_t function = newObject(Kind::Function, 0, 4);
  at(function + 16) = root(1);
  at(function + 4) = root(1) - 14;
  root(0) = lisp::pointerWord(function, Tag::Other);
  scavenge(0);
  const uint32_t moved = header(root(0));
  EXPECT_NE(moved, function);
  EXPECT_EQ(at(moved + 16), root(1));
  EXPECT_EQ(at(moved + 4), root(1) - 14);
}

// Return addresses reach the collector only through stack frames; a slot
// manager hands one to checkretaddr the way a frame walk does.
uint32_t g_returnAddress = 0;
void presentReturnAddress(gsgc_slot_routine, void*) {
  checkretaddr(addressOf(&g_returnAddress));
}

TEST_F(Scavenger, AReturnAddressIntoANewCodeVectorMovesWithIt) {
  const uint32_t code = newObject(Kind::CodeVector, 0, 3);
  const uint32_t otherCode = newObject(Kind::CodeVector, 0, 5);
  for (const uint32_t vector : {code, otherCode}) {  // as their constructor chains them
    at(GsCVC_tail) = vector - kPrefixBytes;
    GsCVC_tail = vector - kPrefixBytes;
    ++GsCVC_count;
  }
  root(1) = lisp::pointerWord(otherCode, Tag::Other);
  g_returnAddress = code + 20;
  void* handle = register_external_slot_manager(presentReturnAddress, nullptr);
  scavenge(0);
  unregister_external_slot_manager(handle);
  ASSERT_NE(g_returnAddress, code + 20);
  const uint32_t moved = g_returnAddress - 20;
  EXPECT_EQ(at(moved) & 0xff, lisp::type_code::CodeVector);
  EXPECT_EQ(at(moved + 4), lisp::makeFixnum(3));
  EXPECT_EQ(at(header(root(1)) + 4), lisp::makeFixnum(5));
  // An address below new space is left alone.
  g_returnAddress = GsNewFence - 4;
  checkretaddr(addressOf(&g_returnAddress));
  EXPECT_EQ(g_returnAddress, GsNewFence - 4);
}

// ---- fatal checks ----

lispval g_twice = 0;
void presentTwice(gsgc_slot_routine slot, void*) {
  slot(addressOf(&g_twice));
  slot(addressOf(&g_twice));
}

TEST_F(Scavenger, ARootVisitedTwiceIsFatal) {
  g_twice = vector(1);
  EXPECT_EXIT(
      {
        register_external_slot_manager(presentTwice, nullptr);
        scavenge(0);
      },
      testing::ExitedWithCode(1), "Object already pointing to target newspace half: 0x");
}

TEST_F(Scavenger, ScavengingInsideAScavengeIsFatal) {
  EXPECT_EXIT(
      {
        InScavenge = 1;
        scavenge1(0);
      },
      testing::ExitedWithCode(1), "Scavenger invoked itself recursively\\.");
}

// ---- finalizations and weak slots at the edges ----

// A vector of type 96 marked as a pending finalization but with fewer than
// three slots is scanned as an ordinary vector: its slots hold strongly and
// nothing is written past its end.
TEST_F(Scavenger, AShortType96VectorWithThePendingBitIsNoFinalization) {
  for (uint32_t slots : {1u, 2u}) {
    SCOPED_TRACE(slots);
    const uint32_t shortVector = other_from_new_xsmp(8 * ((slots >> 1) + 1));
    at(shortVector - 4) |= uint32_t{stamp::kFinalizationHalf} << stamp::kFlagHalfShift;
    at(shortVector) = (slots << 8) | lisp::type_code::LispVector;
    const lispval held = vector(2);  // reached through the short vector alone
    for (uint32_t i = 1; i <= slots; ++i) at(shortVector + 4 * i) = held;
    const lispval next = vector(3);  // copied right after it; its id, then three slots
    root(0) = lisp::pointerWord(shortVector, Tag::Other);
    root(1) = next;

    scavenge(0);
    verifyHeap();

    const uint32_t copy = header(root(0));
    EXPECT_EQ(global(kFinalizeQueueWord), nil());
    for (uint32_t i = 1; i <= slots; ++i) {
      EXPECT_TRUE(inAllocationSemispace(at(copy + 4 * i)));
      EXPECT_EQ(at(header(at(copy + 4 * i))), lisp::headerWord(lisp::type_code::SimpleVector));
    }
    EXPECT_EQ(at(header(root(1))), lisp::headerWord(lisp::type_code::SimpleVector));
    EXPECT_EQ(at(header(root(1)) + 4), lisp::makeFixnum(4));
    EXPECT_EQ(at(header(root(1)) - 4) & stamp::kForwarded, 0u);
    for (uint32_t i = 0; i < 2; ++i) root(i) = nil();
  }
}

// A simple vector of two nil elements, registered as a lisp-static object.
lispval lispStaticVector() {
  const uint32_t header = other_from_static_xsmp(16, 0, nullptr);
  at(header) = lisp::type_code::SimpleVector;
  at(header + 4) = lisp::makeFixnum(2);
  at(header + 8) = at(header + 12) = nilval;
  const lispval object = lisp::pointerWord(header, Tag::Other);
  add_lispstatic(object, 0);
  return object;
}

TEST_F(Scavenger, ALispStaticObjectHeldOnlyWeaklyIsDeadAndItsFinalizationIsQueued) {
  const lispval weakOnly = lispStaticVector(), kept = lispStaticVector();
  const lispval finalized = lispStaticVector();
  const uint32_t weak = newObject(Kind::Weak, 2, 1);  // id, then two weak slots
  at(weak + 12) = weakOnly;
  at(weak + 16) = kept;
  const uint32_t finalization = newObject(Kind::Finalization, 0, 2);
  at(finalization + 4) = finalized;
  root(0) = lisp::pointerWord(weak, Tag::Other);
  root(1) = kept;
  root(2) = lisp::pointerWord(finalization, Tag::Other);

  scavenge(0);
  verifyHeap();

  EXPECT_EQ(at(header(root(0)) + 12), nil()) << "a weak slot of a freed object reads as dead";
  EXPECT_EQ(at(header(root(0)) + 16), kept);
  EXPECT_EQ(valid_lispstatic(weakOnly, 1), 0);
  EXPECT_EQ(valid_lispstatic(kept, 1), 1);
  EXPECT_EQ(global(kFinalizeQueueWord), root(2)) << "queued";
  EXPECT_EQ(at(header(root(2)) + 4), finalized);
  EXPECT_EQ(valid_lispstatic(finalized, 1), 1) << "kept for its finalizer";

  // Queued, the finalization holds its object like any vector; queued once.
  scavenge(0);
  verifyHeap();
  EXPECT_EQ(valid_lispstatic(finalized, 1), 1);
  EXPECT_EQ(at(header(root(2)) + 4), finalized);
  EXPECT_EQ(at(header(root(2)) + 12), nil()) << "the end of the queue";
  EXPECT_EQ(global(kFinalizeQueueWord), root(2));
  global(kFinalizeQueueWord) = nil();
  for (uint32_t i = 0; i < 3; ++i) root(i) = nil();
  scavenge(0);
  EXPECT_EQ(Gslispstatic_count, 0);
}

// ---- a scavenge inside a registration ----

bool failNativeCommits(platform::MemoryOperation operation, uintptr_t address, size_t) {
  return operation == platform::MemoryOperation::Commit && address >= vxmmalloc_heap.base &&
         address < vxmmalloc_heap.reserved_end;
}

// A native static vector of two nil slots, not registered.
lispval unregisteredStaticVector() {
  const uint32_t header = other_from_static_xsmp(16, 0, nullptr);
  at(header) = lisp::type_code::SimpleVector;
  at(header + 4) = lisp::makeFixnum(2);
  at(header + 8) = at(header + 12) = nilval;
  return lisp::pointerWord(header, Tag::Other);
}

// Block 0 of the registry full of objects nothing holds, so that the next
// object needs a new block, and a native heap that cannot grow and has no
// block of that size left: the block's allocation scavenges, and the sweep
// frees block 0 for it. Gives back the blocks taken up, to free afterwards.
std::vector<void*> makeTheNextRegistrationScavenge() {
  for (uint32_t i = 0; i < kLispstaticEntries; ++i) lispStaticVector();
  vxm_sbrk(static_cast<int32_t>(vxmmalloc_heap.committed_end - vxmmalloc_heap.brk));
  platform::setMemoryFaultHook(failNativeCommits);
  std::vector<void*> spare;
  while (void* block = vxmmalloc(sizeof(lispstatic_block), 0, 0)) spare.push_back(block);
  linkScavengerToNativeHeap();
  return spare;
}

TEST_F(Scavenger, AnObjectWhoseRegistrationScavengesStaysInTheRegistryAndItsRange) {
  const lispval object = unregisteredStaticVector();
  const std::vector<void*> spare = makeTheNextRegistrationScavenge();
  const uint32_t scavenges = ScavengeCt;

  add_lispstatic(object, 0);

  platform::setMemoryFaultHook(nullptr);
  ASSERT_EQ(ScavengeCt, scavenges + 1) << "the new block's allocation scavenged";
  EXPECT_EQ(valid_lispstatic(object, 1), 1);
  EXPECT_EQ(Gslispstatic_count, 1);
  EXPECT_LE(Gslispstatic_min, object);
  EXPECT_GE(Gslispstatic_max, object);
  // Held by a root, it is marked and survives the next sweep.
  root(0) = object;
  scavenge(0);
  verifyHeap();
  EXPECT_EQ(valid_lispstatic(object, 1), 1);
  for (void* block : spare) vxmfree(block, 0);
}

// The scavenge inside the registration sees the object's slots: one holds a
// new-space vector a root holds too, the other one held by nothing else.
TEST_F(Scavenger, TheSlotsOfAnObjectWhoseRegistrationScavengesFollowWhatMoved) {
  const lispval object = unregisteredStaticVector();
  const uint32_t slots = header(object) + 8;
  root(1) = vector(2);
  at(slots) = root(1);
  at(slots + 4) = vector(3);
  const std::vector<void*> spare = makeTheNextRegistrationScavenge();
  const uint32_t scavenges = ScavengeCt;

  add_lispstatic(object, 0);

  platform::setMemoryFaultHook(nullptr);
  ASSERT_EQ(ScavengeCt, scavenges + 1) << "the new block's allocation scavenged";
  EXPECT_EQ(at(slots), root(1)) << "the slot follows the copy the root holds";
  ASSERT_TRUE(inAllocationSemispace(at(slots + 4))) << "held only by the slot, it was copied";
  EXPECT_EQ(at(header(at(slots + 4)) + 4), lisp::makeFixnum(4));  // three slots and the id
  root(0) = object;
  scavenge(0);
  verifyHeap();
  EXPECT_EQ(at(slots), root(1));
  EXPECT_EQ(at(header(at(slots + 4)) + 4), lisp::makeFixnum(4));  // three slots and the id
  for (void* block : spare) vxmfree(block, 0);
}

// An after-hook that, once armed, registers an object of its own and then
// collects: from inside another object's registration, whose slots the
// collection must still follow.
bool g_nestedRegistrationArmed = false;
lispval g_nestedObject = 0;
void registeringAndCollectingHook() {
  if (!g_nestedRegistrationArmed) return;
  g_nestedRegistrationArmed = false;
  g_nestedObject = unregisteredStaticVector();
  add_lispstatic(g_nestedObject, 0);
  scavenge(0);
}

TEST_F(Scavenger, ARegistrationNestedThroughAHookLeavesTheOuterObjectsSlotsFollowed) {
  const lispval object = unregisteredStaticVector();
  const uint32_t slots = header(object) + 8;
  root(1) = vector(2);
  at(slots) = root(1);
  at(slots + 4) = vector(3);
  const std::vector<void*> spare = makeTheNextRegistrationScavenge();
  global(gc_test::kAfterHooks) =
      hookList(gc::addressOf(reinterpret_cast<void*>(&registeringAndCollectingHook)));
  const uint32_t scavenges = ScavengeCt;

  g_nestedRegistrationArmed = true;
  add_lispstatic(object, 0);

  platform::setMemoryFaultHook(nullptr);
  installHooks();
  ASSERT_FALSE(g_nestedRegistrationArmed) << "the hook ran";
  ASSERT_EQ(ScavengeCt, scavenges + 2) << "the block's allocation and the hook collected";
  EXPECT_EQ(valid_lispstatic(g_nestedObject, 1), 0) << "held by nothing, swept by the hook's own";
  EXPECT_EQ(valid_lispstatic(object, 1), 1);
  EXPECT_EQ(at(slots), root(1)) << "the slot follows the copy the root holds";
  ASSERT_TRUE(inAllocationSemispace(at(slots + 4))) << "held only by the slot, it was copied";
  EXPECT_EQ(at(header(at(slots + 4)) + 4), lisp::makeFixnum(4));  // three slots and the id
  root(0) = object;
  scavenge(0);
  verifyHeap();
  EXPECT_EQ(at(slots), root(1));
  for (void* block : spare) vxmfree(block, 0);
}

// ---- native-heap refills and the heap's owner ----

// The heap mutex made and held by this thread, as the thread registry does:
// a native block wanted on another thread must not scavenge the heap.
TEST_F(Scavenger, ANativeHeapRefillScavengesOnlyOnTheThreadThatHoldsTheHeap) {
  const uint32_t savedMutex = vxm_thread_control.heapMutex;
  vxm_thread_control.heapMutex = platform::createMutex(true);
  vxm_sbrk(static_cast<int32_t>(vxmmalloc_heap.committed_end - vxmmalloc_heap.brk));
  platform::setMemoryFaultHook(failNativeCommits);
  std::vector<void*> spare;
  while (void* block = vxmmalloc(64, 0, 0)) spare.push_back(block);
  linkScavengerToNativeHeap();
  const uint32_t scavenges = ScavengeCt;

  void* elsewhere = &spare;
  std::thread([&elsewhere] { elsewhere = vxmmalloc(64, 0, 0); }).join();
  EXPECT_EQ(elsewhere, nullptr);
  EXPECT_EQ(ScavengeCt, scavenges) << "a thread without the heap scavenged";
  EXPECT_EQ(vxmmalloc(64, 0, 0), nullptr);
  EXPECT_EQ(ScavengeCt, scavenges + 1) << "the heap's owner scavenges";

  platform::setMemoryFaultHook(nullptr);
  platform::releaseMutex(vxm_thread_control.heapMutex);
  platform::closeHandle(vxm_thread_control.heapMutex);
  vxm_thread_control.heapMutex = savedMutex;
  for (void* block : spare) vxmfree(block, 0);
}

// ---- old space larger than the bitmap's first reach ----

// Old space beyond maxheapsize (the default limit): its top pages, where
// the first old cons page lies, must still have root-set bits.
class LargeOldSpace : public Scavenger {
 protected:
  LargeOldSpace() { oldSize_ = gc_test::kDefaultMaxHeapSize + 0x200000; }
};

TEST_F(LargeOldSpace, AnOldConsAtTheTopKeepsItsNewSpaceCarAcrossAScavenge) {
  const uint32_t cell = cons_from_old();
  ASSERT_GT(cell - areaAddress(GsOldAreas), gc_test::kDefaultMaxHeapSize);
  const lispval held = vector(2);
  at(cell) = held;
  at(cell + 4) = nil();
  cnoteroot(cell);  // what the write barrier does for the store
  root(0) = lisp::pointerWord(cell, Tag::Cons);

  scavenge(0);
  verifyHeap();

  EXPECT_TRUE(rootBitSet(cell));
  EXPECT_NE(at(cell), held) << "copied";
  EXPECT_TRUE(inAllocationSemispace(at(cell)));
  EXPECT_EQ(verify_slot(cell, 0, 1), verify_code::kObject);
  EXPECT_EQ(at(lisp::objectAddress(at(cell))), lisp::headerWord(lisp::type_code::SimpleVector));
}

// ---- big allocations ----

TEST_F(Scavenger, AnAllocationLoopFarLargerThanNewSpaceRuns) {
  root(0) = nil();
  for (uint32_t i = 0; i < 400000; ++i) {
    const lispval c = cons(lisp::makeFixnum(static_cast<int32_t>(i)), i % 1000 ? nil() : root(0));
    if (i % 1000 == 0) root(0) = c;
    if (i % 7 == 0) vector(i % 50);
  }
  EXPECT_GT(ScavengeCt, 10u);
  uint32_t length = 0;
  for (lispval x = root(0); x != nil(); x = lisp::cdr(x)) ++length;
  EXPECT_EQ(length, 400u);
  // One request larger than a semispace grows new space until it fits.
  const uint32_t bytes = 4 * GsNewSemiSize;
  const uint32_t big = other_from_new_xsmp(bytes);
  EXPECT_GE(big, GsNewAllocationArea.start);
  EXPECT_LE(big + bytes, GsNewAllocationArea.end);
}

// ---- a heap that cannot grow ----

std::vector<std::vector<lispval>> g_lispCalls;
void recordLispCall(lispval function, const lispval* arguments, uint32_t count) {
  g_lispCalls.emplace_back(arguments, arguments + count);
  g_lispCalls.back().insert(g_lispCalls.back().begin(), function);
}
void reportLispCall(lispval, const lispval* arguments, uint32_t count) {
  std::fprintf(stderr, "handler called with %u arguments, failed %d\n", count,
               lisp::fixnumValue(arguments[3]));
}
bool failCommits(platform::MemoryOperation operation, uintptr_t, size_t) {
  return operation == platform::MemoryOperation::Commit;
}

// The value of an integer a hook received: a fixnum, or a bignum of the
// runtime's own boxing (sign 0).
uint32_t unsignedValue(lispval integer) {
  if (lisp::isFixnum(integer)) return static_cast<uint32_t>(lisp::fixnumValue(integer));
  if (!lisp::isOther(integer) ||
      lisp::typeCodeOf(at(lisp::objectAddress(integer))) != lisp::type_code::Bignum) {
    ADD_FAILURE() << "no integer: 0x" << std::hex << integer;
    return 0;
  }
  const lisp::integers::BignumRef bignum(integer);
  EXPECT_FALSE(bignum.negative());
  return bignum.lowWord();
}

// The collector runs in a thread with a record, as every Lisp thread has,
// and reports a failed growth in the memory status file "memdump" of the
// working directory: the test's own temporary one.
class FailedGrowth : public Scavenger {
 protected:
  void SetUp() override {
    Scavenger::SetUp();
    g_lispCalls.clear();
    function_ = lisp::pointerWord(newObject(Kind::Function, 0, 1), Tag::Other);
    global(kHeapExhaustedFunction) = function_;
    thread_.at(lisp::thread_record::kClinkHead) = lisp::thread_record::kEmptyClinkChain;
    ASSERT_TRUE(platform::setThreadSlot(slot_, thread_.tagged()));
  }
  void TearDown() override {
    platform::setThreadSlot(slot_, 0);
    Scavenger::TearDown();
  }
  bool reportWritten() const { return std::filesystem::exists(directory_.file("memdump")); }

  testing_support::TempWorkingDirectory directory_;
  os_test::RecordInMemory thread_;
  lispval function_ = 0;
};

TEST_F(FailedGrowth, TheHandlerGetsSixArgumentsAndTheReserveIsDrawn) {
  setLispCaller(recordLispCall);
  GsFailedSbrk = 12345;
  GsOldExpansion = 777;
  GsSbrkFailCode = heap_reservation::kFailCommit;
  global(global::kNewFree) = 20000;
  GsNewReserve = 40000;
  testing::internal::CaptureStdout();
  GsExit(999);
  testing::internal::GetCapturedStdout();  // the memory status report
  ASSERT_EQ(g_lispCalls.size(), 1u);
  const std::vector<lispval> expected = {
      function_,           lisp::makeFixnum(999),   lisp::makeFixnum(1),
      lisp::makeFixnum(0), lisp::makeFixnum(12345), nil(),
      lisp::makeFixnum(1)};
  EXPECT_EQ(g_lispCalls[0], expected);
  EXPECT_EQ(global(global::kNewFree), 50000u);
  EXPECT_EQ(GsNewReserve, 10000u);
  EXPECT_EQ(GsFailedSbrk, 0u);
  EXPECT_EQ(GsOldExpansion, 0u);
  EXPECT_TRUE(reportWritten());
}

TEST_F(FailedGrowth, SizesBeyondTheFixnumRangeArriveAsBignums) {
  setLispCaller(recordLispCall);
  const uint32_t request = static_cast<uint32_t>(lisp::kMostPositiveFixnum) + 1;
  GsFailedSbrk = 0xfffff000;
  GsFailedHlimit = 0x40000000;
  testing::internal::CaptureStdout();
  GsExit(request);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(g_lispCalls.size(), 1u);
  const std::vector<lispval>& call = g_lispCalls[0];
  ASSERT_EQ(call.size(), 7u);
  const struct {
    const char* what;
    lispval got;
    uint32_t expected;
  } cases[] = {
      {"the request", call[1], request},
      {"the failed size", call[4], 0xfffff000},
      {"the heap limit", call[5], 0x40000000},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(lisp::isFixnum(c.got)) << c.what;
    EXPECT_EQ(unsignedValue(c.got), c.expected) << c.what;
  }
  EXPECT_EQ(call[3], lisp::makeFixnum(0));
}

TEST_F(FailedGrowth, WithoutAFunctionTheHandlerIsNotCalled) {
  setLispCaller(recordLispCall);
  global(kHeapExhaustedFunction) = nil();
  GsFailedSbrk = 8;
  testing::internal::CaptureStdout();
  GsExit(0);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(g_lispCalls.empty());
  EXPECT_TRUE(reportWritten());
}

TEST_F(FailedGrowth, WithTheReserveGoneTheProcessEnds) {
  GsFailedSbrk = 12345;
  global(global::kNewFree) = 1000;
  GsNewReserve = 1000;
  EXPECT_EXIT(GsExit(0), testing::ExitedWithCode(1),
              "Couldn't get 12345 bytes from operating system");
}

TEST_F(FailedGrowth, AReturningHandlerEndsTheProcessInsteadOfLooping) {
  EXPECT_EXIT(
      {
        alarm(20);  // a loop would end by the signal, not with status 1
        setLispCaller(reportLispCall);
        platform::setMemoryFaultHook(failCommits);
        other_from_new_xsmp(4 * GsNewSemiSize);
      },
      testing::ExitedWithCode(1),
      "handler called with 6 arguments(.|\n)*Couldn't get [0-9]+ bytes from operating system");
  EXPECT_TRUE(reportWritten()) << "the child wrote it in the same directory";
}

}  // namespace
