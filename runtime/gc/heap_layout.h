// The records that cut the Lisp heap into old areas and new space: the
// old-area header, the cons page, the new-space allocation semispace and the
// prefix of new-space objects, with the collector's variables that hold them.
//
// Order of the heap, low to high: the global table and start-up objects,
// the old areas in address order (chained oldest to newest), then new space,
// one block split into two equal semispaces, ending at the break.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gc {

// ---- pages ----

inline constexpr uint32_t kPageBytes = 8192;
inline constexpr uint32_t kPageShift = 13;
inline constexpr uint32_t kMinimumSpaceBytes = 0x40000;  // old and new space each
inline constexpr uint32_t kNewSpaceRounding = 0x4000;    // new space is a multiple of 16 KB

constexpr uint32_t pageOf(uint32_t address) {
  return address >> kPageShift;
}
constexpr uint32_t pageStart(uint32_t address) {
  return address & ~(kPageBytes - 1);
}
constexpr uint32_t roundUp(uint32_t value, uint32_t unit) {
  return (value + unit - 1) & ~(unit - 1);
}

// ---- pagemap entries (old areas and semispaces: one word per page, plus one) ----

inline constexpr uint32_t kPageUnused = 0;
inline constexpr uint32_t kPageCons = 1;
inline constexpr uint32_t kPageInsideObject = 0xffffffff;  // -1
// Any other entry: the address of the first other object that starts on the page.

constexpr uint32_t pagemapWords(uint32_t bytes) {
  return bytes / kPageBytes + 1;
}
// Biased base: entry of address a is the word at base + 4 * (a >> 13).
constexpr uint32_t biasedPagemapBase(uint32_t pagemap, uint32_t firstAddress) {
  return pagemap - 4 * pageOf(firstAddress);
}

// ---- cons pages ----

struct ConsPageHeader {
  uint32_t moveDistance;  // old space, during a global collection: where the page moves (0: stays)
  uint32_t fill;          // next free cell
  uint32_t firstCell;     // address of the first cell
  uint32_t end;           // page + 8192, the fill limit
  uint32_t flags;         // kConsPageSkipRootScan
  uint32_t zero;          // 0 when the page is made
  uint32_t savedFill;     // fill pointer when the page's area was closed
  uint32_t stamp;         // generation of the page's conses (new space)
  uint32_t queueLink;     // copy catch-up queue; 0 when not queued
  uint32_t catchupScan;   // where the catch-up scan of the page starts
};
static_assert(sizeof(ConsPageHeader) == 40);
static_assert(offsetof(ConsPageHeader, fill) == 4);
static_assert(offsetof(ConsPageHeader, flags) == 16);
static_assert(offsetof(ConsPageHeader, savedFill) == 24);
static_assert(offsetof(ConsPageHeader, stamp) == 28);
static_assert(offsetof(ConsPageHeader, catchupScan) == 36);

inline constexpr uint32_t kConsCellBytes = 8;
inline constexpr uint32_t kConsPageFirstCell = sizeof(ConsPageHeader);
inline constexpr uint32_t kConsesPerPage = (kPageBytes - kConsPageFirstCell) / kConsCellBytes;
static_assert(kConsesPerPage == 1019);
inline constexpr uint32_t kConsPageSkipRootScan = 1;  // flag bit 0

// The shared cons pointer of Lisp code holds tagged cons words: address + 0x11.
inline constexpr uint32_t kConsWordBias = 0x11;

inline ConsPageHeader* consPage(uint32_t page) {
  return reinterpret_cast<ConsPageHeader*>(static_cast<uintptr_t>(page));
}

// ---- old areas ----

// Header at the start of an area's block; the pagemap follows it, then the
// objects. Other objects grow upward from firstObject, cons pages are taken
// downward from the end; freeBytes is the gap between them.
struct GsOldArea {
  GsOldArea* next;            // newer area; null for the newest
  uint32_t size;              // bytes of the block
  uint32_t end;               // start + size
  GsOldArea* previous;        // older area
  uint32_t closedLowestPage;  // lowest cons page when the area was closed
  uint32_t spare[3];          // 0 at layout
  uint32_t lowestConsPage;    // equal to end while the area has none
  uint32_t firstObject;       // start of the object region
  uint32_t frontier;          // next free byte for other objects
  uint32_t freeBytes;         // between frontier and lowestConsPage
  uint32_t zero12;
  uint32_t rootScanLimit;  // objects below it were scanned by earlier scavenges
  uint32_t tenureCatchup;  // tenure catch-up position
  uint32_t pagemapBase;    // biased (see biasedPagemapBase)
  uint32_t consPageCount;
  uint32_t zero17;
  // Words the global collection keeps while it runs (0 outside it). The
  // holes of the area form a chain in address order through the second word
  // of each filler; holeIndex[i] is the hole at (i + 1) tenths of the
  // chain, holeIndexBytes[i] the hole bytes below it.
  uint32_t firstHole;
  uint32_t holeCount;  // fillers on the chain
  uint32_t holeBytes;
  uint32_t holeIndex[9];
  uint32_t holeIndexBytes[9];
  uint32_t pageSpaceReach;  // lowest address page space may reach after compaction
  uint32_t pageSlotsFrom;   // lowest page slot that holds a cons page once pages have moved
  uint32_t reserved[2];
};
static_assert(sizeof(GsOldArea) == 172);  // 43 words; enters the expansion formula
static_assert(offsetof(GsOldArea, firstHole) == 18 * 4);
static_assert(offsetof(GsOldArea, holeCount) == 19 * 4);
static_assert(offsetof(GsOldArea, holeBytes) == 20 * 4);
static_assert(offsetof(GsOldArea, holeIndex) == 21 * 4);
static_assert(offsetof(GsOldArea, holeIndexBytes) == 30 * 4);
static_assert(offsetof(GsOldArea, pageSpaceReach) == 39 * 4);
static_assert(offsetof(GsOldArea, pageSlotsFrom) == 40 * 4);
static_assert(offsetof(GsOldArea, lowestConsPage) == 8 * 4);
static_assert(offsetof(GsOldArea, firstObject) == 9 * 4);
static_assert(offsetof(GsOldArea, freeBytes) == 11 * 4);
static_assert(offsetof(GsOldArea, rootScanLimit) == 13 * 4);
static_assert(offsetof(GsOldArea, pagemapBase) == 15 * 4);
static_assert(offsetof(GsOldArea, consPageCount) == 16 * 4);

inline uint32_t areaAddress(const GsOldArea* area) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(area));
}

// ---- new space ----

struct GsNewArea {
  uint32_t start;
  uint32_t end;
  uint32_t pageLowMark;  // lowest cons page taken so far; starts at end
};

// Two words before every other object allocated in new space.
struct NewObjectPrefix {
  uint32_t link;   // weak-vector, finalization, sysvector or code-vector chain
  uint32_t stamp;  // generation in the low 16 bits, flags above
};
static_assert(sizeof(NewObjectPrefix) == 8);
inline constexpr uint32_t kPrefixBytes = sizeof(NewObjectPrefix);

namespace stamp {
inline constexpr uint32_t kGenerationMask = 0xffff;
inline constexpr uint32_t kForwarded = 1u << 16;
inline constexpr uint32_t kKeepNew = 1u << 17;
inline constexpr uint32_t kWeakVector = 1u << 18;
inline constexpr uint32_t kFinalizationPending = 1u << 19;
inline constexpr uint32_t kReplacement = 1u << 20;  // weak-key vector: dead slots get a replacement
inline constexpr uint32_t kFinalizationChained = 1u << 22;  // on the global collection's chain
inline constexpr uint32_t kFillerFirst = 0xffff0000;        // at or above: a filler

// Flag halves (stamp bits 16 to 31 shifted down) the constructors give.
inline constexpr uint32_t kFlagHalfShift = 16;
inline constexpr uint16_t kWeakVectorHalf = (kWeakVector | kKeepNew) >> kFlagHalfShift;  // 6
inline constexpr uint16_t kFinalizationHalf =
    (kFinalizationPending | kKeepNew) >> kFlagHalfShift;  // 10
inline constexpr uint16_t kWeakKeyVectorWithArgumentHalf =
    (kWeakVector | kReplacement) >> kFlagHalfShift;  // 20
inline constexpr uint16_t kWeakKeyVectorHalf =
    (kWeakVector | kReplacement | kKeepNew) >> kFlagHalfShift;  // 22
static_assert(kWeakVectorHalf == 6 && kFinalizationHalf == 10);
static_assert(kWeakKeyVectorWithArgumentHalf == 20 && kWeakKeyVectorHalf == 22);
}  // namespace stamp

// Generations 0 to 25 each have a cons page.
inline constexpr uint32_t kGenerationCount = 26;
inline constexpr uint32_t kLastGeneration = kGenerationCount - 1;

// Other objects above this size are searched for from the big-object hint.
inline constexpr uint32_t kSmallOtherLimit = 504;
inline constexpr uint32_t kBigOtherMinimumFree = 512;

inline uint32_t addressOf(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}
inline uint32_t& wordAt(uint32_t address) {
  return *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
}

}  // namespace gc
