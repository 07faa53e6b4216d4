// The console's frame and edit procedures, its policy hook and its creation.
// Both windows belong to the console thread; other threads reach them only
// by posting.

#include "launcher/console_window.h"

#include <sched.h>
#include <strings.h>

#include <cstdio>
#include <string_view>

#include "launcher/console_queues.h"
#include "launcher/console_tray.h"
#include "launcher/host_records.h"
#include "launcher/launch_state.h"
#include "launcher/launcher_messages.h"
#include "launcher/launcher_settings.h"
#include "launcher/lisp_ending.h"
#include "launcher/start_lisp.h"
#include "launcher/window_messages.h"
#include "platform/error_numbers.h"
#include "platform/message_box.h"
#include "platform/threads.h"
#include "platform/window_look.h"

namespace launcher {

ConsoleWindow console_window;
int32_t console_ready = 0;
int32_t close_request_flag = 1;
ConsoleText console_text;

std::mutex& consoleViewLock() {
  static auto* const lock = new std::mutex;  // the renderer may run while the process ends
  return *lock;
}

namespace {

// The frame as a window manager shows it: an overlapped window with its
// system menu and both boxes.
constexpr uint32_t kOverlappedWindowStyle = 0xCF0000;
constexpr uint32_t kLispSignalInterrupt = 2;

constexpr const char* kLauncherIcons[] = {text::kTrayIcon, text::kSecondTrayIcon};

uint32_t word(const void* address) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
}

// The control's own procedure: typing.
uint32_t editControlProcedure(platform::Handle, uint32_t message, uint32_t wParam, uint32_t) {
  if (message != wm::kChar) return 0;
  std::lock_guard<std::mutex> hold(consoleViewLock());
  if (wParam == wm::kKeyEnter) {
    typeLineBreak(console_text);
  } else if (wParam == wm::kKeyBackspace) {
    typeBackspace(console_text);
  } else if (wParam >= 0x20 || wParam == '\t') {
    typeCharacter(console_text, static_cast<char>(wParam));
  }
  return 0;
}

void appendToConsole(const char* text) {
  std::lock_guard<std::mutex> hold(consoleViewLock());
  appendPiece(console_text, text, settings.consoleTextLimit, settings.consoleShrinkSlop);
}

// Enter: the typed lines to the Lisp's input queue, then a wake-up.
void enterInput() {
  std::vector<std::string> pieces;
  {
    std::lock_guard<std::mutex> hold(consoleViewLock());
    pieces = takeEnteredInput(console_text);
  }
  for (const std::string& piece : pieces)
    console::writeInput(&console::console_queue_pairs[0], piece.c_str());
  if (console_host_record.lispThreadId)
    platform::postThreadMessage(console_host_record.lispThreadId, wm::kUser, 0, 0);
}

void fitEditToFrame() {}  // no sizes without a display

}  // namespace

const char* launcherIcon(const char* name) {
  for (const char* icon : kLauncherIcons)
    if (name && strcasecmp(icon, name) == 0) return icon;
  return nullptr;
}

void destroyWindow(platform::Handle window) {
  platform::sendMessage(window, wm::kDestroy, 0, 0);
  platform::closeHandle(window);
}

uint32_t defaultWindowProcedure(platform::Handle window, uint32_t message, uint32_t wParam,
                                uint32_t) {
  if (message == wm::kClose) {
    destroyWindow(window);
  } else if (message == wm::kSystemCommand) {
    switch (wParam & 0xFFF0) {
      case wm::kCommandClose:
        platform::sendMessage(window, wm::kClose, 0, 0);
        break;
      case wm::kCommandMinimise:
        platform::showWindow(window, platform::kMinimise);
        platform::sendMessage(window, wm::kSize, wm::kSizeMinimised, 0);
        break;
      case wm::kCommandRestore:
        platform::showWindow(window, platform::kRestore);
        platform::sendMessage(window, wm::kSize, wm::kSizeRestored, 0);
        break;
    }
  }
  return 0;
}

uint32_t frameProcedure(platform::Handle window, uint32_t message, uint32_t wParam,
                        uint32_t lParam) {
  switch (message) {
    case wm::kAppendText:
      appendToConsole(reinterpret_cast<const char*>(static_cast<uintptr_t>(lParam)));
      return 0;
    case wm::kSetHideOnMinimise:
      console_window.hideOnMinimise = wParam != 0;
      return 0;
    case wm::kSecondIcon:
      if (const char* icon = launcherIcon(text::kSecondTrayIcon)) {
        platform::setWindowIcon(window, icon);
        changeTrayIcon(window, icon);
      }
      return 0;
    case wm::kStartTrayRefresh:
      startTrayRefresh(window);
      return 0;
    case wm::kTimer:
      if (wParam == kTrayRefreshTimer) refreshTrayIcon(window);
      return 0;
    case wm::kSetFocus:
      platform::setFocus(console_window.edit);
      return 0;
    case wm::kCreate:
      console_window.instance = module_instance;
      return 0;
    case wm::kDestroy:
      console_ready = 0;
      if (console_window.edit) platform::closeHandle(console_window.edit);
      console_window.edit = platform::kNoHandle;
      platform::postThreadMessage(platform::currentThreadId(), wm::kQuit, 0, 0);
      return 0;
    case wm::kSize:
      fitEditToFrame();
      if (wParam == wm::kSizeMinimised && console_window.hideOnMinimise)
        platform::showWindow(window, platform::kShowHide);
      return 0;
    case wm::kClose:
    case wm::kSystemCommand:
    case wm::kTrayNotify:
      if (console_window.policyHook)
        return console_window.policyHook(window, message, wParam, lParam);
      break;
  }
  return defaultWindowProcedure(window, message, wParam, lParam);
}

uint32_t consolePolicyHook(platform::Handle window, uint32_t message, uint32_t wParam,
                           uint32_t lParam) {
  if (message == wm::kSystemCommand && (wParam & 0xFFF0) == wm::kCommandMinimise) {
    if (settings.minimiseState == 0) return 0;
    if (settings.minimiseState != 1) {
      platform::showWindow(window, platform::kShowHide);
      return 0;
    }
  } else if (message == wm::kClose) {
    if (wParam == 0 && settings.closeButtonMode >= 2) {
      platform::showWindow(window, settings.closeButtonMode == 2 ? platform::kShowMinimised
                                                                 : platform::kShowHide);
      return 0;
    }
    if (routeClose()) return 0;
  } else if (message == wm::kTrayNotify) {
    if (lParam == wm::kLeftButtonDoubleClick) {
      platform::showWindow(window, platform::kShowNormal);
      platform::bringToForeground(window);
    } else if (lParam == wm::kRightButtonUp) {
      openTrayMenu(window);
    }
    return 0;
  }
  return defaultWindowProcedure(window, message, wParam, lParam);
}

uint32_t editProcedure(platform::Handle window, uint32_t message, uint32_t wParam,
                       uint32_t lParam) {
  if (message == wm::kChar && wParam == wm::kKeyEnter) enterInput();
  if (message == wm::kInputEnded) {
    // Nothing more will be typed: once the lines entered are read, reads
    // of the console give the end of input.
    console::endInput(&console::console_queue_pairs[0]);
    return 0;
  }
  if (message == wm::kKeyDown && wParam == wm::kKeyPause) {
    if (console_window.interrupt) console_window.interrupt();
    return 0;
  }
  return editControlProcedure(window, message, wParam, lParam);
}

void interruptLisp() {
  // No Lisp thread, or a Lisp that has asked to exit: nothing to interrupt
  // (a forced break would land in a thread that is ending, and after the end
  // the runtime's heaps may be gone).
  if (!signalLispUnlessEnding(kLispSignalInterrupt)) return;
  sched_yield();
  if (console_host_record.lispThreadId)
    platform::postThreadMessage(console_host_record.lispThreadId, wm::kUser, 0, 0);
}

int32_t consoleDisplay(int32_t descriptor, const char* text, int32_t length) {
  if (descriptor != host::kStandardOutput) {
    int32_t error = 0;
    return console_write(descriptor, text, length, &error);
  }
  if (!console_ready || length < 0) return length;
  for (const std::string& piece : displayPieces(std::string_view(text, static_cast<size_t>(length))))
    platform::sendMessage(console_window.frame, wm::kAppendText, 0, word(piece.c_str()));
  return length;
}

platform::Handle createConsoleWindow(const std::string& title, int32_t showCommand) {
  const ConsoleLimits limits = consoleLimitsFor(settings.consoleTextLimit, settings.windows9x != 0);
  settings.consoleTextLimit = limits.limit;
  settings.consoleShrinkSlop = limits.slop;

  const platform::Handle frame = platform::createWindow(frameProcedure);
  if (!frame) {
    char message[64];
    std::snprintf(message, sizeof message, text::kNoConsoleWindow,
                  platform::lastSystemError());
    platform::showMessageBox(text::kLispCaption, message);
    return platform::kNoHandle;
  }
  console_window.frame = frame;
  platform::setWindowStyle(frame, kOverlappedWindowStyle);
  platform::setWindowText(frame, title.c_str());
  const char* icon = launcherIcon(text::kFrameIcon);
  platform::setWindowIcon(frame, icon ? icon : "exclamation");
  platform::sendMessage(frame, wm::kCreate, 0, 0);
  console_window.interrupt = interruptLisp;
  console_window.policyHook = consolePolicyHook;
  console_window.edit = platform::createWindow(editProcedure);
  if (!console_window.edit) {
    char message[64];
    std::snprintf(message, sizeof message, text::kNoConsoleWindow,
                  platform::lastSystemError());
    platform::showMessageBox(text::kLispCaption, message);
    platform::closeHandle(frame);
    console_window = {};
    return platform::kNoHandle;
  }
  {
    std::lock_guard<std::mutex> hold(consoleViewLock());
    console_text = {};
  }
  if (showCommand == platform::kShowNoActivate) {
    platform::showWindow(frame, platform::kShowNoActivate);
  } else {
    platform::showWindow(frame, showCommand);
    if (showCommand != platform::kShowMinimisedNoActivate) platform::bringToForeground(frame);
  }
  platform::setFocus(console_window.edit);
  console_ready = 1;
  return frame;
}

}  // namespace launcher
