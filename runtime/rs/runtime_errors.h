// Error codes the runtime system signals through the error symbols' functions.
#pragma once

#include <cstdint>

namespace lisp::runtime_error {

// A runtime entry slot whose routine this build does not provide was called.
// Chosen outside the codes that runtime routines signal themselves.
inline constexpr int32_t kEntryNotAvailable = 63;

}  // namespace lisp::runtime_error
