// The console thread: the thread that called StartLisp with a console makes
// the console window, starts the Lisp thread beside it, pumps messages and
// the Lisp's output until the Lisp ends, reports the exit status and ends
// the launcher with it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/message_queue.h"

namespace launcher {

[[noreturn]] void runConsoleThread();

// One message of the loop: Ctrl+A selects all, the title bar's close
// follows the close-button mode, all else is dispatched. False for a quit
// message, which is stored in `quit`.
bool handleConsoleMessage(platform::Message& message, platform::Message* quit);

// The title: "+t"'s, else the console's own with the image's base name.
std::string consoleTitle(const char* givenTitle, const char* imagePath);
// Show command of the console window from the settings and the caller's.
int32_t consoleShowCommand(int32_t startMinimised, int32_t startHidden, int32_t noActivate,
                           int32_t callersCommand);
// Whether the console pauses after the Lisp has ended with `status`.
bool pausesAtEnd(int32_t pauseAtExit, int32_t noPauseOnError, int32_t status);

}  // namespace launcher
