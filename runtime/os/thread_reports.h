// Diagnostic reports of the thread machinery on standard output.
#pragma once

#include <cstdint>

extern "C" {
// The report line whose running count equals this gets "[trigger] " and a
// call of rfr_report_bp; 0 marks none.
extern uint32_t rfr_report_trigger;

// One line about a transition between Lisp and foreign code.
void rfr_report_write(int32_t kind, int32_t gcstate, uint32_t thread);
void debug_note(int32_t signal, uint32_t thread);
}
