// The collector's fatal-error path and its debugging hooks.
#pragma once

#include <cstdint>

extern "C" {
// Debugging word: when set, a collector error ends the process with status 10
// before its message (as flag D does).
extern uint32_t GsErrDump;

// Formats the message (one %lx value) into 2048 bytes and shows it in a
// message box titled as a system error (the collector's title when
// `collector` is set); a non-zero status ends the process at once with it,
// else the box's answer (1) is returned.
int vxmsyserror(const char* format, uint32_t value, int status, int collector);
// vxmsyserror with the collector's title.
void gserror(const char* format, uint32_t value, int status);
[[noreturn]] void gserror1(uint32_t address);            // unknown object type
[[noreturn]] void gserror2(uint32_t address, int real);  // bad sysvector kind
void gsbpe();
[[noreturn]] void vxmabort();

// Empty hooks for a debugger's breakpoints. gsbp: at the start and end of
// scavenges (flags B and A), at scavenge number ScavengeSelect, and when
// the native heap is asked for 0 bytes.
void gsbp();
void gsbp1v(uint32_t value);
void gsbpv(uint32_t value);
void gsbpweak();
void gc_set_var();

// Waits for one character on standard input so that a debugger can attach.
void debug_pause();
// Traces one stack segment about to be walked.
void sst(uint32_t frame, uint32_t link, uint32_t offset, uint32_t start);
// Checks every thread's frames before a scavenge; a bad frame is fatal.
void prelink_stacks();
}
