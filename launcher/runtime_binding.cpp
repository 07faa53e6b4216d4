#include "launcher/runtime_binding.h"

#include <cstring>
#include <initializer_list>

#include "launcher/host_records.h"
#include "launcher/launcher_settings.h"

namespace launcher {

const char* const kRuntimeEntryNames[kRuntimeEntryCount] = {
    "win_read",
    "win_write",
    "win_close",
    "win_no_hang",
    "win_timersig",
    "win_watchfor",
    "win_waitsigio",
    "lisp_main",
    "lisp_init",
    "windows_lisp_exit",
    "setup_redir",
    "vxm_message_peek_loop",
    "vxm_process_single_event",
    "signal_lisp",
    "free_heaps",
    "remote_command",
    "remote_command_event",
    "get_vxm_dll_version",
    "find_lisp_thread_handle",
    "vxm_thread_exit",
    "ipc_shutdown",
    "get_default_image_file",
    "find_image_file",
    "set_my_thread_watch_pointers",
};

bool bindRuntimeEntries(void* library, void* (*lookup)(void* library, const char* name),
                        RuntimeEntries* entries) {
  void* addresses[kRuntimeEntryCount];
  for (int i = 0; i < kRuntimeEntryCount; ++i) {
    addresses[i] = lookup(library, kRuntimeEntryNames[i]);
    if (!addresses[i]) return false;
  }
  std::memcpy(entries, addresses, sizeof addresses);
  return true;
}

void installRuntimeHooks(const RuntimeEntries& entries) {
  for (host::HostRecord* form : {&console_host_record, &no_console_host_record}) {
    form->win_read = entries.win_read;
    form->win_write = entries.win_write;
    form->win_close = entries.win_close;
    form->win_no_hang = entries.win_no_hang;
    form->win_watchfor = entries.win_watchfor;
    form->win_waitsigio = entries.win_waitsigio;
    form->win_timersig = entries.win_timersig;
  }
}

namespace {

// Libraries the runtime's foreign-function interface looks names up in; the
// flag marks those it searches by default.
constexpr LinkedLibrary kLinkedLibraries[kLinkedLibraryCount] = {
    {"user32.dll", 1},   {"gdi32.dll", 1},   {"kernel32.dll", 1}, {"comctl32.dll", 1},
    {"comdlg32.dll", 1}, {"winmm.dll", 1},   {"advapi32.dll", 1}, {"shell32.dll", 1},
    {"ws2_32.dll", 1},   {"version.dll", 1}, {"msvcrt.dll", 0},   {"psapi.dll", 0},
};

}  // namespace

const LinkedLibrary* const linked_library_table[kLinkedLibraryCount + 1] = {
    &kLinkedLibraries[0],
    &kLinkedLibraries[1],
    &kLinkedLibraries[2],
    &kLinkedLibraries[3],
    &kLinkedLibraries[4],
    &kLinkedLibraries[5],
    &kLinkedLibraries[6],
    &kLinkedLibraries[7],
    &kLinkedLibraries[8],
    &kLinkedLibraries[9],
    &kLinkedLibraries[10],
    &kLinkedLibraries[11],
    nullptr,
};

void fillOptionsRecord(OptionsRecord* record, uint32_t consoleWindow, uint32_t moduleInstance,
                       void (*addTrayIcon)(uint32_t, uint32_t), void (*removeTrayIcon)()) {
  *record = OptionsRecord{
      .consoleWindow = consoleWindow,
      .trayExitDisabled = &settings.trayExitDisabled,
      .closeButtonMode = &settings.closeButtonMode,
      .moduleInstance = moduleInstance,
      .addTrayIcon = addTrayIcon,
      .removeTrayIcon = removeTrayIcon,
      .scriptDescriptor = &script_descriptor,
      .minimiseState = &settings.minimiseState,
      .consoleTextLimit = &settings.consoleTextLimit,
      .consoleShrinkSlop = &settings.consoleShrinkSlop,
      .windows9x = &settings.windows9x,
  };
}

}  // namespace launcher
