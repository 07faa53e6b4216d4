// The global collector on hand-built old-space heaps: after each collection
// the reachable graph equals the model taken before it, the heap verifies,
// and the open areas shrink by exactly what died.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <sstream>

#include "platform/memory.h"
#include "platform/thread_block.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/scavenger.h"
#include "runtime/gc/tests/global_heap_fixture.h"
#include "runtime/gc/weak_objects.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/os/tests/thread_record_fixture.h"
#include "testing/console_recorder.h"

namespace {

using gc_test::at;
using gc_test::GlobalHeap;
using gc_test::GraphModel;
using lisp::lispval;
using lisp::Tag;

uint32_t sumOf(const uint32_t (&table)[kHoleCountSlots]) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < kHoleCountSlots; ++i)
    if (i != 1) sum += table[i];
  return sum;
}

// ---- a heap without garbage ----

class GlobalCollection : public GlobalHeap {
 protected:
  // A mixed, fully rooted old heap: strings, vectors, lists, functions with
  // their code vectors and symbols.
  void buildLiveHeap(uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      const lispval code = oldCodeVector();
      const lispval element = oldVector({oldString(3 + i % 9), oldFunction(code),
                                         oldList(4, lisp::makeFixnum(i)), lisp::makeFixnum(i)});
      root(i % 40, oldCons(element, oldCons(oldSymbol(element), rootArray_[i % 40])));
    }
  }
};

TEST_F(GlobalCollection, AHeapWithoutGarbageKeepsItsOpenAreasByteIdentical) {
  buildLiveHeap(60);
  const GraphModel before = model();
  const std::vector<uint8_t> areas = openAreaBytes();
  collect();
  EXPECT_EQ(sumOf(ggc_last_hole_count), 0u);
  EXPECT_EQ(sumOf(ggc_last_hole_aucount), 0u);
  EXPECT_EQ(ggc_last_hole_count[1], 0u) << "conses moved";
  EXPECT_EQ(ggc_break_count, 0u);
  const std::vector<uint8_t> after = openAreaBytes();
  ASSERT_EQ(after.size(), areas.size());
  const auto differ = std::mismatch(areas.begin(), areas.end(), after.begin());
  EXPECT_TRUE(differ.first == areas.end())
      << "open old areas changed at byte " << differ.first - areas.begin();
  EXPECT_EQ(model().objects, before.objects);
}

// ---- a table of object shapes, every third one dead ----

struct Shape {
  const char* name;
  std::function<lispval(GlobalHeap&, uint32_t)> make;
};

class GlobalCollectionShapes : public GlobalCollection,
                               public ::testing::WithParamInterface<Shape> {
 public:
  lispval string(uint32_t n) { return oldString(n); }
  lispval vector(std::vector<lispval> e) { return oldVector(e); }
  lispval list(uint32_t n, lispval e) { return oldList(n, e); }
  lispval cons(lispval a, lispval b) { return oldCons(a, b); }
  lispval function() { return oldFunction(oldCodeVector()); }
  lispval symbol(lispval v) { return oldSymbol(v); }
  lispval bignum(uint32_t digits) {
    return oldObject(lisp::type_code::Bignum | (4 * digits) << 16);
  }
};

#define SHAPE(body)                                    \
  [](GlobalHeap& h, uint32_t i) {                      \
    auto& s = static_cast<GlobalCollectionShapes&>(h); \
    (void)s;                                           \
    (void)i;                                           \
    return body;                                       \
  }

const Shape kShapes[] = {
    {"String", SHAPE(s.string(1 + i % 40))},
    {"Bignum", SHAPE(s.bignum(1 + i % 7))},
    {"VectorOfStrings", SHAPE(s.vector({s.string(i % 5), s.string(9), lisp::makeFixnum(i)}))},
    {"List", SHAPE(s.list(1 + i % 12, lisp::makeFixnum(i)))},
    {"ListOfStrings", SHAPE(s.cons(s.string(i % 3), s.list(i % 4, s.string(2))))},
    {"FunctionAndCode", SHAPE(s.function())},
    {"SharedCode", SHAPE(s.vector({s.function(), s.function()}))},
    {"Symbol", SHAPE(s.symbol(s.string(5)))},
    {"LargeVector", SHAPE(s.vector(std::vector<lispval>(300 + i, s.cons(lisp::makeFixnum(i), 0))))},
};

TEST_P(GlobalCollectionShapes, TheGraphSurvivesAndExactlyTheDeadIsReclaimed) {
  const Shape& shape = GetParam();
  std::vector<lispval> live;
  for (uint32_t i = 0; i < 90; ++i) {
    const lispval value = shape.make(*this, i);
    if (i % 3 != 1) live.push_back(value);
    if (::testing::Test::HasFailure()) return;
  }
  for (size_t i = 0; i < live.size(); ++i) root(static_cast<uint32_t>(i % 47), live[i]);
  // Roots that share a slot drop the earlier object: keep them in lists.
  for (size_t i = 47; i < live.size(); ++i)
    root(static_cast<uint32_t>(i % 47), oldCons(live[i], live[i - 47]));

  const GraphModel before = model();
  const uint32_t objectBytes = openObjectBytes();
  const uint32_t pages = openConsPages();
  const uint32_t freeBefore = sum_old_free();
  collect();

  const GraphModel after = model();
  EXPECT_EQ(after.objects, before.objects) << shape.name;
  EXPECT_EQ(openObjectBytes(), before.openOtherBytes);
  EXPECT_EQ(sumOf(ggc_last_hole_aucount), objectBytes - before.openOtherBytes);
  const uint32_t livePages = (before.openConses + gc::kConsesPerPage - 1) / gc::kConsesPerPage;
  EXPECT_EQ(openConsPages(), std::max(livePages, 1u));
  EXPECT_EQ(sum_old_free() - freeBefore, objectBytes - before.openOtherBytes +
                                             gc::kPageBytes * (pages - std::max(livePages, 1u)));
}

INSTANTIATE_TEST_SUITE_P(Shapes, GlobalCollectionShapes, ::testing::ValuesIn(kShapes),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- marking overflow ----

TEST_F(GlobalCollection, AVectorOfThirtyThousandConsesOverflowsTheMarkQueue) {
  std::vector<lispval> conses;
  for (int32_t i = 0; i < 30000; ++i)
    conses.push_back(oldCons(lisp::makeFixnum(i), i % 2 ? oldString(1) : nil()));
  root(0, oldVector(conses));
  for (int32_t i = 0; i < 3000; ++i) oldCons(nil(), nil());  // garbage among them
  const GraphModel before = model();
  collect();
  EXPECT_GT(mark_depth_ov_count, 0u);
  EXPECT_EQ(mark_max_depth, mark_depth_max);
  EXPECT_EQ(model().objects, before.objects);
}

// ---- progress text ----

std::vector<std::string> maskedLines(const std::string& text) {
  const std::regex times(R"(\(\d[\d,]*\+\d[\d,]*\))");
  std::vector<std::string> lines;
  std::istringstream stream(std::regex_replace(text, times, "(T)"));
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

TEST_F(GlobalCollection, ProgressTextNamesEveryPassInOrder) {
  for (uint32_t i = 0; i < 10; ++i) {
    const lispval kept = oldString(6);
    oldString(6);  // dead
    root(i, kept);
  }
  GsCtlFlags |= gc::flag::kProgress | gc::flag::kVerbose;
  const testing_support::ConsoleRecorder console;
  collect();
  const std::vector<std::string> lines = maskedLines(testing_support::ConsoleRecorder::console());
  const std::vector<std::string> expected = {
      "scavenging...done",
      "Mark Pass...done(T), marked " + std::to_string(mark_tally) +
          " objects, overflows = 0, max depth (minus ovflow) = 0.",
      "Weak-vector Pass...done(T).",
      "Cons-cell swap...done(T), 0 cons cells moved",
      "Oldarea break chain...done(T), 10 holes totalling 240 bytes",
      "Page-compaction data...done(T).",
      "Address adjustment...[12 on stack,1-pass]...done(T).",
      "Compacting other objects...done(T).",
      "Page compaction...done(T), 0 pages moved",
      "New rootset...done(T), " + std::to_string(rootcount) + " rootset entries",
      "Building new pagemap...done(T).",
      "Merging empty oldspaces...done(T)done, 0 oldspaces merged.",
      "global gc recovered 240 bytes of old space.",
      "scavenging...done",
      "done",
  };
  EXPECT_EQ(lines, expected);
}

}  // namespace

// ---- the seeded mutator with global collections among its scavenges ----

namespace {

struct MutatorCase {
  uint32_t seed;
  uint32_t flags;
};

class GlobalMutator : public gc_test::RandomMutator,
                      public ::testing::WithParamInterface<MutatorCase> {};

TEST_P(GlobalMutator, HeapMatchesTheModelAfterEveryCollection) {
  GsGenSpread = 1;  // tenure early: old space fills with garbage
  globalShare_ = 2;
  run(GetParam().seed, 100, GetParam().flags);
  EXPECT_GT(globalChecks_, 0u);
  // Scavenges alone with generations advancing grow old space into more
  // areas; global collections then work across them.
  if (GetParam().flags & gc::flag::kAdvanceGeneration) {
    globalShare_ = 0;
    runMore(400, [] { return GsOldAreaCt > 1; });
    EXPECT_GT(GsOldAreaCt, 1u);
    globalShare_ = 2;
    runMore(60);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Seeds, GlobalMutator,
    ::testing::Values(MutatorCase{11, gc::flag::kAdvanceGeneration}, MutatorCase{12, 0},
                      MutatorCase{13, gc::flag::kAdvanceGeneration | gc::flag::kAutoGlobal}),
    [](const auto& info) { return "seed" + std::to_string(info.param.seed); });

}  // namespace

// ---- address adjustment in several rounds ----

namespace {

class GlobalCollectionRounds : public GlobalHeap {
 protected:
  // 5000 holes: every other string dies; the live ones are held by vectors
  // and lists so that slots everywhere need adjusting.
  std::vector<uint8_t> collectedHeap(uint32_t flags) {
    std::vector<lispval> live;
    for (uint32_t i = 0; i < 10000; ++i) {
      const lispval string = oldString(2 + i % 5);
      if (i % 2 == 0) live.push_back(string);
    }
    for (size_t i = 0; i < live.size(); i += 100) {
      const std::vector<lispval> part(live.begin() + i, live.begin() + i + 100);
      root(static_cast<uint32_t>(i / 100) % 40, oldCons(oldVector(part), rootArray_[i / 100 % 40]));
    }
    const GraphModel before = model();
    GsCtlFlags |= flags;
    collect();
    EXPECT_EQ(model().objects, before.objects);
    return openAreaBytes();
  }
};

TEST_F(GlobalCollectionRounds, SeveralRoundsGiveTheHeapOfOneRound) {
  const std::vector<uint8_t> severalRounds = collectedHeap(gc::flag::kGlobalTest);
  EXPECT_EQ(ggc_break_count, 5000u);
  EXPECT_GT(ggc_adjust_pass_counter, 1u);
  TearDown();
  SetUp();
  const std::vector<uint8_t> oneRound = collectedHeap(0);
  EXPECT_EQ(ggc_adjust_pass_counter, 1u);
  EXPECT_TRUE(severalRounds == oneRound);
}

}  // namespace

// ---- weak vectors and finalizations ----

namespace {

using gc_test::Kind;

class GlobalWeakObjects : public GlobalHeap {
 protected:
  lispval weakVector(Kind kind, std::vector<lispval> slots) {
    const uint32_t vector = newObject(kind, static_cast<uint32_t>(slots.size()), 1);
    for (size_t i = 0; i < slots.size(); ++i) at(vector + 12 + 4 * i) = slots[i];
    return lisp::pointerWord(vector, Tag::Other);
  }
  uint32_t slotOf(lispval vector, uint32_t i) {
    return at(lisp::objectAddress(vector) + 12 + 4 * i);
  }
};

TEST_F(GlobalWeakObjects, AWeakSlotIsNilWhenOnlyTheVectorHeldItsOldObject) {
  const lispval onlyWeak = oldString(7);
  const lispval alsoStrong = oldString(9);
  oldString(30);  // dead below both: they move
  const lispval kept = oldVector({alsoStrong});
  root(0, kept);
  root(1, weakVector(Kind::Weak, {onlyWeak, alsoStrong, lisp::makeFixnum(3)}));
  collect();
  EXPECT_EQ(slotOf(rootArray_[1], 0), nil());
  EXPECT_EQ(slotOf(rootArray_[1], 1), at(lisp::objectAddress(rootArray_[0]) + 8));
  EXPECT_EQ(slotOf(rootArray_[1], 2), lisp::makeFixnum(3));
}

struct WeakKeyCase {
  const char* name;
  bool tableAlive;
};

class GlobalWeakKeys : public GlobalWeakObjects,
                       public ::testing::WithParamInterface<WeakKeyCase> {};

TEST_P(GlobalWeakKeys, ADeadKeyIsReplacedAndLeavesALiveTable) {
  makeReplacementSymbol();
  const lispval deadKey = oldString(3);
  const lispval liveKey = oldString(4);
  // Key 0 is the vector's identity word, keys 1 and 2 the strings.
  const lispval values =
      oldVector({lisp::makeFixnum(9), lisp::makeFixnum(10), lisp::makeFixnum(11)});
  const lispval table = oldObject(lisp::type_code::HashTable);
  const lispval keys = weakVector(Kind::WeakKey, {deadKey, liveKey, table});
  at(lisp::objectAddress(table) + 4) = keys;
  at(lisp::objectAddress(table) + 28) = lisp::makeFixnum(2);
  at(lisp::objectAddress(table) + 32) = values;
  root(0, keys);
  root(1, liveKey);
  if (GetParam().tableAlive) root(2, table);
  collect();
  EXPECT_EQ(slotOf(rootArray_[0], 0), lisp::makeFixnum(kReplacement));
  EXPECT_EQ(slotOf(rootArray_[0], 1), rootArray_[1]);
  if (!GetParam().tableAlive) {
    EXPECT_EQ(slotOf(rootArray_[0], 2), nil()) << "a dead table leaves no pointer into a hole";
    return;
  }
  const uint32_t movedTable = lisp::objectAddress(rootArray_[2]);
  EXPECT_EQ(slotOf(rootArray_[0], 2), rootArray_[2]);
  EXPECT_EQ(at(movedTable + 28), lisp::makeFixnum(1));  // was 2
  const uint32_t movedValues = lisp::objectAddress(at(movedTable + 32));
  EXPECT_EQ(at(movedValues + 8), lisp::makeFixnum(9));
  EXPECT_EQ(at(movedValues + 12), nil());
  EXPECT_EQ(at(movedValues + 16), lisp::makeFixnum(11));
}

INSTANTIATE_TEST_SUITE_P(Tables, GlobalWeakKeys,
                         ::testing::Values(WeakKeyCase{"TableAlive", true},
                                           WeakKeyCase{"TableDead", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(GlobalWeakObjects, AFinalizationOfADeadOldObjectIsQueuedOnceAndKeepsIt) {
  oldString(50);  // dead below: the watched object moves
  const lispval watched = oldVector({oldString(5), lisp::makeFixnum(1)});
  const uint32_t finalization = newObject(Kind::Finalization, 0, 77);
  at(finalization + 4) = watched;
  root(0, lisp::pointerWord(finalization, Tag::Other));
  const GraphModel before = model();
  collect();

  const lispval queue = global(kFinalizeQueueWord);
  ASSERT_TRUE(lisp::isOther(queue));
  const uint32_t queued = lisp::objectAddress(queue);
  EXPECT_EQ(queue, rootArray_[0]);
  EXPECT_EQ(at(queued + 12), nil()) << "queued once";
  EXPECT_EQ(at(queued - 4) & (gc::stamp::kFinalizationPending | gc::stamp::kFinalizationChained),
            0u);
  EXPECT_EQ(model().objects, before.objects) << "the watched object survives, moved";
  EXPECT_LT(lisp::objectAddress(at(queued + 4)), lisp::objectAddress(watched));

  global(kFinalizeQueueWord) = nil();
  collect();
  EXPECT_EQ(global(kFinalizeQueueWord), nil()) << "not queued again";
}

// A pending finalization in new space is a vector of either type: 96 (its
// slots from word 1) or 112 (its slots after the length word). Its first
// slot, the watched object, is held weakly; the rest are marked; its third
// slot links it on the queue.
struct FinalizationCase {
  const char* name;
  uint8_t type;
};

class GlobalFinalizations : public GlobalWeakObjects,
                            public ::testing::WithParamInterface<FinalizationCase> {
 protected:
  lispval finalization(lispval watched, lispval value) {
    const bool simple = GetParam().type == lisp::type_code::SimpleVector;
    const uint32_t object = other_from_new_xsmp(simple ? 24 : 16);
    at(object) = simple ? lisp::headerWord(lisp::type_code::SimpleVector)
                        : 3 << 8 | lisp::type_code::LispVector;
    const uint32_t first = object + (simple ? 8 : 4);
    if (simple) at(object + 4) = lisp::makeFixnum(3);
    at(first) = watched;
    at(first + 4) = value;
    at(first + 8) = nil();
    if (simple) at(object + 20) = nil();
    at(object - 4) |= gc::stamp::kFinalizationHalf << gc::stamp::kFlagHalfShift;
    return lisp::pointerWord(object, Tag::Other);
  }
  uint32_t slot(lispval finalization, uint32_t i) {
    const bool simple = GetParam().type == lisp::type_code::SimpleVector;
    return at(lisp::objectAddress(finalization) + (simple ? 8 : 4) + 4 * i);
  }
  static std::u16string text(lispval string) {
    const uint32_t object = lisp::objectAddress(string);
    const auto* first = reinterpret_cast<const char16_t*>(static_cast<uintptr_t>(object + 8));
    return {first, first + lisp::fixnumValue(at(object + 4))};
  }
};

TEST_P(GlobalFinalizations, ADeadWatchedObjectIsQueuedOnceAndItsOtherSlotsAreKept) {
  oldString(50);  // dead below both: they move
  const lispval watched = oldVector({oldString(5), lisp::makeFixnum(1)});
  const lispval value = oldString(6);  // reached only through the finalization
  oldString(40);
  root(0, finalization(watched, value));
  collect();

  const lispval queued = global(kFinalizeQueueWord);
  EXPECT_EQ(queued, rootArray_[0]) << "queued";
  EXPECT_EQ(slot(rootArray_[0], 2), nil()) << "the queue's only member";
  EXPECT_EQ(at(lisp::objectAddress(rootArray_[0]) - 4) &
                (gc::stamp::kFinalizationPending | gc::stamp::kFinalizationChained),
            0u);
  const lispval movedWatched = slot(rootArray_[0], 0);
  EXPECT_LT(lisp::objectAddress(movedWatched), lisp::objectAddress(watched)) << "kept, moved";
  EXPECT_EQ(text(at(lisp::objectAddress(movedWatched) + 8)), u"abcde");
  EXPECT_EQ(text(slot(rootArray_[0], 1)), u"abcdef");

  global(kFinalizeQueueWord) = nil();
  collect();
  EXPECT_EQ(global(kFinalizeQueueWord), nil()) << "not queued again";
}

INSTANTIATE_TEST_SUITE_P(Types, GlobalFinalizations,
                         ::testing::Values(FinalizationCase{"Type96", lisp::type_code::LispVector},
                                           FinalizationCase{"Type112",
                                                            lisp::type_code::SimpleVector}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// ---- the open-area fence and merging ----

namespace {

class GlobalAreas : public GlobalHeap {};

TEST_F(GlobalAreas, ClosedAreasNeverMoveAndTwoEmptyNeighboursMerge) {
  gc::GsOldArea* first = GsOldAreas;
  root(0, oldVector({stringIn(first, 5), lisp::makeFixnum(1)}));
  stringIn(first, 40);  // dead, but closed: stays
  addOldArea();
  addOldArea();
  ASSERT_EQ(GsOldAreaCt, 3u);
  gc::GsOldArea* second = first->next;
  gc::GsOldArea* third = second->next;
  ASSERT_EQ(second->end, gc::areaAddress(third));
  for (uint32_t i = 0; i < 20; ++i) stringIn(i % 2 ? second : third, 100);  // all dead
  setOpenOldFence(1);
  ASSERT_EQ(GsOpenOldAreaFence, second);
  const std::vector<uint8_t> closed(reinterpret_cast<const uint8_t*>(first->firstObject),
                                    reinterpret_cast<const uint8_t*>(first->frontier));
  const GraphModel before = model();
  const uint32_t secondEnd = third->end;

  collect();
  EXPECT_EQ(GsOldAreaCt, 2u);
  EXPECT_EQ(GsLastOldArea, second);
  EXPECT_EQ(second->end, secondEnd);
  EXPECT_EQ(second->next, nullptr);
  EXPECT_EQ(model().objects, before.objects);
  const std::vector<uint8_t> closedAfter(reinterpret_cast<const uint8_t*>(first->firstObject),
                                         reinterpret_cast<const uint8_t*>(first->frontier));
  EXPECT_TRUE(closedAfter == closed) << "a closed area changed";
}

}  // namespace

// ---- a before-hook that collects ----

namespace {

// The hook allocates more than new space has free, so a whole scavenge runs
// inside it; then it lets the observer record.
bool g_hookRunning = false, g_outerRunning = false;
std::vector<uint32_t> g_inGlobalGcSeen;
void allocatingBeforeHook(uint32_t) {
  if (g_hookRunning) return;
  g_hookRunning = true;
  const uint32_t scavenges = ScavengeCt;
  other_from_new_xsmp(static_cast<uint32_t>(
                          static_cast<int32_t>(gc::globalWord(gc::global::kNewFree))) +
                      8);
  EXPECT_EQ(ScavengeCt, scavenges + 1) << "the allocation collected";
  g_hookRunning = false;
  g_outerRunning = true;
}
// An external slot manager: its slots are presented at every root scan of
// the outer collection, its scavenges and its passes.
void observingSlotManager(gsgc_slot_routine, void*) {
  if (g_outerRunning) g_inGlobalGcSeen.push_back(GsInGlobalGc);
}

class GlobalCollectionHooks : public GlobalHeap {
 protected:
  void SetUp() override {
    GlobalHeap::SetUp();
    g_hookRunning = g_outerRunning = false;
    g_inGlobalGcSeen.clear();
  }
  void TearDown() override {
    if (observer_) unregister_external_slot_manager(observer_);
    GlobalHeap::TearDown();
  }
  void* observer_ = nullptr;
};

TEST_F(GlobalCollectionHooks, ACollectionInsideABeforeHookLeavesTheOuterCollectionMarkedGlobal) {
  for (uint32_t i = 0; i < 10; ++i) {
    root(i, oldVector({oldString(4), lisp::makeFixnum(static_cast<int32_t>(i))}));
    oldString(6);  // dead
  }
  // The fixture's own hook first (it opens the emptied semispace), then ours.
  at(lisp::objectAddress(global(gc_test::kBeforeHooks)) + 4) =
      hookList(gc::addressOf(reinterpret_cast<void*>(&allocatingBeforeHook)));
  observer_ = register_external_slot_manager(observingSlotManager, nullptr);
  const GraphModel before = model();

  collect();
  g_outerRunning = false;

  ASSERT_FALSE(g_inGlobalGcSeen.empty());
  for (size_t i = 0; i < g_inGlobalGcSeen.size(); ++i)
    EXPECT_NE(g_inGlobalGcSeen[i], 0u) << "root scan " << i << " of the global collection";
  EXPECT_EQ(GsInGlobalGc, 0u);
  EXPECT_EQ(model().objects, before.objects);
}

}  // namespace

// ---- no room for the mark bitmap ----

namespace {

struct LispCall {
  std::vector<lispval> words;
  uint32_t inGlobalGc, inScavenge;
};
std::vector<LispCall> g_lispCalls;

void recordLispCall(lispval function, const lispval* arguments, uint32_t count) {
  LispCall call{{function}, GsInGlobalGc, InScavenge};
  call.words.insert(call.words.end(), arguments, arguments + count);
  g_lispCalls.push_back(call);
}

// Commits outside the Lisp heap fail: the mark bitmap cannot be committed.
bool failCommitsOutsideTheHeap(platform::MemoryOperation operation, uintptr_t address, size_t) {
  return operation == platform::MemoryOperation::Commit &&
         (address < lisp_heap.base || address >= lisp_heap.reserved_end);
}

// The collector calls Lisp from a thread with a record, as every Lisp thread has.
class GlobalBitmap : public GlobalHeap {
 protected:
  // Old space so large that its bitmap does not fit into a semispace.
  uint32_t oldSpaceBytes() const override { return 0x1200000; }
  void SetUp() override {
    GlobalHeap::SetUp();
    thread_.at(lisp::thread_record::kClinkHead) = lisp::thread_record::kEmptyClinkChain;
    ASSERT_TRUE(platform::setThreadSlot(slot_, thread_.tagged()));
  }
  void TearDown() override {
    platform::setThreadSlot(slot_, 0);
    platform::setMemoryFaultHook(nullptr);
    gc::setLispCaller(nullptr);
    GlobalHeap::TearDown();
  }
  os_test::RecordInMemory thread_;
};

TEST_F(GlobalBitmap, ACommitFailureIsReportedToLispWithTheCollectorLeft) {
  g_lispCalls.clear();
  global(-0x15 - 4 * 128) =  // GlobHeapExhaustedFunction
      lisp::pointerWord(newObject(Kind::Function, 0, 1), Tag::Other);
  oldString(20);
  root(0, oldString(8));
  gc::setLispCaller(recordLispCall);
  platform::setMemoryFaultHook(failCommitsOutsideTheHeap);
  const uint32_t scavenges = ScavengeCt;
  collect();
  ASSERT_EQ(g_lispCalls.size(), 1u);
  const uint32_t needed = ((GsNewTop - gc::areaAddress(GsOpenOldAreaFence) + 63) >> 6) + 4;
  const lispval handler = global(-0x15 - 4 * 128);  // where the opening scavenge moved it
  const std::vector<lispval> expected = {handler,
                                         lisp::makeFixnum(0),
                                         lisp::makeFixnum(0),
                                         lisp::makeFixnum(0),
                                         lisp::makeFixnum(static_cast<int32_t>(needed)),
                                         nil(),
                                         lisp::makeFixnum(1)};
  EXPECT_EQ(g_lispCalls[0].words, expected);
  EXPECT_EQ(g_lispCalls[0].inGlobalGc, 0u);
  EXPECT_EQ(g_lispCalls[0].inScavenge, 0u);
  EXPECT_EQ(ScavengeCt, scavenges + 1) << "only the opening scavenge ran";
  EXPECT_EQ(MmapBitMap, 0u);

  platform::setMemoryFaultHook(nullptr);
  const GraphModel before = model();
  collect();
  EXPECT_EQ(g_lispCalls.size(), 1u);
  EXPECT_EQ(ScavengeCt, scavenges + 3);
  EXPECT_EQ(model().objects, before.objects);
  EXPECT_EQ(ggc_last_hole_count[lisp::type_code::SimpleString], 1u);
}

}  // namespace

// ---- a dead run longer than one filler ----

namespace {

class GlobalHugeHole : public GlobalHeap {
 protected:
  uint32_t oldSpaceBytes() const override { return 0x4200000; }
};

TEST_F(GlobalHugeHole, ARunOverTheLargestFillerBecomesLinkedFillers) {
  const lispval dead = oldObject(lisp::type_code::SimpleString, 0x2000010);  // 0x4000030 bytes
  const uint32_t start = lisp::objectAddress(dead);
  root(0, oldString(12));
  const GraphModel before = model();
  collect();
  EXPECT_EQ(ggc_break_count, 2u) << "two fillers";
  EXPECT_EQ(ggc_last_hole_aucount[lisp::type_code::SimpleString], 0x4000030u);
  EXPECT_EQ(model().objects, before.objects);
  EXPECT_EQ(lisp::objectAddress(rootArray_[0]), start) << "the live string slid down";
}

}  // namespace

// ---- bindings of a dead thread ----

namespace {

TEST_F(GlobalWeakObjects, ADeadThreadsBindingStackIsCleaned) {
  constexpr uint32_t kIndex = 2;
  const lispval bound = oldSymbol(nil());
  const lispval shortBound = oldSymbol(nil());
  lisp::objectOf<lisp::SymbolObject>(bound)->valueVector =
      oldVector({bound, nil(), lisp::makeFixnum(5), nil()});
  lisp::objectOf<lisp::SymbolObject>(shortBound)->valueVector = oldVector({shortBound});
  root(0, bound);
  root(1, shortBound);

  // The binding stack: a direct sysvector in the native heap with two bindings.
  const uint32_t block = other_from_static_xsmp(32, 0, nullptr);
  ASSERT_NE(block, 0u);
  at(block) = (28u << 8) | lisp::type_code::Sysvector;
  at(block + 4) = lisp::makeFixnum(1);
  at(block + 8) = 16;  // bytes of bindings
  at(block + 12) = kIndex;
  at(block + 16) = bound;
  at(block + 20) = nil();
  at(block + 24) = shortBound;
  at(block + 28) = nil();
  // Its thread's sysvector, chained in new space, held only by a dead old vector.
  const uint32_t owner = other_from_new_xsmp(16);
  at(owner) = (12u << 8) | lisp::type_code::Sysvector;
  at(owner + 4) = lisp::makeFixnum(3);
  at(owner + 8) = lisp::pointerWord(block, Tag::Other);
  at(owner + 12) = nil();
  gc::appendSysvector(owner - gc::kPrefixBytes);
  const lispval holder = oldVector({lisp::pointerWord(owner, Tag::Other)});
  cnoteroot(lisp::objectAddress(holder) + 8);

  const testing_support::ConsoleRecorder console;
  collect();
  EXPECT_EQ(testing_support::ConsoleRecorder::console(), "Warning: value vector too small\n");
  const uint32_t values =
      lisp::objectAddress(lisp::objectOf<lisp::SymbolObject>(rootArray_[0])->valueVector);
  EXPECT_EQ(at(values + 8 + 4 * kIndex), rootArray_[0]) << "no binding in that thread";
  EXPECT_EQ(at(values + 8 + 4 * 1), nil());
}

}  // namespace

// ---- hash tables that hash by address ----

namespace {

struct RehashCase {
  const char* name;
  uint32_t headerBytes;  // bytes 1 and 3 of the header (byte 0 is the type)
  uint32_t expected;
};

class GlobalRehash : public GlobalHeap, public ::testing::WithParamInterface<RehashCase> {};

TEST_P(GlobalRehash, TablesThatHashByAddressAreMarkedForRehashing) {
  const lispval table = oldObject(lisp::type_code::HashTable | GetParam().headerBytes);
  root(0, table);
  collect();
  EXPECT_EQ(at(lisp::objectAddress(rootArray_[0])) & 0xff00ff00u, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, GlobalRehash,
    ::testing::Values(RehashCase{"AddressBased", 0x00000200, 0x00000100},
                      RehashCase{"AddressBasedOtherBits", 0x0100fe00, 0x0100fd00},
                      RehashCase{"NotAddressBased", 0x00000500 & ~0x200u, 0x00000500 & ~0x200u},
                      RehashCase{"ByteThreeTwo", 0x02000200, 0x02000200}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// ---- cons pages ----

namespace {

// Dead conses fill the older area's pages, 1500 live ones lie in a newer
// area. The live conses move into the older pages' cells; with a page to
// spare there, the page compaction then moves the full page up to the top.
struct ConsPagesCase {
  const char* name;
  uint32_t deadPages;
  uint32_t lowCells, highCells;  // of the two pages left, in address order
};

class GlobalConsPages : public GlobalAreas, public ::testing::WithParamInterface<ConsPagesCase> {};

TEST_P(GlobalConsPages, LiveConsesOfANewerAreaMoveIntoTheOlderOne) {
  const ConsPagesCase& c = GetParam();
  gc::GsOldArea* first = GsOldAreas;
  for (uint32_t i = 0; i < c.deadPages * gc::kConsesPerPage; ++i) oldCons(nil(), nil());
  addOldArea();
  gc::GsOldArea* second = first->next;
  GsOldPageArea = second;
  GsOldConsPage = 0;
  for (uint32_t i = 0; i < 1500; ++i)
    root(i % 40, oldCons(lisp::makeFixnum(static_cast<int32_t>(i)), rootArray_[i % 40]));
  ASSERT_LT(second->lowestConsPage, second->end) << "the live conses lie in the newer area";
  const GraphModel before = model();
  collect();
  EXPECT_EQ(model().objects, before.objects);
  EXPECT_EQ(ggc_last_hole_count[1], 1500u) << "conses moved";
  EXPECT_EQ(second->lowestConsPage, second->end) << "the newer area keeps no cons page";
  ASSERT_EQ((first->end - first->lowestConsPage) / gc::kPageBytes, 2u);
  const uint32_t low = first->lowestConsPage, high = low + gc::kPageBytes;
  EXPECT_EQ(gc::consPage(low)->fill, low + gc::kConsPageFirstCell + c.lowCells * 8);
  EXPECT_EQ(gc::consPage(high)->fill, high + gc::kConsPageFirstCell + c.highCells * 8);
  // Tenured conses go on in the lowest page, where the tenure catch-up starts.
  EXPECT_EQ(GsOldConsPage, low);
  EXPECT_EQ(GsTenureCatchupConsPage, low);
  EXPECT_EQ(GsTenureCatchupConsItem, gc::consPage(low)->fill);
}

INSTANTIATE_TEST_SUITE_P(Pages, GlobalConsPages,
                         ::testing::Values(ConsPagesCase{"NoPageToSpare", 2, 1019, 481},
                                           ConsPagesCase{"APageToSpare", 3, 481, 1019}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(GlobalCollection, AConsPageOfAnUnknownKindIsReportedAndLeftOutOfThePageMap) {
  root(0, oldCons(lisp::makeFixnum(1), nil()));
  const uint32_t page = gc::pageStart(lisp::objectAddress(rootArray_[0]));
  gc::consPage(page)->flags = 2;
  testing::internal::CaptureStderr();
  global_gc(0);  // its page map is meant to differ: no checkPageMaps
  unprotect();
  verifyHeap();
  const std::string report = testing::internal::GetCapturedStderr();
  char expected[48];
  std::snprintf(expected, sizeof expected, "Unexpected page type at %x", page);
  EXPECT_NE(report.find(expected), std::string::npos) << report;
  EXPECT_EQ(pagemapEntry(GsOldAreas, page), 0u);
}

}  // namespace
