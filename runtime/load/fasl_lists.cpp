// In-place list changes of the fasl items. Lists reach here from a file, so
// a walk along them must end even when the file made them circular.

#include "runtime/load/fasl_lists.h"

#include "runtime/gc/write_barrier.h"

namespace lisp::fasl {

namespace {
// The last cons of a list that starts with a cons, or nullopt when the cdr
// chain comes back on itself (two walkers, one twice as fast).
std::optional<lispval> lastCons(lispval list) {
  lispval slow = list;
  lispval fast = list;
  for (;;) {
    if (!isCons(cdr(fast))) return fast;
    fast = cdr(fast);
    if (!isCons(cdr(fast))) return fast;
    fast = cdr(fast);
    slow = cdr(slow);
    if (slow == fast) return std::nullopt;
  }
}
}  // namespace

std::optional<lispval> faslNconc(lispval list, lispval tail) {
  if (!isCons(list)) return tail;
  const std::optional<lispval> last = lastCons(list);
  if (!last) return std::nullopt;
  lispval& slot = cdr(*last);
  slot = tail;
  fasl_protect(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&slot)));
  return list;
}

}  // namespace lisp::fasl
