// The mode line: four characters that show what the Lisp is doing (running,
// idle, collecting), written through the host record's write hook to the
// mode-line descriptor, when there is one.
#pragma once

#include <cstdint>

extern "C" {
// The mode-line descriptor; 0 when there is none.
extern int mode_line_fd;
// mode_line_fd.
int wakeup_hook_p();
// Code 0 writes the four characters of text when there is a mode line and
// returns the hook's result (a failed write ends the mode line; no mode line:
// 0); 1 takes `text` as the new descriptor;
// 2, 3 and 6 write "Run ", "Idle" and "    " when there is a mode line;
// 4 and 5 return the addresses of mode_line_gc and mode_line_gc_end; other
// codes return 0.
uint32_t run_bar_hook(int32_t code, const char* text);
// The collector's hooks: "GC  " while it runs, then the text shown before.
void mode_line_gc();
void mode_line_gc_end();
}
