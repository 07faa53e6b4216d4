// Heap relocation: the relocation ranges, the collector variables that hold
// heap addresses, and a real heap moved to another reservation.

#include "runtime/gc/heap_relocation.h"

#include <sys/mman.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "runtime/gc/gc_data_record.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/tests/global_heap_fixture.h"
#include "runtime/load/image_file.h"
#include "runtime/load/pure_library_bounds.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/runtime_routines.h"

extern "C" uint32_t globreg;

namespace {

using gc_test::at;
using lisp::lispval;
using lisp::Tag;

// ---- the slot routines ----

struct SlotCase {
  const char* what;
  uint32_t value;
  uint32_t expected;
};

class RelocationRanges : public ::testing::Test {
 protected:
  // The second range begins inside the first, where the first wins.
  void SetUp() override {
    rms_start = 0x10000001;
    rms_end = 0x10100002;
    rms_offset = 0x1000000;
    rms_start2 = 0x100c0001;
    rms_end2 = 0x20000005;
    rms_offset2 = -0x100000;
  }
  void TearDown() override {
    rms_start = rms_end = rms_start2 = rms_end2 = 0;
    rms_offset = rms_offset2 = 0;
  }
};

TEST_F(RelocationRanges, SlotsMoveByTheRangeThatHoldsThemAndImmediatesStay) {
  const SlotCase cases[] = {
      {"fixnum inside the first range", 0x10000010, 0x10000010},
      {"odd fixnum inside", 0x10000014, 0x10000014},
      {"character inside", 0x10000016, 0x10000016},
      {"at the first range's start", 0x10000001, 0x10000001},
      {"just inside the first range", 0x10000002, 0x11000002},
      {"just below the first range's end", 0x10100001, 0x11100001},
      {"in both ranges: the first wins", 0x100c0007, 0x110c0007},
      {"at the first range's end, inside the second only", 0x10100002, 0x10000002},
      {"the second range only", 0x10200007, 0x10100007},
      {"nil-tagged in the second range", 0x10300005, 0x10200005},
      {"at the second range's end", 0x20000005, 0x20000005},
      {"outside both", 0x30000001, 0x30000001},
  };
  for (const SlotCase& c : cases) {
    uint32_t word = c.value;
    rms_slot(gc::addressOf(&word));
    EXPECT_EQ(word, c.expected) << c.what;
  }
}

TEST_F(RelocationRanges, ReturnAddressesMoveWhateverTheirLowBits) {
  for (const uint32_t low : {0u, 4u, 6u, 3u}) {
    uint32_t word = 0x10000100 + low;
    rms_retaddr(gc::addressOf(&word));
    EXPECT_EQ(word, 0x11000100 + low) << low;
  }
  uint32_t start = 0x10000001;
  rms_retaddr(gc::addressOf(&start));
  EXPECT_EQ(start, 0x10000001u) << "the bounds are exclusive";
}

class RelocationOverAHeap : public gc_test::LispHeap {};

TEST_F(RelocationOverAHeap, AfterARelocationBothOffsetsAreZeroAgain) {
  // Nothing lies in these ranges: the walk changes nothing, the offsets go.
  gc_relocate_memory_section(0x7000000, 0x7001000, 0x1000, 0x7100000, 0x7200000, 0x10000);
  EXPECT_EQ(rms_offset, 0);
  EXPECT_EQ(rms_offset2, 0);
  uint32_t word = 0x7100001;
  rms_slot(gc::addressOf(&word));
  EXPECT_EQ(word, 0x7100001u);
}

TEST(RelocationRangesDeath, OverlappingRangesAreRefused) {
  EXPECT_EXIT(gc_relocate_memory_section(0x7000000, 0x7200000, 0x1000, 0x7100000, 0x7300000, 8),
              ::testing::ExitedWithCode(1), "overlaps the pure library");
}

// ---- prefix chains ----

TEST(PrefixChains, EveryLinkMovesAndTheTailIsTheLastElement) {
  alignas(8) uint32_t elements[4][2] = {};
  const uint32_t delta = 0x40;
  // A chain of three through word 0; the fourth's link is never read (the tail ends the chain).
  const uint32_t first = gc::addressOf(elements[0]);
  elements[0][0] = gc::addressOf(elements[1]);
  elements[1][0] = gc::addressOf(elements[2]);
  elements[2][0] = 0xdead0000;
  uint32_t head = first;
  uint32_t tail = gc::addressOf(elements[2]);
  // Moving by 0 keeps everything; the tail ends the walk before the bad link.
  update_pfx_chain(&head, &tail, 0);
  EXPECT_EQ(head, first);
  EXPECT_EQ(tail, gc::addressOf(elements[2]));
  EXPECT_EQ(elements[2][0], 0xdead0000u);

  // A chain that ends at 0, moved in place: links gain the delta.
  elements[2][0] = 0;
  uint32_t plainHead = first - delta;
  elements[0][0] = gc::addressOf(elements[1]) - delta;
  elements[1][0] = gc::addressOf(elements[2]) - delta;
  update_pfx_chain(&plainHead, nullptr, static_cast<int32_t>(delta));
  EXPECT_EQ(plainHead, first);
  EXPECT_EQ(elements[0][0], gc::addressOf(elements[1]));
  EXPECT_EQ(elements[1][0], gc::addressOf(elements[2]));
  EXPECT_EQ(elements[2][0], 0u);
}

// ---- the collector's variables ----

// Every name declared in the collector's state header, arrays and records
// as their base names.
std::set<std::string> declaredVariables() {
  std::ifstream in(GC_STATE_HEADER_PATH);
  std::stringstream text;
  text << in.rdbuf();
  std::set<std::string> names;
  const std::regex declaration(R"(extern\s+[\w:*]+\s*\*?\s*(\w+)\s*(\[[^\]]*\])?\s*;)");
  const std::string all = text.str();
  for (std::sregex_iterator it(all.begin(), all.end(), declaration), end; it != end; ++it)
    names.insert((*it)[1]);
  return names;
}

std::string baseName(const std::string& row) {
  return row.substr(0, row.find_first_of("[."));
}

TEST(CollectorVariables, EveryDeclaredVariableHasItsRows) {
  std::set<std::string> covered;
  std::set<const void*> words;
  for (const gc::CollectorVariable& row : gc::kCollectorVariables) {
    covered.insert(baseName(row.name));
    EXPECT_TRUE(words.insert(row.variable).second) << row.name << " twice";
  }
  const std::set<std::string> declared = declaredVariables();
  ASSERT_GT(declared.size(), 50u) << "the header could not be read";
  for (const std::string& name : declared)
    if (name != "nilval") {
      EXPECT_TRUE(covered.count(name)) << name << " has no row";
    }
  EXPECT_EQ(words.count(&GsGenConsPage[gc::kLastGeneration]), 1u);
  EXPECT_EQ(words.count(&GsNewAllocationArea.pageLowMark), 1u);
}

TEST(CollectorVariables, EveryWordOfTheImageRecordHasARow) {
  std::map<const void*, gc::HeapWordRole> roles;
  for (const gc::CollectorVariable& row : gc::kCollectorVariables) roles[row.variable] = row.role;
  for (const gc::GcDataWord& word : gc::kGcDataWordsTable)
    if (word.variable) {
      EXPECT_TRUE(roles.count(word.variable)) << word.name << " has no row";
    }
  // The words the heap's layout hangs on are among those that move.
  for (const void* moving :
       {static_cast<const void*>(&GsOldAreas), static_cast<const void*>(&GsNewTop),
        static_cast<const void*>(&GsNewTopLV), static_cast<const void*>(&xxGsAllocConsPage),
        static_cast<const void*>(&GsGenConsPage[0]), static_cast<const void*>(&GsNewOther1)})
    EXPECT_EQ(roles[moving], gc::HeapWordRole::Address);
  EXPECT_EQ(roles[&setf_protect_bmap], gc::HeapWordRole::None) << "the bitmap is native";
}

// ---- a real heap, moved ----

// One reachable object as seen before a move: where it was and its words,
// each marked when it names the heap (a Lisp value or an entry word).
struct ModelObject {
  uint32_t address;
  std::vector<uint32_t> words;
  std::vector<char> namesHeap;
};

class MovedHeap : public gc_test::GlobalHeap, public ::testing::WithParamInterface<int32_t> {
 protected:
  void TearDown() override {
    if (oldBytes_ != 0) platform::releaseAddressSpace(oldBase_, oldBytes_);
    gc_test::GlobalHeap::TearDown();
  }

  bool inHeap(uint32_t address) const {
    return address >= lisp_heap.base && address < lisp_heap.committed_end;
  }
  bool heapPointer(uint32_t word) const {
    const Tag tag = lisp::tagOf(word);
    return (tag == Tag::Cons || tag == Tag::Other || tag == Tag::Symbol || tag == Tag::Nil) &&
           inHeap(lisp::objectAddress(word));
  }

  // Every object reachable from the roots (the root array, the root globals
  // and the extra roots), in the order met, walked independently of the
  // collector's walkers.
  std::vector<ModelObject> walk() {
    std::vector<ModelObject> objects;
    std::set<uint32_t> seen;
    std::vector<lispval> work(std::begin(rootArray_), std::end(rootArray_));
    for (const int32_t word : gc_test::kRootGlobals) work.push_back(global(word));
    work.insert(work.end(), extraRoots_.begin(), extraRoots_.end());
    for (size_t next = 0; next < work.size(); ++next) {
      const lispval word = work[next];
      if (!heapPointer(word) || word == nil()) continue;
      const uint32_t address = lisp::objectAddress(word);
      if (!seen.insert(address).second) continue;
      ModelObject object{address, {}, {}};
      std::vector<char> value;
      if (lisp::isCons(word)) {
        value = {1, 1};
      } else {
        const gc::ObjectExtent extent = gc::extentOf(at(address), at(address + 4));
        EXPECT_NE(extent.row, nullptr);
        if (!extent.row) break;
        value.assign(extent.bytes / 4, 0);
        for (int range = 0; range < 2; ++range)
          for (uint32_t i = 0; i < extent.wordCount[range]; ++i)
            value[extent.firstWord[range] + i] = 1;
        if (extent.row->codeSlot) value[gc::kCodeSlotWord] = 1;
        const uint8_t type = at(address) & 0xff;
        if (type == lisp::type_code::Function || type == lisp::type_code::Closure) value[1] = 2;
      }
      for (size_t i = 0; i < value.size(); ++i) {
        const uint32_t raw = at(address + 4 * static_cast<uint32_t>(i));
        object.words.push_back(raw);
        const bool names = value[i] == 1 ? heapPointer(raw) : value[i] == 2 && inHeap(raw);
        object.namesHeap.push_back(names);
        if (value[i] == 1) work.push_back(raw);
      }
      objects.push_back(std::move(object));
    }
    return objects;
  }

  // A trampoline entry, a code entry and a closure, held by the extra roots.
  void addFunctionsWithEveryEntry() {
    const lispval code = oldCodeVector();
    const lispval inside = oldFunction(code, code - 14 + 8);
    const uint32_t trampoline = global(lisp::nil_block::kTrampolineCopies[1].global);
    ASSERT_TRUE(inHeap(trampoline)) << "the trampoline area lies in the heap";
    const lispval viaTrampoline = oldFunction(code, trampoline);
    const lispval closure = oldObject(lisp::type_code::Closure | 1u << 16);
    at(lisp::objectAddress(closure) + 4) = global(lisp::nil_block::kTrampolineCopies[0].global);
    at(lisp::objectAddress(closure) + 8) = inside;
    const lispval symbol = oldSymbol(closure);
    lisp::objectOf<lisp::SymbolObject>(symbol)->name = oldString(5);
    const lispval list = oldList(2500, lisp::makeFixnum(3));
    extraRoots_ = {inside, viaTrampoline, closure, symbol, list};
    extrasHandle_ = register_external_slot_manager(presentExtras, extraRoots_.data());
  }
  static void presentExtras(gsgc_slot_routine slot, void* data) {
    auto* roots = static_cast<lispval*>(data);
    for (uint32_t i = 0; i < kExtraRoots; ++i) slot(gc::addressOf(&roots[i]));
  }

  // What a restore at another address does: the reservation trimmed to its
  // committed part, the bytes copied `delta` away, the old place made
  // unreadable, the reader's own words moved, then the relocation.
  int moveHeap(int32_t delta) {
    unprotect();
    const uint32_t base = lisp_heap.base;
    const uint32_t committed = lisp_heap.committed_end;
    platform::releaseAddressSpace(committed, lisp_heap.reserved_end - committed);
    const uint32_t bytes = committed - base;
    const uint32_t target = base + static_cast<uint32_t>(delta);
    EXPECT_EQ(platform::reserveAddressSpace(target, bytes), target) << "the new place is taken";
    EXPECT_TRUE(platform::commitMemory(target, bytes));
    std::memcpy(reinterpret_cast<void*>(target), reinterpret_cast<const void*>(base), bytes);
    mprotect(reinterpret_cast<void*>(base), bytes, PROT_NONE);
    oldBase_ = base;
    oldBytes_ = bytes;
    for (uint32_t* word : {&lisp_heap.base, &lisp_heap.brk, &lisp_heap.committed_end})
      *word += static_cast<uint32_t>(delta);
    lisp_heap.desired_end = lisp_heap.reserved_end = lisp_heap.committed_end;
    image_file::moveRuntimeWords(static_cast<uint32_t>(delta), base, committed);
    at(globreg) = lisp_tls_index;
    restoreglobs();
    return gc_relocate_heap(&lisp_heap, delta, 0);
  }

  // Every page-map entry is a page kind or an address in its own region.
  void expectPageMapEntriesInside() {
    auto check = [](uint32_t biasedBase, uint32_t first, uint32_t bytes, uint32_t low,
                    uint32_t high) {
      for (uint32_t page = gc::pageStart(first); page < first + bytes; page += gc::kPageBytes) {
        const uint32_t entry = at(biasedBase + 4 * gc::pageOf(page));
        if (entry == gc::kPageUnused || entry == gc::kPageCons || entry == gc::kPageInsideObject)
          continue;
        EXPECT_TRUE(entry >= low && entry <= high) << "page 0x" << std::hex << page;
      }
    };
    for (gc::GsOldArea* area = GsOldAreas; area; area = area->next)
      check(area->pagemapBase, gc::areaAddress(area), area->size, area->firstObject,
            area->frontier);
    check(GsNewPagemap, GsNewAllocationArea.start, GsNewSemiSize, GsNewOther1,
          global(gc::global::kNewOtherTop));
  }

  void expectMovedBy(const std::vector<ModelObject>& before, const std::vector<ModelObject>& after,
                     int32_t delta) {
    ASSERT_EQ(after.size(), before.size()) << "the same objects are reachable";
    const uint32_t shift = static_cast<uint32_t>(delta);
    for (size_t i = 0; i < before.size(); ++i) {
      ASSERT_EQ(after[i].address, before[i].address + shift) << "object " << i;
      ASSERT_EQ(after[i].words.size(), before[i].words.size()) << "object " << i;
      for (size_t w = 0; w < before[i].words.size(); ++w)
        ASSERT_EQ(after[i].words[w], before[i].words[w] + (before[i].namesHeap[w] ? shift : 0))
            << "object " << i << " word " << w << " at 0x" << std::hex << after[i].address;
    }
  }

  static constexpr uint32_t kExtraRoots = 5;
  std::vector<lispval> extraRoots_;
  void* extrasHandle_ = nullptr;
  uint32_t oldBase_ = 0, oldBytes_ = 0;
};

TEST_P(MovedHeap, VerifiesAndKeepsItsGraphWithEveryPointerShifted) {
  const int32_t delta = GetParam();
  run(7, 6, 0);
  addOldArea();
  ASSERT_GE(GsOldAreaCt, 2u);
  addFunctionsWithEveryEntry();
  const std::vector<ModelObject> before = walk();
  ASSERT_GT(before.size(), 100u);
  uint32_t consPages = 0;
  for (gc::GsOldArea* area = GsOldAreas; area; area = area->next) consPages += area->consPageCount;
  ASSERT_GE(consPages, 3u) << "old cons pages";
  const std::vector<uint32_t> generationPages(std::begin(GsGenConsPage), std::end(GsGenConsPage));
  ASSERT_NE(generationPages, std::vector<uint32_t>(gc::kGenerationCount, 0u));

  ASSERT_EQ(moveHeap(delta), 1);
  EXPECT_EQ(rms_offset2, 0);
  expectMovedBy(before, walk(), delta);
  for (uint32_t g = 0; g < gc::kGenerationCount; ++g)
    EXPECT_EQ(GsGenConsPage[g], generationPages[g] + (generationPages[g] ? delta : 0)) << g;
  EXPECT_EQ(global(gc::global::kHeapBasePage), gc::pageOf(gc::areaAddress(GsOldAreas)));
  verifyHeap();
  checkPageMaps();
  expectPageMapEntriesInside();
  // New space's page map finds every object there.
  gsgc_scan_others(GsNewOther1, global(gc::global::kNewOtherTop), 1, [](uint32_t object) {
    EXPECT_TRUE(gc::isObjectStart(gc::allocationRegion(), object)) << std::hex << object;
    return 0u;
  });

  // The moved heap goes on living: allocation, scavenges with the model's
  // check after each, and a global collection.
  const uint32_t scavenges = ScavengeCt;
  runMore(3);
  EXPECT_EQ(ScavengeCt, scavenges + 3);
  collect();
  unregister_external_slot_manager(extrasHandle_);
}

INSTANTIATE_TEST_SUITE_P(Deltas, MovedHeap,
                         ::testing::Values(0x1000000, -0x1000000, 0x1230000, 0x7ff0000));

TEST_F(MovedHeap, PrefixChainsAreRelinked) {
  run(5, 2, 0);
  unprotect();
  // Two chains through new-space prefixes: one ending at its tail (the
  // tail's own link is not the chain's), one ending at 0.
  uint32_t prefixes[4];
  for (uint32_t& prefix : prefixes) {
    const uint32_t object = other_from_new_xsmp(16);
    at(object) = lisp::headerWord(127);
    at(object + 4) = lisp::makeFixnum(1);
    prefix = object - gc::kPrefixBytes;
  }
  GsSVC_head = prefixes[0];
  at(prefixes[0]) = prefixes[1];
  at(prefixes[1]) = 0x12345678;
  GsSVC_tail = prefixes[1];
  GsWeakChain = prefixes[2];
  at(prefixes[2]) = prefixes[3];
  at(prefixes[3]) = 0;
  GsFinlzChain = 0;
  GsCVC_head = 0;
  GsCVC_tail = 0x5000;  // stale: an empty chain's tail names its head

  const uint32_t delta = 0x1000000;
  ASSERT_EQ(moveHeap(static_cast<int32_t>(delta)), 1);
  for (uint32_t& prefix : prefixes) prefix += delta;
  EXPECT_EQ(GsSVC_head, prefixes[0]);
  EXPECT_EQ(at(prefixes[0]), prefixes[1]);
  EXPECT_EQ(at(prefixes[1]), 0x12345678u);
  EXPECT_EQ(GsSVC_tail, prefixes[1]);
  EXPECT_EQ(GsWeakChain, prefixes[2]);
  EXPECT_EQ(at(prefixes[2]), prefixes[3]);
  EXPECT_EQ(at(prefixes[3]), 0u);
  EXPECT_EQ(GsFinlzChain, 0u);
  EXPECT_EQ(GsCVC_tail, gc::addressOf(&GsCVC_head));
  GsSVC_head = GsWeakChain = 0;
  GsSVC_tail = gc::addressOf(&GsSVC_head);
}

TEST_F(MovedHeap, NoMoveChangesNoByte) {
  run(3, 3, 0);
  addFunctionsWithEveryEntry();
  unprotect();
  const uint32_t base = lisp_heap.base;
  const std::vector<uint8_t> heapBefore(reinterpret_cast<const uint8_t*>(base),
                                        reinterpret_cast<const uint8_t*>(lisp_heap.brk));
  uint32_t record[gc::kGcDataWords], recordAfter[gc::kGcDataWords];
  capture_gc_data(record);
  ASSERT_EQ(gc_relocate_heap(&lisp_heap, 0, 0), 1);
  capture_gc_data(recordAfter);
  EXPECT_TRUE(
      std::equal(heapBefore.begin(), heapBefore.end(), reinterpret_cast<const uint8_t*>(base)));
  EXPECT_TRUE(std::equal(std::begin(record), std::end(record), std::begin(recordAfter)));
  unregister_external_slot_manager(extrasHandle_);
}

TEST_F(MovedHeap, AMoveOfPartOfAPageIsRefusedUntouched) {
  run(3, 1, 0);
  unprotect();
  uint32_t record[gc::kGcDataWords], recordAfter[gc::kGcDataWords];
  capture_gc_data(record);
  const testing_support::ConsoleRecorder console;
  EXPECT_EQ(gc_relocate_heap(&lisp_heap, 0x1000, 0), 0);
  capture_gc_data(recordAfter);
  EXPECT_TRUE(std::equal(std::begin(record), std::end(record), std::begin(recordAfter)));
}

TEST_F(MovedHeap, ANewPlaceOverTheLibrarysRecordedRangeIsRefusedUntouched) {
  run(3, 1, 0);
  unprotect();
  // The heap, moved 16 MB up, would lie where the library was recorded.
  vxm_lso = lisp_heap.base + 0x10000;
  vxm_lsoend = vxm_lso + 0x10000;
  uint32_t record[gc::kGcDataWords], recordAfter[gc::kGcDataWords];
  capture_gc_data(record);
  const testing_support::ConsoleRecorder console;
  EXPECT_EQ(gc_relocate_heap(&lisp_heap, 0x1000000, 0), 0);
  EXPECT_NE(testing_support::ConsoleRecorder::console().find("overlaps the pure library"),
            std::string::npos);
  capture_gc_data(recordAfter);
  EXPECT_TRUE(std::equal(std::begin(record), std::end(record), std::begin(recordAfter)));
  vxm_lso = vxm_lsoend = 0;
}

}  // namespace
