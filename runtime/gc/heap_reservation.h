// Reserving the Lisp heap and the native heap, and growing their committed
// part like a program break.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// A reserved region. Invariant: base <= brk <= committed_end <= reserved_end;
// every end is a multiple of 64 KB. Saved unchanged in the heap image.
struct heap_descriptor {
  uint32_t base;           // first address of the reservation
  uint32_t brk;            // first free address
  uint32_t committed_end;  // committed (read, write, execute) from base up to here
  uint32_t desired_end;    // base + the size asked for; raised when the region grows beyond it
  uint32_t reserved_end;   // end of the address space actually reserved
  uint32_t spare;          // carried with the image only
};
static_assert(sizeof(heap_descriptor) == 24);
static_assert(offsetof(heap_descriptor, reserved_end) == 16);

extern heap_descriptor lisp_heap;
extern heap_descriptor vxmmalloc_heap;

// Why the last growth failed: 2 address space, 1 commit.
extern uint32_t GsSbrkFailCode;

uint32_t virtual_alloc(uint32_t address, uint32_t size, int mode);
int setup_heaps(uint32_t lispAddress, uint32_t lispSize, uint32_t nativeAddress,
                uint32_t nativeSize, uint32_t lispMinimum, int mapLso);
int try_setup_heap(const char* name, heap_descriptor* descriptor, uint32_t address, uint32_t size,
                   uint32_t minimum);
uint32_t setup_heap(heap_descriptor* descriptor, uint32_t address, uint32_t size, uint32_t minimum);
uint32_t scale_reserve(uint32_t address, uint32_t size);

// Break family: the old (aligned) break, or 0xffffffff (-1) on failure.
uint32_t heap_sbrk_aligned(heap_descriptor* descriptor, int32_t increment, uint32_t alignment);
int heap_sbrk_adjust_commit(heap_descriptor* descriptor, uint32_t newBreak);
uint32_t heap_gssbrk(int32_t increment);
uint32_t heap_csbrk(int32_t increment);
uint32_t heap_csbrk_align(uint32_t alignment);
uint32_t heap_csbrk_aligned(int32_t increment, uint32_t alignment);
int heap_cbrk(uint32_t address);
// The system's sbrk and brk over the native heap, named apart from the C library's.
uint32_t vxm_sbrk(int32_t increment);
int vxm_brk(uint32_t address);
uint32_t vxmgetpagesize();

// The commit mutex needs no set-up here; start-up calls this all the same.
void initialize_vxmcommit_mutex();
void grab_vxmcommit_mutex();
void release_vxmcommit_mutex();

int lisp_free_heap(heap_descriptor* descriptor);
int free_heaps(int unmap);

// Mapping the pure Lisp library at the Lisp heap's address is the start-up
// code's; it registers these so that setup_heaps and free_heaps reach it.
struct pure_library_mapping {
  // Maps the library below `address`; returns how far it moved from where
  // it was known to be, 0 when it stays or is mapped for the first time.
  uint32_t (*map)(uint32_t address);
  int (*unmap)();
  const char* (*fileName)();
};
void set_pure_library_mapping(const pure_library_mapping* mapping);
}

namespace heap_reservation {
inline constexpr uint32_t kGranularity = 0x10000;
inline constexpr uint32_t kScaleStep = 0x100000;
inline constexpr uint32_t kDefaultLispAddress = 0x20000000;
inline constexpr uint32_t kDefaultLispSize = 0x0F000000;
inline constexpr uint32_t kDefaultNativeAddress = 0x54000000;
inline constexpr uint32_t kDefaultNativeSize = 0x01000000;
inline constexpr uint32_t kSbrkFailed = 0xffffffff;
inline constexpr uint32_t kFailAddressSpace = 2;
inline constexpr uint32_t kFailCommit = 1;
}  // namespace heap_reservation
