// What the passes of a global collection share: the mark bitmap, the open
// old areas, the filler that makes holes, and the figures the progress
// texts print.
//
// The bitmap has one bit per 8-byte unit from the first open old area to
// GsNewTop; an object's bit is the one of its first byte (a cons: its cell;
// another object: its header, after any new-space prefix).
#pragma once

#include <array>
#include <cstdint>

#include "platform/memory.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_layout.h"
#include "runtime/gc/object_extent.h"
#include "runtime/rs/lisp_value.h"

namespace gc::ggc {

// Non-zero for the type codes whose objects hold no Lisp values (an
// unknown code is not simple: scanning it reports it).
inline constexpr std::array<uint8_t, 256> LispTypeIsSimple = [] {
  std::array<uint8_t, 256> table{};
  for (uint32_t code = 0; code < 256; ++code) {
    const uint8_t index = kExtentRowByTypeCode[code];
    if (index == kNoRow) continue;
    const ObjectExtentRow& row = kObjectExtents[index];
    table[code] =
        row.values[0].first == 0 && row.values[1].first == 0 && !row.codeSlot && !row.sysvector;
  }
  return table;
}();

// ---- the mark bitmap ----

struct MarkBitmap {
  uint32_t base = 0;  // first address covered
  uint32_t top = 0;   // first address not covered
  uint32_t* words = nullptr;
};
extern MarkBitmap bitmap;

inline bool covered(uint32_t address) {
  return address >= bitmap.base && address < bitmap.top;
}
inline uint32_t bitOf(uint32_t address) {
  return (address - bitmap.base) >> 3;
}
inline bool isMarked(uint32_t address) {
  const uint32_t bit = bitOf(address);
  return (bitmap.words[bit >> 5] >> (bit & 31)) & 1;
}
inline void setMark(uint32_t address) {
  const uint32_t bit = bitOf(address);
  bitmap.words[bit >> 5] |= 1u << (bit & 31);
}
inline void clearMark(uint32_t address) {
  const uint32_t bit = bitOf(address);
  bitmap.words[bit >> 5] &= ~(1u << (bit & 31));
}

inline bool isPointer(lisp::lispval value) {
  const lisp::Tag tag = lisp::tagOf(value);
  return tag == lisp::Tag::Cons || tag == lisp::Tag::Other || tag == lisp::Tag::Symbol;
}

// Whether the value points at an object the mark pass left unmarked.
// Objects below the fence, outside the heap or lisp-static count as live.
inline bool isDeadValue(lisp::lispval value) {
  if (!isPointer(value)) return false;
  const uint32_t object = lisp::objectAddress(value);
  return covered(object) && !isMarked(object);
}

// ---- open old areas ----

inline uint32_t openSpaceStart() {
  return areaAddress(GsOpenOldAreaFence);
}
inline uint32_t openSpaceEnd() {
  return GsLastOldArea->end;
}
inline bool inOpenSpace(uint32_t address) {
  return GsOpenOldAreaFence && address >= openSpaceStart() && address < openSpaceEnd();
}
inline bool isOpenArea(const GsOldArea* area) {
  return GsOpenOldAreaFence && areaAddress(area) >= openSpaceStart();
}
inline GsOldArea* areaHolding(uint32_t address) {
  for (GsOldArea* area = GsOpenOldAreaFence; area; area = area->next)
    if (address >= areaAddress(area) && address < area->end) return area;
  return nullptr;
}

// ---- holes ----

// A filler of type 0x6B covering `bytes` (a multiple of 8, at most
// kLargestFiller); its second word is the hole chain's link.
inline constexpr uint8_t kFillerType = 0x6B;
inline constexpr uint32_t kLargestFiller = 0x4000000;
inline constexpr uint32_t kHoleLinkWord = 1;
inline uint32_t fillerHeader(uint32_t bytes) {
  return ((bytes / 4 - 1) << 8) | kFillerType;
}
inline uint32_t& holeLink(uint32_t hole) {
  return wordAt(hole + 4 * kHoleLinkWord);
}
inline uint32_t holeSize(uint32_t hole) {
  return ((wordAt(hole) >> 8) + 1) * 4;
}

// A cons page's cells lie from its first cell up to its fill pointer.
inline bool pageInUse(uint32_t page) {
  return consPage(page)->fill > page + kConsPageFirstCell;
}

// ---- committed regions (the bitmap, a large break vector) ----

inline uint32_t regionBytes(uint32_t bytes) {
  return roundUp(bytes, kPageBytes);
}
// regionBytes(bytes) committed anywhere through the platform layer; 0 when
// they cannot be had.
inline uint32_t commitRegion(uint32_t bytes) {
  const uint32_t size = regionBytes(bytes);
  const uintptr_t address = platform::reserveAddressSpace(0, size);
  if (address == 0) return 0;
  if (!platform::commitMemory(address, size)) {
    platform::releaseAddressSpace(address, size);
    return 0;
  }
  return static_cast<uint32_t>(address);
}
inline void releaseRegion(uint32_t address, uint32_t bytes) {
  platform::releaseAddressSpace(address, regionBytes(bytes));
}

// ---- figures for the progress texts ----

struct Figures {
  uint32_t consesMoved = 0;
  uint32_t holes = 0;  // dead runs (a run longer than the largest filler is one hole)
  uint32_t holeBytes = 0;
  uint32_t breakEntries = 0;
  uint32_t adjustRounds = 0;
  bool breakVectorOnStack = false;
  uint32_t pagesMoved = 0;
  uint32_t merged = 0;
};
extern Figures figures;

// Points the old-space allocation hints and the tenure catch-up position at
// the compacted areas.
void resetOldAllocation();

}  // namespace gc::ggc
