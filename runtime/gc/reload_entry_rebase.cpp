// The start words of jettisoned functions follow the library to where it is
// loaded now (see reload_entry_rebase.h).

#include "runtime/gc/reload_entry_rebase.h"

#include <cstddef>

#include "runtime/gc/heap_walkers.h"
#include "runtime/rs/call_glue.h"
#include "runtime/rs/calling_protocol.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/object_layout.h"

namespace {

constexpr uint32_t kFunctionType = 8;
constexpr uint32_t kStartWordOffset = offsetof(lisp::FunctionObject, start);
constexpr uint32_t kCodeSlotOffset = offsetof(lisp::FunctionObject, codeVector);

uint32_t addressOf(void (*routine)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
}
uint32_t& wordAt(uint32_t address) {
  return *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(address));
}

// The walk in progress: the saving library's two reload entries, ours, and
// how many start words were rewritten.
struct Rebase {
  uint32_t savedEntry, savedEntry2;
  uint32_t entry, entry2;
  uint32_t rewritten;
};
Rebase g_rebase;

// Rewrites one object's start word when it is a jettisoned function that
// starts at a reload entry of the saving library.
uint32_t rebaseObject(uint32_t object) {
  if ((wordAt(object) & 0xff) != kFunctionType) return 0;
  if (!lisp::isFixnum(wordAt(object + kCodeSlotOffset))) return 0;
  uint32_t& start = wordAt(object + kStartWordOffset);
  if (start == g_rebase.savedEntry) {
    start = g_rebase.entry;
    ++g_rebase.rewritten;
  } else if (start == g_rebase.savedEntry2) {
    start = g_rebase.entry2;
    ++g_rebase.rewritten;
  }
  return 0;
}

}  // namespace

uint32_t rebase_reload_entries(uint32_t savedFaultEntry) {
  const uint32_t moved = addressOf(function_fault_entry1) - savedFaultEntry;
  if (savedFaultEntry == 0 || moved == 0) return 0;
  g_rebase = {addressOf(functionfault) - moved, addressOf(functionfault_2) - moved,
              addressOf(functionfault), addressOf(functionfault_2), 0};
  gsgc_scan_all(nullptr, rebaseObject, 1, 1, 1);
  return g_rebase.rewritten;
}
