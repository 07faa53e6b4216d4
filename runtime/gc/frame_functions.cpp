// Frames and their functions. Every word read through a value lies inside
// the Lisp heap (old areas up to the top of new space) or, for a code
// vector, inside the attached pure library, so a garbage word in a frame's
// function slot is refused instead of faulting.

#include "runtime/gc/frame_functions.h"

#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_layout.h"
#include "runtime/load/pure_library_bounds.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"

namespace {

using gc::wordAt;
using lisp::lispval;
namespace nb = lisp::nil_block;

constexpr uint32_t kNotCompiledBit = 0x4000;  // bit 0x40 of the second header byte
constexpr uint32_t kMostEntryDistance = 0x20000;
constexpr uint32_t kStubPrefixBytes = 10;  // below nil

// Whether `bytes` from `object` lie in the Lisp heap.
bool inLispHeap(uint32_t object, uint32_t bytes) {
  if (GsOldAreas == nullptr) return false;
  return object >= gc::areaAddress(GsOldAreas) && object < GsNewTop && GsNewTop - object >= bytes;
}

// Whether `bytes` from `object` lie in the attached pure library (none
// attached: its bounds are both 0).
bool inPureLibrary(uint32_t object, uint32_t bytes) {
  const uint32_t start = vxm_lso, end = vxm_lsoend;
  return object >= start && object < end && end - object >= bytes;
}

// The other object's first byte when its fixed part lies in the heap, else 0.
uint32_t readableOther(lispval value, uint32_t bytes) {
  if (!lisp::isOther(value)) return 0;
  const uint32_t object = lisp::objectAddress(value);
  return inLispHeap(object, bytes) ? object : 0;
}

// The same for a function's code vector, which may also lie in the pure
// library once a library is attached.
uint32_t readableCodeVector(lispval value, uint32_t bytes) {
  if (const uint32_t object = readableOther(value, bytes)) return object;
  if (!lisp::isOther(value)) return 0;
  const uint32_t object = lisp::objectAddress(value);
  return inPureLibrary(object, bytes) ? object : 0;
}

// The first byte past a code vector's code.
uint32_t codeEnd(lispval codeVector) {
  const uint32_t object = lisp::objectAddress(codeVector);
  return object + 4 + 2 * lisp::headerLength(wordAt(object));
}

bool inRange(uint32_t pc, uint32_t start, uint32_t end) {
  return pc >= start && pc < end;
}

}  // namespace

extern "C" {

uint32_t get_return_address(uint32_t frame) {
  return wordAt(frame + 4);
}

uint32_t next_frame_pointer(uint32_t frame) {
  return wordAt(frame);
}

lispval valid_function_object(lispval value) {
  const uint32_t object = readableOther(value, lisp::kFunctionFixedBytes);
  if (object == 0) return 0;
  const auto* function = reinterpret_cast<const lisp::FunctionObject*>(object);
  if (lisp::typeCodeOf(function->header) != lisp::type_code::Function ||
      (function->header & kNotCompiledBit))
    return 0;
  const uint32_t codeVector = readableCodeVector(function->codeVector, 8);
  if (codeVector == 0) return 0;
  const uint32_t entry = function->start;
  return entry >= codeVector && entry - codeVector < kMostEntryDistance ? value : 0;
}

int function_object_subsumes_address(lispval function, uint32_t pc, int lenient) {
  lispval candidate = function;
  if (const uint32_t object = readableOther(function, sizeof(lisp::ClosureObject)))
    if (lisp::typeCodeOf(wordAt(object)) == lisp::type_code::Closure)
      candidate = reinterpret_cast<const lisp::ClosureObject*>(object)->templateFunction;
  if (valid_function_object(candidate)) {
    const auto* code = lisp::objectOf<lisp::FunctionObject>(candidate);
    if (inRange(pc, code->start, codeEnd(code->codeVector))) return 1;
  }
  if (!lenient || nilval == 0) return 0;
  const lispval nil = nilval;
  const uint32_t trampolines = nb::word(nil, nb::global::kTrampolineAreaStart);
  const uint32_t trampolinesEnd = nb::word(nil, nb::global::kTrampolineAreaEnd);
  if (inRange(pc, trampolines, trampolinesEnd) || inRange(pc, nil - kStubPrefixBytes, nil))
    return -1;
  return 0;
}

}  // extern "C"
