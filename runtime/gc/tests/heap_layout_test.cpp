#include "runtime/gc/heap_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>
#include <string>

#include "platform/memory.h"
#include "runtime/gc/allocation.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/os/host_record_services.h"
#include "testing/console_host_record.h"
#include "testing/lisp_heap_fixture.h"

namespace {

using namespace gc;
using namespace gc_test;

// ---- the -fg letters ----

struct FlagCase {
  const char* letters;
  uint32_t before, after;
  const char* warning;
};

TEST(FlagLetters, SetAndClearByLetter) {
  const FlagCase cases[] = {
      {"+pv-p", 0, flag::kVerbose, ""},
      {"pv-p", 0, flag::kVerbose, ""},  // "+" is the initial mode
      {"BApsaHrgcvD", 0, 0xfdf, ""},    // every letter; 0x20 and 0x1000 have none
      {"-BApsaHrgcvD", 0xffff, 0xffff & ~0xfdfu, ""},
      {"-g+g-g", flag::kAutoGlobal, 0, ""},
      {"pxq", 0, flag::kProgress,
       "ignoring unrecognized -fg option: x\nignoring unrecognized -fg option: q\n"},
      {"!", 0x1020, 0x1020, "ignoring unrecognized -fg option: !\n"},
      {"", 0x4, 0x4, ""},
  };
  for (const FlagCase& c : cases) {
    GsCtlFlags = c.before;
    const testing_support::ConsoleRecorder console;
    gsgc_flag_init(c.letters);
    EXPECT_EQ(testing_support::ConsoleRecorder::console(), c.warning) << c.letters;
    EXPECT_EQ(GsCtlFlags, c.after) << c.letters;
  }
  GsCtlFlags = 0;
}

TEST(FlagLetters, EachLetterOwnsItsBit) {
  for (const FlagLetter& row : kFlagLetters) {
    GsCtlFlags = 0;
    const char letters[] = {row.letter, '\0'};
    gsgc_flag_init(letters);
    EXPECT_EQ(GsCtlFlags, row.bit) << row.letter;
  }
  GsCtlFlags = 0;
}

// ---- GsInit ----

TEST(GsInitArguments, SpacesBelow256KEndTheProcessWithTheirMessage) {
  const struct {
    uint32_t oldSize, newSize;
    const char* message;
  } cases[] = {
      {0x3ffff, 0x80000, "-o: old space must be at least 256K\n"},
      {0, 0, "-o: old space must be at least 256K\n"},  // old space is checked first
      {0x100000, 0x3ffff, "-n: new space must be at least 256K\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EXIT(
        {
          forgetHeaps();
          setup_redir(&testing_support::consoleOnStandardError());  // where death tests look
          GsInit(c.oldSize, c.newSize, 1, 0);
        },
        testing::ExitedWithCode(1), std::string("^") + c.message + "$")
        << c.message;
  }
}

bool failLispHeapCommits(platform::MemoryOperation operation, uintptr_t address, size_t) {
  return operation == platform::MemoryOperation::Commit && address >= lisp_heap.base &&
         address < lisp_heap.reserved_end;
}

TEST(GsInitArguments, AHeapThatCannotGrowEndsTheProcess) {
  EXPECT_EXIT(
      {
        forgetHeaps();
        const int32_t slot = platform::allocateThreadSlot();
        lisp_tls_index = static_cast<uint32_t>(slot) * 4;
        setup_heaps(0, 0, 0, 0, 0, 0);
        platform::setMemoryFaultHook(failLispHeapCommits);
        GsInit(kOldSize, kNewSize, 1, 0);
      },
      testing::ExitedWithCode(1), "^There is insufficient swap space to run this program\n$");
  // Sizes that do not fit a signed break increment are refused, not read as shrinks.
  for (const auto& [oldSize, newSize] :
       {std::pair{0x90000000u, kNewSize}, std::pair{kOldSize, 0xfffff000u}}) {
    EXPECT_EXIT(
        {
          forgetHeaps();
          const int32_t slot = platform::allocateThreadSlot();
          lisp_tls_index = static_cast<uint32_t>(slot) * 4;
          setup_heaps(0, 0, 0, 0, 0, 0);
          GsInit(oldSize, newSize, 1, 0);
        },
        testing::ExitedWithCode(1), "^There is insufficient swap space to run this program\n$");
  }
}

class SmallSpread : public LispHeap {
 protected:
  void SetUp() override {
    forgetHeaps();
    slot_ = platform::allocateThreadSlot();
    lisp_tls_index = static_cast<uint32_t>(slot_) * 4;
    ASSERT_EQ(setup_heaps(0, 0, 0, 0, 0, 0), 1);
    const testing_support::ConsoleRecorder console;
    GsInit(kOldSize, kNewSize, -3, 0);
    initOutput_ = testing_support::ConsoleRecorder::console();
  }
};

TEST_F(SmallSpread, BecomesOneWithAWarning) {
  EXPECT_EQ(initOutput_.rfind("-t parameter (-3) must be at least 1\n", 0), 0u) << initOutput_;
  EXPECT_EQ(GsGenSpread, 1);
  EXPECT_EQ(global(global::kGeneration), 0u);  // spread - 1
  EXPECT_NE(initOutput_.find("Initial generation spread = 1\n"), std::string::npos);
}

TEST_F(LispHeap, GsInitPrintsWhatItAllocated) {
  const std::string expected =
      "Initial generation spread = 2\n"
      "Allocated 1048576 bytes for old space\n"
      "Allocated 524288 bytes for new space\n";
  EXPECT_EQ(initOutput_, expected);
}

TEST_F(LispHeap, GsInitLaysOutOneOldAreaAndTwoSemispaces) {
  const uint32_t base = lisp_heap.base;
  ASSERT_NE(GsOldAreas, nullptr);
  const GsOldArea* area = GsOldAreas;
  EXPECT_EQ(GsLastOldArea, area);
  EXPECT_EQ(GsOldAreaCt, 1u);
  EXPECT_EQ(area->next, nullptr);
  EXPECT_EQ(area->previous, nullptr);
  EXPECT_GT(areaAddress(area), nilval);  // the globals come first
  EXPECT_EQ(areaAddress(area) % 8, 0u);
  EXPECT_EQ(area->end % 0x10000, 0u);
  EXPECT_EQ(area->end, GsNewFence);
  EXPECT_GE(area->size, kOldSize - (areaAddress(area) - base));
  EXPECT_EQ(global(global::kHeapBasePage), pageOf(areaAddress(area)));
  EXPECT_EQ(GsOldPageArea, area);
  EXPECT_EQ(GsOpenOldAreaFence, area);
  EXPECT_EQ(GsTenureCatchupConsArea, area);

  // Header, pagemap, objects; one cons page at the top.
  const uint32_t pagemap = areaAddress(area) + sizeof(GsOldArea);
  EXPECT_EQ(area->firstObject, roundUp(pagemap + 4 * (area->size / kPageBytes + 1), 8));
  EXPECT_EQ(area->frontier, area->firstObject);
  EXPECT_EQ(area->rootScanLimit, area->firstObject);
  EXPECT_EQ(area->consPageCount, 1u);
  EXPECT_EQ(area->lowestConsPage, area->end - kPageBytes);
  EXPECT_EQ(GsOldConsPage, area->lowestConsPage);
  EXPECT_EQ(area->freeBytes, area->lowestConsPage - area->frontier);
  for (uint32_t page = pageStart(areaAddress(area)); page + kPageBytes <= area->firstObject;
       page += kPageBytes)
    EXPECT_EQ(pagemapEntry(area, page), kPageInsideObject);
  EXPECT_EQ(pagemapEntry(area, area->firstObject), area->firstObject);
  EXPECT_EQ(pagemapEntry(area, area->firstObject + kPageBytes), kPageUnused);
  EXPECT_EQ(pagemapEntry(area, area->lowestConsPage), kPageCons);

  // New space at the top of the heap.
  EXPECT_EQ(GsNewTop, lisp_heap.brk);
  EXPECT_EQ(GsNewTop - GsNewFence, kNewSize);
  EXPECT_EQ(GsNewSemiSize, kNewSize / 2);
  EXPECT_EQ(GsNewAllocationArea.start, GsNewFence);
  EXPECT_EQ(GsNewAllocationArea.end, GsNewFence + kNewSize / 2);
  EXPECT_EQ(GsNewScavengeToArea, GsNewAllocationArea.end);
  EXPECT_EQ(GsNewFenceLV, GsNewFence + 16);
  EXPECT_EQ(GsNewTopLV, GsNewTop + 16);
  EXPECT_EQ(global(global::kNewFence), GsNewFence);
  EXPECT_EQ(GsNewOther1, roundUp(GsNewFence + 4 * (kNewSize / 2 / kPageBytes + 1), 8));
  EXPECT_EQ(global(global::kNewOtherTop), GsNewOther1);
  EXPECT_EQ(newPagemapEntry(GsNewOther1), GsNewOther1);

  // One cons page of the current generation behind the shared cons pointer.
  const uint32_t consPageAddress = GsNewAllocationArea.end - kPageBytes;
  EXPECT_EQ(GsNewAllocationArea.pageLowMark, consPageAddress);
  EXPECT_EQ(GsGenConsPage[kSpread - 1], consPageAddress);
  EXPECT_EQ(xxGsAllocConsPage, consPageAddress);
  EXPECT_EQ(newPagemapEntry(consPageAddress), kPageCons);
  EXPECT_EQ(global(global::kConsFill), consPageAddress + 40 + 0x11);
  EXPECT_EQ(global(global::kConsLimit), consPageAddress + kPageBytes + 0x11);
  EXPECT_EQ(newFree(), static_cast<int32_t>(GsNewAllocationArea.end - GsNewOther1 - kPageBytes));

  EXPECT_EQ(setf_protect_bmap_size, kDefaultMaxHeapSize / 0x40000 + 2);
  EXPECT_EQ(lispstatic_block_blocks, 2048u);
  EXPECT_EQ(GsNewQuantum, 0x40000u);
  EXPECT_EQ(GsMinFreeNewPercent, 25u);
}

// ---- the parameter block ----

TEST_F(LispHeap, ParameterBlockReadsTheCollectorsSettings) {
  gc_parameter_block block;
  GsReadCtl(&block);
  EXPECT_EQ(block.generation, 1);
  EXPECT_EQ(block.quantumPages, 32);
  EXPECT_EQ(block.pageSize, 8192);
  EXPECT_EQ(block.generationSpread, 2);
  EXPECT_EQ(block.minFreeNewPercent, 25);
  EXPECT_EQ(block.expFreeOldPercent, 35);
  EXPECT_EQ(block.openAreaFence, 0);
  EXPECT_EQ(block.zero11, 0);
}

TEST_F(LispHeap, ParameterWritesAreBroughtIntoRange) {
  const struct {
    int32_t gc_parameter_block::*word;
    int32_t written;
    uint32_t* variable;
    uint32_t stored;
  } cases[] = {
      {&gc_parameter_block::quantumPages, 3, &GsNewQuantum, 32768},
      {&gc_parameter_block::quantumPages, 4, &GsNewQuantum, 32768},
      {&gc_parameter_block::quantumPages, 0, &GsNewQuantum, 16384},
      {&gc_parameter_block::quantumPages, -7, &GsNewQuantum, 16384},
      {&gc_parameter_block::quantumPages, 0x7fffffff, &GsNewQuantum, 0x8000 * 8192},
      {&gc_parameter_block::minFreeNewPercent, 150, &GsMinFreeNewPercent, 99},
      {&gc_parameter_block::expFreeNewPercent, -5, &GsExpFreeNewPercent, 0},
      {&gc_parameter_block::expFreeOldPercent, 40, &GsExpFreeOldPercent, 40},
      {&gc_parameter_block::generationSpread, 0, reinterpret_cast<uint32_t*>(&GsGenSpread), 1},
      {&gc_parameter_block::flags, 0x1004, &GsCtlFlags, 0x1004},
      {&gc_parameter_block::minFreeNewOther, 0x1234, &GsMinFreeNewOther, 0x1234},
  };
  for (const auto& c : cases) {
    gc_parameter_block block;
    GsReadCtl(&block);
    block.*c.word = c.written;
    GsWriteCtl(&block);
    EXPECT_EQ(*c.variable, c.stored) << c.written;
  }
}

TEST_F(LispHeap, OpenAreaFenceWrittenPastTheChainStaysOnIt) {
  // A second area above new space.
  uint32_t newBreak = 0;
  const uint32_t start = lisp_heap.brk;
  ASSERT_EQ(limited_setbrk(0x40000, &newBreak), 0);
  GsOldAreaSetup(start, newBreak - start);
  ASSERT_EQ(GsOldAreaCt, 2u);

  const struct {
    int32_t written;
    int32_t closed;
  } cases[] = {{0, 0}, {1, 1}, {2, 1}, {1000, 1}, {-1, 1}, {-2, 0}, {-50, 0}};
  for (const auto& c : cases) {
    gc_parameter_block block;
    GsReadCtl(&block);
    block.openAreaFence = c.written;
    GsWriteCtl(&block);
    ASSERT_NE(GsOpenOldAreaFence, nullptr) << c.written;
    GsReadCtl(&block);
    EXPECT_EQ(block.openAreaFence, c.closed) << c.written;
  }
}

TEST_F(LispHeap, ClosingAnAreaSavesFillsAndEndsItsConsPage) {
  const uint32_t firstCell = cons_from_old();
  ASSERT_NE(firstCell, 0u);
  GsOldArea* first = GsOldAreas;
  uint32_t newBreak = 0;
  const uint32_t start = lisp_heap.brk;
  ASSERT_EQ(limited_setbrk(0x40000, &newBreak), 0);
  GsOldAreaSetup(start, newBreak - start);

  setOpenOldFence(1);
  EXPECT_EQ(getOpenOldFence(), 1);
  EXPECT_EQ(GsOpenOldAreaFence, GsLastOldArea);
  EXPECT_EQ(GsOldSmallOtherArea, GsLastOldArea);
  EXPECT_EQ(GsOldBigOtherArea, GsLastOldArea);
  EXPECT_EQ(GsOldPageArea, GsLastOldArea);
  const ConsPageHeader* page = consPage(first->lowestConsPage);
  EXPECT_EQ(page->savedFill, firstCell + 8);
  EXPECT_EQ(first->closedLowestPage, first->lowestConsPage);
  EXPECT_EQ(page->fill, page->end);
  EXPECT_EQ(at(firstCell + 8), nilval);
  EXPECT_EQ(at(page->end - 4), nilval);

  // The next old cons comes from the open area.
  const uint32_t cell = cons_from_old();
  EXPECT_GE(cell, areaAddress(GsLastOldArea));
}

// ---- heap growth ----

TEST_F(LispHeap, GrowthPastTheBitmapsReachEnlargesTheBitmap) {
  noteroot(areaAddress(GsOldAreas) + 3 * kPageBytes);
  maxheapsize = 0x200000;  // the bitmap must cover more than this from now on
  uint32_t newBreak = 0;
  const uint32_t before = lisp_heap.brk;
  ASSERT_EQ(limited_setbrk(0x200000, &newBreak), 0);
  EXPECT_EQ(newBreak, before + 0x200000);
  EXPECT_EQ(lisp_heap.brk, newBreak);
  const uint32_t span = newBreak - areaAddress(GsOldAreas);
  const uint32_t words = ((span >> 18) + 2049) & ~2047u;
  EXPECT_EQ(setf_protect_bmap_size, words);
  EXPECT_EQ(maxheapsize, (words - 2) * 32 * 8192);
  EXPECT_TRUE(rootBitSet(areaAddress(GsOldAreas) + 3 * kPageBytes));  // copied over
  EXPECT_GT(vxmmalloc_frees, 0u);                                     // the old one freed
}

bool failNativeCommits(platform::MemoryOperation operation, uintptr_t address, size_t) {
  return operation == platform::MemoryOperation::Commit && address >= vxmmalloc_heap.base &&
         address < vxmmalloc_heap.reserved_end;
}

TEST_F(LispHeap, GrowthThatTheBitmapCannotFollowIsGivenBack) {
  // Use up the native heap's committed memory so that a new bitmap needs a commit.
  vxm_sbrk(static_cast<int32_t>(vxmmalloc_heap.committed_end - vxmmalloc_heap.brk));
  platform::setMemoryFaultHook(failNativeCommits);
  maxheapsize = 0x200000;
  const uint32_t before = lisp_heap.brk;
  const uint32_t* bitmap = setf_protect_bmap;
  uint32_t newBreak = 0;
  EXPECT_EQ(limited_setbrk(0x200000, &newBreak), -1);
  platform::setMemoryFaultHook(nullptr);
  EXPECT_EQ(lisp_heap.brk, before);
  EXPECT_EQ(GsFailedHlimit, 0x200000u);
  EXPECT_EQ(setf_protect_bmap, bitmap);
  EXPECT_EQ(maxheapsize, 0x200000u);
}

TEST_F(LispHeap, GrowthBeyondTheReservationFails) {
  const uint32_t before = lisp_heap.brk;
  uint32_t newBreak = 0;
  for (uint32_t bytes : {0x7ff00000u, 0xfff00000u}) {
    EXPECT_EQ(limited_setbrk(bytes, &newBreak), -1) << bytes;
    EXPECT_EQ(lisp_heap.brk, before) << bytes;
  }
}

// ---- the collector record ----

TEST_F(LispHeap, CollectorRecordRoundTrips) {
  ASSERT_NE(cons_from_old(), 0u);
  GsCtlFlags = 0x404;
  Gslispstatic_count = 3;
  uint32_t record[kGcDataWords];
  capture_gc_data(record);
  EXPECT_EQ(record[0], addressOf(setf_protect_bmap));
  EXPECT_EQ(record[2], areaAddress(GsOldAreas));
  EXPECT_EQ(record[12], GsNewAllocationArea.end);
  EXPECT_EQ(record[17], GsNewTop);
  EXPECT_EQ(record[20], GsNewAllocationArea.pageLowMark);
  EXPECT_EQ(record[21], 0u);
  EXPECT_EQ(record[37], 0x404u);
  EXPECT_EQ(record[60 + kSpread - 1], GsGenConsPage[kSpread - 1]);
  EXPECT_EQ(record[88], areaAddress(GsOpenOldAreaFence));
  EXPECT_EQ(record[97], 3u);
  EXPECT_EQ(record[103], 2048u);

  const uint32_t newTopLV = GsNewTopLV;
  const uint32_t bitmapWords = setf_protect_bmap_size;
  const uint32_t zeros[kGcDataWords] = {};
  restore_gc_data(zeros);
  GsNewTopLV = 0;
  restore_gc_data(record);
  uint32_t again[kGcDataWords];
  capture_gc_data(again);
  EXPECT_TRUE(std::equal(record, record + kGcDataWords, again));
  EXPECT_EQ(maxheapsize, bitmapWords * (1u << 18) - 0x80000);
  EXPECT_EQ(GsNewTopLV, newTopLV);
  Gslispstatic_count = 0;
}

// The saving process had the library elsewhere: an empty chain's tail must
// name this process's head word, or the next collection writes through it.
TEST_F(LispHeap, CollectorRecordPointsEmptyChainTailsAtTheirHeads) {
  uint32_t record[kGcDataWords];
  capture_gc_data(record);
  constexpr uint32_t kElsewhere = 0x7ff000;  // a head word where the saver had it
  for (size_t i = 0; i < kGcDataWords; ++i) {
    const std::string name = kGcDataWordsTable[i].name;
    if (name == "GsSVC_head" || name == "GsCVC_head") record[i] = 0;
    if (name == "GsSVC_tail" || name == "GsCVC_tail") record[i] = kElsewhere;
  }
  restore_gc_data(record);
  EXPECT_EQ(GsSVC_tail, addressOf(&GsSVC_head));
  EXPECT_EQ(GsCVC_tail, addressOf(&GsCVC_head));
}

TEST(CollectorRecord, NamesEveryWordOnce) {
  std::set<void*> seen;
  uint32_t unused = 0;
  for (const GcDataWord& word : kGcDataWordsTable) {
    if (!word.variable) {
      ++unused;
      continue;
    }
    EXPECT_TRUE(seen.insert(word.variable).second) << word.name;
  }
  EXPECT_EQ(unused, 2u);  // words 21 and 40
  EXPECT_EQ(kGcDataWordsTable[21].variable, nullptr);
  EXPECT_EQ(kGcDataWordsTable[40].variable, nullptr);
  EXPECT_STREQ(kGcDataWordsTable[85].name, "GsGenConsPage[25]");
  EXPECT_STREQ(kGcDataWordsTable[103].name, "lispstatic_block_blocks");
}

}  // namespace
