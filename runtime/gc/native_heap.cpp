// The native heap: size-classed blocks carved from the native heap region,
// never coalesced and never given back to the region.
//
// Invariant: a block is either on exactly one free list (its first word the
// link, 16-byte aligned, so never the magic) or allocated (magic and class in
// its header); free lists are changed only under g_listLock, which also
// closes the reuse race of a lock-free pop. Counters and water marks move by
// compare-and-swap.

#include "runtime/gc/native_heap.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "runtime/gc/collector_errors.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/rs/exports.h"

using namespace native_heap;

extern "C" {
uint32_t nextf[kClassCount] = {};
uint32_t malloc_low_water = 0;
uint32_t malloc_high_water = 0;
uint32_t nmalloc[kClassCount] = {};
uint32_t malloc_no_reloc = 0;
uint32_t malloc_reloc = 0;

uint32_t malloccount = 0;
uint32_t malloccountmatch = 0;
malloc_breakpoint_hook malloc_bpt_hook = nullptr;
void (*malloc_sbrk_hook)(int) = nullptr;
uint32_t malloctracing = 0;
uint32_t malloclink = 0;
uint32_t realloc_srchlen = 10;
uint32_t total_malloc_bytes = 0;
uint32_t notify_malloc_bytes = 0;
uint32_t delta_malloc_bytes = 0;
}

namespace native_heap {

const SavedVariable kSavedVariables[6] = {
    {"nextf", nextf, sizeof nextf},
    {"malloc_low_water", &malloc_low_water, 4},
    {"malloc_high_water", &malloc_high_water, 4},
    {"nmalloc", nmalloc, sizeof nmalloc},
    {"malloc_no_reloc", &malloc_no_reloc, 4},
    {"malloc_reloc", &malloc_reloc, 4},
};

namespace {

std::mutex g_listLock;
const ScavengerLink* g_scavenger = nullptr;

// The largest request whose header and rounding still fit 32 bits.
constexpr uint32_t kLargestRequest = UINT32_MAX - kHeaderBytes - 3;

BlockHeader* headerAt(uint32_t address) {
  return reinterpret_cast<BlockHeader*>(static_cast<uintptr_t>(address));
}
uint32_t addressOf(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

void atomicAdd(uint32_t& word, int32_t delta) {
  __atomic_fetch_add(&word, static_cast<uint32_t>(delta), __ATOMIC_ACQ_REL);
}
// Moves a water mark down (or up) by compare-and-swap; 0 means not yet set.
void lowerTo(uint32_t& mark, uint32_t value) {
  uint32_t current = __atomic_load_n(&mark, __ATOMIC_ACQUIRE);
  while ((current == 0 || value < current) &&
         !__atomic_compare_exchange_n(&mark, &current, value, false, __ATOMIC_ACQ_REL,
                                      __ATOMIC_ACQUIRE)) {
  }
}
void raiseTo(uint32_t& mark, uint32_t value) {
  uint32_t current = __atomic_load_n(&mark, __ATOMIC_ACQUIRE);
  while (value > current && !__atomic_compare_exchange_n(&mark, &current, value, false,
                                                         __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
  }
}

// A header that may be an allocated block's: 16-byte aligned, inside the
// water marks with its whole block, magic present, class below 30.
bool plausibleAllocatedHeader(uint32_t header) {
  const uint32_t low = __atomic_load_n(&malloc_low_water, __ATOMIC_ACQUIRE);
  const uint32_t high = __atomic_load_n(&malloc_high_water, __ATOMIC_ACQUIRE);
  if (low == 0 || header % kHeaderBytes != 0 || header < low || header >= high) return false;
  const BlockHeader* block = headerAt(header);
  if (block->magic != kMagic) return false;
  const int sizeClass = block->sizeClass & ~kRedirected;
  return sizeClass < kClassCount && uint64_t{header} + bucketSize(sizeClass) <= high;
}

// The real header of the block behind `pointer`, or 0 when the pointer is not
// an allocated block of this heap. Reads nothing outside the water marks.
uint32_t realHeaderOf(const void* pointer) {
  const uint32_t header = addressOf(pointer) - kHeaderBytes;
  if (addressOf(pointer) < kHeaderBytes || !plausibleAllocatedHeader(header)) return 0;
  const BlockHeader* block = headerAt(header);
  if (!(block->sizeClass & kRedirected)) return header;
  const uint32_t real = block->realHeader;
  if (!plausibleAllocatedHeader(real) || (headerAt(real)->sizeClass & kRedirected)) return 0;
  return real;
}

struct RefillPlan {
  uint32_t pieceBytes;
  uint32_t blocks;
};
constexpr RefillPlan refillPlan(int sizeClass) {
  if (sizeClass <= 8) return {4096, 1u << (8 - sizeClass)};
  if (sizeClass == 9) return {20480, 4};
  if (sizeClass == 10) return {36864, 4};
  return {static_cast<uint32_t>(bucketSize(sizeClass)), 1};
}

void pushFree(int sizeClass, uint32_t header) {
  headerAt(header)->link = nextf[sizeClass];
  nextf[sizeClass] = header;
}

uint32_t listLength(int sizeClass) {
  uint32_t count = 0;
  for (uint32_t block = nextf[sizeClass]; block != 0; block = headerAt(block)->link) ++count;
  return count;
}

// The class whose free list holds `header`, searching `depth` entries deep
// (0: heads only); -1 when not found. Called with g_listLock held.
int classOfFreeBlock(uint32_t header, uint32_t depth) {
  for (int sizeClass = 0; sizeClass < kClassCount; ++sizeClass) {
    uint32_t block = nextf[sizeClass];
    for (uint32_t seen = 0; block != 0 && seen <= depth; ++seen, block = headerAt(block)->link)
      if (block == header) return sizeClass;
  }
  return -1;
}

}  // namespace

void setScavengerLink(const ScavengerLink* link) {
  g_scavenger = link;
}

}  // namespace native_heap

extern "C" {

int pdm_morecore(int sizeClass) {
  {
    std::lock_guard guard(g_listLock);
    if (nextf[sizeClass] != 0) return 1;
  }
  const RefillPlan plan = refillPlan(sizeClass);
  const uint32_t piece = heap_csbrk_aligned(static_cast<int32_t>(plan.pieceBytes), 0x1000);
  if (piece == heap_reservation::kSbrkFailed) return 0;
  lowerTo(malloc_low_water, piece);
  raiseTo(malloc_high_water, piece + plan.pieceBytes);
  const uint32_t blockBytes = plan.pieceBytes / plan.blocks;
  std::lock_guard guard(g_listLock);
  for (uint32_t i = plan.blocks; i-- > 0;) pushFree(sizeClass, piece + i * blockBytes);
  return 1;
}

int pdm_morecore_scavenge(int sizeClass) {
  if (pdm_morecore(sizeClass)) {
    if (malloc_sbrk_hook) malloc_sbrk_hook(sizeClass);
    return 1;
  }
  // A scavenge may free native blocks through finalizations, but only the
  // thread that holds the Lisp heap, outside a collection, may run one.
  if (!g_scavenger || !g_scavenger->mayScavenge()) return 0;
  g_scavenger->scavenge(0);
  std::lock_guard guard(g_listLock);
  return nextf[sizeClass] != 0;
}

void* vxmmalloc(uint32_t size, uint32_t, int useCrt) {
  if (useCrt) return std::malloc(size);
  if (size == 0) gsbp();
  if (size > kLargestRequest) return nullptr;  // a negative fixnum, or a size that wraps
  const uint32_t rounded = (size + kHeaderBytes + 3) & ~3u;
  const int sizeClass = classForBlockBytes(rounded);
  if (sizeClass >= kClassCount || bucketSize(sizeClass) > INT32_MAX) return nullptr;

  uint32_t header = 0;
  for (;;) {
    {
      std::lock_guard guard(g_listLock);
      header = nextf[sizeClass];
      if (header != 0) {
        nextf[sizeClass] = headerAt(header)->link;
        break;
      }
    }
    if (!pdm_morecore_scavenge(sizeClass)) return nullptr;
  }

  BlockHeader* block = headerAt(header);
  block->magic = kMagic;
  block->sizeClass = static_cast<uint8_t>(sizeClass);
  block->unused = 0;
  block->realHeader = 0;
  block->requestedSize = size;
  atomicAdd(nmalloc[sizeClass], 1);
  const uint32_t count = __atomic_add_fetch(&malloccount, 1, __ATOMIC_ACQ_REL);
  void* pointer = block + 1;
  if (malloc_bpt_hook && count == malloccountmatch) malloc_bpt_hook(pointer, rounded);
  return pointer;
}

uint32_t vxmfree(void* pointer, int useCrt) {
  if (useCrt) {
    std::free(pointer);
    return 0;
  }
  if (!pointer) return 0;
  const uint32_t real = realHeaderOf(pointer);
  if (real == 0) return 0;
  std::lock_guard guard(g_listLock);
  BlockHeader* block = headerAt(real);
  if (block->magic != kMagic) return 0;  // freed meanwhile by another thread
  const int sizeClass = block->sizeClass;
  const uint32_t requested = block->requestedSize;
  pushFree(sizeClass, real);
  atomicAdd(nmalloc[sizeClass], -1);
  return requested;
}

int malloc_verify_object(void* pointer) {
  return realHeaderOf(pointer) != 0 ? 1 : 0;
}

void* vxmrealloc(void* pointer, uint32_t size, uint32_t) {
  if (!pointer) return vxmmalloc(size, 0, 0);
  const uint32_t header = addressOf(pointer) - kHeaderBytes;
  const uint32_t low = malloc_low_water, high = malloc_high_water;
  if (addressOf(pointer) < kHeaderBytes || low == 0 || header % kHeaderBytes != 0 || header < low ||
      header >= high)
    return nullptr;  // not a block of this heap: refused, the caller keeps its pointer

  uint32_t real = realHeaderOf(pointer);
  const bool allocated = real != 0;
  if (!allocated && headerAt(header)->magic == kMagic) return nullptr;  // a damaged header
  int sizeClass;
  if (allocated) {
    sizeClass = headerAt(real)->sizeClass;
  } else {
    real = header;  // a freed block: find its class on the free lists
    std::lock_guard guard(g_listLock);
    sizeClass = classOfFreeBlock(real, 0);
    if (sizeClass < 0) sizeClass = classOfFreeBlock(real, realloc_srchlen);
    if (sizeClass < 0) sizeClass = 0;
  }
  // Bytes from the pointer to the end of the real block.
  const uint32_t available =
      static_cast<uint32_t>(real + bucketSize(sizeClass) - addressOf(pointer));
  const bool ownHeader = real == header;
  // Signed: for classes 0 and 1 the quarter less 16 is negative.
  const int64_t quarter = (int64_t{1} << (sizeClass + 2)) - kHeaderBytes;
  if (allocated && ownHeader && size <= available && int64_t{size} > quarter) {
    headerAt(real)->requestedSize = size;
    return pointer;
  }
  void* moved = vxmmalloc(size, 0, 0);
  if (!moved) return nullptr;
  // A freed block may come straight back as the new one: the ranges can meet.
  std::memmove(moved, pointer, std::min(size, available));
  if (allocated) vxmfree(pointer, 0);
  return moved;
}

int vxmmalloc_heap_relocatable() {
  return 1;
}

void get_nextf(uint32_t* freeBytes, uint32_t* usedBytes) {
  freeBytes[0] = 4;
  usedBytes[0] = 16;
  uint64_t freeSum = 0, usedSum = 0;
  {
    std::lock_guard guard(g_listLock);
    for (int sizeClass = 0; sizeClass < kClassCount; ++sizeClass) {
      const uint64_t payload = bucketSize(sizeClass) - kHeaderBytes;
      const uint64_t inFree = listLength(sizeClass) * payload;
      const uint64_t inUse = nmalloc[sizeClass] * payload;
      freeBytes[sizeClass + 1] = static_cast<uint32_t>(inFree);
      usedBytes[sizeClass + 1] = static_cast<uint32_t>(inUse);
      freeSum += inFree;
      usedSum += inUse;
    }
  }
  freeBytes[kClassCount + 1] = static_cast<uint32_t>(freeSum);
  usedBytes[kClassCount + 1] = static_cast<uint32_t>(usedSum);
  std::fill(usedBytes + kFreeTableWords, usedBytes + kUsedTableWords, 0u);
}

void start_malloc_space_profile(uint32_t delta) {
  delta_malloc_bytes = delta;
  notify_malloc_bytes = total_malloc_bytes;
}

KORVANE_EXPORT uint32_t malloccnt(uint32_t count) {
  return __atomic_exchange_n(&malloccount, count, __ATOMIC_ACQ_REL);
}

KORVANE_EXPORT malloc_breakpoint_hook mallocbrk(malloc_breakpoint_hook hook, uint32_t count) {
  malloc_bpt_hook = hook;
  malloccountmatch = count;
  return hook;
}

KORVANE_EXPORT uint32_t malloctrace(int on) {
  malloctracing = static_cast<uint32_t>(on);
  if (on) malloclink = 0;
  return malloclink;
}

}  // extern "C"
