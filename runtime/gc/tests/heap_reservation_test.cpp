#include "runtime/gc/heap_reservation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/memory.h"
#include "runtime/gc/heap_messages.h"
#include "testing/console_recorder.h"

namespace {

using testing_support::ConsoleRecorder;

using namespace heap_reservation;
constexpr uint32_t k64K = 0x10000;
constexpr uint32_t k1M = 0x100000;

std::string format(const char* text, auto... arguments) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, text, arguments...);
  return buffer;
}

uint32_t freeRange(uint32_t lowest, uint32_t bytes) {
  return static_cast<uint32_t>(platform::findFreeRange(lowest, bytes, k64K));
}

class HeapReservation : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::setMemoryFaultHook(nullptr);
    free_heaps(0);
    for (const auto& [address, bytes] : occupied_) platform::releaseAddressSpace(address, bytes);
    GsSbrkFailCode = 0;
  }
  // Takes address space so that the heap code finds it in use.
  void occupy(uint32_t address, uint32_t bytes) {
    ASSERT_EQ(platform::reserveAddressSpace(address, bytes), address);
    occupied_.push_back({address, bytes});
  }
  std::vector<std::pair<uint32_t, uint32_t>> occupied_;
};

TEST_F(HeapReservation, BothHeapsAtTheirDefaultAddresses) {
  const ConsoleRecorder console;
  ASSERT_EQ(setup_heaps(0, 0, 0, 0, 0, 0), 1);
  EXPECT_EQ(ConsoleRecorder::console(), "");
  const struct {
    const heap_descriptor& heap;
    uint32_t base, size;
  } cases[] = {{lisp_heap, 0x20000000, 0x0F000000}, {vxmmalloc_heap, 0x54000000, 0x01000000}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.heap.base, c.base);
    EXPECT_EQ(c.heap.brk, c.base);
    EXPECT_EQ(c.heap.committed_end, c.base);
    EXPECT_EQ(c.heap.desired_end, c.base + c.size);
    EXPECT_EQ(c.heap.reserved_end, c.base + c.size);
    EXPECT_EQ(platform::freeBytesAt(c.base), 0u);
    EXPECT_EQ(platform::freeBytesAt(c.base + c.size - 1), 0u);
  }
  free_heaps(0);
  EXPECT_GE(platform::freeBytesAt(0x20000000), 0x0F000000u);
  EXPECT_EQ(free_heaps(0), 0) << "a second free must do nothing";
}

TEST_F(HeapReservation, AddressRoundsDownAndSizeRoundsUp) {
  const uint32_t free = freeRange(0x30000000, 4 * k64K);
  ASSERT_EQ(try_setup_heap("lisp", &lisp_heap, free + 0x1234, 1, 0), 1);
  EXPECT_EQ(lisp_heap.base, free);
  EXPECT_EQ(lisp_heap.reserved_end, free + k64K);
}

TEST_F(HeapReservation, FallsBackToAnyAddressWithAMessage) {
  const uint32_t wanted = freeRange(0x30000000, k1M);
  occupy(wanted, k64K);
  const ConsoleRecorder console;
  ASSERT_EQ(try_setup_heap("lisp", &lisp_heap, wanted, k1M, 0), 1);
  const std::string message = ConsoleRecorder::console();
  EXPECT_NE(lisp_heap.base, wanted);
  EXPECT_EQ(lisp_heap.base % k64K, 0u);
  const uint32_t size = lisp_heap.reserved_end - lisp_heap.base;
  EXPECT_TRUE(size == k1M || size == k1M + k64K) << size;
  EXPECT_EQ(message, format(heap_messages::kUsingOtherAddress, (unsigned long)wanted, "lisp",
                            (unsigned long)lisp_heap.base));
  EXPECT_EQ(platform::freeBytesAt(lisp_heap.base), 0u);
}

TEST_F(HeapReservation, ReportsWhenNothingCanBeReserved) {
  platform::setMemoryFaultHook([](platform::MemoryOperation operation, uintptr_t, size_t) {
    return operation == platform::MemoryOperation::Reserve;
  });
  const ConsoleRecorder console;
  EXPECT_EQ(try_setup_heap("vxmmalloc", &vxmmalloc_heap, 0x54000000, k1M, 0), 0);
  EXPECT_EQ(
      ConsoleRecorder::console(),
      "Unable to reserve at least 1048576 (0x100000) bytes of memory for the vxmmalloc heap\n");
  EXPECT_EQ(vxmmalloc_heap.base, 0u);
}

TEST_F(HeapReservation, ScalesBackToWhatIsFreeBehindTheMinimum) {
  const uint32_t base = freeRange(0x30000000, 16 * k1M);
  occupy(base + 5 * k1M, k64K);  // only 3 MB free behind a 2 MB minimum
  const uint32_t native = base + 8 * k1M;
  const ConsoleRecorder console;
  ASSERT_EQ(setup_heaps(base, 8 * k1M, native, k1M, 2 * k1M, 0), 1);
  const std::string message = ConsoleRecorder::console();
  EXPECT_EQ(lisp_heap.base, base);
  EXPECT_EQ(lisp_heap.desired_end, base + 8 * k1M);
  EXPECT_EQ(lisp_heap.reserved_end, base + 5 * k1M);  // 2 MB + (6 MB - 3 MB)
  EXPECT_EQ(platform::freeBytesAt(base + 5 * k1M - 1), 0u);
  EXPECT_EQ(message, format(heap_messages::kScalingBack, 8 * k1M, 5 * k1M));
}

TEST_F(HeapReservation, ScaleReserveEndsWhenNothingIsLeftToTry) {
  const uint32_t free = freeRange(0x30000000, 4 * k1M);
  for (uint32_t size : {0u, k64K, k1M, k1M + k64K})
    EXPECT_EQ(scale_reserve(free, size), 0u) << size;
  const uint32_t got = scale_reserve(free, 3 * k1M);
  EXPECT_EQ(got, 2 * k1M);
  platform::releaseAddressSpace(free, got);
}

TEST_F(HeapReservation, NativeHeapBelowTheLispHeapAfterAFallbackIsMovedAbove) {
  // The Lisp heap wanted high up, the native heap's wanted place refused: its
  // fallback lands lower, below the Lisp heap.
  const uint32_t lisp = freeRange(0xf8000000, 4 * k1M);
  if (lisp == 0 || lisp < 0xf8000000) GTEST_SKIP() << "no free space high in the address space";
  static uint32_t refused;
  refused = lisp + 2 * k1M;
  platform::setMemoryFaultHook([](platform::MemoryOperation operation, uintptr_t address, size_t) {
    return operation == platform::MemoryOperation::Reserve && address == refused;
  });
  const ConsoleRecorder console;
  ASSERT_EQ(setup_heaps(lisp, k1M, refused, k1M, 0, 0), 1);
  EXPECT_EQ(lisp_heap.base, lisp);
  EXPECT_GE(vxmmalloc_heap.base, lisp_heap.reserved_end);
  EXPECT_EQ(platform::freeBytesAt(vxmmalloc_heap.base), 0u);

  // When no place above can be had either, it fails with the message.
  free_heaps(0);
  platform::setMemoryFaultHook([](platform::MemoryOperation operation, uintptr_t address, size_t) {
    return operation == platform::MemoryOperation::Reserve && address > refused - 2 * 0x100000;
  });
  ConsoleRecorder::clear();
  EXPECT_EQ(setup_heaps(lisp, k1M, refused, k1M, 0, 0), 0);
  const std::string message = ConsoleRecorder::console();
  EXPECT_NE(message.find("must be above lisp heap"), std::string::npos) << message;
  EXPECT_EQ(lisp_heap.base, 0u);
  EXPECT_EQ(vxmmalloc_heap.base, 0u);
}

TEST_F(HeapReservation, RefusesANativeAddressBelowTheLispAddress) {
  const ConsoleRecorder console;
  EXPECT_EQ(setup_heaps(0x40000000, k1M, 0x30000000, k1M, 0, 0), 0);
  EXPECT_EQ(ConsoleRecorder::console(),
            "Vxmmalloc heap (0x30000000) must be above lisp heap (0x40000000)\n");
}

class HeapBreak : public HeapReservation {
 protected:
  void SetUp() override {
    base_ = freeRange(0x30000000, 8 * k1M);
    ASSERT_EQ(setup_heap(&vxmmalloc_heap, base_, k64K, k64K), base_);
  }
  uint32_t base_ = 0;
};

TEST_F(HeapBreak, GrowsPastTheReservedEnd) {
  EXPECT_EQ(heap_csbrk(16), base_);
  EXPECT_EQ(vxm_sbrk(0), base_ + 16);
  EXPECT_EQ(vxmmalloc_heap.committed_end, base_ + k64K);
  EXPECT_EQ(heap_csbrk(200 * 1024), base_ + 16);
  const uint32_t end = base_ + 16 + 200 * 1024;
  EXPECT_EQ(vxmmalloc_heap.brk, end);
  EXPECT_EQ(vxmmalloc_heap.committed_end, (end + k64K - 1) & ~(k64K - 1));
  EXPECT_GE(vxmmalloc_heap.reserved_end, vxmmalloc_heap.committed_end);
  EXPECT_EQ(vxmmalloc_heap.desired_end, vxmmalloc_heap.reserved_end);
  *reinterpret_cast<volatile uint8_t*>(end - 1) = 1;  // committed memory is writable
  EXPECT_EQ(heap_csbrk_aligned(8, 0x1000), (end + 0xfff) & ~0xfffu);
}

TEST_F(HeapBreak, NegativeIncrementsAndBrk) {
  ASSERT_EQ(heap_csbrk(0x100), base_);
  EXPECT_EQ(heap_csbrk(-0x200), kSbrkFailed);  // below the base
  EXPECT_EQ(vxmmalloc_heap.brk, base_ + 0x100);
  EXPECT_EQ(heap_csbrk(-0x80), base_ + 0x100);
  EXPECT_EQ(vxmmalloc_heap.brk, base_ + 0x80);
  EXPECT_EQ(vxm_brk(base_ + 0x80), 0);
  EXPECT_EQ(vxm_brk(base_ + 0x40), 0);
  EXPECT_EQ(vxmmalloc_heap.brk, base_ + 0x40);
  EXPECT_EQ(vxm_brk(base_ - k64K), -1);
  EXPECT_EQ(heap_csbrk(INT32_MIN), kSbrkFailed);
}

TEST_F(HeapBreak, FailedGrowthLeavesTheReasonAndTheBreak) {
  ASSERT_EQ(heap_csbrk(16), base_);
  platform::setMemoryFaultHook([](platform::MemoryOperation operation, uintptr_t, size_t) {
    return operation == platform::MemoryOperation::Commit;
  });
  EXPECT_EQ(heap_csbrk(k64K), kSbrkFailed);
  EXPECT_EQ(GsSbrkFailCode, kFailCommit);
  EXPECT_EQ(vxmmalloc_heap.brk, base_ + 16);
  EXPECT_EQ(vxmmalloc_heap.committed_end, base_ + k64K);
  platform::setMemoryFaultHook(nullptr);

  // The reservation made before the failed commit stays recorded.
  occupy(vxmmalloc_heap.reserved_end, k64K);
  EXPECT_EQ(heap_csbrk(vxmmalloc_heap.reserved_end - base_), kSbrkFailed);
  EXPECT_EQ(GsSbrkFailCode, kFailAddressSpace);
  EXPECT_EQ(vxmmalloc_heap.brk, base_ + 16);
}

// A heap that was never set up has no reservation to extend: growing it
// fails and takes no address space anywhere.
TEST(HeapBreakWithoutRegion, FailsWithoutReservingAnything) {
  static int reservations = 0;
  platform::setMemoryFaultHook([](platform::MemoryOperation operation, uintptr_t, size_t) {
    if (operation == platform::MemoryOperation::Reserve) ++reservations;
    return false;
  });
  heap_descriptor none = {};
  GsSbrkFailCode = 0;
  EXPECT_EQ(heap_sbrk_aligned(&none, 0x1000, 0), kSbrkFailed);
  EXPECT_EQ(heap_sbrk_adjust_commit(&none, 0x1000), -1);
  platform::setMemoryFaultHook(nullptr);
  EXPECT_EQ(reservations, 0);
  EXPECT_EQ(GsSbrkFailCode, kFailAddressSpace);
  EXPECT_EQ(none.brk, 0u);
  EXPECT_EQ(none.reserved_end, 0u);
}

TEST_F(HeapBreak, TwoThreadsMovingTheBreakNeverShareBytes) {
  constexpr int kSteps = 3000;
  std::vector<uint32_t> got[2];
  auto run = [](std::vector<uint32_t>& out) {
    for (int i = 0; i < kSteps; ++i) out.push_back(heap_csbrk(48));
  };
  std::thread first(run, std::ref(got[0])), second(run, std::ref(got[1]));
  first.join();
  second.join();
  std::vector<uint32_t> all(got[0]);
  all.insert(all.end(), got[1].begin(), got[1].end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.front(), base_);
  for (size_t i = 1; i < all.size(); ++i) ASSERT_EQ(all[i] - all[i - 1], 48u) << i;
  EXPECT_EQ(vxmmalloc_heap.brk, base_ + 2 * kSteps * 48);
  EXPECT_GE(vxmmalloc_heap.committed_end, vxmmalloc_heap.brk);
}

TEST_F(HeapReservation, VirtualAllocModes) {
  const uint32_t both = virtual_alloc(0, k64K, 3);
  ASSERT_NE(both, kSbrkFailed);
  *reinterpret_cast<volatile uint8_t*>(both) = 7;
  platform::releaseAddressSpace(both, k64K);
  EXPECT_EQ(virtual_alloc(0, k64K, 2), kSbrkFailed);
  EXPECT_EQ(virtual_alloc(0, k64K, 5), kSbrkFailed);
  EXPECT_EQ(vxmgetpagesize(), k64K);
}

}  // namespace
