// Heap reservation: the Lisp heap and the native heap as reserved regions
// whose committed part grows like a program break.
//
// Invariant of every descriptor: base <= brk <= committed_end <= reserved_end,
// all ends multiples of 64 KB. The break moves by compare-and-swap without a
// lock; committing and extending a reservation happen under the one commit
// mutex, so committed_end and reserved_end only change while it is held.

#include "runtime/gc/heap_reservation.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/memory.h"
#include "runtime/gc/heap_messages.h"
#include "runtime/os/alarm_timer.h"
#include "runtime/os/console_printing.h"
#include "runtime/os/heap_ownership.h"
#include "runtime/rs/exports.h"
#include "runtime/rs/lisp_presence.h"

using namespace heap_reservation;

extern "C" {
heap_descriptor lisp_heap = {};
heap_descriptor vxmmalloc_heap = {};
uint32_t GsSbrkFailCode = 0;
}

namespace heap_messages {
// For standard error, through the console printer.
void report(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  lisp::os::vprintToConsole(format, arguments);
  va_end(arguments);
}
}  // namespace heap_messages

namespace {

std::mutex g_commitMutex;
const pure_library_mapping* g_pureLibrary = nullptr;

constexpr uint32_t roundDown(uint32_t value) {
  return value & ~(kGranularity - 1);
}
// Rounds up to 64 KB; 0 when that would pass the end of the address space.
constexpr uint32_t roundUp(uint32_t value) {
  return value > ~(kGranularity - 1) ? 0 : (value + kGranularity - 1) & ~(kGranularity - 1);
}

uint32_t load(const uint32_t& word) {
  return __atomic_load_n(&word, __ATOMIC_ACQUIRE);
}
void store(uint32_t& word, uint32_t value) {
  __atomic_store_n(&word, value, __ATOMIC_RELEASE);
}
bool compareAndSwap(uint32_t& word, uint32_t expected, uint32_t desired) {
  return __atomic_compare_exchange_n(&word, &expected, desired, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE);
}

// The address check: the region at start is free and long enough.
bool rangeIsFree(uint32_t start, uint32_t bytes) {
  return uint64_t{start} + bytes <= (uint64_t{1} << 32) && platform::freeBytesAt(start) >= bytes;
}

// Reserves at `address` after the address check, or anywhere when it is 0.
uint32_t reserveChecked(uint32_t address, uint32_t bytes) {
  if (address != 0 && !rangeIsFree(address, bytes)) return 0;
  const uint32_t result = virtual_alloc(address, bytes, 1);
  return result == kSbrkFailed ? 0 : result;
}

struct Reservation {
  uint32_t base;
  uint32_t bytes;
};

// Reserves anywhere and starts the region at a 64 KB boundary; when the
// platform's address was not on one, the region is 64 KB shorter and the
// unaligned ends are given back.
Reservation reserveAnywhereAligned(uint32_t bytes) {
  const uint32_t raw = reserveChecked(0, bytes);
  if (raw == 0) return {0, 0};
  const uint32_t base = roundUp(raw);
  if (base == raw) return {base, bytes};
  const uint32_t usable = bytes - kGranularity;
  platform::releaseAddressSpace(raw, base - raw);
  platform::releaseAddressSpace(base + usable, raw + bytes - (base + usable));
  return {base, usable};
}

Reservation reserveRegion(uint32_t address, uint32_t bytes) {
  if (address == 0) return reserveAnywhereAligned(bytes);
  const uint32_t base = reserveChecked(address, bytes);
  return {base, base ? bytes : 0};
}

bool nativeHeapAboveLispHeap() {
  return vxmmalloc_heap.base >= lisp_heap.base;
}

}  // namespace

extern "C" {

uint32_t virtual_alloc(uint32_t address, uint32_t size, int mode) {
  switch (mode) {
    case 1:
    case 4: {
      const uintptr_t base = platform::reserveAddressSpace(address, size);
      return base ? static_cast<uint32_t>(base) : kSbrkFailed;
    }
    case 2:
      return address != 0 && platform::commitMemory(address, size) ? address : kSbrkFailed;
    case 3: {
      const uintptr_t base = platform::reserveAddressSpace(address, size);
      if (!base) return kSbrkFailed;
      if (!platform::commitMemory(base, size)) {
        platform::releaseAddressSpace(base, size);
        return kSbrkFailed;
      }
      return static_cast<uint32_t>(base);
    }
    default:
      return kSbrkFailed;
  }
}

uint32_t scale_reserve(uint32_t address, uint32_t size) {
  // Signed, so that a size below one step ends the search instead of wrapping.
  for (int64_t amount = int64_t{size} - kScaleStep; amount > kGranularity; amount -= kScaleStep) {
    if (reserveChecked(address, static_cast<uint32_t>(amount)) != 0)
      return static_cast<uint32_t>(amount);
  }
  return 0;
}

uint32_t setup_heap(heap_descriptor* descriptor, uint32_t address, uint32_t size,
                    uint32_t minimum) {
  address = roundDown(address);
  size = roundUp(size);
  minimum = roundUp(minimum);
  if (size == 0) return 0;

  const Reservation whole = reserveRegion(address, size);
  if (whole.base != 0) {
    *descriptor = {whole.base,
                   whole.base,
                   whole.base,
                   whole.base + whole.bytes,
                   whole.base + whole.bytes,
                   descriptor->spare};
    return whole.base;
  }
  if (size == minimum || minimum == 0 || minimum > size) return 0;

  const Reservation least = reserveRegion(address, minimum);
  if (least.base == 0) return 0;
  if (address == 0 && least.bytes != minimum) size -= kGranularity;  // rounding took 64 KB
  const uint32_t base = least.base;
  const uint32_t leastEnd = base + least.bytes;
  *descriptor = {base, base, base, base + size, leastEnd, descriptor->spare};

  const uint32_t extra = size > least.bytes ? scale_reserve(leastEnd, size - least.bytes) : 0;
  platform::releaseAddressSpace(base, least.bytes);
  if (extra) platform::releaseAddressSpace(leastEnd, extra);
  if (reserveChecked(base, least.bytes + extra) != base) {
    *descriptor = {0, 0, 0, 0, 0, descriptor->spare};  // nothing is reserved any more
    return 0;
  }
  descriptor->reserved_end = leastEnd + extra;
  return base;
}

int try_setup_heap(const char* name, heap_descriptor* descriptor, uint32_t address, uint32_t size,
                   uint32_t minimum) {
  size = roundUp(size);
  minimum = minimum == 0 ? size : roundUp(minimum);
  if (setup_heap(descriptor, address, size, minimum) != 0) return 1;
  if (setup_heap(descriptor, 0, size + kGranularity, minimum + kGranularity) != 0) {
    heap_messages::report(heap_messages::kUsingOtherAddress, static_cast<unsigned long>(address),
                          name, static_cast<unsigned long>(descriptor->base));
    return 1;
  }
  heap_messages::report(heap_messages::kCannotReserve, static_cast<long>(minimum),
                        static_cast<unsigned long>(minimum), name);
  return 0;
}

int setup_heaps(uint32_t lispAddress, uint32_t lispSize, uint32_t nativeAddress,
                uint32_t nativeSize, uint32_t lispMinimum, int mapLso) {
  if (lispAddress == 0) lispAddress = kDefaultLispAddress;
  if (nativeAddress == 0) nativeAddress = kDefaultNativeAddress;
  if (nativeAddress < lispAddress) {
    heap_messages::report(heap_messages::kNativeBelowLisp, nativeAddress, lispAddress);
    return 0;
  }
  if (nativeSize == 0) nativeSize = kDefaultNativeSize;
  if (!try_setup_heap("vxmmalloc", &vxmmalloc_heap, nativeAddress, nativeSize, 0)) return 0;

  if (mapLso && g_pureLibrary) {
    if (g_pureLibrary->map(lispAddress) != 0)
      heap_messages::report(heap_messages::kLibraryRelocated, g_pureLibrary->fileName());
  }

  if (!try_setup_heap("lisp", &lisp_heap, lispAddress, lispSize ? lispSize : kDefaultLispSize,
                      lispMinimum)) {
    lisp_free_heap(&vxmmalloc_heap);
    return 0;
  }

  // A fallback may have put the native heap below the Lisp heap: move it above.
  if (!nativeHeapAboveLispHeap()) {
    const uint32_t misplacedBase = vxmmalloc_heap.base;
    const uint32_t nativeBytes = vxmmalloc_heap.reserved_end - vxmmalloc_heap.base;
    lisp_free_heap(&vxmmalloc_heap);
    const uint32_t above = static_cast<uint32_t>(
        platform::findFreeRange(lisp_heap.reserved_end, nativeBytes, kGranularity));
    if (above == 0 || setup_heap(&vxmmalloc_heap, above, nativeBytes, nativeBytes) == 0) {
      heap_messages::report(heap_messages::kNativeBelowLisp, misplacedBase, lisp_heap.base);
      lisp_free_heap(&lisp_heap);
      return 0;
    }
  }

  if (lisp_heap.reserved_end != lisp_heap.desired_end)
    heap_messages::report(heap_messages::kScalingBack,
                          static_cast<int>(lisp_heap.desired_end - lisp_heap.base),
                          static_cast<int>(lisp_heap.reserved_end - lisp_heap.base));
  return 1;
}

void initialize_vxmcommit_mutex() {}

void grab_vxmcommit_mutex() {
  g_commitMutex.lock();
}
void release_vxmcommit_mutex() {
  g_commitMutex.unlock();
}

int heap_sbrk_adjust_commit(heap_descriptor* descriptor, uint32_t newBreak) {
  std::lock_guard guard(g_commitMutex);
  heap_descriptor& d = *descriptor;
  if (newBreak <= d.committed_end) return 0;

  if (newBreak > d.reserved_end) {
    const uint32_t shortfall = roundUp(newBreak - d.reserved_end);
    // A descriptor without a region (reserved end 0) has nothing to extend;
    // reserving "at 0" would take address space anywhere.
    if (shortfall == 0 || d.reserved_end == 0 ||
        reserveChecked(d.reserved_end, shortfall) != d.reserved_end) {
      GsSbrkFailCode = kFailAddressSpace;
      return -1;
    }
    const uint32_t oldReservedEnd = d.reserved_end;
    store(d.reserved_end, oldReservedEnd + shortfall);  // recorded even when the commit fails
    if (d.desired_end < d.reserved_end) d.desired_end = d.reserved_end;
    if (d.committed_end < oldReservedEnd) {
      if (!platform::commitMemory(d.committed_end, oldReservedEnd - d.committed_end)) {
        GsSbrkFailCode = kFailCommit;
        return -1;
      }
      store(d.committed_end, oldReservedEnd);
    }
  }

  const uint32_t commitEnd = roundUp(newBreak);
  if (commitEnd == 0 || !platform::commitMemory(d.committed_end, commitEnd - d.committed_end)) {
    GsSbrkFailCode = kFailCommit;
    return -1;
  }
  store(d.committed_end, commitEnd);
  return 0;
}

uint32_t heap_sbrk_aligned(heap_descriptor* descriptor, int32_t increment, uint32_t alignment) {
  heap_descriptor& d = *descriptor;
  for (;;) {
    const uint32_t oldBreak = load(d.brk);
    uint64_t aligned = oldBreak;
    if (alignment > 1) aligned = (aligned + alignment - 1) & ~uint64_t{alignment - 1};
    const int64_t newBreak = static_cast<int64_t>(aligned) + increment;
    if (aligned > UINT32_MAX || newBreak < 0 || newBreak > int64_t{UINT32_MAX}) return kSbrkFailed;
    if (increment < 0 && (newBreak < d.base || newBreak >= load(d.committed_end)))
      return kSbrkFailed;
    if (newBreak > load(d.committed_end) &&
        heap_sbrk_adjust_commit(descriptor, static_cast<uint32_t>(newBreak)) == -1)
      return kSbrkFailed;
    if (compareAndSwap(d.brk, oldBreak, static_cast<uint32_t>(newBreak)))
      return static_cast<uint32_t>(aligned);
  }
}

uint32_t heap_gssbrk(int32_t increment) {
  return heap_sbrk_aligned(&lisp_heap, increment, 0);
}
uint32_t heap_csbrk(int32_t increment) {
  return heap_sbrk_aligned(&vxmmalloc_heap, increment, 0);
}
uint32_t heap_csbrk_align(uint32_t alignment) {
  return heap_sbrk_aligned(&vxmmalloc_heap, 0, alignment);
}
uint32_t heap_csbrk_aligned(int32_t increment, uint32_t alignment) {
  return heap_sbrk_aligned(&vxmmalloc_heap, increment, alignment);
}
int heap_cbrk(uint32_t address) {
  const uint32_t current = heap_csbrk(0);
  if (current == kSbrkFailed) return -1;
  const int64_t increment = int64_t{address} - current;
  if (increment < INT32_MIN || increment > INT32_MAX) return -1;
  return heap_csbrk(static_cast<int32_t>(increment)) == kSbrkFailed ? -1 : 0;
}
uint32_t vxm_sbrk(int32_t increment) {
  return heap_csbrk(increment);
}
int vxm_brk(uint32_t address) {
  return heap_cbrk(address);
}
uint32_t vxmgetpagesize() {
  return kGranularity;
}

// Gives the region back; the descriptor is cleared so that a second call
// (or free_heaps twice) does nothing.
KORVANE_EXPORT int lisp_free_heap(heap_descriptor* descriptor) {
  heap_descriptor& d = *descriptor;
  if (d.base == 0) return 0;
  if (d.committed_end > d.base) platform::decommitMemory(d.base, d.committed_end - d.base);
  platform::releaseAddressSpace(d.base, d.reserved_end - d.base);
  d = {0, 0, 0, 0, 0, d.spare};
  return 1;
}

// The Lisp is gone with its heaps: an alarm that was turned on stops (its
// repeat would signal into them), the signal gate closes (Lisp threads
// still in an I/O wait leave when they wake, without touching their
// records) and the heaps go unless a Lisp thread still holds the heap; then
// they stay, with the pure library, for that thread (also for a thread
// woken from its I/O wait that waits for it). No Lisp comes after it.
KORVANE_EXPORT int free_heaps(int unmap) {
  if (!ignore_timer_ints.load()) c_mpalarmoff();
  const bool noneWaits = lisp::presence::departUnless(lisp::heap_lock::aWokenWaiterWaitsForTheHeap);
  lisp::presence::setComing(false);
  if (!noneWaits) return 0;
  {
    const lisp::heap_lock::HeldWhileHeapsGo noLispRuns;
    if (!noLispRuns.held()) return 0;
    lisp_free_heap(&lisp_heap);
    lisp_free_heap(&vxmmalloc_heap);
  }
  if (unmap && g_pureLibrary) return g_pureLibrary->unmap();
  return 0;
}

void set_pure_library_mapping(const pure_library_mapping* mapping) {
  g_pureLibrary = mapping;
}

}  // extern "C"
