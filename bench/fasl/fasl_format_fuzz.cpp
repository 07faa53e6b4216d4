// libFuzzer target over the fasl readers and check layer: any bytes run
// through the model loader (the format module's readers, item table and
// checks, with shapes for values) in both loaders' flavours, and through the
// text decoder. Sanitizers catch a read outside the input or a bad shift;
// the checks below catch a model that runs off its own stack.
//
// Run by hand, bounded (malformed files print a line each; -close_fd_mask=2 hides them):
//   build/bin/fuzz_fasl_format -max_total_time=60 -max_len=4096 -close_fd_mask=2

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "runtime/load/fasl_format.h"
#include "testing/fasl_model_walk.h"

namespace {

void decodeText(const uint8_t* data, size_t size) {
  const int32_t count = lisp::fasl::utf8_to_unicode(data, static_cast<uint32_t>(size), nullptr);
  if (count < 0) return;
  if (static_cast<size_t>(count) > size) std::abort();  // never more characters than bytes
  std::vector<uint16_t> characters(static_cast<size_t>(count));
  if (lisp::fasl::utf8_to_unicode(data, static_cast<uint32_t>(size), characters.data()) != count)
    std::abort();
}

void walk(std::span<const uint8_t> bytes) {
  using lisp::fasl::LoaderKind;
  testing_support::FaslModelOptions options;
  options.failingSymchkGlobals = {5, 124};
  options.limits = {0x100000};
  for (LoaderKind loader : {LoaderKind::Native, LoaderKind::Runtime}) {
    options.loader = loader;
    const testing_support::FaslModelRun run = testing_support::walkFaslModel(bytes, options);
    // A model loader can only end with one of the format's results.
    switch (run.result) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4:
      case 5:
      case 7:
      case 8:
      case 9:
        break;
      default:
        std::abort();
    }
    // Every item reads at least its code byte, and seeks only move forward.
    if (run.items > bytes.size()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  decodeText(data, size);
  walk({data, size});
  // The same bytes as the items of a segment, so mutations reach the items early.
  std::vector<uint8_t> segment = {0xf3, 0, 0, 0, 0};
  segment.insert(segment.end(), data, data + size);
  walk(segment);
  return 0;
}
