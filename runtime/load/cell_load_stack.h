// The runtime fasl loader's stack: a list of cells hung on the thread
// record, its first cell the top, with a second list of free cells that
// pops give back and pushes take first. The bottom cell holds the loader's
// scratch string.
//
// Every store into a cell or the thread record goes through the write
// barrier: a cell taken from the free list may be old.
#pragma once

#include <cstdint>

#include "runtime/load/load_stack.h"
#include "runtime/rs/lisp_value.h"

extern "C" {
// Pushes the value in a free cell, or a new cons when there is none (the
// value must then be held where the collector sees it).
void do_fasl_push(lisp::lispval thread, lisp::lispval value);
// Unlinks the top cell, gives it to the free list and returns its car.
lisp::lispval do_fasl_pop(lisp::lispval thread);
}

namespace lisp::fasl {

inline constexpr uint32_t kScratchCharacters = 128;

// The items of one load on the cell stack: heights count from the list as
// it was when the view was made (the scratch string's cell included when
// the view pushed it).
class CellLoadStack final : public ItemStack {
 public:
  explicit CellLoadStack(lispval thread) : thread_(thread) {}

  uint32_t fill() const override { return height_; }
  // Makes sure of `room` free cells, so pushes do not allocate.
  bool makeRoom(uint32_t room) override;
  void push(lispval value) override;
  lispval pop() override;
  lispval at(uint32_t depth) const override;
  void put(uint32_t depth, lispval value) override;
  void cutTo(uint32_t fill) override;

  bool emptyList() const;
  // The scratch string of the bottom cell, replaced by a longer one when it
  // has fewer than `characters`; pushes a first one on an empty list.
  lispval scratch(uint32_t characters);

 private:
  lispval& word(int32_t offset) const;
  lispval cellAt(uint32_t depth) const;
  lispval bottomCell() const;
  lispval thread_;
  uint32_t height_ = 0;
};

}  // namespace lisp::fasl
