// The runtime's native heap (module "malloc"): blocks in 30 size classes
// carved from the native heap region, each behind a 16-byte header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace native_heap {

inline constexpr int kClassCount = 30;
inline constexpr uint32_t kHeaderBytes = 16;
inline constexpr uint8_t kMagic = 0x5a;
inline constexpr uint8_t kRedirected = 0x80;  // class byte bit: the real header is elsewhere

// Header of a block; `link` replaces magic and class while the block is free.
struct BlockHeader {
  union {
    struct {
      uint8_t magic;
      uint8_t sizeClass;  // 0 to 29, or'ed with kRedirected
      uint16_t unused;
    };
    uint32_t link;  // next free block of the class
  };
  uint32_t realHeader;  // with kRedirected: address of the real header
  uint32_t reserved;
  uint32_t requestedSize;
};
static_assert(sizeof(BlockHeader) == kHeaderBytes);
static_assert(offsetof(BlockHeader, realHeader) == 4);
static_assert(offsetof(BlockHeader, requestedSize) == 12);

// Bytes of a class's blocks, header included (does not fit 32 bits for class 29).
constexpr uint64_t bucketSize(int sizeClass) {
  const uint64_t power = uint64_t{1} << (sizeClass + 4);
  if (power <= 4096) return power;
  const uint64_t half = power / 2;
  return half <= 8192 ? half + 1024 : half + 4096;
}

// Class of a block of n bytes (header included, a multiple of 4).
constexpr int classForBlockBytes(uint32_t n) {
  const uint32_t b = n <= 4096 ? (n - 1) >> 3 : n <= 12288 ? (n - 1025) >> 2 : (n - 4097) >> 2;
  int highest = 0;
  for (uint32_t rest = b >> 1; rest != 0; rest >>= 1) ++highest;
  return highest;
}

// Words get_nextf writes into its two tables.
inline constexpr int kFreeTableWords = 32;
inline constexpr int kUsedTableWords = 62;

// The variables saved with the heap image, in their saved order.
struct SavedVariable {
  const char* name;
  void* address;
  uint32_t bytes;
};
extern const SavedVariable kSavedVariables[6];

// The collector's part in a refill: a refill that found the region exhausted
// runs a scavenge only when `mayScavenge` says the calling thread holds the
// Lisp heap and no collection is running. Without a link a refill just fails.
struct ScavengerLink {
  int (*mayScavenge)();
  void (*scavenge)(uint32_t bytesNeeded);
};
void setScavengerLink(const ScavengerLink* link);

}  // namespace native_heap

extern "C" {
extern uint32_t nextf[native_heap::kClassCount];
extern uint32_t malloc_low_water;
extern uint32_t malloc_high_water;
extern uint32_t nmalloc[native_heap::kClassCount];
extern uint32_t malloc_no_reloc;
extern uint32_t malloc_reloc;

extern uint32_t malloccount;
extern uint32_t malloccountmatch;
using malloc_breakpoint_hook = void (*)(void* block, uint32_t roundedSize);
extern malloc_breakpoint_hook malloc_bpt_hook;
extern void (*malloc_sbrk_hook)(int sizeClass);
extern uint32_t malloctracing;
extern uint32_t malloclink;
extern uint32_t realloc_srchlen;
extern uint32_t total_malloc_bytes;
extern uint32_t notify_malloc_bytes;
extern uint32_t delta_malloc_bytes;

void* vxmmalloc(uint32_t size, uint32_t ignored, int useCrt);
uint32_t vxmfree(void* pointer, int useCrt);
void* vxmrealloc(void* pointer, uint32_t size, uint32_t ignored);
int malloc_verify_object(void* pointer);
int vxmmalloc_heap_relocatable();
void get_nextf(uint32_t* freeBytes, uint32_t* usedBytes);
int pdm_morecore(int sizeClass);
int pdm_morecore_scavenge(int sizeClass);
void start_malloc_space_profile(uint32_t delta);

uint32_t malloccnt(uint32_t count);
malloc_breakpoint_hook mallocbrk(malloc_breakpoint_hook hook, uint32_t count);
uint32_t malloctrace(int on);
}
