// A popup menu without a display: while it is open, the menu is published
// for a front end to show, and the console thread pumps its messages until
// the front end posts a pick (wm::kMenuPick).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "launcher/console_tray.h"

namespace launcher {

// The command picked; 0 when the menu was dismissed, a greyed item was
// picked, or a quit message came (it is posted again).
uint32_t trackPopupMenu(const std::vector<MenuItem>& menu);

// The commands of the open menu that can be picked, numbered from 1 in the
// order shown; empty while no menu is open. Under the view lock.
std::vector<uint32_t> openMenuCommands();
// The open menu as one line ("" when none). Under the view lock.
std::string describeOpenMenu();

}  // namespace launcher
