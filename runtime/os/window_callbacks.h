// Fixed native entries that Lisp code installs as the system's callbacks:
// three window procedures and three font-enumeration procedures whose work a
// Lisp function does. Lisp code puts the function's callable address into a
// handle word; the wrapper calls it with its four arguments (the C
// convention, the caller pops) and answers with the result word the function
// filled, or (wrapper 3) with what the function returned.
#pragma once

#include <cstdint>

#include "runtime/rs/exports.h"

#define ZV_CALLEE_POPS __attribute__((stdcall))

extern "C" {
KORVANE_EXPORT extern uint32_t WProcHandle1;
KORVANE_EXPORT extern uint32_t WProcHandle2;
KORVANE_EXPORT extern uint32_t WProcHandle3;
KORVANE_EXPORT extern uint32_t WProcResult1;
KORVANE_EXPORT extern uint32_t WProcResult2;
KORVANE_EXPORT extern uint32_t WFontHandle1;
KORVANE_EXPORT extern uint32_t WFontHandle2;
KORVANE_EXPORT extern uint32_t WFontHandle3;
KORVANE_EXPORT extern uint32_t WFontResult1;
KORVANE_EXPORT extern uint32_t WFontResult2;
KORVANE_EXPORT extern uint32_t WFontResult3;

// (window, message, wParam, lParam); each pops its own 16 bytes of arguments.
KORVANE_EXPORT uint32_t ZV_CALLEE_POPS WProcWrapper1(uint32_t, uint32_t, uint32_t, uint32_t);
KORVANE_EXPORT uint32_t ZV_CALLEE_POPS WProcWrapper2(uint32_t, uint32_t, uint32_t, uint32_t);
// Runs the call inside the guarded region of a call into Lisp; 0 when that
// region handled an exception.
KORVANE_EXPORT uint32_t ZV_CALLEE_POPS WProcWrapper3(uint32_t, uint32_t, uint32_t, uint32_t);
// (font description, metrics, font kind, application word).
KORVANE_EXPORT uint32_t ZV_CALLEE_POPS WFontWrapper1(uint32_t, uint32_t, uint32_t, uint32_t);
KORVANE_EXPORT uint32_t ZV_CALLEE_POPS WFontWrapper2(uint32_t, uint32_t, uint32_t, uint32_t);
KORVANE_EXPORT uint32_t ZV_CALLEE_POPS WFontWrapper3(uint32_t, uint32_t, uint32_t, uint32_t);
}
