// The collector's bridge into Lisp.

#include "runtime/os/collector_lisp_calls.h"

#include <algorithm>
#include <array>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/scavenger.h"
#include "runtime/os/thread_operations.h"

namespace lisp::collector_calls {

namespace {

// lisp_call_from_native's kinds.
constexpr int kApply = 0;
constexpr int kCons = 2;

}  // namespace

void callFromCollector(lispval function, const lispval* arguments, uint32_t count) {
  if (count > kMostArguments) return;
  // [0] the function, [1 .. count] the arguments, [count + 1] the list so
  // far: every cons may collect, and the entry updates what it is handed.
  std::array<lispval, kMostArguments + 2> kept{};
  kept[0] = function;
  std::copy_n(arguments, count, kept.begin() + 1);
  const uint32_t list = count + 1;
  kept[list] = nilval;
  for (uint32_t i = count; i >= 1; --i) {
    const lispval cell = lisp_call_from_native(kCons, kept[i], kept[list], kept.data(), count + 2);
    kept[list] = cell;
  }
  lisp_call_from_native(kApply, kept[0], kept[list], nullptr, 0);
}

void install() {
  gc::setLispCaller(callFromCollector);
}

}  // namespace lisp::collector_calls
