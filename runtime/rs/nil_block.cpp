// Building and re-linking the nil block (the native halves of setupglobs,
// restoreglobs and link_runtime_entries), and the published data words.
//
// Invariant: once setupglobs has run, `nilval` is nil's word, `globreg` is
// nil - 0x15, globs[0] is nil, and every slot of the entry table (and every
// trampoline copy) points into the running library; restoreglobs re-establishes
// the last two after an image restore.

#include "runtime/rs/nil_block.h"

#include <cstring>

#include "runtime/os/thread_storage.h"
#include "runtime/rs/entry_table.h"
#include "runtime/rs/exports.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/runtime_routines.h"

using lisp::lispval;
namespace nb = lisp::nil_block;

extern "C" {
KORVANE_EXPORT lispval nilval = 0;
KORVANE_EXPORT lispval tval = 0;
KORVANE_EXPORT lispval UnboundValue = 0;
uint32_t globreg = 0;
uint32_t globs[32] = {};
}

namespace {

inline constexpr uint32_t kScratchBignumBytes = 16;
inline constexpr char kUnboundName[] = "Unbound Value";
inline constexpr uint32_t kUnboundNameLength = sizeof kUnboundName - 1;
// A cons, then the string's header, length word, characters and zero unit.
inline constexpr uint32_t kUnboundMarkerBytes = 8 + 8 + 2 * kUnboundNameLength + 2;
static_assert(kUnboundMarkerBytes == 44);

uint32_t addressOf(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

uint32_t* at(uint32_t address) {
  return reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
}

}  // namespace

extern "C" {

// Steps up to the trampoline area: nil placed, the code at nil written, the
// published words and the thread slot set. Returns the first free position.
uint32_t nil_block_prepare(uint32_t blockStart, uint32_t stampPlusOne) {
  const lispval nil = nb::nilForBlockStart(blockStart);
  // The prefix lies at odd addresses (nil's low byte is 0x85): byte copies.
  auto* prefix = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(nil + nb::kCountPrefix));
  std::memcpy(prefix, &nb::kCountPrefixHalf, sizeof nb::kCountPrefixHalf);
  std::memcpy(prefix + 2, &nb::kCountPrefixWord, sizeof nb::kCountPrefixWord);
  std::memcpy(at(nil), nb::kCallStub.data(), nb::kCallStub.size());

  globs[0] = nil;
  nilval = nil;
  globreg = nil + nb::global::kThreadSlotIndex;

  nb::word(nil, nb::global::kAllocationStamp) = stampPlusOne - 1;
  const uint16_t controlWord = nb::kFreshFloatControlWord;
  std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(nil + nb::global::kFloatControlWord)),
              &controlWord, sizeof controlWord);
  lisp::car(nil) = nil;
  lisp::cdr(nil) = nil;

  nb::word(nil, nb::global::kThreadSlotIndex) = lisp_tls_index;
  set_tls_thread(lisp_tls_index, lisp::dummyThreadWord());

  const uint32_t areaStart = nb::align8(nil + nb::kBlockEnd);
  const uint32_t areaEnd = areaStart + nb::kTrampolineStretchBytes;
  nb::word(nil, nb::global::kTrampolineAreaStart) = areaStart;
  nb::word(nil, nb::global::kTrampolineAreaEnd) = areaEnd;
  return nb::align8(areaEnd);
}

// The steps after the entry table is linked: scratch bignums, the unbound
// marker and the start-up values. Returns the first free 8-aligned position.
uint32_t nil_block_finish(uint32_t freePosition) {
  const lispval nil = nilval;
  uint32_t free = freePosition;

  for (int32_t global : {nb::global::kScratchBignum1, nb::global::kScratchBignum2}) {
    std::memset(at(free), 0, kScratchBignumBytes);
    *at(free) = lisp::bignumHeader(0);
    nb::word(nil, global) = lisp::pointerWord(free, lisp::Tag::Other);
    free += kScratchBignumBytes;
  }

  nb::word(nil, nb::global::kDivisorScratch) = nil;

  // The unbound marker: a cons whose car is a simple string of 13 characters
  // (the start-up code writes them) and whose cdr is nil.
  const uint32_t string = free + 8;
  *at(string) = lisp::headerWord(lisp::type_code::SimpleString);
  *at(string + 4) = lisp::makeFixnum(kUnboundNameLength);
  const lispval marker = lisp::pointerWord(free, lisp::Tag::Cons);
  lisp::car(marker) = lisp::pointerWord(string, lisp::Tag::Other);
  lisp::cdr(marker) = nil;
  nb::word(nil, nb::global::kUnboundMarker) = marker;
  UnboundValue = marker;
  free = nb::align8(free + kUnboundMarkerBytes);

  nb::word(nil, nb::global::kGlobsAddress) = addressOf(globs);
  for (const nb::GlobalStartValue& start : nb::kStartValues)
    nb::word(nil, start.offset) = start.value == nb::StartValue::Nil ? nil : 0;
  return free;
}

void link_runtime_entries_at(lispval nil) {
  namespace et = lisp::entry_table;
  for (const et::StubSlot& slot : et::kStubSlots) nb::word(nil, slot.offset) = nil + slot.stubEntry;
  for (const et::RoutineSlot& slot : et::kRoutineSlots)
    nb::word(nil, slot.offset) = et::routineFor(slot);

  const uint32_t areaStart = nb::word(nil, nb::global::kTrampolineAreaStart);
  constexpr uint32_t kStretchWords = (nb::kTrampolineStretchBytes + 3) / 4;
  std::memcpy(at(areaStart), gtrampstart, 4 * kStretchWords);
  for (const nb::TrampolineCopy& copy : nb::kTrampolineCopies)
    nb::word(nil, copy.global) = areaStart + copy.offsetInStretch;
  nb::word(nil, nb::global::kClosureEntryForNew) = nb::word(nil, nb::kTrampolineCopies[0].global);
  nb::word(nil, nb::global::kTrampolineAreaEnd) = areaStart + nb::kTrampolineStretchBytes;
  nb::word(nil, nb::global::kConsingMode) = 0;
}

uint32_t nil_block_after_restore() {
  nb::word(nilval, nb::global::kGlobsAddress) = addressOf(globs);
  return addressOf(globs);
}

}  // extern "C"
