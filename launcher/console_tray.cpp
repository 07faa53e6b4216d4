// The tray icon: added on the console or Lisp thread through the options
// record, refreshed by a timer, and its menu built anew each time it opens.

#include "launcher/console_tray.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "launcher/console_window.h"
#include "launcher/launcher_messages.h"
#include "launcher/launcher_settings.h"
#include "launcher/popup_menu.h"
#include "launcher/window_messages.h"
#include "platform/window_look.h"
#include "platform/window_timer.h"

namespace launcher {

int32_t tray_state = kTrayNotShown;
NotificationArea notification_area;

namespace {

TrayIconRecord tray_record;

enum class NotifyAction { Add, Modify, Delete };

// The notification area's side: adding, changing and deleting always
// succeed, except changing or deleting an icon that is not there.
bool notifyIcon(NotifyAction action, const TrayIconRecord& record) {
  std::lock_guard<std::mutex> hold(consoleViewLock());
  NotificationArea& area = notification_area;
  if (action != NotifyAction::Add && !area.shown) return false;
  area.shown = action != NotifyAction::Delete;
  area.icon = area.shown ? record.icon : "";
  area.tip = area.shown ? record.tip : "";
  return true;
}

void setTip(const char* tip) {
  std::snprintf(tray_record.tip, sizeof tray_record.tip, "%s", tip);
}

std::string withTrayName(const char* format) {
  char text[96];
  std::snprintf(text, sizeof text, format, settings.trayName);
  return text;
}

bool shown() {
  return tray_state != kTrayNotShown && tray_state != kTrayRemoved;
}

}  // namespace

void add_tray_icon(uint32_t, uint32_t window) {
  tray_record.window = window;
  setTip(settings.consoleTitle ? settings.consoleTitle : text::kConsoleTitle);
  const char* icon = launcherIcon(text::kTrayIcon);
  tray_record.icon = icon ? icon : "application";
  tray_state = notifyIcon(NotifyAction::Add, tray_record) ? 1 : 0;
}

int32_t removeTrayIcon() {
  if (!shown() || !notifyIcon(NotifyAction::Delete, tray_record)) return 0;
  tray_state = kTrayRemoved;
  return 1;
}

void remove_tray_icon() {
  removeTrayIcon();
}

void changeTrayIcon(platform::Handle window, const char* icon) {
  tray_record.window = window;
  setTip(text::kSecondTrayTip);
  tray_record.icon = icon;
  const bool done = notifyIcon(shown() ? NotifyAction::Modify : NotifyAction::Add, tray_record);
  if (done && tray_state != kTrayRemoved) tray_state = 1;
}

void startTrayRefresh(platform::Handle window) {
  platform::setWindowTimer(window, kTrayRefreshTimer,
                           shown() ? kRefreshWhileShownMs : kRefreshWhileNotShownMs);
}

void refreshTrayIcon(platform::Handle window) {
  if (tray_state == kTrayRemoved) return;
  if (!shown() || !notifyIcon(NotifyAction::Modify, tray_record))
    tray_state = notifyIcon(NotifyAction::Add, tray_record) ? 1 : 0;
  startTrayRefresh(window);
}

std::vector<MenuItem> buildTrayMenu() {
  std::vector<MenuItem> menu = {{kMenuShowConsole, text::kMenuShow},
                                {kMenuHideConsole, text::kMenuHide}};
  if (!settings.noTrayInterrupt) {
    menu.push_back({0, ""});
    menu.push_back({kMenuInterrupt, withTrayName(text::kMenuInterrupt)});
  }
  menu.push_back({0, ""});
  menu.push_back({0, withTrayName(text::kMenuExit)});
  menu.push_back({kMenuExitYes, withTrayName(text::kMenuExitYes), settings.trayExitDisabled != 0,
                  true});
  menu.push_back({kMenuExitNo, withTrayName(text::kMenuExitNo), false, true});
  return menu;
}

void openTrayMenu(platform::Handle window) {
  platform::bringToForeground(window);
  switch (trackPopupMenu(buildTrayMenu())) {
    case kMenuShowConsole:
      platform::showWindow(window, platform::kShowNormal);
      platform::bringToForeground(window);
      break;
    case kMenuHideConsole:
      platform::showWindow(window, platform::kShowHide);
      break;
    case kMenuInterrupt:
      interruptLisp();
      break;
    case kMenuExitYes:
      platform::postWindowMessage(window, wm::kClose, 1, 0);
      break;
  }
}

std::string describeTray() {
  // Under the view lock, held by the caller.
  const NotificationArea& area = notification_area;
  if (!area.shown) return tray_state == kTrayRemoved ? "tray: removed" : "";
  return "tray: " + area.icon + ", \"" + area.tip + "\"";
}

}  // namespace launcher
