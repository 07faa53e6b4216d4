// A heap with two old areas (the first closed), new space above them, and
// objects of every kind made by hand, each recorded as it is made, for the
// verifier, the walkers and the statistics.
#pragma once

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/gc/heap_areas.h"
#include "testing/lisp_heap_fixture.h"
#include "runtime/rs/object_layout.h"

extern "C" uint32_t globs[32];

namespace gc_test {

class WalkHeap : public LispHeap {
 protected:
  // What was made, by where it lies.
  struct Made {
    std::set<uint32_t> conses;   // cell addresses
    std::set<uint32_t> objects;  // header addresses (old fillers included)
  };

  // Turns the new-space block into a second old area and lays new space out
  // again above it, as a scavenge that grows old space does.
  void addAreaBelowNewSpace() {
    const uint32_t start = GsNewFence, bytes = GsNewTop - GsNewFence;
    uint32_t newBreak = 0;
    ASSERT_EQ(limited_setbrk(bytes, &newBreak), 0);
    GsOldAreaSetup(start, bytes);
    const uint32_t newStart = start + bytes;
    GsNewFence = newStart;
    GsNewFenceLV = newStart + lisp::kPointerBias;
    GsNewTop = newBreak;
    GsNewTopLV = newBreak + lisp::kPointerBias;
    globs[1] = newStart;
    global(gc::global::kNewFence) = newStart;
    GsNewAreaSetup(newStart, bytes / 2);
    GsNewScavengeToArea = newStart + bytes / 2;
  }

  // A simple vector of n nil elements in old or new space.
  uint32_t vector(bool old, uint32_t n) {
    const uint32_t bytes = static_cast<uint32_t>(
        lisp::vectorObjectBytes(*lisp::vectorType(lisp::type_code::SimpleVector), n));
    const uint32_t object = old ? other_from_old_xsmp(bytes) : other_from_new_xsmp(bytes);
    at(object) = lisp::headerWord(lisp::type_code::SimpleVector);
    at(object + 4) = lisp::makeFixnum(static_cast<int32_t>(n));
    for (uint32_t i = 0; i < n; ++i) at(object + 8 + 4 * i) = nil();
    (old ? old_ : new_).objects.insert(object);
    return object;
  }
  // A symbol (type byte 7) in old or new space.
  uint32_t symbol(bool old) {
    const uint32_t object = old ? other_from_old_xsmp(32) : other_from_new_xsmp(32);
    at(object) = lisp::kSymbolTypeByte;
    for (uint32_t word = 1; word < 8; ++word) at(object + 4 * word) = nil();
    (old ? old_ : new_).objects.insert(object);
    return object;
  }
  uint32_t oldCons() {
    const uint32_t cell = cons_from_old();
    at(cell) = at(cell + 4) = nil();
    old_.conses.insert(cell);
    return cell;
  }
  // Lisp's fast path on the shared cons pointer, the slow path when it is full.
  uint32_t newCons() {
    uint32_t& fill = global(gc::global::kConsFill);
    uint32_t cell;
    if (fill < global(gc::global::kConsLimit)) {
      cell = fill - gc::kConsWordBias;
      fill += gc::kConsCellBytes;
    } else {
      cell = cons_from_new_page();
    }
    at(cell) = at(cell + 4) = nil();
    new_.conses.insert(cell);
    return cell;
  }
  // Shrinks a vector to `elements`; the freed tail becomes a filler of its space.
  void shrink(uint32_t vectorAddress, uint32_t elements, bool old) {
    const auto& type = *lisp::vectorType(lisp::type_code::SimpleVector);
    const uint32_t before = static_cast<uint32_t>(lisp::vectorObjectBytes(
        type, static_cast<uint32_t>(lisp::fixnumValue(at(vectorAddress + 4)))));
    const uint32_t after = static_cast<uint32_t>(lisp::vectorObjectBytes(type, elements));
    ASSERT_GE(before - after, 8u);
    at(vectorAddress + 4) = lisp::makeFixnum(static_cast<int32_t>(elements));
    const uint32_t tail = vectorAddress + after, freed = before - after;
    if (old) {
      at(tail) = ((freed - 4) << 8) | lisp::type_code::ByteVector;
      old_.objects.insert(tail);
    } else {
      at(tail) = freed;
      at(tail + 4) = 0xffffffff;
    }
  }

  // The standard population: conses and objects in both areas (the first
  // closed afterwards), in new space, and a shrunk vector in each space.
  void populate() {
    oldCons();
    oldCons();
    vector(true, 3);
    symbol(true);
    shrink(vector(true, 9), 2, true);
    addAreaBelowNewSpace();
    setOpenOldFence(1);
    oldCons();
    vector(true, 5);
    symbol(true);
    newCons();
    newCons();
    vector(false, 4);
    shrink(vector(false, 12), 3, false);
    symbol(false);
    newCons();
  }

  Made old_, new_;
};

}  // namespace gc_test
