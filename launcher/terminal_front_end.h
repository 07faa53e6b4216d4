// The console on a terminal: a reader thread turns keys into the messages a
// display's keyboard and mouse would send to the console, and a renderer
// prints what the console model shows. On a terminal, standard input is
// switched to raw mode (restored at the end) and the renderer keeps the
// unfinished input line at the bottom, printing new text above it; on a
// pipe, lines are read as they come and only the console's text is printed.
//
// Keys: characters, Backspace, Enter; Ctrl+A select all; Ctrl+C interrupt
// (Pause); Ctrl+D or the end of input close; Ctrl+Z minimise; Ctrl+T the
// tray menu (a digit picks); Ctrl+S the tray icon's double click; Ctrl+B a
// click on the splash screen.
#pragma once

#include <cstdint>
#include <string>

namespace launcher {

void startTerminalFrontEnd();
// Prints what is new, at once.
void renderConsoleNow();
// The console waits for its window to close: once the input has ended,
// nothing else could close it, so a close is sent for the end of input.
void consolePauseStarting();
// A last render; the terminal gets its mode back.
void stopTerminalFrontEnd();

// ---- the keys' messages, for the reader and its tests ----

struct KeyMessage {
  enum class To : uint8_t { None, Edit, Frame, Splash, Menu } to;
  uint32_t message;
  uint32_t wParam;
  uint32_t lParam;
};
// The message for one input byte; a menu that is open takes every key.
// `menuCommands` are the open menu's commands (empty: no menu open).
KeyMessage keyMessage(unsigned char byte, const uint32_t* menuCommands, size_t menuCount);

}  // namespace launcher
