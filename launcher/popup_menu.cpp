#include "launcher/popup_menu.h"

#include <mutex>

#include "launcher/console_window.h"
#include "launcher/window_messages.h"
#include "platform/message_queue.h"
#include "platform/threads.h"

namespace launcher {

namespace {

std::vector<MenuItem> open_menu;  // under the view lock

void publish(const std::vector<MenuItem>& menu) {
  std::lock_guard<std::mutex> hold(consoleViewLock());
  open_menu = menu;
}

// Items that carry a command, in order.
std::vector<const MenuItem*> pickable(const std::vector<MenuItem>& menu) {
  std::vector<const MenuItem*> items;
  for (const MenuItem& item : menu)
    if (item.command) items.push_back(&item);
  return items;
}

}  // namespace

uint32_t trackPopupMenu(const std::vector<MenuItem>& menu) {
  publish(menu);
  uint32_t picked = 0;
  platform::Message message;
  for (;;) {
    if (!platform::getMessage(&message)) {
      platform::postThreadMessage(platform::currentThreadId(), message.message, message.wParam,
                                  message.lParam);
      break;
    }
    if (message.message == wm::kMenuPick) {
      picked = message.wParam;
      break;
    }
    // One menu at a time: a tray click queued before this menu took the
    // keys would open a second one inside it, which would empty the open
    // menu when it closed and leave this one waiting for ever.
    if (message.message == wm::kTrayNotify) continue;
    platform::dispatchMessage(&message);
  }
  publish({});
  for (const MenuItem& item : menu)
    if (picked && item.command == picked) return item.greyed ? 0 : picked;
  return 0;
}

std::vector<uint32_t> openMenuCommands() {
  std::vector<uint32_t> commands;
  for (const MenuItem* item : pickable(open_menu)) commands.push_back(item->command);
  return commands;
}

std::string describeOpenMenu() {
  if (open_menu.empty()) return "";
  std::string line = "tray menu:";
  int number = 0;
  for (const MenuItem& item : open_menu) {
    if (item.command == 0 && item.text.empty()) continue;  // separator
    if (item.command == 0) {  // a submenu's title
      line += " " + item.text + ":";
      continue;
    }
    line += " " + std::to_string(++number) + " " + item.text + (item.greyed ? " (greyed)" : "") + ";";
  }
  line.pop_back();
  return line;
}

}  // namespace launcher
