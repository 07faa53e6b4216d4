// Lists that fasl items change in place.
#pragma once

#include <optional>

#include "runtime/rs/lisp_value.h"

namespace lisp::fasl {

// Item 29: appends `tail` to `list` by storing it into the cdr of the list's
// last cons (through the write barrier) and returns the joined list. An empty
// list is nil, which must never be written: the result is then the tail.
// A circular list has no last cons: nullopt, and nothing is changed.
std::optional<lispval> faslNconc(lispval list, lispval tail);

}  // namespace lisp::fasl
