// What the frames tests of the collectors share: a code vector whose code
// calls the runtime routine `gc` through a word and returns, a hook list
// entry, and the Lisp call that runs the code.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_layout.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_call_harness.h"

namespace gc_test {

inline constexpr int32_t kGcRoutine = 0x13b;
inline constexpr int32_t kGcAfterHooksWord = -0x15 - 4 * 312;
inline constexpr uint32_t kProbeCodeVectorH8 = 27;  // 64 bytes
inline constexpr uint32_t kProbeCodeVectorBytes = 8 * ((kProbeCodeVectorH8 + 5) >> 2);

// The code of the probe: it calls [*target] from a frame of its own, as code
// that makes a call always has one. Without that frame the return address
// into its caller would lie among the words the stack walk reads as the
// caller's pushed Lisp values, and a collection would take a code address
// for a value.
inline std::array<uint8_t, 25> gcCallingCode(const uint32_t* target) {
  const uint32_t address = gc::addressOf(target);
  return {0x55,        // push ebp
          0x89, 0xe5,  // mov ebp, esp
          0x6a, 0x06,  // push 6: the runtime-routine marker at ebp-4
          0x6a, 0x00,  // push 0
          0x6a, 0x00,  // push 0
          0x57,        // push edi: nil at ebp-0x10
          0x6a, 0x00,  // push 0: the closure slot
          0x6a, 0x00,  // push 0: the symbol slot
          0x53,        // push ebx: the thread at ebp-0x1c
          0x6a, 0x00,  // push 0: ebp-0x20
          0xff, 0x15,  // call [address]
          static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
          static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24),
          0xc9,   // leave
          0xc3};  // ret
}

// Makes the code vector at `vector`: its header, then the probe's code.
inline void writeGcCallingCode(uint32_t vector, const uint32_t* target) {
  gc::wordAt(vector) = kProbeCodeVectorH8 << 8 | lisp::type_code::CodeVector;
  const auto code = gcCallingCode(target);
  static_assert(code.size() <= 2 * (kProbeCodeVectorH8 - lisp::kCodeVectorExtraUnits));
  std::copy(code.begin(), code.end(), reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(vector + 4)));
}

// A hook list element: the raw vector (type 127) at `vector` (16 bytes)
// holding `hook`, in the cons at `cell`; returns the list.
inline lisp::lispval hookListAt(uint32_t vector, uint32_t cell, void (*hook)()) {
  gc::wordAt(vector) = lisp::headerWord(127);
  gc::wordAt(vector + 4) = lisp::makeFixnum(1);
  gc::wordAt(vector + 8) = gc::addressOf(reinterpret_cast<void*>(hook));
  gc::wordAt(cell) = lisp::pointerWord(vector, lisp::Tag::Other);
  gc::wordAt(cell + 4) = nilval;
  return lisp::pointerWord(cell, lisp::Tag::Cons);
}

// Runs the code of the vector at `vector` as a runtime routine would be
// called from Lisp, with `flag` in the first argument register.
inline testing_support::LispCallResult runGcCallingCode(uint32_t vector, lisp::lispval flag) {
  testing_support::LispCallSetup setup;
  setup.target = vector + 4;
  setup.edi = nilval;
  setup.ebx = lisp::dummyThreadWord();
  setup.esi = 0x30000102;
  setup.ecx = 1;
  setup.eax = flag;
  setup.frame[0] = lisp::nil_block::marker::kRuntimeRoutine;
  setup.frame[testing_support::frameIndex(0x1c)] = setup.ebx;
  return testing_support::callWithLispConventions(setup);
}

}  // namespace gc_test
