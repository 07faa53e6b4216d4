// libFuzzer target: any bytes as a pure Lisp library file, mapped as a first
// mapping or as a restore that expects the file's own stamp and version.
// A library that maps must describe sections that lie wholly in its view:
// the target touches every byte of them, so a section past the file's end
// faults here. Refusals end through lisp_exit, which jumps back.
//
// Run by hand, bounded, from the two seeds (a first mapping and a restore of
// a 512-byte library; the first input byte chooses which):
//   mkdir -p corpus && build/bin/fuzz_pure_library -max_total_time=60 -max_len=4096 \
//     corpus bench/pure_library/seeds
#include <fcntl.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "runtime/gc/heap_reservation.h"
#include "runtime/load/pure_library.h"
#include "runtime/os/console_printing.h"

// ---- the few neighbours the library code calls, in their least form ----
static jmp_buf g_refused;
extern "C" {
heap_descriptor lisp_heap = {};
int verbose_startup = 0;
int host_os = 1;
void set_pure_library_mapping(const pure_library_mapping*) {}
char* find_image_file(const char*, const char*, const char*, int) {
  return nullptr;
}
void link_lso_file() {}
int32_t vxmprintf(const char*, ...) {
  return 0;
}
[[noreturn]] void lisp_exit(int) {
  longjmp(g_refused, 1);
}
}

void lisp::os::vprintStartupFailure(const char*, va_list) {}

namespace {

volatile uint8_t g_sink;

void touch(uint32_t from, uint32_t to) {
  for (uint32_t address = from; address < to; ++address)
    g_sink = *reinterpret_cast<const volatile uint8_t*>(static_cast<uintptr_t>(address));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool restore = data[0] & 1;
  ++data;
  --size;

  const int file = memfd_create("lso", 0);
  if (file < 0 || write(file, data, size) != static_cast<ssize_t>(size)) return 0;
  std::snprintf(lso_file, sizeof lso_file, "/proc/self/fd/%d", file);
  lsoinit();
  if (restore && size >= 8) {
    // The image remembers this very library at a place that is free or not.
    vxm_lso = 0x1ff00000;
    std::memcpy(&vxm_timestamp, data + 4, 4);
    std::memcpy(&vxm_lsoversion, data + 2, 2);
  }

  // The refusals' messages go nowhere; the fuzzer's own reports stay.
  std::fflush(stderr);
  const int savedStderr = dup(2);
  const int nowhere = open("/dev/null", O_WRONLY);
  dup2(nowhere, 2);
  close(nowhere);
  volatile bool mapped = false;
  volatile int32_t moved = 0;
  if (setjmp(g_refused) == 0) {
    moved = map_lso_file(0x20000000);
    mapped = true;
  }
  std::fflush(stderr);
  dup2(savedStderr, 2);
  close(savedStderr);

  if (mapped) {
    // As the heap relocation does after a move: the header at its new place.
    map_lso_from_addr(vxm_lso + static_cast<uint32_t>(moved));
    touch(vxm_cvsh, vxm_cvsend);
    touch(vxm_strh, vxm_strend);
    unmap_lso_file();
  }
  close(file);
  lso_file[0] = '\0';
  lsoinit();
  return 0;
}
