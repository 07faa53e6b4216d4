// The console thread's steps: window, Lisp thread, tray, the loop over
// messages, the Lisp thread's handle and the output queue, then the end.

#include "launcher/console_thread.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "launcher/console_queues.h"
#include "launcher/console_start.h"
#include "launcher/console_tray.h"
#include "launcher/console_window.h"
#include "launcher/host_records.h"
#include "launcher/launch_state.h"
#include "launcher/launcher_messages.h"
#include "launcher/launcher_settings.h"
#include "launcher/lisp_ending.h"
#include "launcher/start_lisp.h"
#include "launcher/splash_screen.h"
#include "launcher/terminal_front_end.h"
#include "launcher/window_messages.h"
#include "platform/message_queue.h"
#include "platform/threads.h"
#include "platform/window_look.h"

namespace launcher {

namespace {

constexpr int32_t kOutputTake = 1024;
constexpr uint32_t kNoThread = 0xffffffff;  // find_lisp_thread_handle's failure

console::QueuePair* consolePair() {
  return &console::console_queue_pairs[0];
}

void display(const char* text) {
  consoleDisplay(host::kStandardOutput, text, static_cast<int32_t>(std::strlen(text)));
}

// Moves up to one take of output to the console; false when nothing came
// (the queue is empty or gone).
bool displayOutput() {
  char bytes[kOutputTake];
  const int32_t count = console::readOutput(consolePair(), bytes, kOutputTake);
  if (count <= 0) return false;
  consoleDisplay(host::kStandardOutput, bytes, count);
  return true;
}

bool closeItemDisabled() {
  platform::WindowLook look;
  return console_window.frame && platform::readWindowLook(console_window.frame, &look) &&
         (look.closeItemState & platform::kMenuDisabled);
}

bool isControlA(const platform::Message& message) {
  return message.message == wm::kKeyDown && message.wParam == wm::kKeyA &&
         (message.lParam & wm::kControlHeld);
}

}  // namespace

bool handleConsoleMessage(platform::Message& message, platform::Message* quit) {
  if (message.message == wm::kQuit) {
    *quit = message;
    return false;
  }
  if (isControlA(message)) {
    if (message.window == console_window.edit) {
      std::lock_guard<std::mutex> hold(consoleViewLock());
      selectAll(console_text);
    }
    return true;
  }
  if (message.message == wm::kSystemCommand && message.wParam == wm::kCommandClose) {
    // Mode 1 drops the close while the Close item is disabled; the end
    // handling enables it again, so the pause after the Lisp can be closed.
    if (settings.closeButtonMode == 1 && closeItemDisabled()) return true;
    if (settings.closeButtonMode == 2) message.wParam = wm::kCommandMinimise;
  }
  platform::translateMessage(&message);
  platform::dispatchMessage(&message);
  return true;
}

namespace {

[[noreturn]] void endConsole(int32_t status) {
  if (launch.runtime.ipc_shutdown) launch.runtime.ipc_shutdown();
  removeTrayIcon();
  stopTerminalFrontEnd();
  endLauncher(status);
}

struct LoopEnd {
  int32_t status;
  bool pause;
};

// Step 6: until the Lisp thread has ended.
LoopEnd runLoop(platform::Handle lispThread) {
  bool watchOutput = true;
  for (;;) {
    std::vector<platform::Handle> handles = {lispThread};
    const platform::Handle output = watchOutput ? console::outputEvent(consolePair())
                                                : platform::kNoHandle;
    if (output) handles.push_back(output);
    else watchOutput = false;
    const int32_t woke = platform::waitForAnyOrMessage(handles, platform::kWaitForever);
    if (output) platform::closeHandle(output);

    if (woke == static_cast<int32_t>(handles.size())) {
      platform::Message message, quit;
      while (platform::peekMessage(&message, true)) {
        if (handleConsoleMessage(message, &quit)) continue;
        if (quit.lParam == wm::kLispEndedQuit) {
          // As when the handle says so: no Lisp thread is left to take a
          // close request or an interrupt.
          platform::closeHandle(lispThread);
          console_host_record.lispThreadId = 0;
          return {static_cast<int32_t>(quit.wParam), false};
        }
        endConsole(static_cast<int32_t>(quit.wParam));
      }
    } else if (woke == 1) {
      // The pair gone (-1) or nothing there: stop waiting on the output.
      if (!displayOutput()) watchOutput = false;
    } else if (woke == 0) {
      uint32_t exitCode = 0;
      platform::exitCodeOf(lispThread, &exitCode);
      platform::closeHandle(lispThread);
      console_host_record.lispThreadId = 0;
      // Decision: a Lisp thread that ended without the exit hook (lisp_init
      // returned) reports its thread's exit code.
      if (lisp_ended) return {lisp_exit_status, false};
      lispThread = launch.runtime.find_lisp_thread_handle
                       ? launch.runtime.find_lisp_thread_handle(&console_host_record.lispThreadId)
                       : 0;
      if (lispThread == kNoThread) {
        display(text::kLispThreadLost);
        return {static_cast<int32_t>(exitCode), true};
      }
      if (lispThread == 0) return {static_cast<int32_t>(exitCode), false};
    } else {
      return {lisp_exit_status, true};  // the wait failed: nothing left to wait on
    }
  }
}

// Pumps until the window goes (or a quit message comes).
void pauseUntilClosed() {
  if (launch.runtime.free_heaps) launch.runtime.free_heaps(1);
  platform::showWindow(console_window.frame, platform::kRestore);
  consolePauses(console_window.frame);
  consolePauseStarting();
  platform::Message message, quit;
  for (;;) {
    // The runtime's quit for the Lisp's end may still be queued when the
    // loop saw the thread's handle first: it does not end the pause.
    if (!platform::getMessage(&message) && message.lParam != wm::kLispEndedQuit) return;
    handleConsoleMessage(message, &quit);
  }
}

}  // namespace

std::string consoleTitle(const char* givenTitle, const char* imagePath) {
  if (givenTitle) return givenTitle;
  std::string title = text::kConsoleTitle;
  if (imagePath) {
    const char* slash = std::strrchr(imagePath, '/');
    const char* backslash = std::strrchr(imagePath, '\\');
    const char* separator = slash > backslash ? slash : backslash;
    char part[600];
    std::snprintf(part, sizeof part, text::kImageInTitle, separator ? separator + 1 : imagePath);
    title += part;
  }
  return title;
}

int32_t consoleShowCommand(int32_t startMinimised, int32_t startHidden, int32_t noActivate,
                           int32_t callersCommand) {
  if (startMinimised) return platform::kShowMinimisedNoActivate;
  if (startHidden) return platform::kShowHide;
  if (noActivate) return platform::kShowNoActivate;
  return callersCommand;
}

bool pausesAtEnd(int32_t pauseAtExit, int32_t noPauseOnError, int32_t status) {
  return pauseAtExit || (status != 0 && !noPauseOnError);
}

void runConsoleThread() {
  current_host_record = &console_host_record;
  const std::string title = consoleTitle(settings.consoleTitle, launch.imagePath);
  console::makePair(consolePair(), platform::createMutex(false));
  const int32_t showCommand = consoleShowCommand(settings.startMinimised, settings.startHidden,
                                                 settings.noActivate, settings.showCommand);
  const platform::Handle frame = createConsoleWindow(title, showCommand);
  console_host_record.consoleWindow = frame;
  if (frame && settings.closeButtonMode == 1)
    platform::setCloseItemState(frame, platform::kMenuGreyed | platform::kMenuDisabled);

  console_thread_id = platform::currentThreadId();
  lispStarts();
  uint32_t lispThreadId = 0;
  const platform::Handle lispThread =
      platform::createThread(console_lisp_thread, nullptr, 0, &lispThreadId);
  console_host_record.lispThreadId = lispThreadId;
  if (settings.trayIconWanted && frame) add_tray_icon(module_instance, frame);
  if (frame) startTerminalFrontEnd();

  LoopEnd end = lispThread ? runLoop(lispThread) : LoopEnd{1, false};

  // The end: everything the Lisp wrote, then the status.
  while (displayOutput()) {
  }
  destroySplashScreen();
  char line[96];
  std::snprintf(line, sizeof line, text::kLispExited, end.status, static_cast<unsigned>(end.status));
  display(line);
  if (frame) platform::setCloseItemState(frame, 0);
  renderConsoleNow();
  // Decision: without a window nothing could end the pause.
  if (frame && console_ready && (end.pause || pausesAtEnd(settings.pauseAtExit,
                                                          settings.noPauseOnError, end.status)))
    pauseUntilClosed();
  endConsole(end.status);
}

}  // namespace launcher
