// A model loader for tests and fuzzing: it runs a fasl file through the
// format module's readers, item table and checks exactly as a loader does,
// but keeps only the shape of each stack item instead of building objects.
//
// It gives the loader results of the format (clean end, not a fasl, bad
// package, truncated, releases, malformed) for any bytes, and the malformed
// line on standard error, so the checks can be tested and fuzzed without a
// heap.
#pragma once

#include <cstdint>
#include <set>
#include <span>

#include "runtime/load/fasl_format.h"

namespace testing_support {

struct FaslModelOptions {
  lisp::fasl::LoaderKind loader = lisp::fasl::LoaderKind::Native;
  lisp::fasl::ReleaseBounds bounds{61, 61, 31, 31};
  bool runtimeVersionSet = true;            // runtime global 59 holds a version text
  std::set<uint32_t> failingSymchkGlobals;  // begin symchk tests that fail
  lisp::fasl::Limits limits{0x4000000};
};

struct FaslModelRun {
  int result = 0;
  uint32_t items = 0;  // items read inside segments
  uint32_t segments = 0;
  uint32_t maxStackHeight = 0;
};

FaslModelRun walkFaslModel(std::span<const uint8_t> bytes, const FaslModelOptions& options = {});

}  // namespace testing_support
