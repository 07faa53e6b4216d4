// Conversions between the bytes of Lisp vectors and 16-bit text, by code
// page, as Lisp code asks for them by foreign calls.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// The bytes of `source` (a vector of 8-bit elements) from start to end as
// 16-bit units in the code page, into `destination` (a vector of 16-bit
// elements, at most `destinationLength` of them; nil: only count). The unit
// count as a fixnum, or the negated system error code as a fixnum when the
// count is 0 for a non-empty range: 87 for bad arguments or an unknown code
// page, 1113 for bytes the code page does not map, 122 when the destination
// is too small.
lisp::lispval sy_win_MultiByteToWideChar(lisp::lispval source, int32_t start, int32_t end,
                                         lisp::lispval destination, int32_t destinationLength,
                                         uint32_t codePage, uint32_t flags);
// The 16-bit units of `source` (a vector of 16-bit elements) from start to
// end in the system code page into `buffer` of `size` bytes (none or size
// 0: only count); the byte count as a fixnum, 0 when they cannot be
// converted or do not fit.
lisp::lispval sy_win_WideCharToMultiByte(lisp::lispval source, int32_t start, int32_t end,
                                         char* buffer, int32_t size);
}

namespace lisp::os {
// Decision: the system code page is UTF-8 (65001); code pages 0 (the
// system's) and 1 (the console's) are UTF-8 too.
inline constexpr uint32_t kSystemCodePage = 65001;
}  // namespace lisp::os
