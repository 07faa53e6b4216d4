// Error codes the runtime system signals through the error symbols' functions.
#pragma once

#include <cstdint>

namespace lisp::runtime_error {

// A fasl file's names are in a case mode the image's reader does not use
// (from_c_fasl_casemode_mismatch_error). Chosen outside the codes that
// runtime routines signal themselves.
inline constexpr int32_t kFaslCaseModeMismatch = 64;

}  // namespace lisp::runtime_error
