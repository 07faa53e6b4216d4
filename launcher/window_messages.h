// Window message numbers and their parameters as the console, tray and
// splash windows use them: the platform's own, then the launcher's.
#pragma once

#include <cstdint>

namespace launcher::wm {

inline constexpr uint32_t kCreate = 1;
inline constexpr uint32_t kDestroy = 2;
inline constexpr uint32_t kSize = 5;
inline constexpr uint32_t kSetFocus = 7;
inline constexpr uint32_t kPaint = 0xF;
inline constexpr uint32_t kClose = 0x10;
inline constexpr uint32_t kQuit = 18;
inline constexpr uint32_t kKeyDown = 0x100;
inline constexpr uint32_t kChar = 0x102;
inline constexpr uint32_t kSystemCommand = 0x112;
inline constexpr uint32_t kTimer = 0x113;
inline constexpr uint32_t kLeftButtonDown = 513;
inline constexpr uint32_t kLeftButtonDoubleClick = 515;
inline constexpr uint32_t kRightButtonUp = 517;
inline constexpr uint32_t kUser = 1024;

// The launcher's own messages to the console frame.
inline constexpr uint32_t kAppendText = 1034;       // lParam: the NUL-ended text
inline constexpr uint32_t kTrayNotify = 1035;       // lParam: the mouse message
inline constexpr uint32_t kSetHideOnMinimise = 1036;  // wParam: the flag
inline constexpr uint32_t kSecondIcon = 1037;
inline constexpr uint32_t kStartTrayRefresh = 1038;

// The terminal's pick in an open popup menu: wParam the command, 0 for none.
// Decision: a message number above the launcher's, posted by the front end.
inline constexpr uint32_t kMenuPick = 1100;
// The front end's input has ended (a pipe's end), to the edit control, in
// order with the keys before it. Decision: the launcher's own number.
inline constexpr uint32_t kInputEnded = 1101;

// System commands (wParam of kSystemCommand).
inline constexpr uint32_t kCommandClose = 61536;
inline constexpr uint32_t kCommandMinimise = 61472;
inline constexpr uint32_t kCommandRestore = 61728;

// WM_SIZE kinds.
inline constexpr uint32_t kSizeRestored = 0;
inline constexpr uint32_t kSizeMinimised = 1;

// Keys.
inline constexpr uint32_t kKeyEnter = 13;
inline constexpr uint32_t kKeyBackspace = 8;
inline constexpr uint32_t kKeyPause = 19;
inline constexpr uint32_t kKeyA = 0x41;
// Decision: no keyboard state can be asked here, so a key message says in
// its lParam that the control key was held.
inline constexpr uint32_t kControlHeld = 1;

// The long parameter of the quit message the runtime posts when the Lisp
// thread has ended.
inline constexpr uint32_t kLispEndedQuit = 2457;

}  // namespace launcher::wm
