// The segment record that each 0xF3 marker of a fasl file creates, and the
// growth of its two tables, symtab and fsymtab.
//
// The record is a simple vector of 7 elements; the loaders keep it in the
// caller's segment cell, so stores into it go through the write barrier.
#pragma once

#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp::fasl {

namespace segment_record {
inline constexpr uint32_t kElements = 7;
inline constexpr uint32_t kLinkValue = 1;     // the caller's link value; later segments inherit it
inline constexpr uint32_t kSymtab = 3;        // vector or nil
inline constexpr uint32_t kSymtabCount = 4;   // fixnum
inline constexpr uint32_t kFsymtab = 5;       // vector or nil
inline constexpr uint32_t kFsymtabCount = 6;  // fixnum
}  // namespace segment_record

// A full table grows to twice its length, a missing one to 30 slots.
inline constexpr uint32_t kFirstTableLength = 30;
constexpr uint32_t grownTableLength(uint32_t length) {
  return length == 0 ? kFirstTableLength : 2 * length;
}

// Elements of a simple vector (type 112: header, fixnum length, elements).
uint32_t simpleVectorLength(lispval vector);
lispval& simpleVectorElement(lispval vector, uint32_t index);

// Makes a simple vector of `length` elements, all nil (the runtime's constructor).
using SimpleVectorMaker = lispval (*)(uint32_t length);

}  // namespace lisp::fasl

extern "C" {
// Make sure the table of the record in the cell has a slot at its count: grow
// it when full (entries kept in order) and store the new vector in the record.
// The cell is a word the collector updates. Returns the table.
lisp::lispval need_fasl_symtab_slot(lisp::lispval* segmentCell, lisp::fasl::SimpleVectorMaker make);
lisp::lispval need_fasl_fsymtab_slot(lisp::lispval* segmentCell,
                                     lisp::fasl::SimpleVectorMaker make);
}
