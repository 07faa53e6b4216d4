#include "platform/thread_block.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using platform::kLowSlotCount;

// Reads a slot the way the runtime's hand-written code does: through %fs.
uint32_t readSlotThroughSegment(int32_t index) {
  uint32_t value;
  if (index < kLowSlotCount) {
    const uint32_t offset = platform::kLowSlotsOffset + 4 * index;
    asm volatile("movl %%fs:(%1), %0" : "=r"(value) : "r"(offset));
  } else {
    uint32_t expansion;
    asm volatile("movl %%fs:(%1), %0" : "=r"(expansion) : "r"(platform::kExpansionPointerOffset));
    value = reinterpret_cast<const uint32_t*>(expansion)[index - kLowSlotCount];
  }
  return value;
}

// Allocates every low index still free, so that the next one is high.
struct LowSlotsTaken {
  std::vector<int32_t> taken;
  LowSlotsTaken() {
    for (;;) {
      const int32_t index = platform::allocateThreadSlot();
      if (index < 0) break;
      if (index >= kLowSlotCount) {
        firstHigh = index;
        break;
      }
      taken.push_back(index);
    }
  }
  ~LowSlotsTaken() {
    for (int32_t index : taken) platform::freeThreadSlot(index);
    if (firstHigh >= 0) platform::freeThreadSlot(firstHigh);
  }
  int32_t firstHigh = -1;
};

TEST(ThreadBlock, SlotValueIsPerThread) {
  const int32_t index = platform::allocateThreadSlot();
  ASSERT_GE(index, 0);
  ASSERT_TRUE(platform::setThreadSlot(index, 0x1234));

  uint32_t seenByOther = 0xffffffff;
  uint32_t otherThroughSegment = 0xffffffff;
  std::thread other([&] {
    seenByOther = platform::threadSlot(index);
    platform::setThreadSlot(index, 0x5678);
    otherThroughSegment = readSlotThroughSegment(index);
  });
  other.join();

  EXPECT_EQ(seenByOther, 0u);
  EXPECT_EQ(otherThroughSegment, 0x5678u);
  EXPECT_EQ(platform::threadSlot(index), 0x1234u);
  EXPECT_EQ(readSlotThroughSegment(index), 0x1234u);
  platform::freeThreadSlot(index);
}

TEST(ThreadBlock, HighIndicesWorkThroughTheExpansionArray) {
  LowSlotsTaken low;
  ASSERT_GE(low.firstHigh, kLowSlotCount);
  ASSERT_TRUE(platform::setThreadSlot(low.firstHigh, 0xabcdef01));
  EXPECT_EQ(platform::threadSlot(low.firstHigh), 0xabcdef01u);
  EXPECT_EQ(readSlotThroughSegment(low.firstHigh), 0xabcdef01u);

  uint32_t seenByOther = 1;
  std::thread other([&] {
    platform::ensureThreadBlock();
    seenByOther = readSlotThroughSegment(low.firstHigh);
  });
  other.join();
  EXPECT_EQ(seenByOther, 0u);
}

TEST(ThreadBlock, FreedIndexReadsZeroWhenHandedOutAgain) {
  const int32_t index = platform::allocateThreadSlot();
  ASSERT_GE(index, 0);
  ASSERT_TRUE(platform::setThreadSlot(index, 77));
  ASSERT_TRUE(platform::freeThreadSlot(index));
  EXPECT_EQ(platform::allocateThreadSlot(), index);
  EXPECT_EQ(platform::threadSlot(index), 0u);
  EXPECT_EQ(readSlotThroughSegment(index), 0u);
  platform::freeThreadSlot(index);
}

TEST(ThreadBlock, RefusesIndicesThatAreNotAllocated) {
  const int32_t index = platform::allocateThreadSlot();
  ASSERT_GE(index, 0);
  ASSERT_TRUE(platform::freeThreadSlot(index));
  EXPECT_FALSE(platform::freeThreadSlot(index));
  EXPECT_FALSE(platform::setThreadSlot(index, 1));
  for (int32_t bad : {-1, platform::kThreadSlotCount, 1 << 30}) {
    EXPECT_FALSE(platform::setThreadSlot(bad, 1)) << bad;
    EXPECT_FALSE(platform::freeThreadSlot(bad)) << bad;
    EXPECT_EQ(platform::threadSlot(bad), 0u) << bad;
  }
}

TEST(ThreadBlock, ThreadsGetTheirOwnBlockAndAllSlotsCanBeTaken) {
  platform::ThreadBlock* mine = platform::ensureThreadBlock();
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(platform::ensureThreadBlock(), mine);
  platform::ThreadBlock* theirs = nullptr;
  std::thread other([&] { theirs = platform::ensureThreadBlock(); });
  other.join();
  EXPECT_NE(theirs, nullptr);
  EXPECT_NE(theirs, mine);

  std::vector<int32_t> all;
  for (int32_t index; (index = platform::allocateThreadSlot()) >= 0;) all.push_back(index);
  EXPECT_EQ(static_cast<int32_t>(all.size()), platform::kThreadSlotCount);
  EXPECT_EQ(platform::allocateThreadSlot(), platform::kNoThreadSlot);
  for (int32_t index : all) platform::freeThreadSlot(index);
}

}  // namespace
