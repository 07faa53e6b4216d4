// The runtime fasl loader's cell stack; see cell_load_stack.h.

#include "runtime/load/cell_load_stack.h"

#include "runtime/gc/gc_state.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/object_routines.h"
#include "runtime/rs/thread_record.h"

namespace {

using lisp::lispval;
namespace tr = lisp::thread_record;

uint32_t address(const lispval& slot) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&slot));
}

void store(lispval& slot, lispval value) {
  slot = value;
  fasl_protect(address(slot));
}

lispval& threadWord(lispval thread, int32_t offset) {
  return lisp::wordAt(thread, offset);
}

lispval newCell() {
  return new_lisp_obj(1, 0, 0);
}

// Links a cell holding the value on top of the stack.
void linkOnTop(lispval thread, lispval cell, lispval value) {
  store(lisp::car(cell), value);
  store(lisp::cdr(cell), threadWord(thread, tr::kFaslCellStack));
  store(threadWord(thread, tr::kFaslCellStack), cell);
}

}  // namespace

extern "C" {

void do_fasl_push(lispval thread, lispval value) {
  lispval cell = threadWord(thread, tr::kFaslFreeCells);
  if (lisp::isCons(cell))
    store(threadWord(thread, tr::kFaslFreeCells), lisp::cdr(cell));
  else
    cell = newCell();
  linkOnTop(thread, cell, value);
}

lispval do_fasl_pop(lispval thread) {
  const lispval cell = threadWord(thread, tr::kFaslCellStack);
  const lispval value = lisp::car(cell);
  store(threadWord(thread, tr::kFaslCellStack), lisp::cdr(cell));
  store(lisp::cdr(cell), threadWord(thread, tr::kFaslFreeCells));
  store(threadWord(thread, tr::kFaslFreeCells), cell);
  return value;
}
}

namespace lisp::fasl {

lispval& CellLoadStack::word(int32_t offset) const {
  return wordAt(thread_, offset);
}

bool CellLoadStack::emptyList() const {
  return !isCons(word(tr::kFaslCellStack));
}

bool CellLoadStack::makeRoom(uint32_t room) {
  uint32_t free = 0;
  for (lispval c = word(tr::kFaslFreeCells); isCons(c) && free < room; c = cdr(c)) ++free;
  for (; free < room; ++free) {
    const lispval cell = newCell();
    store(car(cell), nilval);
    store(cdr(cell), word(tr::kFaslFreeCells));
    store(word(tr::kFaslFreeCells), cell);
  }
  return true;
}

void CellLoadStack::push(lispval value) {
  do_fasl_push(thread_, value);
  ++height_;
}

lispval CellLoadStack::pop() {
  --height_;
  return do_fasl_pop(thread_);
}

lispval CellLoadStack::cellAt(uint32_t depth) const {
  lispval cell = word(tr::kFaslCellStack);
  for (uint32_t i = 0; i < depth; ++i) cell = cdr(cell);
  return cell;
}

lispval CellLoadStack::at(uint32_t depth) const {
  return car(cellAt(depth));
}

void CellLoadStack::put(uint32_t depth, lispval value) {
  store(car(cellAt(depth)), value);
}

// Cut cells are dropped, not given to the free list: the stack word is
// restored as it was.
void CellLoadStack::cutTo(uint32_t fill) {
  lispval top = word(tr::kFaslCellStack);
  for (; height_ > fill; --height_) top = cdr(top);
  store(word(tr::kFaslCellStack), top);
}

// The bottom cell, found again after every allocation (a collection moves it).
lispval CellLoadStack::bottomCell() const {
  lispval bottom = word(tr::kFaslCellStack);
  while (isCons(cdr(bottom))) bottom = cdr(bottom);
  return bottom;
}

lispval CellLoadStack::scratch(uint32_t characters) {
  if (emptyList()) {
    // The cell first, holding nil: the new string then goes straight into
    // it, so no allocation happens while the string is held only here.
    push(nilval);
    const lispval fresh = new_lisp_obj(type_code::SimpleString, kScratchCharacters, 0);
    store(car(bottomCell()), fresh);
  }
  const lispval current = car(bottomCell());
  if (fixnumValue(wordAt(current, -0xe)) >= static_cast<int32_t>(characters)) return current;
  const lispval fresh = new_lisp_obj(type_code::SimpleString, characters, 0);
  store(car(bottomCell()), fresh);
  return fresh;
}

}  // namespace lisp::fasl
