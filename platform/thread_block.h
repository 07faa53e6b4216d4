// Per-thread block and thread-local slots.
//
// Every thread that uses thread-local slots owns one block, reached through
// the %fs segment register (glibc on i386 uses %gs and leaves %fs free). The
// runtime's hand-written code reads a thread's slot straight from the block:
// slot i below kLowSlotCount is the word at %fs:kLowSlotsOffset + 4*i, a higher
// slot the word at (i - kLowSlotCount)*4 inside the expansion array whose
// address is the word at %fs:kExpansionPointerOffset.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

inline constexpr int32_t kLowSlotCount = 64;
inline constexpr int32_t kExpansionSlotCount = 1024;
inline constexpr int32_t kThreadSlotCount = kLowSlotCount + kExpansionSlotCount;
inline constexpr int32_t kNoThreadSlot = -1;

// Byte offsets inside the block that hand-written code relies on.
inline constexpr uint32_t kLowSlotsOffset = 0xe10;
inline constexpr uint32_t kExpansionPointerOffset = 0xf94;

struct ThreadBlock {
  uint8_t reserved0[kLowSlotsOffset];
  uint32_t lowSlots[kLowSlotCount];
  uint8_t reserved1[kExpansionPointerOffset - kLowSlotsOffset - 4 * kLowSlotCount];
  uint32_t* expansionSlots;  // kExpansionSlotCount words, present from the block's creation
};
static_assert(offsetof(ThreadBlock, lowSlots) == kLowSlotsOffset);
static_assert(offsetof(ThreadBlock, expansionSlots) == kExpansionPointerOffset);

// Takes the lowest free slot index; kNoThreadSlot when all are taken.
int32_t allocateThreadSlot();
// Takes the lowest free index at or above kLowSlotCount (one that lives in the
// expansion array), leaving the low slots as they are; kNoThreadSlot when
// none is free.
int32_t allocateHighThreadSlot();
// Gives an index back; false when it was not allocated. Every thread's value
// of a freed slot reads 0 once the index is handed out again.
bool freeThreadSlot(int32_t index);

// Reads or writes the calling thread's value of an allocated slot (0 until
// written). Setting gives the calling thread its block first when it has none.
// Both return false / 0 for an index that is not allocated.
bool setThreadSlot(int32_t index, uint32_t value);
uint32_t threadSlot(int32_t index);
// threadSlot without the slot lock, for a signal handler that may have
// interrupted its own thread while it held that lock. An index that is not
// allocated reads 0 here too: freeing zeroes it in every live block.
uint32_t threadSlotFromSignal(int32_t index);

// Gives the calling thread its own block (once) and points %fs at it. A thread
// started from one that has a block inherits the parent's %fs until it calls
// this, so every thread that runs the runtime's code calls it (setting a slot
// does) before that code reads %fs.
ThreadBlock* ensureThreadBlock();

}  // namespace platform
