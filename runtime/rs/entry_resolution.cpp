// Resolution of an entry-vec: the C++ half of rs_update_entry_vec. Looks the
// name up in the loaded libraries and rewrites the call address, library
// handle and target words from scratch.

#include "runtime/os/quicksym.h"
#include "runtime/rs/native_calls.h"
#include "runtime/rs/object_layout.h"

namespace {

using lisp::lispval;
namespace ev = lisp::entry_vec;

constexpr int32_t kLibraryHandleWord = -6;  // word 2 of a library object

uint32_t addressOf(void (*routine)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
}

constexpr void (*kMethodTrampolines[ev::kCallKindCount])() = {
    nullptr, method_tramp1, method_tramp2, method_tramp3, method_tramp4};

// A module handle held as a Lisp integer (fixnum, or a bignum's low 32 bits
// with its sign); 0 when the word is neither.
uint32_t handleOf(lispval library) {
  if (!lisp::isOther(library)) return 0;
  const lispval word = lisp::wordAt(library, kLibraryHandleWord);
  const bool integer = lisp::isFixnum(word) ||
                       (lisp::isOther(word) && lisp::typeCodeOf(lisp::wordAt(
                                                   word, lisp::kHeaderOffset)) == lisp::type_code::Bignum);
  if (!integer) return 0;
  return static_cast<uint32_t>(foreign_address_locate(word) >> 32);
}

}  // namespace

lispval entry_vec_resolve(lispval entry, lispval libraries) {
  const uint32_t flags = lisp::wordAt(entry, ev::kFlags);
  const uint32_t kind = ev::callKindOf(flags);
  const uint32_t missing = addressOf(lisp_missing_stub);
  uint32_t address = missing;
  uint32_t handle = 0;
  if ((flags & ev::kResolveByName) == 0 && kind != 0) {
    address = kind < ev::kCallKindCount ? addressOf(kMethodTrampolines[kind]) : missing;
  } else {
    const lispval name = lisp::wordAt(entry, ev::kName);
    // Proper list only: a dotted or circular tail ends the search (bounded walk).
    uint32_t steps = 0;
    for (lispval rest = libraries; lisp::isCons(rest) && steps < 0x10000; rest = lisp::cdr(rest)) {
      ++steps;
      const uint32_t module = handleOf(lisp::car(rest));
      const uint32_t found = module ? sy_quicksym(module, name) : 0;
      if (found) {
        address = found;
        handle = module;
        break;
      }
    }
    if (flags & ev::kResolveByName) handle = 0;
  }
  const bool semiDirect = (flags & ev::kSemiDirect) != 0;
  lisp::wordAt(entry, ev::kCallAddress) = semiDirect ? addressOf(call_semidirect) : address;
  lisp::wordAt(entry, ev::kHandle) = semiDirect ? 0 : handle;
  if (kind == 0) lisp::wordAt(entry, ev::kTarget) = semiDirect ? address : missing;
  return entry;
}
