// A small arena of Lisp objects for register-convention tests: symbols whose
// function cell holds a stand-in function, and function objects whose start
// word is any routine (usually lisp_recorder_entry).
#pragma once

#include <cstdint>
#include <memory>

#include "runtime/rs/lisp_value.h"
#include "runtime/rs/object_layout.h"

namespace testing_support {

class LispTestObjects {
 public:
  explicit LispTestObjects(lisp::lispval nil, uint32_t bytes = 64 * 1024);

  // A function object with no constants whose calls jump to `start`.
  lisp::lispval makeFunction(uint32_t start);
  // A symbol whose function cell holds `function` (nil for none).
  lisp::lispval makeSymbol(lisp::lispval function);
  // Raw 8-byte-aligned storage inside the arena.
  void* allocate(uint32_t bytes);
  // Whether the address lies inside the arena.
  bool contains(uint32_t address) const;

 private:
  lisp::lispval nil_;
  std::unique_ptr<uint64_t[]> storage_;
  uint32_t capacity_;
  uint32_t used_ = 0;
};

}  // namespace testing_support
