// The collector's fatal-error path: a collector error is shown in a message
// box (one titled line on standard error) and ends the process at once; flag
// D (or GsErrDump) ends it with status 10 first.
// Beside it the empty hooks a debugger sets breakpoints on, and the check of
// the stacks before a scavenge.

#include "runtime/gc/collector_errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/message_box.h"
#include "runtime/gc/from_space.h"
#include "runtime/gc/gc_messages.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/console_printing.h"

namespace {
constexpr size_t kMessageBytes = 2048;
constexpr int kAbortStatus = 10;
constexpr int kBoxAnswer = 1;  // what the box returns once dismissed
}  // namespace

namespace gc_messages {

// Both go to the console: standard output and standard error are one there.
void print(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  lisp::os::vprintToConsole(format, arguments);
  va_end(arguments);
}

void warn(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  lisp::os::vprintToConsole(format, arguments);
  va_end(arguments);
}

}  // namespace gc_messages

extern "C" {

uint32_t GsErrDump = 0;

void vxmabort() {
  lisp_exit(kAbortStatus);
}

void gsbpe() {
  if (GsErrDump != 0 || (GsCtlFlags & gc::flag::kAbortOnError) != 0) vxmabort();
}

int vxmsyserror(const char* format, uint32_t value, int status, int collector) {
  gsbpe();
  char message[kMessageBytes];
  std::snprintf(message, sizeof message, format, static_cast<unsigned long>(value));
  platform::showMessageBox(
      collector ? gc_messages::kErrorTitle : gc_messages::kSystemErrorTitle, message);
  if (status != 0) std::exit(status);
  return kBoxAnswer;
}

void gserror(const char* format, uint32_t value, int status) {
  vxmsyserror(format, value, status, 1);
}

void gserror1(uint32_t address) {
  gserror(gc_messages::kUnknownObjectType, address, 1);
  std::exit(1);
}

void gserror2(uint32_t address, int real) {
  gserror(real ? gc_messages::kUnrecognizedRealSysvector : gc_messages::kUnrecognizedSysvector,
          address, 1);
  std::exit(1);
}

// Kept out of line so that a breakpoint on them holds.
__attribute__((noinline)) void gsbp() {
  asm volatile("");
}
__attribute__((noinline)) void gsbp1v(uint32_t) {
  asm volatile("");
}
__attribute__((noinline)) void gsbpv(uint32_t) {
  asm volatile("");
}
__attribute__((noinline)) void gsbpweak() {
  asm volatile("");
}
__attribute__((noinline)) void gc_set_var() {
  asm volatile("");
}

void debug_pause() {
  gc_messages::print(gc_messages::kPauseForDebugger);
  gc_messages::print(gc_messages::kPauseTypeACharacter);
  std::getchar();
  gc_messages::print(gc_messages::kPauseContinuing);
}

void sst(uint32_t frame, uint32_t link, uint32_t offset, uint32_t start) {
  gc_messages::print(gc_messages::kStackSegmentTrace, static_cast<unsigned long>(frame),
                     static_cast<unsigned long>(link), static_cast<unsigned long>(offset),
                     static_cast<unsigned long>(start));
}

void prelink_stacks() {
  setGsNewFrom();
  const uint32_t badFrame = prelink_native_stacks();
  if (badFrame == 0) return;
  const gc::BadFrameReport report = gc::badFrameReport(badFrame);
  gc_messages::print(gc_messages::kApparentFunction, static_cast<unsigned long>(report.function),
                     static_cast<long>(report.location));
  vxmsyserror(gc_messages::kBadStackFrame, badFrame, 1, 0);
}

}  // extern "C"
