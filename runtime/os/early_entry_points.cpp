#include "runtime/os/early_entry_points.h"

#include <dlfcn.h>

#include <cstdio>

#include "runtime/gc/gc_state.h"
#include "runtime/load/startup.h"
#include "runtime/os/console_printing.h"
#include "runtime/os/lisp_text_vectors.h"
#include "runtime/os/quicksym.h"
#include "runtime/rs/native_calls.h"
#include "runtime/rs/object_layout.h"

namespace {

namespace text {
constexpr const char* kMainEntryName = "lisp_init";
constexpr const char* kNoMainEntry = "\nCannot find address for the %s entry-point. \n";
constexpr const char* kNoMainEntryLibrary =
    "It is likely that if the Vexmora CL shared-library was\n";
constexpr const char* kNoMainEntryHandle = "dynamically loaded, its handle was not passed to ~s.\n";
constexpr const char* kNoEntry = "\nCannot pre-initialize entry vec for %s\n";
}  // namespace text

constexpr uint32_t kLongestList = 0x10000;  // a bound on the walk of a damaged list
constexpr size_t kShownNameBytes = 512;

uint32_t word(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

bool isEntryVec(lisp::lispval object) {
  return lisp::isOther(object) && lisp::typeCodeOf(lisp::wordAt(object, lisp::kHeaderOffset)) ==
                                      lisp::type_code::EntryVector;
}

// The handles searched, in order: the runtime library's, then the
// executable's (the null handle names it; the dynamic linker's own handle for
// it is what a look-up takes).
struct SearchOrder {
  void* handles[2];
};
SearchOrder searchOrder() {
  void* executable = lisp_executable_handle ? lisp_executable_handle : dlopen(nullptr, RTLD_NOW);
  return {{lisp_shared_library_handle, executable}};
}

}  // namespace

extern "C" {

void check_lisp_main_addr() {
  for (void* handle : searchOrder().handles)
    if (handle && dlsym(handle, text::kMainEntryName)) return;
  vxmfprintf(stderr, text::kNoMainEntry, text::kMainEntryName);
  vxmfprintf(stderr, "%s", text::kNoMainEntryLibrary);
  vxmfprintf(stderr, "%s", text::kNoMainEntryHandle);
  lisp_exit(1);
}

void preset_entry_vec(lisp::lispval entry) {
  namespace ev = lisp::entry_vec;
  const lisp::lispval name = lisp::wordAt(entry, ev::kName);
  for (void* handle : searchOrder().handles) {
    const uint32_t address = handle ? sy_quicksym(word(handle), name) : 0;
    if (address) {
      lisp::wordAt(entry, ev::kCallAddress) = address;
      lisp::wordAt(entry, ev::kHandle) = word(handle);
      return;
    }
  }
  char shown[kShownNameBytes];
  if (!lisp::os::takeText(name, shown, sizeof shown)) shown[0] = '\0';
  vxmfprintf(stderr, text::kNoEntry, shown);
  lisp_exit(1);
}

void preset_early_entry_points() {
  check_lisp_main_addr();
  if (!nilval) return;  // no heap: nothing is listed yet
  lisp::lispval list = gc::globalWord(lisp::os::kEarlyEntryPointsOffset);
  for (uint32_t steps = 0; lisp::isCons(list) && steps < kLongestList; ++steps) {
    if (isEntryVec(lisp::car(list))) preset_entry_vec(lisp::car(list));
    list = lisp::cdr(list);
  }
}

}  // extern "C"
