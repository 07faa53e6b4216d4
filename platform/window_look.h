// What a display would show of a window. There is no display here: a window
// keeps its show state, whether it is the foreground window, its text, its
// style bits, its system menu's Close item and the name of its icon, and a
// front end (a terminal) reads them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/waitable.h"

namespace platform {

// Show commands.
inline constexpr int32_t kShowHide = 0;
inline constexpr int32_t kShowNormal = 1;
inline constexpr int32_t kShowMinimised = 2;
inline constexpr int32_t kShowMaximised = 3;
inline constexpr int32_t kShowNoActivate = 4;
inline constexpr int32_t kShow = 5;
inline constexpr int32_t kMinimise = 6;
inline constexpr int32_t kShowMinimisedNoActivate = 7;
inline constexpr int32_t kShowNotActivated = 8;
inline constexpr int32_t kRestore = 9;

enum class ShowState : uint8_t { Hidden, Shown, Minimised, Maximised };

// Style bits.
inline constexpr uint32_t kStyleMaximiseBox = 0x10000;
inline constexpr uint32_t kStyleMinimiseBox = 0x20000;
inline constexpr uint32_t kStyleSystemMenu = 0x80000;  // the window has a system menu

// The system menu's Close item and its state bits (0: enabled).
inline constexpr uint32_t kCloseCommand = 0xF060;
inline constexpr uint32_t kMenuGreyed = 1;
inline constexpr uint32_t kMenuDisabled = 2;

// The message that asks a window to repaint its frame.
inline constexpr uint32_t kNonClientPaint = 0x85;

struct WindowLook {
  ShowState show = ShowState::Hidden;
  bool foreground = false;
  std::string text;
  uint32_t style = 0;
  uint32_t closeItemState = 0;  // kMenuGreyed | kMenuDisabled, or 0
  std::string icon;             // empty: none
};

// Each fails (false or -1, last error set) for a handle that is not a live
// window.

// Returns whether the window was visible before.
bool showWindow(Handle window, int32_t showCommand);
// Brings the window to the top and makes it the process's foreground window.
bool bringToForeground(Handle window);
bool setWindowText(Handle window, const char* text);
bool setWindowStyle(Handle window, uint32_t style);
bool setWindowIcon(Handle window, const char* icon);
// The Close item's previous state; -1 also when the window has no system menu.
int32_t setCloseItemState(Handle window, uint32_t state);
bool readWindowLook(Handle window, WindowLook* look);

}  // namespace platform
