// Growth of a segment record's tables. The new vector is fresh, so copying
// into it needs no barrier; storing it into the record does.

#include "runtime/load/fasl_segment.h"

#include "runtime/gc/write_barrier.h"
#include "runtime/rs/object_layout.h"

namespace lisp::fasl {

namespace {
constexpr int32_t kLengthOffset = -0xe;  // fixnum length word from the vector's word
constexpr int32_t kDataOffset = -0xa;

lispval& recordElement(lispval segment, uint32_t index) {
  return simpleVectorElement(segment, index);
}

void storeIntoRecord(lispval segment, uint32_t index, lispval value) {
  lispval& slot = recordElement(segment, index);
  slot = value;
  fasl_protect(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&slot)));
}

// The maker may collect, which moves objects: everything is read again
// through the cell (a word the collector updates) after it returns.
lispval needSlot(lispval* segmentCell, uint32_t tableIndex, uint32_t countIndex,
                 SimpleVectorMaker make) {
  const auto tableLength = [&] {
    const lispval table = recordElement(*segmentCell, tableIndex);
    return tagOf(table) == Tag::Nil ? 0u : simpleVectorLength(table);
  };
  const uint32_t count =
      static_cast<uint32_t>(fixnumValue(recordElement(*segmentCell, countIndex)));
  const uint32_t length = tableLength();
  if (count < length) return recordElement(*segmentCell, tableIndex);
  const lispval grown = make(grownTableLength(length));
  const lispval table = recordElement(*segmentCell, tableIndex);
  const uint32_t kept = count < length ? count : length;
  for (uint32_t i = 0; i < kept; ++i) simpleVectorElement(grown, i) = simpleVectorElement(table, i);
  storeIntoRecord(*segmentCell, tableIndex, grown);
  return grown;
}
}  // namespace

uint32_t simpleVectorLength(lispval vector) {
  return static_cast<uint32_t>(fixnumValue(wordAt(vector, kLengthOffset)));
}

lispval& simpleVectorElement(lispval vector, uint32_t index) {
  return wordAt(vector, kDataOffset + 4 * static_cast<int32_t>(index));
}

static_assert(offsetFromWord(offsetof(FixnumLengthVector, length), Tag::Other) == kLengthOffset);
static_assert(offsetFromWord(offsetof(FixnumLengthVector, data), Tag::Other) == kDataOffset);

}  // namespace lisp::fasl

extern "C" {

lisp::lispval need_fasl_symtab_slot(lisp::lispval* segmentCell,
                                    lisp::fasl::SimpleVectorMaker make) {
  using namespace lisp::fasl::segment_record;
  return lisp::fasl::needSlot(segmentCell, kSymtab, kSymtabCount, make);
}

lisp::lispval need_fasl_fsymtab_slot(lisp::lispval* segmentCell,
                                     lisp::fasl::SimpleVectorMaker make) {
  using namespace lisp::fasl::segment_record;
  return lisp::fasl::needSlot(segmentCell, kFsymtab, kFsymtabCount, make);
}

}  // extern "C"
