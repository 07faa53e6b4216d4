// How the loaders' native code makes a Lisp object: through a hook of the
// shape of the runtime's native constructor dispatch new_lisp_obj (type
// code, size or count, extra), which the caller supplies, so that the code
// here stays free of any one allocation path and tests can supply theirs.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp::fasl {

using ObjectMaker = lispval (*)(uint32_t typeCode, uint32_t sizeOrCount, uint32_t extra);

}  // namespace lisp::fasl
