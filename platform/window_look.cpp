// Window looks, kept with the windows in the handle table.

#include "platform/window_look.h"

#include "platform/error_numbers.h"
#include "platform/object_table.h"

namespace platform {

using namespace detail;

namespace {

// The one foreground window of the process; kNoHandle when none.
Handle foreground_window = kNoHandle;

ShowState stateAfter(ShowState now, int32_t showCommand) {
  switch (showCommand) {
    case kShowHide:
      return ShowState::Hidden;
    case kShowMinimised:
    case kMinimise:
    case kShowMinimisedNoActivate:
      return ShowState::Minimised;
    case kShowMaximised:
      return ShowState::Maximised;
    case kShowNormal:
    case kRestore:
    case kShowNoActivate:
      return ShowState::Shown;
    default:  // kShow, kShowNotActivated: shown, keeping a minimised or maximised state
      return now == ShowState::Hidden ? ShowState::Shown : now;
  }
}

// The window's look under the table lock, or nullptr with the last error set.
WindowLook* lookOf(Handle window) {
  KernelObject* object = windowOf(window);
  if (!object) {
    setLastSystemError(system_error::kInvalidWindowHandle);
    return nullptr;
  }
  return &object->look;
}

}  // namespace

bool showWindow(Handle window, int32_t showCommand) {
  TableLock lock;
  WindowLook* look = lookOf(window);
  if (!look) return false;
  const bool wasVisible = look->show != ShowState::Hidden;
  look->show = stateAfter(look->show, showCommand);
  return wasVisible;
}

bool bringToForeground(Handle window) {
  TableLock lock;
  if (!lookOf(window)) return false;
  foreground_window = window;
  windowOf(window)->stackingOrder = topStackingOrder();
  return true;
}

bool setWindowText(Handle window, const char* text) {
  TableLock lock;
  WindowLook* look = lookOf(window);
  if (!look) return false;
  look->text = text ? text : "";
  return true;
}

bool setWindowStyle(Handle window, uint32_t style) {
  TableLock lock;
  WindowLook* look = lookOf(window);
  if (!look) return false;
  look->style = style;
  return true;
}

bool setWindowIcon(Handle window, const char* icon) {
  TableLock lock;
  WindowLook* look = lookOf(window);
  if (!look) return false;
  look->icon = icon ? icon : "";
  return true;
}

int32_t setCloseItemState(Handle window, uint32_t state) {
  TableLock lock;
  WindowLook* look = lookOf(window);
  if (!look) return -1;
  if (!(look->style & kStyleSystemMenu)) return -1;
  const int32_t previous = static_cast<int32_t>(look->closeItemState);
  look->closeItemState = state;
  return previous;
}

bool readWindowLook(Handle window, WindowLook* look) {
  TableLock lock;
  const WindowLook* kept = lookOf(window);
  if (!kept) return false;
  *look = *kept;
  look->foreground = foreground_window == window;
  return true;
}

}  // namespace platform
