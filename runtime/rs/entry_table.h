// The runtime entry table: which routine each slot above nil receives.
//
// One row per slot that link_runtime_entries writes, each with its routine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "runtime/rs/nil_block.h"

namespace lisp::entry_table {

using RuntimeRoutine = void (*)();

struct RoutineSlot {
  int32_t offset;  // from nil; the negative ones are entry words among the globals
  const char* name;
  RuntimeRoutine routine;
};

struct StubSlot {
  int32_t offset;
  int32_t stubEntry;  // the slot receives nil + stubEntry
};

inline constexpr StubSlot kStubSlots[] = {
    {0x23, nil_block::kStubCallFunction},
    {0x27, nil_block::kStubCallSymbolTwoArgs},
    {0x11f, nil_block::kStubCallSymbolUnmasked},
};

inline constexpr size_t kRoutineSlotCount = 199;  // 190 above nil, 9 below
extern const std::array<RoutineSlot, kRoutineSlotCount> kRoutineSlots;

// Positions of the table that the runtime leaves as it finds them.
inline constexpr std::array<int32_t, 23> kUnwrittenSlots = {
    0xef,  0x15b, 0x273, 0x2af, 0x2b3, 0x2b7, 0x2bb, 0x2bf, 0x2c7, 0x2cb, 0x2d3, 0x2e3,
    0x2ff, 0x31f, 0x32b, 0x32f, 0x333, 0x337, 0x33f, 0x343, 0x34b, 0x35b, 0x35f,
};

// Address that link_runtime_entries stores for a row.
uint32_t routineFor(const RoutineSlot& slot);

}  // namespace lisp::entry_table
