// The start words of jettisoned functions after an image restore.
//
// A function whose code vector went to the code file starts at the
// code-reload entry functionfault (or functionfault_2) of this library, an
// address outside the heap. An image keeps that address as the saving
// process had it; when the library is loaded elsewhere in the restoring
// process, the word would send the function's next call to stale code. The
// entry table slot of the function-fault entry (nil+0x1f7) holds the saving
// library's address of that entry until restoreglobs relinks the table, so
// the distance the library moved is known before the relink and the start
// words are rewritten after it.
#pragma once

#include <cstdint>

extern "C" {
// Rewrites every jettisoned function (type 8 whose code slot holds a
// fixnum) starting at the saving library's functionfault or functionfault_2
// to this library's. `savedFaultEntry` is the function-fault entry slot's
// word as the image holds it; 0 (no entry recorded) or this library's own
// address changes nothing. Returns the number of start words rewritten.
uint32_t rebase_reload_entries(uint32_t savedFaultEntry);
}

namespace reload_entry_rebase {
// The entry table slot whose saved word tells where the saving library lay.
inline constexpr int32_t kFaultEntrySlot = 0x1f7;
}  // namespace reload_entry_rebase
