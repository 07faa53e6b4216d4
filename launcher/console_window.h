// The console window without a display: a frame with an edit control in the
// platform's window registry. The frame's look (show state, title, Close
// item, style, icon) is the platform's window look, which the runtime's
// console controls change too; the edit control's text is a ConsoleText.
// Everything a front end reads is guarded by consoleViewLock().
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "launcher/console_text.h"
#include "platform/message_queue.h"
#include "platform/waitable.h"

namespace launcher {

using InterruptFunction = void (*)();

struct ConsoleWindow {
  platform::Handle frame = platform::kNoHandle;
  platform::Handle edit = platform::kNoHandle;
  // The frame's two window words: 0 the interrupt function, 4 the policy hook.
  InterruptFunction interrupt = nullptr;
  platform::WindowProcedure policyHook = nullptr;
  bool hideOnMinimise = false;
  uint32_t instance = 0;  // kept at creation
};
extern ConsoleWindow console_window;
// Set once the window exists, cleared when it is destroyed.
extern int32_t console_ready;
// 1 while a close may be handed to the Lisp; the Lisp sets it again.
extern int32_t close_request_flag;
// The edit control's text (under the view lock).
extern ConsoleText console_text;

std::mutex& consoleViewLock();

// Makes the window, sets the console limits, shows it with `showCommand`
// and subclasses the edit control. On failure shows the message box and
// returns kNoHandle.
platform::Handle createConsoleWindow(const std::string& title, int32_t showCommand);

uint32_t frameProcedure(platform::Handle window, uint32_t message, uint32_t wParam,
                        uint32_t lParam);
uint32_t consolePolicyHook(platform::Handle window, uint32_t message, uint32_t wParam,
                           uint32_t lParam);
uint32_t editProcedure(platform::Handle window, uint32_t message, uint32_t wParam,
                       uint32_t lParam);

// signal_lisp (2), a yield, then WM_USER to the Lisp thread.
void interruptLisp();

// Descriptor 1 shows the text when the console is ready and returns the
// length; others go to the console write.
int32_t consoleDisplay(int32_t descriptor, const char* text, int32_t length);

// What a window manager does with what nobody intercepts: close destroys,
// the system menu's commands minimise, restore or close.
uint32_t defaultWindowProcedure(platform::Handle window, uint32_t message, uint32_t wParam,
                                uint32_t lParam);
// Sends the destroy message, then removes the window.
void destroyWindow(platform::Handle window);

// Icons the launcher carries, by name (case does not matter); null when it
// has none of that name.
const char* launcherIcon(const char* name);

}  // namespace launcher
