// The launcher's settings: process-wide words that the command line, the
// environment and StartLisp's arguments set before the Lisp starts, and that
// the console, the splash screen and (through the options record) Lisp code
// read afterwards. One record, with its initial values.
#pragma once

#include <cstdint>

namespace launcher {

inline constexpr int kPathBytes = 512;
// A tray name of more than this many characters is cut to one fewer.
inline constexpr int kTrayNameLimit = 20;
// The console text limit an option may set is raised to at least this.
inline constexpr int32_t kSmallestConsoleLimit = 2000;

struct LauncherSettings {
  int32_t consoleWanted = 1;
  int32_t noActivate = 0;  // from VXM_NOACTIVATE_CONSOLE at start
  int32_t startMinimised = 0;
  int32_t startHidden = 0;
  int32_t closeButtonMode = 0;  // 0 normal, 1 disabled, 2 minimises, 3+ hides
  int32_t noTrayInterrupt = 0;
  int32_t trayExitDisabled = 0;
  char trayName[kTrayNameLimit + 1] = "Lisp";
  const char* scriptFileName = nullptr;
  // The script descriptor is the console hooks' word (host_records.h).
  int32_t pauseAtExit = 0;
  int32_t noPauseOnError = 0;
  const char* runtimeLibraryName = nullptr;
  const char* consoleTitle = nullptr;
  int32_t splashWanted = 1;
  const char* splashText = nullptr;
  int32_t splashTimed = 0;
  int32_t splashPersistent = 0;
  int32_t trayIconWanted = 1;
  int32_t consoleTextLimit = -1;  // -1: the console's default
  int32_t minimiseState = 1;
  int32_t showCommand = 0;
  int32_t ownThreadStart = 0;
  int32_t windows9x = 0;  // never on this platform
  int32_t buildMode = 0;
  char homeDirectory[kPathBytes] = {};
  char modulePath[kPathBytes] = {};
  // Room the console window keeps beyond its text limit before it trims;
  // the console sets it, the options record points at it.
  int32_t consoleShrinkSlop = 0;
};

// The one instance StartLisp fills.
extern LauncherSettings settings;

}  // namespace launcher
