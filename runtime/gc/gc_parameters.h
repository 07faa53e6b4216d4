// The collector's flag word (GsCtlFlags) with its -fg letters, and the
// 20-word parameter block through which Lisp code and start-up read and set
// the collector's tuning.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gc {

namespace flag {
inline constexpr uint32_t kBreakAtStart = 0x1;        // B
inline constexpr uint32_t kBreakAtEnd = 0x2;          // A
inline constexpr uint32_t kProgress = 0x4;            // p
inline constexpr uint32_t kStatistics = 0x8;          // s
inline constexpr uint32_t kAdvanceGeneration = 0x10;  // a
inline constexpr uint32_t kGlobalRequest = 0x20;      // set by the collector
inline constexpr uint32_t kAfterGcHook = 0x40;        // H
inline constexpr uint32_t kReserved = 0x80;           // r
inline constexpr uint32_t kAutoGlobal = 0x100;        // g
inline constexpr uint32_t kHideNewSpace = 0x200;      // c
inline constexpr uint32_t kVerbose = 0x400;           // v
inline constexpr uint32_t kAbortOnError = 0x800;      // D
inline constexpr uint32_t kGlobalTest = 0x1000;       // word 6 only
}  // namespace flag

struct FlagLetter {
  char letter;
  uint32_t bit;
};
inline constexpr FlagLetter kFlagLetters[] = {
    {'B', flag::kBreakAtStart}, {'A', flag::kBreakAtEnd},        {'p', flag::kProgress},
    {'s', flag::kStatistics},   {'a', flag::kAdvanceGeneration}, {'H', flag::kAfterGcHook},
    {'r', flag::kReserved},     {'g', flag::kAutoGlobal},        {'c', flag::kHideNewSpace},
    {'v', flag::kVerbose},      {'D', flag::kAbortOnError},
};

// Defaults that GsInit sets.
inline constexpr uint32_t kDefaultMinFreeNewPercent = 25;
inline constexpr uint32_t kDefaultExpFreeNewPercent = 35;
inline constexpr uint32_t kDefaultExpFreeOldPercent = 35;
inline constexpr uint32_t kDefaultMinFreeNewOther = 0x20000;
inline constexpr uint32_t kDefaultMinFreeNewPageSpace = 0x20000;
inline constexpr uint32_t kDefaultNewQuantum = 0x40000;  // 32 pages

// Bounds of values written through the block. A quantum is a whole, even
// number of pages between 2 and 0x8000 (256 MB, beyond any heap reservation);
// percentages are 0 to 99.
inline constexpr int32_t kMinQuantumPages = 2;
inline constexpr int32_t kMaxQuantumPages = 0x8000;
inline constexpr int32_t kMaxPercent = 99;

}  // namespace gc

extern "C" {

struct gc_parameter_block {
  int32_t generation;           // GlobGeneration
  int32_t tenureLimit;          // GsTenureLimit
  int32_t quantumPages;         // GsNewQuantum in pages
  int32_t pageSize;             // always 8192; ignored on write
  int32_t minFreeNewOther;      // GsMinFreeNewOther
  int32_t minFreeNewPageSpace;  // GsMinFreeNewPageSpace
  int32_t flags;                // GsCtlFlags
  int32_t generationSpread;     // GsGenSpread
  int32_t minFreeNewPercent;    // 0..99
  int32_t expFreeNewPercent;    // 0..99
  int32_t expFreeOldPercent;    // 0..99
  int32_t zero11;
  int32_t openAreaFence;  // number of closed old areas
  int32_t zero13[7];
};
static_assert(sizeof(gc_parameter_block) == 20 * 4);
static_assert(offsetof(gc_parameter_block, quantumPages) == 2 * 4);
static_assert(offsetof(gc_parameter_block, flags) == 6 * 4);
static_assert(offsetof(gc_parameter_block, expFreeOldPercent) == 10 * 4);
static_assert(offsetof(gc_parameter_block, openAreaFence) == 12 * 4);

void GsReadCtl(gc_parameter_block* block);
void GsWriteCtl(const gc_parameter_block* block);

// Applies the -fg letters to GsCtlFlags: "+" sets, "-" clears the bits of
// the letters that follow.
void gsgc_flag_init(const char* letters);
}
