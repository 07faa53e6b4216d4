#include "runtime/rs/call_tables.h"

#include "runtime/gc/gc_state.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"

namespace lisp::call_tables {
namespace {

// Slot words of a table object, by their offsets from its tagged word.
constexpr int32_t kTableKeys = -0xe;
constexpr int32_t kTableLimit = 6;
constexpr int32_t kTableEntries = 0xa;
constexpr int32_t kTableValues = 0xe;

constexpr int32_t kFunctionHash = -0xa;
constexpr int32_t kSymbolHash = -0xf;
constexpr int32_t kClosureTemplate = -0xa;

// Flavor records: where an instance keeps its record and the record its
// key vector, value vector and default handler.
constexpr int32_t kInstanceRecord = -0xe;
constexpr int32_t kAlternateRecord = -0xa;
struct FlavorRecordLayout {
  int32_t keys, values, defaultHandler;
};
constexpr FlavorRecordLayout kInstanceLayout{-0xa, -6, 6};
constexpr FlavorRecordLayout kAlternateLayout{0xe, 0x12, 0x16};

bool isObjectOfType(lispval word, uint8_t type) {
  return isOther(word) && typeCodeOf(wordAt(word, kHeaderOffset)) == type;
}

uint32_t functionHash(lispval function) {
  return isOther(function) ? wordAt(function, kFunctionHash) >> 8 : 0;
}

}  // namespace

VectorView viewOf(lispval vector) {
  if (!isOther(vector)) return {};
  const uint32_t header = wordAt(vector, kHeaderOffset);
  auto* words = reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(objectAddress(vector)));
  switch (typeCodeOf(header)) {
    case type_code::LispVector:
      return {words + 1, headerLength(header)};
    case type_code::SimpleVector: {
      const lispval length = words[1];
      if (!isFixnum(length) || fixnumValue(length) < 0) return {};
      return {words + 2, static_cast<uint32_t>(fixnumValue(length))};
    }
    default:
      return {};
  }
}

ProbeResult probe(const VectorView& keys, uint32_t hash, lispval key, lispval empty) {
  if (keys.length == 0) return {ProbeEnd::Full, 0};
  uint32_t index = hash % keys.length;
  for (uint32_t step = 0; step < keys.length; ++step) {
    if (keys.data[index] == key) return {ProbeEnd::Found, index};
    if (keys.data[index] == empty) return {ProbeEnd::Empty, index};
    index = index + 1 == keys.length ? 0 : index + 1;
  }
  return {ProbeEnd::Full, 0};
}

}  // namespace lisp::call_tables

using namespace lisp;
using namespace lisp::call_tables;

extern "C" void call_count_record(lispval table, lispval key, lispval empty) {
  if (isObjectOfType(key, type_code::Closure)) key = wordAt(key, kClosureTemplate);
  const VectorView keys = viewOf(wordAt(table, kTableKeys));
  const VectorView counts = viewOf(wordAt(table, kTableValues));
  const ProbeResult found = probe(keys, functionHash(key), key, empty);
  const bool counted = found.end != ProbeEnd::Full && found.index < counts.length;
  if (counted && found.end == ProbeEnd::Found) {
    counts.data[found.index] += makeFixnum(1);
    return;
  }
  lispval& entries = wordAt(table, kTableEntries);
  const bool roomLeft =
      static_cast<int32_t>(wordAt(table, kTableLimit)) >= static_cast<int32_t>(entries);
  if (!counted || !roomLeft) {
    nil_block::word(nilval, nil_block::global::kCallCountOverflows) += makeFixnum(1);
    return;
  }
  keys.data[found.index] = key;
  fasl_protect(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&keys.data[found.index])));
  counts.data[found.index] = makeFixnum(1);
  entries += makeFixnum(1);
}

extern "C" uint64_t flavor_method(lispval instance, lispval message) {
  const auto choice = [](lispval method, lispval datum) {
    return (static_cast<uint64_t>(datum) << 32) | method;
  };
  lispval record = wordAt(instance, kInstanceRecord);
  FlavorRecordLayout layout = kInstanceLayout;
  if (isObjectOfType(instance, type_code::InstanceAlternate)) {
    if (!isOther(record)) return choice(nilval, message);
    record = wordAt(record, kAlternateRecord);
    layout = kAlternateLayout;
  }
  if (!isOther(record)) return choice(nilval, message);

  const VectorView keys = viewOf(wordAt(record, layout.keys));
  const VectorView values = viewOf(wordAt(record, layout.values));
  const uint32_t hash = isSymbolTagged(message) ? wordAt(message, kSymbolHash) >> 8 : 0;
  // Byte indexes into the key vector, wrapping through the mask 4 * (length - 1).
  const uint32_t mask = keys.length ? 4 * (keys.length - 1) : 0;
  uint32_t byteIndex = (hash << 2) & mask;
  for (uint32_t step = 0; step < keys.length; ++step) {
    const uint32_t index = byteIndex / 4;
    if (index >= keys.length) break;
    const lispval key = keys.data[index];
    if (key == message) {
      if (2 * index + 1 >= values.length) break;
      const lispval entry = values.data[2 * index];
      return choice(isCons(entry) ? cdr(entry) : nilval, values.data[2 * index + 1]);
    }
    if (key == nilval) break;
    byteIndex = (byteIndex + 4) & mask;
  }
  return choice(wordAt(record, layout.defaultHandler), message);
}

extern "C" lispval original_code_vector(lispval table, lispval key, lispval empty) {
  if (!isOther(table)) return nilval;
  const VectorView keys = viewOf(wordAt(table, kTableKeys));
  const VectorView values = viewOf(wordAt(table, kTableValues));
  const ProbeResult found = probe(keys, functionHash(key), key, empty);
  if (found.end != ProbeEnd::Found || found.index >= values.length) return nilval;
  return values.data[found.index];
}
