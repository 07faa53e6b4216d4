// The fasl scanner: walks a fasl file item by item without building
// anything, printing a line per item when verbose (the runtime's fasl
// dumper), and hands every ff_patch blob to the patch function of runtime
// global 298. It reads through the runtime loader's input stream and the
// format module's operand reader.
#pragma once

#include <cstdint>

#include "runtime/load/fasl_input_stream.h"
#include "runtime/rs/lisp_value.h"

namespace lisp::fasl {
inline constexpr int32_t kScanEnd = 0;
inline constexpr int32_t kScanTruncated = -1;  // also not a fasl, a failed open, a read error
inline constexpr int32_t kScanUndefined = -2;
inline constexpr uint32_t kScanShownBytes = 50;
inline constexpr uint32_t kPatchFunctionGlobal = 298;
inline constexpr uint32_t kInitialFunctionGlobal = 306;
}  // namespace lisp::fasl

extern "C" {
// scan_fasl's body: 0, -1 or -2.
int32_t scan_fasl_descriptor(int32_t descriptor, lisp::lispval verbose);
// scan_fasl_name's body: -1 when the file at the native address cannot be opened.
int32_t scan_fasl_file(lisp::lispval name, lisp::lispval verbose);
// Prints a string operand as the scanner does: "size: %d \"" and at most
// 50 of its bytes, then "...\" " when there were more, else "\" ".
void scan_string(const uint8_t* bytes, uint32_t count);
// The name of an item without operands, or nothing.
void scan_dbg_0(uint32_t code);
// dovxmprint0-3 (console_printing.h) for the print bridges.
int32_t print_bridge0(const char* format);
int32_t print_bridge1(const char* format, uint32_t a);
int32_t print_bridge2(const char* format, uint32_t a, uint32_t b);
int32_t print_bridge3(const char* format, uint32_t a, uint32_t b, uint32_t c);
// The print bridges over dovxmprint0-3 for Lisp code (runtime routines; runtime_fasl_entries.S).
void vxmprint0();
void vxmprint1();
void vxmprint2();
void vxmprint3();
// The patch function of global 298 called with the blob; nil when it has none.
lisp::lispval _fasl_call_patch(lisp::lispval blob);
}
