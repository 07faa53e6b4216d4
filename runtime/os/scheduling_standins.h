// What the heap-ownership lock calls in modules that are not built yet: the
// thread-exit check and the mode-line hook of the system services.
// Each is declared as its module will provide it; scheduling_standins.cpp
// holds versions that do what the full ones do when nothing was requested,
// and each goes when its module lands.
#pragma once

#include <cstdint>

extern "C" {
// Returns the record, or ends the thread when a kill was requested for it.
uint32_t* check_for_thread_exit(uint32_t* record);

// The mode line: code 0 writes the four characters of text to the mode-line
// descriptor; `wakeup_hook_p` returns that descriptor (0: none).
extern int mode_line_fd;
int wakeup_hook_p();
int run_bar_hook(int code, const char* text);
}
