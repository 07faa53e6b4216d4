// The lisp-static registry: a table of blocks of 1024 entries, each entry
// the tagged pointer of a registered native-heap object, 0 when free.
//
// Invariants: an object is registered at most once, and its prefix's first
// word names the block and entry that hold it; a block exists exactly while
// it holds an entry (an emptied block is freed at once); Gslispstatic_count
// counts the entries in use, and [Gslispstatic_min, Gslispstatic_max]
// covers every registered pointer (it may be wider between sweeps); no
// entry at or after the append position (last_lispstatic,
// last_lispstatic_index) is in use.
//
// Sections: table and blocks, placing, freeing, the registry's entries,
// marking and sweeping.

#include "runtime/gc/lispstatic.h"

#include <algorithm>
#include <cstring>

#include "runtime/gc/collector_errors.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/object_extent.h"
#include "runtime/rs/object_layout.h"

extern "C" {
uint32_t lispstatic_adds = 0;
uint32_t lispstatic_frees = 0;
}

namespace {

using namespace gc;
using lisp::lispval;

constexpr uint32_t kMarked = 1;

void* native(uint32_t address) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}
uint32_t prefixOf(lispval object) {
  return lisp::objectAddress(object) - kPrefixBytes;
}

// The objects whose registration is under way, innermost first: placing
// one may allocate, an allocation may collect before the registry holds it,
// and a hook of that collection may register another.
struct Registering {
  lispval object;
  const Registering* outer;
};
const Registering* g_registering = nullptr;

// ---- table and blocks ----

uint32_t& tableEntry(uint32_t block) {
  return wordAt(first_lispstatic + 4 * block);
}

// The block at `index`, or null when it does not exist.
lispstatic_block* blockAt(uint32_t index) {
  if (first_lispstatic == 0 || index >= lispstatic_block_blocks) return nullptr;
  return reinterpret_cast<lispstatic_block*>(static_cast<uintptr_t>(tableEntry(index)));
}

void createTable() {
  if (lispstatic_block_blocks == 0) lispstatic_block_blocks = kLispstaticTableGrowth;
  void* table = vxmmalloc(4 * lispstatic_block_blocks, 0, 0);
  if (!table) {
    gserror(gc_messages::kLispstaticTableFailed, 0, 1);
    return;
  }
  std::memset(table, 0, 4 * lispstatic_block_blocks);
  first_lispstatic = addressOf(table);
}

// A fresh block at `index` holding `object` at entry 0.
lispstatic_block* newBlock(uint32_t index, lispval object) {
  while (index >= lispstatic_block_blocks) reallocate_lispstatic_blocks();
  auto* block = static_cast<lispstatic_block*>(vxmmalloc(sizeof(lispstatic_block), 0, 0));
  if (!block) {
    gserror(gc_messages::kLispstaticBlockFailed, 0, 1);
    return nullptr;
  }
  std::memset(block, 0, sizeof *block);
  block->entries[0] = object;
  block->count = 1;
  block->hint = 1;
  tableEntry(index) = addressOf(block);
  return block;
}

// ---- placing ----

struct Position {
  uint32_t block, entry;
};

// Positions counted as one number, so that entry 1024 of a block is entry 0
// of the next.
uint32_t linear(Position position) {
  return position.block * kLispstaticEntries + position.entry;
}
Position fromLinear(uint32_t index) {
  return {index / kLispstaticEntries, index % kLispstaticEntries};
}
Position appendPosition() {
  return {last_lispstatic, last_lispstatic_index};
}
void setAppendPosition(Position position) {
  last_lispstatic = position.block;
  last_lispstatic_index = position.entry;
}

// Stores the object at a free entry of an existing block.
void store(lispstatic_block* block, uint32_t entry, lispval object) {
  block->entries[entry] = object;
  block->marks[entry] = 0;
  ++block->count;
}

Position placeAtFirstFree(lispval object) {
  for (uint32_t index = 0;; ++index) {
    if (index >= lispstatic_block_blocks) reallocate_lispstatic_blocks();
    lispstatic_block* block = blockAt(index);
    if (!block) {
      newBlock(index, object);
      return {index, 0};
    }
    if (block->count >= kLispstaticEntries) continue;
    uint32_t entry = block->hint % kLispstaticEntries;
    while (block->entries[entry] != 0) entry = (entry + 1) % kLispstaticEntries;
    store(block, entry, object);
    block->hint = (entry + 1) % kLispstaticEntries;
    return {index, entry};
  }
}

Position placeAtAppendPosition(lispval object) {
  const Position position = fromLinear(linear(appendPosition()));
  while (position.block >= lispstatic_block_blocks) reallocate_lispstatic_blocks();
  lispstatic_block* block = blockAt(position.block);
  if (!block) {
    newBlock(position.block, object);
    return {position.block, 0};
  }
  // Never overwrite an entry in use; the first free one serves instead.
  if (block->entries[position.entry] != 0) return placeAtFirstFree(object);
  store(block, position.entry, object);
  return position;
}

// ---- freeing ----

// The entry at `position` was freed. Searching down from the append
// position to it, the append position follows over free entries (and
// missing blocks); when none in use lies above it, it comes down to it.
void lowerAppendPosition(Position freed) {
  const uint32_t bottom = linear(freed);
  if (linear(appendPosition()) <= bottom) return;
  for (uint32_t index = linear(appendPosition()); index > bottom + 1;) {
    const uint32_t below = index - 1;
    const lispstatic_block* block = blockAt(below / kLispstaticEntries);
    if (block && block->entries[below % kLispstaticEntries] != 0) {
      setAppendPosition(fromLinear(index));
      return;
    }
    index = block ? below : std::max(bottom + 1, below - below % kLispstaticEntries);
  }
  setAppendPosition(freed);
}

// Frees the object at `position` and its entry; true when that emptied and
// freed the block.
bool freeEntry(lispstatic_block* block, Position position) {
  const lispval object = block->entries[position.entry];
  vxmmalloc_frees += vxmfree(native(prefixOf(object)), 0);
  ++lispstatic_frees;
  --block->count;
  --Gslispstatic_count;
  block->entries[position.entry] = 0;
  block->marks[position.entry] = 0;
  block->hint = std::min(block->hint, position.entry);
  lowerAppendPosition(position);
  if (block->count != 0) return false;
  vxmfree(block, 0);
  tableEntry(position.block) = 0;
  return true;
}

// ---- marking ----

void skipSlot(uint32_t) {}

// Hands the value words of the object at `header` to `slot`: not a
// function's code and entry words, nor a symbol's first value word.
void visitValueWords(uint32_t header, void (*slot)(uint32_t)) {
  const uint32_t word0 = wordAt(header);
  const ObjectExtent extent = extentOf(word0, wordAt(header + 4));
  if (!extent.row) gserror1(header);
  if (extent.row->sysvector) {
    const SlotTreatment treatment{slot, skipSlot};
    scan_other_item(header, &treatment);
    return;
  }
  const bool symbol = (word0 & 0xff) == lisp::kSymbolTypeByte;
  for (int range = 0; range < 2; ++range)
    for (uint32_t i = 0; i < extent.wordCount[range]; ++i) {
      const uint32_t word = extent.firstWord[range] + i;
      if (symbol && word == 1) continue;
      slot(header + 4 * word);
    }
}

}  // namespace

extern "C" {

// ---- the registry's entries ----

int valid_lispstatic(lispval value, int checkPositions) {
  if (!lisp::isOther(value)) return 0;
  const uint32_t prefix = prefixOf(value);
  if (!malloc_verify_object(native(prefix))) return 0;
  if (!checkPositions) return 1;

  const uint32_t position = wordAt(prefix);
  const uint32_t entry = position >> 16;
  const lispstatic_block* block = blockAt(position & 0xffff);
  if (!block || entry >= kLispstaticEntries) return 0;
  return block->entries[entry] == value ? 1 : 0;
}

void add_lispstatic(lispval object, uint32_t append) {
  if (object == 0 || !valid_lispstatic(object, 0) || valid_lispstatic(object, 1)) return;
  const Registering registering{object, g_registering};
  g_registering = &registering;
  if (first_lispstatic == 0) createTable();
  ++lispstatic_adds;
  if (Gslispstatic_count <= 0) setAppendPosition({0, 0});

  // Placing may allocate a block (or a larger table), and an allocation may
  // scavenge, whose sweep recomputes the range from what is registered. So
  // the object is counted and put into the range only once its entry holds
  // it.
  const Position position = append ? placeAtAppendPosition(object) : placeAtFirstFree(object);
  wordAt(prefixOf(object)) = lispstaticPosition(position.block, position.entry);
  const Position after{position.block, position.entry + 1};
  if (append || linear(after) > linear(appendPosition())) setAppendPosition(after);

  if (Gslispstatic_count++ <= 0) {
    Gslispstatic_count = 1;
    Gslispstatic_min = Gslispstatic_max = object;
  } else {
    Gslispstatic_min = std::min(Gslispstatic_min, object);
    Gslispstatic_max = std::max(Gslispstatic_max, object);
  }
  g_registering = registering.outer;
}

void scan_lispstatic_being_registered(void (*slot)(uint32_t)) {
  for (const Registering* r = g_registering; r; r = r->outer)
    visitValueWords(lisp::objectAddress(r->object), slot);
}

void delete_lispstatic(lispval object) {
  if (Gslispstatic_count <= 0 || !valid_lispstatic(object, 1)) return;
  const uint32_t position = wordAt(prefixOf(object));
  const Position at{position & 0xffff, position >> 16};
  freeEntry(blockAt(at.block), at);
}

void reallocate_lispstatic_blocks() {
  const uint32_t before = lispstatic_block_blocks;
  const uint32_t after = before + kLispstaticTableGrowth;
  const uint32_t kept = first_lispstatic ? before : 0;  // entries the old table brings
  void* table = vxmrealloc(first_lispstatic ? native(first_lispstatic) : nullptr, 4 * after, 0);
  if (!table) {
    gserror(gc_messages::kLispstaticTableFailed, 0, 1);
    return;
  }
  std::memset(static_cast<uint32_t*>(table) + kept, 0, 4 * (after - kept));
  first_lispstatic = addressOf(table);
  lispstatic_block_blocks = after;
}

// ---- marking and sweeping ----

void mark_lispstatic(lispval object, void (*slot)(uint32_t)) {
  if (!valid_lispstatic(object, 1)) return;
  const uint32_t position = wordAt(prefixOf(object));
  lispstatic_block* block = blockAt(position & 0xffff);
  uint8_t& mark = block->marks[position >> 16];
  if (mark & kMarked) return;
  mark |= kMarked;
  visitValueWords(lisp::objectAddress(object), slot);
}

int unmarked_lispstatic(lispval value) {
  if (Gslispstatic_count <= 0 || value < Gslispstatic_min || value > Gslispstatic_max) return 0;
  if (!valid_lispstatic(value, 1)) return 0;
  const uint32_t position = wordAt(prefixOf(value));
  return (blockAt(position & 0xffff)->marks[position >> 16] & kMarked) ? 0 : 1;
}

void scan_lispstatic(void (*visit)(uint32_t header), int sweep) {
  if (Gslispstatic_count <= 0 || first_lispstatic == 0) return;
  Gslispstatic_min = UINT32_MAX;
  Gslispstatic_max = 0;
  for (uint32_t index = 0; index < lispstatic_block_blocks; ++index) {
    lispstatic_block* block = blockAt(index);
    if (!block) continue;
    for (uint32_t entry = 0; entry < kLispstaticEntries; ++entry) {
      const lispval object = block->entries[entry];
      if (object == 0) continue;
      if (sweep && !(block->marks[entry] & kMarked)) {
        if (freeEntry(block, {index, entry})) break;
        continue;
      }
      if (visit) visit(lisp::objectAddress(object));
      block->marks[entry] = 0;
      Gslispstatic_min = std::min(Gslispstatic_min, object);
      Gslispstatic_max = std::max(Gslispstatic_max, object);
    }
  }
}

}  // extern "C"
