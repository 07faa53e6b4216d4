// Packing, sifting and resizing on hand-built heaps and under the seeded
// mutator: afterwards the heap verifies (root-set promise included), the
// page maps name every object and the reachable graph equals the model
// taken before.
#include "runtime/gc/packing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>

#include "runtime/gc/collector_entries.h"
#include "runtime/gc/gc_data_record.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/tests/gc_call_probe.h"
#include "runtime/gc/tests/global_heap_fixture.h"
#include "runtime/gc/tests/packing_mutator.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/nil_block.h"
#include "testing/console_recorder.h"

namespace {

using gc_test::at;
using gc_test::GlobalHeap;
using gc_test::GraphModel;
using lisp::lispval;
using lisp::Tag;

constexpr int32_t kPackHeapSlot = 0x31b;
constexpr int32_t kTrampolineHolder = -0x15 - 4 * 101;  // a global word the walks adjust

uint32_t openFreeBytes() {
  uint32_t free = 0;
  for (gc::GsOldArea* area = GsOpenOldAreaFence; area; area = area->next) free += area->freeBytes;
  return free;
}

// What the allocation semispace holds after the last scavenge that ran its
// hooks: the packing's preparing scavenges. Nothing allocates between them
// and the scavenge that moves new space, which runs no hooks.
uint32_t g_newSpaceInUse = 0, g_semispaceBeforeMove = 0;
void noteNewSpaceInUse() {
  g_semispaceBeforeMove = GsNewSemiSize;
  g_newSpaceInUse = (gc::globalWord(gc::global::kNewOtherTop) - GsNewAllocationArea.start) +
                    (GsNewAllocationArea.end - GsNewAllocationArea.pageLowMark);
}

// A before-hook that allocates more than new space has free, so that a whole
// scavenge runs inside it, once the packing has squeezed the old area (the
// shift is 0 until then); it counts the calls that came that late.
uint32_t g_hookCallsMidPack = 0;
bool g_hookArmed = false, g_hookRunning = false;
void allocatingHookMidPack(uint32_t) {
  if (!g_hookArmed || ggcp_oldp_shift == 0 || g_hookRunning) return;
  g_hookRunning = true;
  ++g_hookCallsMidPack;
  other_from_new_xsmp(
      static_cast<uint32_t>(static_cast<int32_t>(gc::globalWord(gc::global::kNewFree))) + 8);
  g_hookRunning = false;
}

// An after-hook that asks for a packing once, when armed: from inside the
// running packing's first preparing scavenge. It keeps the answer.
bool g_packFromHookArmed = false;
int g_packFromHookAnswer = -1;
void packingAfterHook() {
  if (!g_packFromHookArmed) return;
  g_packFromHookArmed = false;
  g_packFromHookAnswer = ggc_pack(0);
}

class Packing : public GlobalHeap {
 protected:
  // Verifier, page maps and graph after a step that moves objects.
  void expectSameGraph(const GraphModel& before) {
    unprotect();
    verifyHeap();
    checkPageMaps();
    EXPECT_EQ(model().objects, before.objects);
  }

  // New space right after the packing: allocation semispace the lower
  // half, both halves as large as the shrunk size, ending at the break.
  void expectNewSpaceLaidOut() {
    EXPECT_EQ(GsNewAllocationArea.start, GsNewFence);
    EXPECT_EQ(GsNewScavengeToArea, GsNewFence + GsNewSemiSize);
    EXPECT_EQ(GsNewTop, GsNewFence + 2 * GsNewSemiSize);
    EXPECT_EQ(lisp_heap.brk, GsNewTop);
    EXPECT_EQ(GsNewSemiSize % gc::kPageBytes, 0u);
    EXPECT_EQ(global(gc::global::kNewFence), GsNewFence);
  }

  std::string packPrinting(int32_t keep, int expected = 0) {
    GsCtlFlags |= gc::flag::kProgress;
    const testing_support::ConsoleRecorder console;
    EXPECT_EQ(ggc_pack(keep), expected);
    GsCtlFlags &= ~gc::flag::kProgress;
    return testing_support::ConsoleRecorder::console();
  }

  static std::string text(const char* format, uint32_t value) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, format, static_cast<int>(value));
    return buffer;
  }

  // An old heap of lists, strings, vectors and functions, rooted, with a
  // new-space vector holding an old cons and an old cons holding it.
  void buildMixedHeap() {
    for (uint32_t i = 0; i < 12; ++i) {
      const lispval element = oldVector(
          {oldString(4 + i), oldFunction(oldCodeVector()), oldList(300, lisp::makeFixnum(i))});
      root(i, oldCons(element, oldSymbol(element)));
    }
    const uint32_t vector = newObject(gc_test::Kind::Vector, 1, 999);
    at(vector + 12) = oldList(2, lisp::makeFixnum(7));
    const lispval holder = oldCons(lisp::pointerWord(vector, Tag::Other), nil());
    cnoteroot(lisp::objectAddress(holder));
    root(20, holder);
  }

  // Puts the hook at the end of the fixture's hook list in global word `list`.
  void appendHook(int32_t list, uint32_t address) {
    uint32_t cell = lisp::objectAddress(global(list));
    while (lisp::isCons(at(cell + 4))) cell = lisp::objectAddress(at(cell + 4));
    at(cell + 4) = hookList(address);
  }

  // Makes the object makers allocate in `area`.
  void allocateIn(gc::GsOldArea* area) { GsOldSmallOtherArea = GsOldBigOtherArea = area; }
};

// ---- packing ----

TEST_F(Packing, WithTheBreakAboveNewSpaceNothingChanges) {
  root(0, oldString(5));
  const uint32_t top = GsNewTop;
  uint32_t newBreak = 0;
  ASSERT_EQ(limited_setbrk(gc::kPageBytes, &newBreak), 0);
  ASSERT_GT(lisp_heap.brk, GsNewTop);
  uint32_t before[gc::kGcDataWords], after[gc::kGcDataWords];
  capture_gc_data(before);
  const uint32_t scavenges = ScavengeCt;
  EXPECT_EQ(ggc_pack(0), 1);
  capture_gc_data(after);
  EXPECT_EQ(std::memcmp(before, after, sizeof before), 0) << "the collector record changed";
  EXPECT_EQ(ScavengeCt, scavenges);
  EXPECT_EQ(GsNewTop, top);
  heap_gssbrk(-static_cast<int32_t>(gc::kPageBytes));
}

TEST_F(Packing, AnEmptyNewestAreaBelowNewSpaceIsDiscarded) {
  buildMixedHeap();
  addOldArea();
  gc::GsOldArea* newest = GsLastOldArea;
  ASSERT_EQ(newest->end, GsNewFence);
  ASSERT_EQ(newest->frontier, newest->firstObject);
  ASSERT_EQ(newest->lowestConsPage, newest->end);
  const uint32_t start = gc::areaAddress(newest), size = newest->size;
  const uint32_t areas = GsOldAreaCt, top = GsNewTop;
  const GraphModel before = model();

  const std::string output = packPrinting(0);
  EXPECT_NE(output.find(text(gc_messages::kPackDiscardArea, size)), std::string::npos) << output;
  EXPECT_EQ(GsOldAreaCt, areas - 1);
  EXPECT_EQ(GsLastOldArea, GsOldAreas);
  EXPECT_EQ(GsLastOldArea->next, nullptr);
  EXPECT_EQ(GsNewFence, start) << "new space moves down by the area's whole size";
  EXPECT_EQ(ggcp_oldp_shift, size);
  expectNewSpaceLaidOut();
  EXPECT_LE(GsNewTop, top - size);
  expectSameGraph(before);
}

TEST_F(Packing, KeepLargerThanAllFreeSpaceCannotCompactTheOldArea) {
  buildMixedHeap();
  gc::GsOldArea* area = GsLastOldArea;
  const uint32_t size = area->size, lowest = area->lowestConsPage;
  const GraphModel before = model();
  const std::string output = packPrinting(openFreeBytes() + gc::kPageBytes);
  EXPECT_NE(output.find(gc_messages::kPackCannotCompact), std::string::npos) << output;
  EXPECT_EQ(output.find("packing old area"), std::string::npos);
  EXPECT_EQ(area->size, size);
  EXPECT_EQ(area->lowestConsPage, lowest);
  EXPECT_EQ(ggcp_oldp_shift, 0u);
  expectSameGraph(before);
}

TEST_F(Packing, TheNewestAreasPagesAndNewSpaceMoveDownOverItsFreeSpace) {
  buildMixedHeap();
  gc::GsOldArea* area = GsLastOldArea;
  appendHook(gc_test::kAfterHooks, gc::addressOf(reinterpret_cast<void*>(&noteNewSpaceInUse)));
  const uint32_t end = area->end, frontier = area->frontier, semispace = GsNewSemiSize;
  const uint32_t pages = (area->end - area->lowestConsPage) / gc::kPageBytes;
  const GraphModel before = model();

  const std::string output = packPrinting(0);
  const uint32_t distance = ggcp_oldp_shift;
  EXPECT_EQ(distance % GsWorstCasePagesize, 0u);
  EXPECT_GT(distance, 0u);
  EXPECT_NE(output.find(text(gc_messages::kPackOldArea, distance)), std::string::npos) << output;
  EXPECT_NE(output.find(gc_messages::kPackAdjust), std::string::npos);
  EXPECT_NE(output.find(" moving and packing new area"), std::string::npos) << output;
  EXPECT_NE(output.find(text(gc_messages::kPackSqueezed, g_semispaceBeforeMove - GsNewSemiSize)),
            std::string::npos)
      << output;
  EXPECT_EQ(ggcp_oldo_shift, distance / gc::kPageBytes);
  EXPECT_EQ(area->end, end - distance);
  EXPECT_EQ(area->frontier, frontier) << "other objects stay";
  EXPECT_LT(area->lowestConsPage - gc::roundUp(frontier, gc::kPageBytes), GsWorstCasePagesize);
  EXPECT_EQ((area->end - area->lowestConsPage) / gc::kPageBytes, pages);
  EXPECT_EQ(area->freeBytes, area->lowestConsPage - area->frontier);
  EXPECT_EQ(GsNewFence, area->end);
  expectNewSpaceLaidOut();
  // New space shrinks to what it used when it moved, rounded up to a page,
  // by whole worst-case pages.
  EXPECT_LT(GsNewSemiSize, semispace);
  const uint32_t needed = gc::roundUp(g_newSpaceInUse, gc::kPageBytes);
  EXPECT_GE(GsNewSemiSize, needed);
  EXPECT_LT(GsNewSemiSize - needed, GsWorstCasePagesize);
  EXPECT_EQ((g_semispaceBeforeMove - GsNewSemiSize) % GsWorstCasePagesize, 0u);
  expectSameGraph(before);
  // The heap goes on working: allocation and a scavenge after the packing.
  root(30, oldList(50, lisp::makeFixnum(1)));
  scavenge(0);
  unprotect();
  verifyHeap();
}

TEST_F(Packing, AHookThatCollectsDoesNotRunInTheMiddleOfThePacking) {
  buildMixedHeap();
  g_hookCallsMidPack = 0;
  appendHook(gc_test::kBeforeHooks,
             gc::addressOf(reinterpret_cast<void*>(&allocatingHookMidPack)));
  const GraphModel before = model();

  g_hookArmed = true;
  const std::string output = packPrinting(0);
  g_hookArmed = false;
  EXPECT_GT(ggcp_oldp_shift, 0u);
  EXPECT_NE(output.find(" moving and packing new area"), std::string::npos) << output;
  EXPECT_EQ(g_hookCallsMidPack, 0u);
  expectNewSpaceLaidOut();
  expectSameGraph(before);
  // Every old slot that points into new space still has its page marked,
  // and nothing points into the emptied half: scavenges go on working.
  for (int i = 0; i < 2; ++i) {
    root(30 + i, oldList(20, lisp::makeFixnum(i)));
    scavenge(0);
    unprotect();
    verifyHeap();
  }
}

TEST_F(Packing, APackingAskedForByAHookOfARunningPackingDoesNothing) {
  buildMixedHeap();
  appendHook(gc_test::kAfterHooks, gc::addressOf(reinterpret_cast<void*>(&packingAfterHook)));
  const GraphModel before = model();

  g_packFromHookAnswer = -1;
  g_packFromHookArmed = true;
  const std::string output = packPrinting(0);
  EXPECT_FALSE(g_packFromHookArmed) << "the hook ran";
  EXPECT_EQ(g_packFromHookAnswer, 1) << "refused: nothing done";
  EXPECT_GT(ggcp_oldp_shift, 0u) << "the running packing squeezed the old area";
  EXPECT_EQ(output.find(gc_messages::kPackCannotCompact), std::string::npos) << output;
  expectNewSpaceLaidOut();
  expectSameGraph(before);
  // Once it has ended, a packing runs again.
  EXPECT_EQ(ggc_pack(0), 0);
  expectSameGraph(before);
}

// A before-hook of a global collection asks for a packing: it runs (and
// ends) before the collection's first scavenge, which then finds the heap
// as the packing left it.
bool g_packFromGlobalArmed = false;
int g_packFromGlobalAnswer = -1;
uint32_t g_packFromGlobalShift = 0;
void packingBeforeHook(uint32_t) {
  if (!g_packFromGlobalArmed) return;
  g_packFromGlobalArmed = false;
  g_packFromGlobalAnswer = ggc_pack(0);
  g_packFromGlobalShift = ggcp_oldp_shift;
}

TEST_F(Packing, APackingAskedForByAHookOfAGlobalCollectionLeavesAWorkingHeap) {
  buildMixedHeap();
  appendHook(gc_test::kBeforeHooks, gc::addressOf(reinterpret_cast<void*>(&packingBeforeHook)));

  g_packFromGlobalAnswer = -1;
  g_packFromGlobalArmed = true;
  collect();
  EXPECT_FALSE(g_packFromGlobalArmed) << "the hook ran";
  EXPECT_EQ(g_packFromGlobalAnswer, 0);
  EXPECT_GT(g_packFromGlobalShift, 0u) << "the packing squeezed the old area";
  for (int i = 0; i < 2; ++i) {
    root(30 + i, oldList(20, lisp::makeFixnum(i)));
    scavenge(0);
    unprotect();
    verifyHeap();
  }
  collect();
}

// ---- sifting ----

class Sifting : public Packing {
 protected:
  void SetUp() override {
    Packing::SetUp();
    first_ = GsOldAreas;
    addOldArea();
    newest_ = GsLastOldArea;
  }
  // Leaves no free byte in the first area.
  void fillFirstArea() {
    while (first_->freeBytes >= 16) {
      const uint32_t bytes = std::min<uint32_t>(first_->freeBytes, 0x8000) & ~7u;
      stringIn(first_, bytes / 2 - 8);
    }
    ASSERT_EQ(first_->freeBytes, 0u);
  }
  gc::GsOldArea* first_ = nullptr;
  gc::GsOldArea* newest_ = nullptr;
};

TEST_F(Sifting, ObjectsOfTheNewestAreaMoveIntoTheOlderOneAndLeaveForwardingHeaders) {
  allocateIn(newest_);
  const lispval code = oldCodeVector();
  const uint32_t codeAddress = lisp::objectAddress(code);
  const lispval inside = oldFunction(code, codeAddress + 20);
  // A trampoline entry would read as an offset that changes with the code
  // vector: that function is held by a global word the model leaves out.
  const lispval trampoline = oldFunction(code, 0x08049000);
  const lispval strings = oldVector({oldString(3), oldString(30), lisp::makeFixnum(5)});
  const lispval symbol = oldSymbol(strings);
  const uint32_t vector = newObject(gc_test::Kind::Vector, 1, 77);
  const lispval holder = oldVector({lisp::pointerWord(vector, Tag::Other)});
  cnoteroot(lisp::objectAddress(holder) + 8);
  root(0, inside);
  global(kTrampolineHolder) = trampoline;
  root(2, symbol);
  root(3, holder);
  std::vector<uint32_t> sources;
  for (uint32_t object = newest_->firstObject; object < newest_->frontier;
       object += ausize_other(object))
    sources.push_back(object);
  const GraphModel before = model();

  ggc_sift();
  expectSameGraph(before);
  for (const uint32_t object : sources) {
    ASSERT_EQ(at(object) & 0xff, gc::kSiftedType) << "object 0x" << std::hex << object;
    const lispval forward = at(object + 4);
    EXPECT_LT(lisp::objectAddress(forward), first_->end) << "moved into the older area";
    EXPECT_EQ(at(object), gc::siftedHeader(ausize_other(object)));
  }
  EXPECT_EQ(lisp::tagOf(rootArray_[2]), Tag::Symbol);
  EXPECT_LT(lisp::objectAddress(rootArray_[2]), first_->end);
  const uint32_t movedCode = lisp::objectAddress(at(lisp::objectAddress(rootArray_[0]) + 16));
  EXPECT_EQ(at(codeAddress + 4), lisp::pointerWord(movedCode, Tag::Other));
  EXPECT_EQ(at(lisp::objectAddress(rootArray_[0]) + 4), movedCode + 20) << "entry moves";
  EXPECT_EQ(at(lisp::objectAddress(global(kTrampolineHolder)) + 4), 0x08049000u)
      << "trampoline stays";
}

TEST_F(Sifting, WithoutRoomInOlderAreasNothingMovesAndTheRootSetStays) {
  fillFirstArea();
  allocateIn(newest_);
  const uint32_t vector = newObject(gc_test::Kind::Vector, 1, 78);
  const lispval holder = oldVector({lisp::pointerWord(vector, Tag::Other), oldString(8)});
  cnoteroot(lisp::objectAddress(holder) + 8);
  root(0, holder);
  const uint32_t frontier = newest_->frontier;
  const std::vector<uint32_t> bitmap(setf_protect_bmap, setf_protect_bmap + setf_protect_bmap_size);
  const GraphModel before = model();
  ggc_sift();
  EXPECT_EQ(rootArray_[0], holder);
  EXPECT_EQ(at(lisp::objectAddress(holder)) & 0xff, lisp::type_code::SimpleVector);
  EXPECT_EQ(newest_->frontier, frontier);
  EXPECT_TRUE(std::equal(bitmap.begin(), bitmap.end(), setf_protect_bmap)) << "root set changed";
  expectSameGraph(before);
}

TEST_F(Sifting, ARealByteVectorKeepsItsSlot) {
  // A byte vector (type 0x62) of 12 bytes whose second word looks like a
  // forwarding address.
  const uint32_t bytes = other_from_old_xsmp(16);
  at(bytes) = (12u << 8) | gc::kSiftedType;
  at(bytes + 4) = oldString(2);
  at(bytes + 8) = at(bytes + 12) = 0x01020304;
  const lispval byteVector = lisp::pointerWord(bytes, Tag::Other);
  root(0, byteVector);
  allocateIn(newest_);
  root(1, oldVector({byteVector, oldString(6)}));
  const GraphModel before = model();
  ggc_sift();
  ASSERT_LT(lisp::objectAddress(rootArray_[1]), first_->end) << "the vector was sifted";
  EXPECT_EQ(rootArray_[0], byteVector);
  EXPECT_EQ(at(lisp::objectAddress(rootArray_[1]) + 8), byteVector);
  expectSameGraph(before);
}

// Code in a code vector of the newest area: call [g_packEntry]; then
// call $+5; pop eax; ret, so eax tells where the code ran after the call.
uint32_t g_packEntry = 0;

TEST_F(Sifting, AFrameReturnsIntoTheSiftedCodeVector) {
  g_packEntry = global(kPackHeapSlot);
  const uint32_t vector = grab_old_other(newest_, gc_test::kProbeCodeVectorBytes);
  ASSERT_NE(vector, 0u);
  std::memset(reinterpret_cast<void*>(vector), 0xcc, gc_test::kProbeCodeVectorBytes);
  gc_test::writeGcCallingCode(vector, &g_packEntry);
  // The probe's call returns to its closing `leave; ret`; in its place the
  // code reports where it runs.
  const uint32_t returnOffset = gc_test::gcCallingCode(&g_packEntry).size() - 2;
  const uint8_t whereAmI[] = {0xe8, 0, 0, 0, 0, 0x58, 0xc9, 0xc3};  // call $+5; pop eax; leave; ret
  std::memcpy(reinterpret_cast<void*>(vector + 4 + returnOffset), whereAmI, sizeof whereAmI);

  const testing_support::LispCallResult result =
      gc_test::runGcCallingCode(vector, lisp::makeFixnum(1));
  EXPECT_EQ(result.espDelta, 0);
  EXPECT_EQ(result.edi, nil());
  ASSERT_EQ(at(vector) & 0xff, gc::kSiftedType);
  const uint32_t moved = lisp::objectAddress(at(vector + 4));
  EXPECT_EQ(result.eax, moved + 4 + returnOffset + 5) << "ran at 0x" << std::hex << result.eax;
}

// ---- the pack_heap routine ----

class PackHeapRoutine : public Packing {
 protected:
  testing_support::LispCallResult callPackHeap(lispval mode, lispval a, lispval b, uint32_t count) {
    testing_support::LispCallSetup setup;
    setup.target = global(kPackHeapSlot);
    setup.edi = nil();
    setup.ebx = lisp::dummyThreadWord();
    setup.esi = 0x30000102;
    setup.ecx = count;
    setup.eax = mode;
    setup.edx = a;
    setup.stack[0] = mode;
    setup.stack[1] = a;
    setup.stack[2] = b;
    setup.frame[0] = lisp::nil_block::marker::kRuntimeRoutine;
    setup.frame[testing_support::frameIndex(0x1c)] = setup.ebx;
    const testing_support::LispCallResult result = testing_support::callWithLispConventions(setup);
    EXPECT_EQ(result.espDelta, 0);
    EXPECT_EQ(result.carry, 0u);
    return result;
  }
  lispval t() { return lisp::nil_block::tFor(nil()); }
  // A bignum word of `digits` 16-bit digits, in a buffer of the test: the
  // low two from `magnitude`, the third from `third`.
  lispval bignum(uint32_t magnitude, uint8_t sign, uint32_t digits, uint16_t third = 0) {
    Bignum& storage = bignums_.emplace_back();
    storage.words[0] = lisp::bignumHeader(digits, sign);
    storage.words[1] = magnitude;
    storage.words[2] = third;
    return lisp::pointerWord(gc::addressOf(storage.words), Tag::Other);
  }
  struct alignas(8) Bignum {
    uint32_t words[4] = {};
  };
  std::deque<Bignum> bignums_;
};

TEST_F(PackHeapRoutine, ResizeLeavesTheAskedFreeOldSpaceThenClearsTheMinima) {
  root(0, oldString(20));
  const lispval answer =
      callPackHeap(lisp::makeFixnum(2), lisp::makeFixnum(300000), lisp::makeFixnum(0), 3).eax;
  EXPECT_EQ(answer, t());
  EXPECT_GE(openFreeBytes(), 300000u);
  EXPECT_EQ(GsMinFreeOldOther, 0u);
  EXPECT_EQ(GsMinFreeOldSyms, 0u);
  unprotect();
  verifyHeap();
}

TEST_F(PackHeapRoutine, ModesAndIntegerArgumentsAnswerAsDocumented) {
  root(0, oldList(100, lisp::makeFixnum(3)));
  const GraphModel before = model();
  struct Case {
    const char* name;
    lispval mode, a;
    lispval expected;
  };
  const Case cases[] = {
      {"unknown mode", lisp::makeFixnum(3), lisp::makeFixnum(0), nil()},
      {"mode not a fixnum", nil(), lisp::makeFixnum(0), nil()},
      {"keep not an integer", lisp::makeFixnum(0), nil(), nil()},
      {"keep of three digits", lisp::makeFixnum(0), bignum(1, 0, 3), nil()},
      {"keep as a one-word bignum", lisp::makeFixnum(0), bignum(0x40000000, 0, 2),
       lisp::makeFixnum(0)},
      {"negative keep", lisp::makeFixnum(0), bignum(0x40000000, 0x80, 2), lisp::makeFixnum(0)},
      {"sift", lisp::makeFixnum(1), nil(), t()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(callPackHeap(c.mode, c.a, nil(), 2).eax, c.expected);
    unprotect();
  }
  expectSameGraph(before);
}

// An integer past 32 bits (2^31 and above, below -2^31, a bignum of three
// digits) is no amount: refused (nil), nothing packed or resized, never
// taken as a negative amount or as none.
TEST_F(PackHeapRoutine, AmountsPastThirtyTwoBitsAreRefused) {
  root(0, oldList(100, lisp::makeFixnum(3)));
  const GraphModel before = model();
  const uint32_t areas = GsOldAreaCt;
  struct Case {
    const char* name;
    lispval mode, a, b;
  };
  const Case cases[] = {
      {"keep of 2^31", lisp::makeFixnum(0), bignum(0x80000000, 0, 2), nil()},
      {"keep of 2^32 - 1", lisp::makeFixnum(0), bignum(0xffffffff, 0, 2), nil()},
      {"keep of -(2^32 - 1)", lisp::makeFixnum(0), bignum(0xffffffff, 0x80, 2), nil()},
      {"other bytes of 2^31", lisp::makeFixnum(2), bignum(0x80000000, 0, 2), nil()},
      {"symbol bytes of 2^31", lisp::makeFixnum(2), nil(), bignum(0x80000000, 0, 2)},
      {"keep of -2^31 - 1", lisp::makeFixnum(0), bignum(0x80000001, 0x80, 2), nil()},
      {"other bytes of -2^31 - 1", lisp::makeFixnum(2), bignum(0x80000001, 0x80, 2), nil()},
      {"other bytes of 2^32 + 1", lisp::makeFixnum(2), bignum(1, 0, 3, 1), nil()},
      {"symbol bytes of -(2^32 + 1)", lisp::makeFixnum(2), nil(), bignum(1, 0x80, 3, 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint32_t scavenges = ScavengeCt;
    EXPECT_EQ(callPackHeap(c.mode, c.a, c.b, 3).eax, nil());
    EXPECT_EQ(ScavengeCt, scavenges) << "nothing resized";
    EXPECT_EQ(GsOldAreaCt, areas) << "no area given back";
    unprotect();
  }
  expectSameGraph(before);
}

// The 32-bit edges are amounts: a keep of 2^31 - 1 or -2^31 packs;
// resizing with -2^31 asks for nothing, with 2^31 - 1 for more than the
// heap can give, and answers t either way.
TEST_F(PackHeapRoutine, TheThirtyTwoBitEdgesAreAmounts) {
  root(0, oldList(100, lisp::makeFixnum(3)));
  const GraphModel before = model();
  struct Case {
    const char* name;
    lispval mode, a, b;
    bool packs;
  };
  const Case cases[] = {
      {"keep of 2^31 - 1", lisp::makeFixnum(0), bignum(0x7fffffff, 0, 2), nil(), true},
      {"keep of -2^31", lisp::makeFixnum(0), bignum(0x80000000, 0x80, 2), nil(), true},
      {"other bytes of -2^31", lisp::makeFixnum(2), bignum(0x80000000, 0x80, 2), nil(), false},
      {"symbol bytes of -2^31", lisp::makeFixnum(2), nil(), bignum(0x80000000, 0x80, 2), false},
      {"other bytes of 2^31 - 1", lisp::makeFixnum(2), bignum(0x7fffffff, 0, 2), nil(), false},
      {"symbol bytes of 2^31 - 1", lisp::makeFixnum(2), nil(), bignum(0x7fffffff, 0, 2), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const lispval answer = callPackHeap(c.mode, c.a, c.b, 3).eax;
    if (c.packs)
      EXPECT_TRUE(lisp::isFixnum(answer)) << std::hex << answer;
    else
      EXPECT_EQ(answer, t());
    unprotect();
  }
  expectSameGraph(before);
}

// ---- under the seeded mutator ----

struct MutatorStep {
  const char* name;
  gc_test::PackingStep step;
  uint32_t seed;
};

class PackingMutator : public gc_test::PackingMutator,
                       public ::testing::WithParamInterface<MutatorStep> {};

TEST_P(PackingMutator, TheGraphEqualsTheModelAfterTheStep) {
  GsGenSpread = 1;  // tenure early: several old areas
  run(GetParam().seed, 40, gc::flag::kAdvanceGeneration);
  runMore(400, [] { return GsOldAreaCt > 1; });
  ASSERT_GT(GsOldAreaCt, 1u);
  for (int round = 0; round < 2 && !HasFailure(); ++round) {
    packingStep(GetParam().step);
    runMore(20);
  }
}

INSTANTIATE_TEST_SUITE_P(Steps, PackingMutator,
                         ::testing::Values(MutatorStep{"Pack", gc_test::PackingStep::Pack, 31},
                                           MutatorStep{"Sift", gc_test::PackingStep::Sift, 32},
                                           MutatorStep{"Resize", gc_test::PackingStep::Resize, 33}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
