// The lisp-static registry as far as the write barrier needs it: whether a
// value is a registered lisp-static object.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace gc {

inline constexpr uint32_t kLispstaticEntries = 1024;

// One native-heap block of the registry (5140 bytes).
struct lispstatic_block {
  uint32_t count;
  uint32_t hint;  // lowest free entry to try
  uint32_t reserved[3];
  lisp::lispval entries[kLispstaticEntries];  // 0 when free
  uint8_t marks[kLispstaticEntries];
};
static_assert(sizeof(lispstatic_block) == 5140);

}  // namespace gc

extern "C" {
// 1 when the value is an other object in a native-heap block; with
// checkPositions, also when its prefix names a registry entry holding it.
int valid_lispstatic(lisp::lispval value, int checkPositions);
}
