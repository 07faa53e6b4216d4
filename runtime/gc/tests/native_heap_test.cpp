#include "runtime/gc/native_heap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "platform/memory.h"
#include "runtime/gc/heap_reservation.h"

namespace {

using namespace native_heap;

void resetNativeHeap() {
  std::memset(nextf, 0, sizeof nextf);
  std::memset(nmalloc, 0, sizeof nmalloc);
  malloc_low_water = malloc_high_water = 0;
  malloccount = malloccountmatch = 0;
  malloc_bpt_hook = nullptr;
  malloc_sbrk_hook = nullptr;
  setScavengerLink(nullptr);
}

uint32_t addressOf(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}
const BlockHeader& headerOf(const void* pointer) {
  return *reinterpret_cast<const BlockHeader*>(static_cast<const uint8_t*>(pointer) - 16);
}
uint32_t freeListLength(int sizeClass) {
  uint32_t count = 0;
  for (uint32_t block = nextf[sizeClass]; block; block = *reinterpret_cast<uint32_t*>(block))
    ++count;
  return count;
}

class NativeHeap : public ::testing::Test {
 protected:
  void SetUp() override {
    resetNativeHeap();
    ASSERT_EQ(try_setup_heap("vxmmalloc", &vxmmalloc_heap, 0x54000000, 0x1000000, 0), 1);
  }
  void TearDown() override {
    platform::setMemoryFaultHook(nullptr);
    lisp_free_heap(&vxmmalloc_heap);
    resetNativeHeap();
  }
  struct Snapshot {
    std::vector<uint32_t> lists, counts;
    bool operator==(const Snapshot&) const = default;
  };
  Snapshot snapshot() const {
    return {{nextf, nextf + kClassCount}, {nmalloc, nmalloc + kClassCount}};
  }
};

TEST(NativeHeapClasses, BucketSizes) {
  const uint64_t expected[] = {16,   32,   64,   128,  256,   512,   1024,
                               2048, 4096, 5120, 9216, 20480, 36864, 69632};
  for (int sizeClass = 0; sizeClass < 14; ++sizeClass)
    EXPECT_EQ(bucketSize(sizeClass), expected[sizeClass]) << sizeClass;
  EXPECT_EQ(bucketSize(20), (uint64_t{1} << 23) + 4096);
  EXPECT_GT(bucketSize(29), uint64_t{UINT32_MAX});
}

TEST_F(NativeHeap, RequestSizeToClassToBlockSize) {
  const struct {
    uint32_t request;
    int sizeClass;
    uint32_t blockBytes;
  } cases[] = {{0, 0, 16},       {1, 1, 32},         {16, 1, 32},
               {17, 2, 64},      {4080, 8, 4096},    {4081, 9, 5120},
               {5108, 10, 9216}, {12288, 11, 20480}, {20468, 12, 36864}};
  for (const auto& c : cases) {
    void* block = vxmmalloc(c.request, 0, 0);
    ASSERT_NE(block, nullptr) << c.request;
    const BlockHeader& header = headerOf(block);
    EXPECT_EQ(header.magic, kMagic);
    EXPECT_EQ(header.sizeClass, c.sizeClass) << c.request;
    EXPECT_EQ(bucketSize(header.sizeClass), c.blockBytes) << c.request;
    EXPECT_EQ(header.requestedSize, c.request);
    EXPECT_EQ(addressOf(block) % 16, 0u);
    std::memset(block, 0xab, c.request);  // the whole request is usable
    EXPECT_EQ(vxmfree(block, 0), c.request);
  }
}

TEST_F(NativeHeap, RefillCarvesPiecesIntoBlocks) {
  const struct {
    uint32_t request;
    int sizeClass;
    uint32_t pieceBytes;
    uint32_t leftOnList;
  } cases[] = {{0, 0, 4096, 255},   {100, 3, 4096, 31},   {4000, 8, 4096, 0},
               {4081, 9, 20480, 3}, {5108, 10, 36864, 3}, {12288, 11, 20480, 0}};
  for (const auto& c : cases) {
    const uint32_t breakBefore = vxmmalloc_heap.brk;
    void* block = vxmmalloc(c.request, 0, 0);
    ASSERT_NE(block, nullptr);
    const uint32_t piece = vxmmalloc_heap.brk - c.pieceBytes;
    EXPECT_EQ(piece % 4096, 0u);
    EXPECT_GE(piece, breakBefore);
    EXPECT_EQ(addressOf(block) - 16, piece) << "the first block of the piece comes first";
    EXPECT_EQ(freeListLength(c.sizeClass), c.leftOnList) << c.request;
    EXPECT_EQ(nmalloc[c.sizeClass], 1u);
    EXPECT_LE(malloc_low_water, piece);
    EXPECT_EQ(malloc_high_water, vxmmalloc_heap.brk);
  }
}

TEST_F(NativeHeap, DoubleFreeAndBadPointersAreRefusedAndChangeNothing) {
  void* block = vxmmalloc(40, 0, 0);
  void* other = vxmmalloc(40, 0, 0);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(vxmfree(block, 0), 40u);
  const Snapshot afterFree = snapshot();
  EXPECT_EQ(vxmfree(block, 0), 0u);
  EXPECT_EQ(snapshot(), afterFree);

  int onStack = 0;
  auto* inside = static_cast<uint8_t*>(other);
  // Forge a header with a bad class inside the region.
  auto* forged = reinterpret_cast<uint8_t*>(inside + 16);
  forged[0] = kMagic;
  forged[1] = 30;
  void* const bad[] = {&onStack,
                       inside + 4,
                       inside + 8,
                       forged + 16,
                       reinterpret_cast<void*>(malloc_high_water + 64),
                       reinterpret_cast<void*>(malloc_low_water),
                       reinterpret_cast<void*>(8)};
  for (void* pointer : bad) {
    EXPECT_EQ(vxmfree(pointer, 0), 0u) << pointer;
    EXPECT_EQ(malloc_verify_object(pointer), 0) << pointer;
    EXPECT_EQ(vxmrealloc(pointer, 10, 0), nullptr) << pointer;
  }
  EXPECT_EQ(snapshot(), afterFree);
  EXPECT_EQ(malloc_verify_object(other), 1);
  EXPECT_EQ(vxmfree(nullptr, 0), 0u);
}

TEST_F(NativeHeap, SizesThatWrapAreRefused) {
  const Snapshot before = snapshot();
  for (uint32_t size : {0xfffffffcu, 0xfffffff0u, 0xffffffffu, 0xffffffe0u, 0x80000000u})
    EXPECT_EQ(vxmmalloc(size, 0, 0), nullptr) << std::hex << size;
  EXPECT_EQ(snapshot(), before);
}

TEST_F(NativeHeap, ReallocKeepsOrMovesTheBlock) {
  auto* block = static_cast<uint8_t*>(vxmmalloc(4000, 0, 0));  // class 8
  for (int i = 0; i < 4000; ++i) block[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(vxmrealloc(block, 3000, 0), block) << "fits and is above a quarter";
  EXPECT_EQ(headerOf(block).requestedSize, 3000u);

  auto* smaller = static_cast<uint8_t*>(vxmrealloc(block, 100, 0));
  ASSERT_NE(smaller, block);
  EXPECT_EQ(headerOf(smaller).sizeClass, 3);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(smaller[i], static_cast<uint8_t>(i));
  EXPECT_EQ(malloc_verify_object(block), 0) << "the old block is freed";

  auto* larger = static_cast<uint8_t*>(vxmrealloc(smaller, 9000, 0));
  ASSERT_NE(larger, nullptr);
  EXPECT_EQ(headerOf(larger).sizeClass, 10);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(larger[i], static_cast<uint8_t>(i));

  void* fresh = vxmrealloc(nullptr, 24, 0);
  EXPECT_EQ(headerOf(fresh).sizeClass, 2);
}

// A quarter of the block less 16 is negative for the two smallest classes, so
// any request that still fits keeps the block in place.
TEST_F(NativeHeap, ReallocKeepsTheSmallestBlocksWhenTheRequestFits) {
  void* tiny = vxmmalloc(0, 0, 0);  // class 0: no bytes available
  ASSERT_EQ(headerOf(tiny).sizeClass, 0);
  EXPECT_EQ(vxmrealloc(tiny, 0, 0), tiny);

  auto* small = static_cast<uint8_t*>(vxmmalloc(10, 0, 0));  // class 1: 16 bytes available
  ASSERT_EQ(headerOf(small).sizeClass, 1);
  for (uint32_t size : {1u, 4u, 12u, 16u}) {
    EXPECT_EQ(vxmrealloc(small, size, 0), small) << size;
    EXPECT_EQ(headerOf(small).requestedSize, size);
  }
  EXPECT_NE(vxmrealloc(small, 17, 0), small) << "17 bytes do not fit";
}

// Reallocating a block that was already freed copies from it; the new block
// is that very block here, so the copy's source and target are the same.
TEST_F(NativeHeap, ReallocOfAFreedBlockCopiesItsBytes) {
  auto* block = static_cast<uint8_t*>(vxmmalloc(40, 0, 0));  // class 2
  for (int i = 0; i < 40; ++i) block[i] = static_cast<uint8_t>(i + 1);
  ASSERT_EQ(vxmfree(block, 0), 40u);
  auto* again = static_cast<uint8_t*>(vxmrealloc(block, 40, 0));
  ASSERT_EQ(again, block) << "the freed block is the head of its list";
  EXPECT_EQ(headerOf(again).magic, kMagic);
  for (int i = 0; i < 40; ++i) ASSERT_EQ(again[i], static_cast<uint8_t>(i + 1)) << i;
  EXPECT_EQ(nmalloc[2], 1u);
}

TEST_F(NativeHeap, GetNextfFillsBothTablesAndClearsTheRest) {
  void* a = vxmmalloc(10, 0, 0);  // class 1: 32-byte blocks, 128 per piece
  vxmmalloc(10, 0, 0);
  vxmfree(a, 0);
  uint32_t freeBytes[kFreeTableWords];
  uint32_t usedBytes[kUsedTableWords];
  std::fill(std::begin(usedBytes), std::end(usedBytes), 0xdeadbeef);
  get_nextf(freeBytes, usedBytes);
  EXPECT_EQ(freeBytes[0], 4u);
  EXPECT_EQ(usedBytes[0], 16u);
  EXPECT_EQ(freeBytes[2], 127u * 16);
  EXPECT_EQ(usedBytes[2], 1u * 16);
  EXPECT_EQ(freeBytes[31], 127u * 16);
  EXPECT_EQ(usedBytes[31], 16u);
  for (int i = 32; i < kUsedTableWords; ++i) EXPECT_EQ(usedBytes[i], 0u) << i;
}

// ---- refills that find the region exhausted ----

int g_scavenges = 0;
int g_mayScavenge = 0;
const ScavengerLink kCountingScavenger = {[] { return g_mayScavenge; },
                                          [](uint32_t) { ++g_scavenges; }};

TEST_F(NativeHeap, ExhaustedRefillScavengesOnlyWhenTheThreadMay) {
  setScavengerLink(&kCountingScavenger);
  platform::setMemoryFaultHook([](platform::MemoryOperation operation, uintptr_t, size_t) {
    return operation == platform::MemoryOperation::Commit;
  });
  g_scavenges = 0;
  g_mayScavenge = 0;
  EXPECT_EQ(vxmmalloc(64, 0, 0), nullptr);
  EXPECT_EQ(g_scavenges, 0) << "scavenged from a thread that may not";
  g_mayScavenge = 1;
  EXPECT_EQ(vxmmalloc(64, 0, 0), nullptr);
  EXPECT_EQ(g_scavenges, 1);
}

TEST_F(NativeHeap, BreakpointHookAndCounters) {
  static void* hit = nullptr;
  static uint32_t hitSize = 0;
  EXPECT_EQ(malloccnt(0), 0u);
  mallocbrk([](void* block, uint32_t rounded) { hit = block, hitSize = rounded; }, 3);
  vxmmalloc(1, 0, 0);
  vxmmalloc(1, 0, 0);
  EXPECT_EQ(hit, nullptr);
  void* third = vxmmalloc(5, 0, 0);
  EXPECT_EQ(hit, third);
  EXPECT_EQ(hitSize, 24u);
  EXPECT_EQ(malloccnt(10), 3u);
  EXPECT_EQ(malloctrace(1), 0u);
}

// ---- a seeded random run against a shadow map ----

TEST_F(NativeHeap, RandomRunMatchesAShadowMap) {
  std::mt19937 random(20261210);
  std::map<uint8_t*, std::pair<uint32_t, uint8_t>> live;  // block -> (size, fill byte)
  auto check = [&](uint8_t* block) {
    const auto& [size, fill] = live.at(block);
    for (uint32_t i = 0; i < size; ++i)
      if (block[i] != fill) return false;
    return true;
  };
  for (int step = 0; step < 6000; ++step) {
    const int action = random() % 10;
    if (action < 5 || live.empty()) {
      const uint32_t size = random() % 3 == 0 ? random() % 12000 : random() % 300;
      auto* block = static_cast<uint8_t*>(vxmmalloc(size, 0, 0));
      ASSERT_NE(block, nullptr);
      const uint8_t fill = static_cast<uint8_t>(random());
      std::memset(block, fill, size);
      ASSERT_TRUE(live.emplace(block, std::make_pair(size, fill)).second) << "handed out twice";
    } else {
      auto it = std::next(live.begin(), random() % live.size());
      uint8_t* block = it->first;
      ASSERT_TRUE(check(block)) << "block overwritten at step " << step;
      if (action < 8) {
        EXPECT_EQ(vxmfree(block, 0), it->second.first);
        live.erase(it);
      } else {
        const uint32_t size = random() % 2000;
        const auto [oldSize, fill] = it->second;
        auto* moved = static_cast<uint8_t*>(vxmrealloc(block, size, 0));
        ASSERT_NE(moved, nullptr);
        for (uint32_t i = 0; i < std::min(size, oldSize); ++i) ASSERT_EQ(moved[i], fill);
        live.erase(it);
        std::memset(moved, fill, size);
        ASSERT_TRUE(live.emplace(moved, std::make_pair(size, fill)).second);
      }
    }
  }
  // No two live blocks overlap, each still verifies, and the counts agree.
  uint32_t counted[kClassCount] = {};
  uint8_t* previousEnd = nullptr;
  for (const auto& [block, entry] : live) {
    ASSERT_GE(block - 16, previousEnd);
    previousEnd = block - 16 + bucketSize(headerOf(block).sizeClass);
    ASSERT_EQ(malloc_verify_object(block), 1);
    ASSERT_TRUE(check(block));
    ++counted[headerOf(block).sizeClass];
  }
  for (int sizeClass = 0; sizeClass < kClassCount; ++sizeClass)
    EXPECT_EQ(nmalloc[sizeClass], counted[sizeClass]) << sizeClass;
}

TEST_F(NativeHeap, ThreadsNeverGetTheSameBlockTwice) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::mutex lock;
  std::set<void*> owned;
  bool duplicate = false, overwritten = false;
  auto work = [&](int id) {
    std::mt19937 random(id);
    std::vector<std::pair<uint32_t*, uint32_t>> mine;
    for (int round = 0; round < kRounds; ++round) {
      if (mine.size() < 32 && (mine.empty() || random() % 2)) {
        const uint32_t words = 1 + random() % 20;
        auto* block = static_cast<uint32_t*>(vxmmalloc(4 * words, 0, 0));
        if (!block) continue;
        {
          std::lock_guard guard(lock);
          duplicate |= !owned.insert(block).second;
        }
        for (uint32_t i = 0; i < words; ++i) block[i] = id * 0x1000000u + round;
        mine.push_back({block, words});
      } else {
        const size_t pick = random() % mine.size();
        auto [block, words] = mine[pick];
        for (uint32_t i = 1; i < words; ++i) overwritten |= block[i] != block[0];
        {
          std::lock_guard guard(lock);
          owned.erase(block);
        }
        vxmfree(block, 0);
        mine.erase(mine.begin() + pick);
      }
    }
    for (auto [block, words] : mine) {
      std::lock_guard guard(lock);
      owned.erase(block);
      vxmfree(block, 0);
    }
  };
  std::vector<std::thread> threads;
  for (int id = 0; id < kThreads; ++id) threads.emplace_back(work, id + 1);
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(duplicate);
  EXPECT_FALSE(overwritten);
  for (int sizeClass = 0; sizeClass < kClassCount; ++sizeClass)
    EXPECT_EQ(nmalloc[sizeClass], 0u) << sizeClass;
}

TEST_F(NativeHeap, SavedVariablesInTheirOrder) {
  const char* names[] = {"nextf",   "malloc_low_water", "malloc_high_water",
                         "nmalloc", "malloc_no_reloc",  "malloc_reloc"};
  const uint32_t sizes[] = {120, 4, 4, 120, 4, 4};
  for (int i = 0; i < 6; ++i) {
    EXPECT_STREQ(kSavedVariables[i].name, names[i]);
    EXPECT_EQ(kSavedVariables[i].bytes, sizes[i]);
  }
  EXPECT_EQ(kSavedVariables[0].address, nextf);
  EXPECT_EQ(vxmmalloc_heap_relocatable(), 1);
}

}  // namespace
