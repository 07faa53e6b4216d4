// A terminal's mode put back however the process ends. The front end puts
// the mode back itself when the console ends; a crash, a kill or an exit
// that skips it would leave a person's shell on a raw terminal. A guard
// process, which nobody waits for, holds the mode and one end of a socket:
// when the launcher's end goes without a word, the launcher has died, and
// the guard puts the mode back.
#pragma once

#include <termios.h>

namespace launcher {

// Starts the guard for `terminal` (a descriptor of it) with `mode`; false
// when it could not be started.
bool startTerminalGuard(int terminal, const termios& mode);
// The mode has been put back: the guard ends without touching the terminal.
void dismissTerminalGuard();

}  // namespace launcher
