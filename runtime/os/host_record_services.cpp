// The host record kept, the console controls over the display-free console
// window, the splash copies and the running marker.

#include "runtime/os/host_record_services.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/message_queue.h"
#include "platform/window_look.h"
#include "runtime/load/startup.h"
#include "runtime/os/host_allocator.h"

namespace {

host::HostRecord* hostRecord() {
  return reinterpret_cast<host::HostRecord*>(redir);
}

uint32_t consoleWindow() {
  const host::HostRecord* record = hostRecord();
  return record ? record->consoleWindow : 0;
}

// The launcher words reach the runtime as their addresses; a null address is
// skipped.
void storeLauncherWord(uint32_t address, int32_t value) {
  if (address) *reinterpret_cast<int32_t*>(address) = value;
}
int32_t launcherWord(uint32_t address) {
  return address ? *reinterpret_cast<const int32_t*>(address) : 0;
}

using TrayIconStart = void (*)(uint32_t instance, uint32_t window);
using TrayIconKill = void (*)(uint32_t window);

constexpr int32_t kLeastConsoleCharacters = 2000;
constexpr double kConsoleShrinkSlop = 0.15;

// The splash copies this module made; the launcher's own block (read from the
// image before the Lisp started) is never freed here.
const void* splash_copies[2] = {nullptr, nullptr};

}  // namespace

extern "C" {

uint32_t* redir = nullptr;

host::HostRecord* setup_redir(host::HostRecord* record) {
  redir = reinterpret_cast<uint32_t*>(record);
  return record;
}

int32_t sy_maybe_show_console(int32_t showCommand) {
  const uint32_t window = consoleWindow();
  if (!window) return 0;
  const bool wasVisible = platform::showWindow(window, showCommand);
  if (showCommand != platform::kShowHide) platform::bringToForeground(window);
  return wasVisible ? 1 : 0;
}

void sy_maybe_disable_close_button(int32_t mode) {
  const uint32_t window = consoleWindow();
  if (!window) return;
  platform::setCloseItemState(window,
                              mode == 1 ? platform::kMenuGreyed | platform::kMenuDisabled : 0);
  storeLauncherWord(lisp_disable_close_button, mode);
}

void sy_maybe_enable_close_button() {
  const uint32_t window = consoleWindow();
  if (!window) return;
  platform::setCloseItemState(window, 0);
  storeLauncherWord(lisp_disable_close_button, 0);
}

void sy_tray_icon_control(int32_t on) {
  const uint32_t window = consoleWindow();
  if (!window) return;
  if (on) {
    if (start_lisp_tray_icon)
      reinterpret_cast<TrayIconStart>(start_lisp_tray_icon)(lisp_ourhInstance, window);
  } else if (kill_lisp_tray_icon) {
    reinterpret_cast<TrayIconKill>(kill_lisp_tray_icon)(window);
  }
}

void sy_maybe_set_minmax_state(int32_t which, int32_t on) {
  const uint32_t window = consoleWindow();
  platform::WindowLook look;
  if (!window || !platform::readWindowLook(window, &look)) return;
  if (!(look.style & platform::kStyleSystemMenu)) return;
  const uint32_t bit = which == 1 ? platform::kStyleMinimiseBox : platform::kStyleMaximiseBox;
  platform::setWindowStyle(window, on ? look.style | bit : look.style & ~bit);
  // Posted: the window belongs to the launcher's console thread.
  platform::postWindowMessage(window, platform::kNonClientPaint, 1, 0);
  if (which == 1) storeLauncherWord(lisp_minimize_state, on);
}

void sy_maybe_set_console_size(int32_t characters) {
  if (!consoleWindow() || launcherWord(lisp_running_on_win9x)) return;
  const int32_t limit = std::max(characters, kLeastConsoleCharacters);
  storeLauncherWord(lisp_console_max, limit);
  storeLauncherWord(lisp_console_shrink_slop, static_cast<int32_t>(limit * kConsoleShrinkSlop));
}

void sy_maybe_set_console_title(const char* title) {
  const uint32_t window = consoleWindow();
  if (window) platform::setWindowText(window, title ? title : "");
}

int32_t sy_set_splash(const void* first, int32_t firstLength, const void* second,
                      int32_t secondLength) {
  host::HostRecord* record = hostRecord();
  if (!record || firstLength < 0 || secondLength < 0 || (firstLength && !first) ||
      (secondLength && !second))
    return 0;
  if (record->splashBlock) {
    for (const void*& copy : splash_copies) {
      lisp::os::hostRelease(const_cast<void*>(copy));
      copy = nullptr;
    }
    record->splashBlock = nullptr;
    record->splashBlockLength = 0;
    record->secondSplashBlock = nullptr;
    record->secondSplashBlockLength = 0;
  }
  const void* sources[2] = {first, second};
  const int32_t lengths[2] = {firstLength, secondLength};
  void* copies[2] = {nullptr, nullptr};
  for (int i = 0; i < 2; ++i) {
    if (lengths[i] == 0) continue;
    copies[i] = lisp::os::hostAllocate(static_cast<size_t>(lengths[i]));
    if (!copies[i]) {
      lisp::os::hostRelease(copies[0]);
      return 0;
    }
    std::memcpy(copies[i], sources[i], static_cast<size_t>(lengths[i]));
  }
  splash_copies[0] = copies[0];
  splash_copies[1] = copies[1];
  record->splashBlock = copies[0];
  record->splashBlockLength = static_cast<uint32_t>(firstLength);
  record->secondSplashBlock = copies[1];
  record->secondSplashBlockLength = static_cast<uint32_t>(secondLength);
  return secondLength;
}

int32_t sy_set_running_mutex() {
  static std::once_flag once;
  static int32_t marker = 0;
  std::call_once(once, [] { marker = lisp::os::takeRunningMarker(lisp::os::kRunningMarkerDirectory); });
  return marker;
}

}  // extern "C"

namespace lisp::os {

int32_t takeRunningMarker(const char* directory) {
  std::string name = kRunningMarkerName;
  std::replace(name.begin(), name.end(), '\\', '_');
  std::replace(name.begin(), name.end(), '/', '_');
  const std::string path = std::string(directory) + "/" + name + ".lock";
  const int descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (descriptor < 0) return 0;
  // Shared, so that a second Lisp keeps the marker held after the first has
  // ended. Only a program probing for Lisps at this moment can hold it
  // exclusively: the file is kept open all the same (created, as a named
  // mutex would be).
  flock(descriptor, LOCK_SH | LOCK_NB);
  return descriptor;
}

}  // namespace lisp::os
