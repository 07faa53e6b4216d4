// The native fasl loader's stack in the thread record; see load_stack.h.

#include "runtime/load/load_stack.h"

#include "runtime/rs/object_layout.h"
#include "runtime/rs/object_routines.h"
#include "runtime/rs/thread_record.h"

namespace lisp::fasl {

namespace tr = thread_record;
// A sysvector's data from its tagged word: after the header and three words.
constexpr int32_t kSysvectorData = kHeaderOffset + 16;
// A 16-bit string's length (fixnum after the header).
constexpr int32_t kStringLength = -0xe;

uint32_t& LoadStack::fillWord() const {
  return wordAt(thread_, tr::kSpecialFill);
}

uint32_t LoadStack::fill() const {
  return fillWord();
}

bool LoadStack::makeRoom(uint32_t room) {
  const uint32_t used = fillWord() < kReservedDataWords ? kReservedDataWords : fillWord();
  while (wordAt(thread_, tr::kFaslStackWords) < used + room) {
    const uint32_t before = wordAt(thread_, tr::kFaslStackWords);
    grow_fasl_stack(makeFixnum(kStackGrowth));
    if (wordAt(thread_, tr::kFaslStackWords) == before) return false;
  }
  if (fillWord() < kReservedDataWords) {
    slot(0) = makeFixnum(0);
    fillWord() = kReservedDataWords;
  }
  return true;
}

void LoadStack::push(lispval value) {
  slot(fillWord()) = value;
  ++fillWord();
}

lispval LoadStack::pop() {
  --fillWord();
  return slot(fillWord());
}

lispval& LoadStack::at(uint32_t depth) {
  return slot(fillWord() - 1 - depth);
}

lispval& LoadStack::slot(uint32_t index) {
  return wordAt(wordAt(thread_, tr::kFaslStack), kSysvectorData + 4 * static_cast<int32_t>(index));
}

void LoadStack::cutTo(uint32_t fill) {
  if (fill < fillWord()) fillWord() = fill;
}

}  // namespace lisp::fasl

extern "C" lisp::lispval faslbufstr(uint32_t n, lisp::lispval thread) {
  using namespace lisp;
  fasl::LoadStack stack(thread);
  const lispval buffer = stack.slot(fasl::kStringBufferIndex);
  const uint32_t characters = static_cast<uint32_t>(fixnumValue(wordAt(buffer, fasl::kStringLength)));
  if (2 * characters >= n) return buffer;
  // A fresh string: the old one stays reachable until the new one replaces it.
  const lispval fresh = new_lisp_obj(type_code::SimpleString, n, 0);
  stack.slot(fasl::kStringBufferIndex) = fresh;
  return fresh;
}
