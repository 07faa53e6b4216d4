// The launcher's side of the host record: its two statically initialised
// forms, the pointer to the form in use, the pseudo file descriptor table,
// the hooks the forms hold, and the few launcher words those hooks read.
#pragma once

#include <cstdint>

#include "launcher/host_record.h"

namespace launcher {

// The console form (the Lisp runs beside the console window) and the
// no-console form (the Lisp runs on the caller's thread).
extern host::HostRecord console_host_record;
extern host::HostRecord no_console_host_record;
// The form in use. Decision: it names the console form until a start without
// a console switches it, so that it is never null.
extern host::HostRecord* current_host_record;

extern host::DescriptorEntry pseudo_descriptor_table[host::kDescriptorCount];

// Sets the table as a launch finds it: 0-2 console streams of pair 0, 3 the
// null device, all others free.
void setup_pseudo_descriptor_table();

// ---- launcher words the hooks read ----

// A console is wanted (script lines are echoed to the console).
extern int32_t console_wanted;
// The script file's descriptor, -1 when none is open.
extern int32_t script_descriptor;
// Closes the splash screen early unless it is timed or persistent; null
// while no splash screen exists.
extern void (*close_splash_early)();

// The runtime's two event entries, once bound; the first-use hooks of words
// 12 and 13 install them.
extern host::PeekLoopHook runtime_message_peek_loop;
extern host::SingleEventHook runtime_process_single_event;

// ---- the hooks the forms hold (words 0-3, 11-13) ----

int32_t read_hook(int32_t descriptor, char* buffer, int32_t length, int32_t* error);
int32_t console_read(int32_t descriptor, char* buffer, int32_t length, int32_t* error);
int32_t console_form_write_hook(int32_t descriptor, const char* buffer, int32_t length,
                                int32_t* error);
int32_t no_console_form_write_hook(int32_t descriptor, const char* buffer, int32_t length,
                                   int32_t* error);
int32_t console_write(int32_t descriptor, const char* buffer, int32_t length, int32_t* error);
int32_t close_hook(int32_t descriptor, int32_t* error);
int32_t no_hang_hook(int32_t descriptorOrComplement, int32_t* error, int32_t wait);
void console_exit_hook(int32_t status);
int32_t first_peek_loop_hook(int32_t mode);
int32_t first_single_event_hook();

}  // namespace launcher
