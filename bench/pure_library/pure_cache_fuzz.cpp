// libFuzzer target: any bytes as a pure Lisp library file, mapped as a first
// mapping, then looked up through both of its tables: strings of characters
// taken from the input, code vectors read from the input under every hash
// the table names (a miss makes nothing: the maker refuses), and existing
// code vectors copied from the input. Whatever the tables hold, no lookup may
// read outside the mapped library; ASan sees a read past the view.
//
// Run by hand, bounded, from the pure library's seeds:
//   mkdir -p cache_corpus && build/bin/fuzz_pure_cache -max_total_time=60 -max_len=4096 \
//     cache_corpus bench/pure_library/seeds
#include <fcntl.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "runtime/gc/heap_reservation.h"
#include "runtime/load/pure_cache.h"
#include "runtime/load/pure_library.h"
#include "runtime/os/console_printing.h"

// ---- the few neighbours the code calls, in their least form ----
static jmp_buf g_refused;
extern "C" {
heap_descriptor lisp_heap = {};
int verbose_startup = 0;
int host_os = 1;
lisp::lispval nilval = 0x100005;
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

// The constructor that always refuses: a miss only passes over the bytes.
lisp::lispval refuse(uint32_t, uint32_t, uint32_t) {
  return nilval;
}

void lookUpStrings(const uint8_t* data, size_t size) {
  std::vector<uint16_t> characters(size / 2);
  if (!characters.empty()) std::memcpy(characters.data(), data, 2 * characters.size());
  for (size_t count = 0; count <= std::min<size_t>(characters.size(), 24); ++count)
    find_cached_string(characters.data(), static_cast<uint32_t>(count));
}

void lookUpCode(const uint8_t* data, size_t size) {
  const uint32_t base = vxm_cvsh;
  for (uint32_t at = base, n = 0; at + 8 <= vxm_cvsp && n < 16; at += 8, ++n) {
    uint32_t hash;
    std::memcpy(&hash, reinterpret_cast<const void*>(static_cast<uintptr_t>(at + 4)), 4);
    for (bool pure : {false, true}) {
      lisp::fasl::MemorySource source({data, size});
      lisp::fasl::FaslReader reader(source);
      lisp::fasl::cached_or_new_codevec(static_cast<uint32_t>(size & ~size_t{1}), hash, pure,
                                        reader, false, refuse);
    }
  }
  // An existing code vector: a header and its code, copied from the input.
  std::vector<uint32_t> object((size + 16) / 4 + 2, 0);
  const uint32_t units = static_cast<uint32_t>(size / 2) + 4;
  object[0] = units << 8 | 108;
  std::memcpy(&object[1], data, size);
  find_cached_codevec(lisp::pointerWord(
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(object.data())), lisp::Tag::Other));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int file = memfd_create("lso", 0);
  if (file < 0 || write(file, data, size) != static_cast<ssize_t>(size)) return 0;
  std::snprintf(lso_file, sizeof lso_file, "/proc/self/fd/%d", file);
  lsoinit();

  std::fflush(stderr);
  const int savedStderr = dup(2);
  const int nowhere = open("/dev/null", O_WRONLY);
  dup2(nowhere, 2);
  close(nowhere);
  volatile bool mapped = false;
  if (setjmp(g_refused) == 0) {
    map_lso_file(0x20000000);
    mapped = true;
  }
  std::fflush(stderr);
  dup2(savedStderr, 2);
  close(savedStderr);

  if (mapped) {
    const size_t tail = std::min<size_t>(size, 1100);
    lookUpStrings(data + size - tail, tail);
    lookUpCode(data + size - tail, tail);
    unmap_lso_file();
  }
  close(file);
  lso_file[0] = '\0';
  lsoinit();
  return 0;
}
