// The tray icon of the console and its menu, over a notification area that
// keeps what a display would show (the icon, its tip) instead of drawing it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/waitable.h"

namespace launcher {

inline constexpr uint32_t kTrayRefreshTimer = 385;
inline constexpr uint32_t kRefreshWhileShownMs = 40000;
inline constexpr uint32_t kRefreshWhileNotShownMs = 20000;
inline constexpr int kTrayTipCharacters = 63;

// The notification icon record.
struct TrayIconRecord {
  uint32_t size = 88;
  platform::Handle window = platform::kNoHandle;
  uint32_t id = 1;
  uint32_t flags = 7;  // message, icon and tip are given
  uint32_t callbackMessage = 1035;
  std::string icon;
  char tip[kTrayTipCharacters + 1] = {};
};

// The tray state word: 0 not shown, -1 removed for good, else shown.
inline constexpr int32_t kTrayNotShown = 0;
inline constexpr int32_t kTrayRemoved = -1;
extern int32_t tray_state;

// What the notification area shows (under the view lock).
struct NotificationArea {
  bool shown = false;
  std::string icon;
  std::string tip;
};
extern NotificationArea notification_area;

// The options record's add and remove.
void add_tray_icon(uint32_t instance, uint32_t window);
void remove_tray_icon();
// Removes the icon when shown: 1 once removed (never re-added), else 0.
int32_t removeTrayIcon();

void changeTrayIcon(platform::Handle window, const char* icon);
void startTrayRefresh(platform::Handle window);
void refreshTrayIcon(platform::Handle window);

// Menu commands.
inline constexpr uint32_t kMenuShowConsole = 1024;
inline constexpr uint32_t kMenuHideConsole = 1025;
inline constexpr uint32_t kMenuInterrupt = 1026;
inline constexpr uint32_t kMenuExitYes = 1027;
inline constexpr uint32_t kMenuExitNo = 1028;

struct MenuItem {
  uint32_t command;  // 0: a separator, or a submenu's title
  std::string text;
  bool greyed = false;
  bool inSubmenu = false;
};
std::vector<MenuItem> buildTrayMenu();
// Shows the menu and carries out the command picked.
void openTrayMenu(platform::Handle window);

// The tray as one line for a front end; empty when there is nothing to show.
std::string describeTray();

}  // namespace launcher
