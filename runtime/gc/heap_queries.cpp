// Heap queries: walks of the whole heap through gsgc_scan_all, one routine
// for conses and one for other objects, that write their answers into
// vectors the Lisp caller made.
//
// Invariant: a query allocates nothing and writes only into the caller's
// vectors, and only after checking that they are what they must be (simple
// vectors long enough, raw tables of 256 words); every Lisp value it stores
// goes through the write barrier's marking step, since the vector may be
// old and the value new.
//
// Sections: result vectors, the walks' shared state, functions, objects,
// type counts, process memory.

#include "runtime/gc/heap_queries.h"

#include <algorithm>
#include <vector>

#include "platform/process_memory.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/global_gc.h"
#include "runtime/gc/heap_walkers.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/root_scan.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/os/minor_services.h"
#include "runtime/rs/object_layout.h"

namespace {

using namespace gc;
using lisp::lispval;

constexpr int32_t kRefused = -1;
constexpr int32_t kAllAreas = 1;
constexpr int kClosedAreasToSavedFill = 0;  // conses past it fill a closed page with nil
constexpr int32_t kUndefinedEntryGlobal = -0x15 - 4 * 110;  // GlobUndefinedEntry
constexpr uint32_t kFunctionEntryWord = 1;
constexpr uint32_t kFunctionNumberWord = 3;
constexpr uint32_t kFunctionNumberMask = 0xffffff;
constexpr uint32_t kVectorDataBytes = 8;  // header and length word before the elements
constexpr uint32_t kEntryTarget = 0, kEntryCount = 1;
constexpr uint32_t kEntryOverhead = 2;  // target and count before the results

// ---- result vectors ----

// The header of the simple vector whose elements start at `data`, or 0.
uint32_t simpleVectorAt(const uint32_t* data) {
  if (!data) return 0;
  const uint32_t header = addressOf(data) - kVectorDataBytes;
  if ((wordAt(header) & 0xff) != lisp::type_code::SimpleVector) return 0;
  if (!lisp::isFixnum(wordAt(header + 4)) || lisp::fixnumValue(wordAt(header + 4)) < 0) return 0;
  return header;
}
uint32_t lengthOf(uint32_t header) {
  return static_cast<uint32_t>(lisp::fixnumValue(wordAt(header + 4)));
}

// Stores a Lisp value into a vector slot as the write barrier would.
void store(uint32_t* slot, lispval value) {
  *slot = value;
  cnoteroot(addressOf(slot));
}

// A count slot followed by `room` result slots.
class ResultSlots {
 public:
  ResultSlots() = default;
  ResultSlots(uint32_t* countSlot, uint32_t room) : count_(countSlot), room_(room) {}
  void add(lispval value) {
    if (found_ < room_) store(count_ + 1 + found_, value);
    ++found_;
  }
  int32_t finish() {
    *count_ = lisp::makeFixnum(static_cast<int32_t>(found_));
    return static_cast<int32_t>(found_);
  }

 private:
  uint32_t* count_ = nullptr;
  uint32_t room_ = 0;
  uint32_t found_ = 0;
};

// A result vector: element 0 counts, elements 1.. hold results.
bool resultVector(uint32_t* data, ResultSlots& slots) {
  const uint32_t header = simpleVectorAt(data);
  if (header == 0 || lengthOf(header) < 1) return false;
  slots = ResultSlots(data, lengthOf(header) - 1);
  return true;
}

// A whocalls entry: target, count, results.
bool entryVector(lispval word, uint32_t*& data) {
  if (!lisp::isOther(word)) return false;
  data = &wordAt(lisp::objectAddress(word) + kVectorDataBytes);
  const uint32_t header = simpleVectorAt(data);
  return header != 0 && lengthOf(header) >= kEntryOverhead;
}
ResultSlots entrySlots(uint32_t* entry) {
  return ResultSlots(entry + kEntryCount, lengthOf(simpleVectorAt(entry)) - kEntryOverhead);
}

lispval taggedObject(uint32_t object) {
  const bool symbol = (wordAt(object) & 0xff) == lisp::kSymbolTypeByte;
  return lisp::pointerWord(object, symbol ? lisp::Tag::Symbol : lisp::Tag::Other);
}
bool isFunction(uint32_t object) {
  return (wordAt(object) & 0xff) == lisp::type_code::Function;
}

// ---- the walks' shared state (walks do not nest) ----

struct Targets {
  std::vector<uint32_t*> entries;
  std::vector<ResultSlots> slots;
  std::vector<uint8_t> hit;  // per entry, for the function being scanned
};
Targets g_targets;
ResultSlots g_result;
lispval g_value = 0;
bool g_slotHolds = false;
uint32_t g_excluded = 0;  // the result vector's own header
int32_t g_type = 0;
const uint32_t* g_numbers = nullptr;
uint32_t g_numberCount = 0;
uint32_t* g_output = nullptr;
int32_t g_collected = 0;
uint32_t* g_counts = nullptr;
uint32_t* g_sizes = nullptr;
uint32_t g_keepNewWanted = 0;  // stamp bits an object must show (mode 3 and 4)

void ignoreSlot(uint32_t) {}

// ---- functions ----

void compareWithTargets(uint32_t slot) {
  for (size_t i = 0; i < g_targets.entries.size(); ++i)
    if (wordAt(slot) == g_targets.entries[i][kEntryTarget]) g_targets.hit[i] = 1;
}
// A function's constants, not its code vector.
const SlotTreatment kConstantTreatment = {compareWithTargets, ignoreSlot};

uint32_t functionCallsTargets(uint32_t object) {
  if (!isFunction(object)) return 0;
  std::fill(g_targets.hit.begin(), g_targets.hit.end(), 0);
  scan_other_item(object, &kConstantTreatment);
  for (size_t i = 0; i < g_targets.hit.size(); ++i)
    if (g_targets.hit[i]) g_targets.slots[i].add(taggedObject(object));
  return 0;
}

uint32_t definedFunction(uint32_t object) {
  if (isFunction(object) &&
      wordAt(object + 4 * kFunctionEntryWord) != globalWord(kUndefinedEntryGlobal))
    g_result.add(taggedObject(object));
  return 0;
}

uint32_t selectedFunction(uint32_t object) {
  if (!isFunction(object)) return 0;
  const uint32_t number = wordAt(object + 4 * kFunctionNumberWord) & kFunctionNumberMask;
  const int32_t index =
      b_search(static_cast<int32_t>(lisp::makeFixnum(static_cast<int32_t>(number))),
               reinterpret_cast<const int32_t*>(g_numbers), static_cast<int32_t>(g_numberCount));
  if (index < 0) return 0;
  store(g_output + index, taggedObject(object));
  ++g_collected;
  return 0;
}

// ---- objects ----

uint32_t anyCons(uint32_t cell) {
  g_result.add(lisp::pointerWord(cell, lisp::Tag::Cons));
  return 0;
}
uint32_t objectOfType(uint32_t object) {
  if (static_cast<int32_t>(wordAt(object) & 0xff) == g_type) g_result.add(taggedObject(object));
  return 0;
}

void checkslotaddr(uint32_t slot) {
  if (wordAt(slot) == g_value) g_slotHolds = true;
}
const SlotTreatment kFindTreatment = {checkslotaddr, checkslotaddr};

uint32_t consHoldingValue(uint32_t cell) {
  if (wordAt(cell) == g_value || wordAt(cell + 4) == g_value)
    g_result.add(lisp::pointerWord(cell, lisp::Tag::Cons));
  return 0;
}
uint32_t objectHoldingValue(uint32_t object) {
  if (object == g_excluded) return 0;
  g_slotHolds = false;
  scan_other_item(object, &kFindTreatment);
  if (g_slotHolds) g_result.add(taggedObject(object));
  return 0;
}

// ---- type counts ----

uint32_t countCons(uint32_t) {
  ++g_counts[kConsTypeSlot];
  g_sizes[kConsTypeSlot] += kConsCellBytes;
  return 0;
}
uint32_t countObject(uint32_t object) {
  const uint8_t type = wordAt(object) & 0xff;
  ++g_counts[type];
  g_sizes[type] += ausize_other(object);
  return 0;
}
// New space only: objects whose prefix stamp's keep-new bit is as wanted.
uint32_t countNewObjectByKeepNew(uint32_t object) {
  if ((wordAt(object - kPrefixBytes + 4) & stamp::kKeepNew) == g_keepNewWanted) countObject(object);
  return 0;
}

// What each mode walks: old areas by selector, new space, and the routines.
struct CountMode {
  int32_t selector;
  int includeNew;
  gsgc_item_routine cons;
  gsgc_item_routine other;
  uint32_t keepNewWanted;
};
constexpr CountMode kCountModes[] = {
    {kAllAreas, 0, countCons, countObject, 0},                  // 0: old space
    {kAllAreas, 1, countCons, countObject, 0},                  // 1: old and new
    {0, 1, countCons, countObject, 0},                          // 2: new space
    {0, 1, nullptr, countNewObjectByKeepNew, stamp::kKeepNew},  // 3: keep-new only
    {0, 1, countCons, countNewObjectByKeepNew, 0},              // 4: the others
};
constexpr int32_t kNativeHeapMode = 5;
constexpr int32_t kLastGlobalMode = 6;

}  // namespace

extern "C" {

// ---- functions ----

int32_t whocalls(uint32_t* entries) {
  const uint32_t header = simpleVectorAt(entries);
  if (header == 0) return kRefused;
  const uint32_t count = lengthOf(header);
  std::vector<uint32_t*> data(count);
  for (uint32_t i = 0; i < count; ++i)
    if (!entryVector(entries[i], data[i])) return kRefused;
  // One entry whose count slot holds 0 asks for every defined function; an
  // ordinary query starts its counts at anything else (nil, say): every
  // count is set from 0 by the walk.
  if (count == 1 && data[0][kEntryCount] == 0) return whocalls_all_fncs(data[0]) < 0 ? kRefused : 1;
  g_targets.entries = data;
  g_targets.slots.clear();
  for (uint32_t* entry : data) g_targets.slots.push_back(entrySlots(entry));
  g_targets.hit.assign(count, 0);
  gsgc_scan_all(nullptr, functionCallsTargets, kAllAreas, 1, kClosedAreasToSavedFill);
  for (ResultSlots& slots : g_targets.slots) slots.finish();
  g_targets = {};
  return static_cast<int32_t>(count);
}

int32_t whocalls_all_fncs(uint32_t* entry) {
  const uint32_t header = simpleVectorAt(entry);
  if (header == 0 || lengthOf(header) < kEntryOverhead) return kRefused;
  g_result = entrySlots(entry);
  gsgc_scan_all(nullptr, definedFunction, kAllAreas, 1, kClosedAreasToSavedFill);
  return g_result.finish();
}

int32_t collect_selected_functions(uint32_t* numbers, uint32_t* output) {
  const uint32_t in = simpleVectorAt(numbers), out = simpleVectorAt(output);
  if (in == 0 || out == 0 || lengthOf(out) < lengthOf(in)) return kRefused;
  g_numbers = numbers;
  g_numberCount = lengthOf(in);
  g_output = output;
  g_collected = 0;
  gsgc_scan_all(nullptr, selectedFunction, kAllAreas, 1, kClosedAreasToSavedFill);
  g_numbers = g_output = nullptr;
  return g_collected;
}

// ---- objects ----

int32_t getobjects(uint32_t* result, int32_t type, int32_t selector, int32_t includeNew) {
  if (!resultVector(result, g_result)) return kRefused;
  g_type = type;
  const bool conses = type == kConsTypeSlot;
  gsgc_scan_all(conses ? anyCons : nullptr, conses ? nullptr : objectOfType, selector,
                includeNew != 0, kClosedAreasToSavedFill);
  return g_result.finish();
}

// Decision: the result vector itself is never reported (its old contents
// would make it a holder of the value).
int32_t findaddress(uint32_t* result, lispval value) {
  if (!resultVector(result, g_result)) return kRefused;
  g_value = value;
  g_excluded = simpleVectorAt(result);
  gsgc_scan_all(consHoldingValue, objectHoldingValue, kAllAreas, 1, kClosedAreasToSavedFill);
  g_excluded = 0;
  return g_result.finish();
}

// ---- type counts ----

// Modes: 0 old space, 1 old and new space, 2 new space, 3 new-space objects
// with the keep-new bit (no conses), 4 new-space objects without it and the
// conses, 5 the native heap by size class (get_nextf's two tables), 6 what
// the last global collection reclaimed.
int32_t gcs_type_counts(uint32_t* counts, uint32_t* sizes, int32_t mode) {
  if (mode < 0 || mode > kLastGlobalMode) return kRefused;
  std::fill(counts, counts + kTypeCountSlots, 0u);
  std::fill(sizes, sizes + kTypeCountSlots, 0u);
  if (mode == kNativeHeapMode) {
    get_nextf(counts, sizes);
    return 0;
  }
  if (mode == kLastGlobalMode) {
    ggc_get_hole_count(counts, sizes);
    return 0;
  }
  const CountMode& walk = kCountModes[mode];
  g_counts = counts;
  g_sizes = sizes;
  g_keepNewWanted = walk.keepNewWanted;
  gsgc_scan_all(walk.cons, walk.other, walk.selector, walk.includeNew, kClosedAreasToSavedFill);
  g_counts = g_sizes = nullptr;
  return 0;
}

// ---- process memory ----

int get_mem_info(uint32_t* workingSet, uint32_t* pageFileUsage) {
  platform::ProcessMemory memory;
  const bool read = platform::readProcessMemory(memory);
  if (workingSet) *workingSet = memory.workingSetBytes;
  if (pageFileUsage) *pageFileUsage = memory.privateBytes;
  return read ? 1 : 0;
}

}  // extern "C"
