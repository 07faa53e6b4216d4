// Diagnostic reports of the thread machinery.

#include "runtime/os/thread_reports.h"

#include <cstdio>

#include "runtime/os/console_printing.h"
#include "runtime/os/os_locks.h"

namespace {

struct TransitionText {
  int32_t kind;
  const char* format;  // may take the gcstate
};

constexpr TransitionText kTransitionTexts[] = {
    {0, "lisp->foreign, gcstate was 0.\n"},
    {1, "lisp->foreign, gcstate was %d. gc release\n"},
    {3, "foreign->lisp, gcstate was %d. Bogus!!\n"},
    {4, "foreign->lisp, gcstate was 1.\n"},
    {5, "foreign->lisp, gcstate was 4. resynch\n"},
    {6, "foreign->lisp, gcstate was 3. resynch\n"},
};
constexpr char kUnknownTransition[] = "???\n";
constexpr char kReportPrefix[] = "%3d T.%x: ";
constexpr char kTrigger[] = "[trigger] ";
constexpr char kSignalNote[] = "signal %d, thread=0x%x\n";

// Kinds after which the breakpoint hook is called.
constexpr bool callsBreakpoint(int32_t kind) {
  return kind != 0 && kind != 1 && kind != 4 && kind != 5 && kind != 6;
}

uint32_t g_reportCount = 0;

}  // namespace

extern "C" {

uint32_t rfr_report_trigger = 0;

void rfr_report_write(int32_t kind, int32_t gcstate, uint32_t thread) {
  const uint32_t count = ++g_reportCount;
  vxmprintf(kReportPrefix, static_cast<int>(count), thread);
  if (rfr_report_trigger != 0 && count == rfr_report_trigger) {
    vxmprintf("%s", kTrigger);
    rfr_report_bp();
  }
  const char* format = kUnknownTransition;
  for (const TransitionText& text : kTransitionTexts)
    if (text.kind == kind) format = text.format;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  vxmprintf(format, gcstate);
#pragma GCC diagnostic pop
  if (callsBreakpoint(kind)) rfr_report_bp();
}

void debug_note(int32_t signal, uint32_t thread) {
  vxmprintf(kSignalNote, signal, thread);
}

}  // extern "C"
