// The collector's bridge into Lisp: the functions in GlobGcAfterFunction and
// GlobHeapExhaustedFunction run through the runtime's native entry into Lisp
// on the thread that holds the heap.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp::collector_calls {

// The most arguments the collector passes (the heap-exhausted call's six).
inline constexpr uint32_t kMostArguments = 6;

// Applies `function` to the `count` arguments: conses their list, then calls
// it. The arguments are kept where a collection started by the consing or
// the call updates them.
void callFromCollector(lispval function, const lispval* arguments, uint32_t count);

// Hands callFromCollector to the collector; start-up calls it once the
// thread registry (and so the first Lisp thread's record) is set up.
void install();

}  // namespace lisp::collector_calls
