// Per-thread blocks reached through %fs, and the slot allocator over them.
//
// Invariant: a slot index is either free, and then its word is 0 in every live
// block, or allocated; a thread's %fs points at its own block from its first
// ensureThreadBlock() until it exits. Blocks are never unmapped (a thread that
// exits hands its block to a pool), so a stale %fs never reaches unmapped memory.

#include "platform/thread_block.h"

#include "platform/faults.h"
#include "platform/thread_segments.h"

#include <asm/ldt.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cstring>
#include <mutex>
#include <vector>

namespace platform {
namespace {

constexpr size_t kBlockBytes = 4096;
constexpr size_t kExpansionBytes = 4 * kExpansionSlotCount;
static_assert(sizeof(ThreadBlock) <= kBlockBytes);
static_assert(kExpansionBytes == 4096);

struct SlotState {
  std::mutex lock;
  std::bitset<kThreadSlotCount> allocated;
  std::vector<ThreadBlock*> liveBlocks;
  std::vector<ThreadBlock*> pool;
  int segmentEntry = -1;  // descriptor-table entry shared by every thread's %fs
};

SlotState& state() {
  static SlotState instance;
  return instance;
}

thread_local ThreadBlock* t_block = nullptr;
pthread_key_t g_exitKey;
std::once_flag g_exitKeyOnce;

bool isValidIndex(int32_t index) {
  return index >= 0 && index < kThreadSlotCount;
}

uint32_t& slotWord(ThreadBlock* block, int32_t index) {
  return index < kLowSlotCount ? block->lowSlots[index]
                               : block->expansionSlots[index - kLowSlotCount];
}

ThreadBlock* newBlock() {
  void* memory = mmap(nullptr, kBlockBytes + kExpansionBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  auto* block = static_cast<ThreadBlock*>(memory);
  block->expansionSlots = reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(memory) + kBlockBytes);
  return block;
}

void clearBlock(ThreadBlock* block) {
  uint32_t* expansion = block->expansionSlots;
  std::memset(block, 0, sizeof(ThreadBlock));
  std::memset(expansion, 0, kExpansionBytes);
  block->expansionSlots = expansion;
}

// The descriptor of `block` in `entry` (-1: let the kernel choose one).
user_desc blockDescriptor(int entry, const ThreadBlock* block) {
  user_desc descriptor{};
  descriptor.entry_number = static_cast<unsigned>(entry);
  descriptor.base_addr = static_cast<unsigned>(reinterpret_cast<uintptr_t>(block));
  descriptor.limit = 0xfffff;
  descriptor.seg_32bit = 1;
  descriptor.limit_in_pages = 1;
  descriptor.useable = 1;
  return descriptor;
}

// What %fs holds for `block` once loaded: the entry, and the block's own
// expansion-array address as the word that proves it.
detail::SegmentReload blockSegment(int entry, const ThreadBlock* block) {
  detail::SegmentReload segment{};
  segment.descriptor = blockDescriptor(entry, block);
  segment.selector = static_cast<uint32_t>(entry) * 8 + 3;
  segment.checkOffset = kExpansionPointerOffset;
  segment.checkValue = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block->expansionSlots));
  return segment;
}

// Points the calling thread's %fs at `block`. Called with the state lock held,
// since the first call chooses the descriptor entry that all threads share.
// The load is checked against the block: where the descriptor table is one
// for all threads, another thread may write the entry in between.
bool loadSegment(SlotState& s, ThreadBlock* block) {
  if (s.segmentEntry < 0) {
    user_desc descriptor = blockDescriptor(-1, block);
    if (syscall(SYS_set_thread_area, &descriptor) != 0) return false;
    s.segmentEntry = static_cast<int>(descriptor.entry_number);
  }
  const detail::SegmentReload segment = blockSegment(s.segmentEntry, block);
  platform_reload_fs(&segment);
  uint32_t loaded;
  asm volatile("movl %%fs:(%1), %0" : "=r"(loaded) : "r"(kExpansionPointerOffset) : "memory");
  return loaded == segment.checkValue;
}

void releaseBlockAtExit(void* raw) {
  auto* block = static_cast<ThreadBlock*>(raw);
  SlotState& s = state();
  std::lock_guard guard(s.lock);
  std::erase(s.liveBlocks, block);
  clearBlock(block);
  s.pool.push_back(block);
}

}  // namespace

ThreadBlock* ensureThreadBlock() {
  if (t_block) return t_block;
  std::call_once(g_exitKeyOnce, [] { pthread_key_create(&g_exitKey, releaseBlockAtExit); });
  SlotState& s = state();
  std::lock_guard guard(s.lock);
  ThreadBlock* block = nullptr;
  if (!s.pool.empty()) {
    block = s.pool.back();
    s.pool.pop_back();
  } else {
    block = newBlock();
    if (!block) return nullptr;
  }
  if (!loadSegment(s, block)) {
    s.pool.push_back(block);
    return nullptr;
  }
  s.liveBlocks.push_back(block);
  pthread_setspecific(g_exitKey, block);
  t_block = block;
  if (faultHandlingInstalled()) ensureFaultStack();  // faults run on their own stack
  return block;
}

namespace detail {

void describeThreadBlockSegment(SegmentReload* fs) {
  *fs = SegmentReload{};
  ThreadBlock* const block = t_block;
  const int entry = state().segmentEntry;  // set before any thread had a block
  if (block && entry >= 0) *fs = blockSegment(entry, block);
}

}  // namespace detail

namespace {

// Takes the lowest free index from `first` on.
int32_t allocateSlotFrom(int32_t first) {
  SlotState& s = state();
  std::lock_guard guard(s.lock);
  for (int32_t index = first; index < kThreadSlotCount; ++index) {
    if (!s.allocated.test(index)) {
      s.allocated.set(index);
      return index;
    }
  }
  return kNoThreadSlot;
}

}  // namespace

int32_t allocateThreadSlot() {
  return allocateSlotFrom(0);
}

int32_t allocateHighThreadSlot() {
  return allocateSlotFrom(kLowSlotCount);
}

bool freeThreadSlot(int32_t index) {
  if (!isValidIndex(index)) return false;
  SlotState& s = state();
  std::lock_guard guard(s.lock);
  if (!s.allocated.test(index)) return false;
  s.allocated.reset(index);
  for (ThreadBlock* block : s.liveBlocks) slotWord(block, index) = 0;
  return true;
}

bool setThreadSlot(int32_t index, uint32_t value) {
  if (!isValidIndex(index)) return false;
  {
    SlotState& s = state();
    std::lock_guard guard(s.lock);
    if (!s.allocated.test(index)) return false;
  }
  ThreadBlock* block = ensureThreadBlock();
  if (!block) return false;
  slotWord(block, index) = value;
  return true;
}

uint32_t threadSlot(int32_t index) {
  if (!isValidIndex(index) || !t_block) return 0;
  SlotState& s = state();
  std::lock_guard guard(s.lock);
  return s.allocated.test(index) ? slotWord(t_block, index) : 0;
}

uint32_t threadSlotFromSignal(int32_t index) {
  if (!isValidIndex(index) || !t_block) return 0;
  return slotWord(t_block, index);
}

}  // namespace platform
