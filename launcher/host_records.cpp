// The two host record forms, the descriptor table and the first-use hooks
// of the event words.

#include "launcher/host_records.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace launcher {

namespace {

// Windows whose messages the runtime's peek loop pumps; none at start.
// Decision: room for a few, ended by 0.
uint32_t peek_window_list[8] = {};

}  // namespace

host::DescriptorEntry pseudo_descriptor_table[host::kDescriptorCount] = {};

host::HostRecord console_host_record = {
    .readHook = read_hook,
    .writeHook = console_form_write_hook,
    .closeHook = close_hook,
    .noHangHook = no_hang_hook,
    .win_read = nullptr,
    .win_write = nullptr,
    .win_close = nullptr,
    .win_no_hang = nullptr,
    .win_watchfor = nullptr,
    .win_waitsigio = nullptr,
    .win_timersig = nullptr,
    .exitHook = console_exit_hook,
    .peekLoopHook = first_peek_loop_hook,
    .singleEventHook = first_single_event_hook,
    .lispThreadId = 0,
    .consoleWakeThreadId = 0,
    .descriptorTable = pseudo_descriptor_table,
    .peekWindows = peek_window_list,
    .splashBlock = nullptr,
    .splashBlockLength = 0,
    .consoleWindow = 0,
    .moduleInstance = 0,
    .splashWindow = 0,
    .secondSplashBlock = nullptr,
    .secondSplashBlockLength = 0,
};

host::HostRecord no_console_host_record = {
    .readHook = read_hook,
    .writeHook = no_console_form_write_hook,
    .closeHook = close_hook,
    .noHangHook = no_hang_hook,
    .win_read = nullptr,
    .win_write = nullptr,
    .win_close = nullptr,
    .win_no_hang = nullptr,
    .win_watchfor = nullptr,
    .win_waitsigio = nullptr,
    .win_timersig = nullptr,
    .exitHook = std::exit,
    .peekLoopHook = first_peek_loop_hook,
    .singleEventHook = first_single_event_hook,
    .lispThreadId = 0,
    .consoleWakeThreadId = 0,
    .descriptorTable = pseudo_descriptor_table,
    .peekWindows = nullptr,
    .splashBlock = nullptr,
    .splashBlockLength = 0,
    .consoleWindow = 0,
    .moduleInstance = 0,
    .splashWindow = 0,
    .secondSplashBlock = nullptr,
    .secondSplashBlockLength = 0,
};

host::HostRecord* current_host_record = &console_host_record;

int32_t console_wanted = 1;
int32_t script_descriptor = -1;
void (*close_splash_early)() = nullptr;
host::PeekLoopHook runtime_message_peek_loop = nullptr;
host::SingleEventHook runtime_process_single_event = nullptr;

void setup_pseudo_descriptor_table() {
  std::memset(pseudo_descriptor_table, 0, sizeof pseudo_descriptor_table);
  for (int32_t descriptor : {host::kStandardInput, host::kStandardOutput, host::kStandardError})
    pseudo_descriptor_table[descriptor].kind = host::kKindConsole;  // handle 0: pair 0
  pseudo_descriptor_table[host::kNullDeviceDescriptor].kind = host::kKindNullDevice;
}

// Words 12 and 13 start here. The first call closes the splash screen,
// installs the runtime's entry in both forms and calls it; a racing second
// call only stores the same value again. Before the runtime is bound there is
// nothing to install and nothing is pumped.
int32_t first_peek_loop_hook(int32_t mode) {
  if (close_splash_early) close_splash_early();
  const host::PeekLoopHook entry = runtime_message_peek_loop;
  if (!entry) return 0;
  console_host_record.peekLoopHook = entry;
  no_console_host_record.peekLoopHook = entry;
  return entry(mode);
}

int32_t first_single_event_hook() {
  if (close_splash_early) close_splash_early();
  const host::SingleEventHook entry = runtime_process_single_event;
  if (!entry) return 0;
  console_host_record.singleEventHook = entry;
  no_console_host_record.singleEventHook = entry;
  return entry();
}

}  // namespace launcher
