#include "launcher/console_start.h"

#include <cstdlib>

#include "launcher/console_tray.h"
#include "launcher/host_records.h"
#include "launcher/launch_state.h"
#include "launcher/lisp_ending.h"
#include "launcher/start_lisp.h"
#include "platform/message_queue.h"
#include "platform/threads.h"

namespace launcher {

namespace {

// Posted to the console thread when the Lisp ends.
constexpr uint32_t kUserMessage = 1024;

// Read by the runtime through the options record's pointers, so it lives as
// long as the process.
OptionsRecord options_record;

}  // namespace

uint32_t console_thread_id = 0;
int32_t lisp_exit_status = 0;
int32_t lisp_ended = 0;

uint32_t console_lisp_thread(void*) {
  fillOptionsRecord(&options_record, console_host_record.consoleWindow, module_instance,
                    add_tray_icon, remove_tray_icon);
  current_host_record = &console_host_record;
  console_host_record.lispThreadId = platform::currentThreadId();
  launch.runtime.setup_redir(&console_host_record);
  return static_cast<uint32_t>(initLisp(&options_record));
}

// Word 11 of the console form: keeps the status for the console thread, wakes
// it, and lets the runtime end this (the Lisp) thread, which posts the quit
// message to the console thread.
void console_exit_hook(int32_t status) {
  // From now on nothing of the console reaches the ending Lisp thread.
  lispEnds();
  lisp_exit_status = status;
  if (console_thread_id) platform::postThreadMessage(console_thread_id, kUserMessage, 0, 0);
  if (launch.runtime.vxm_thread_exit)
    launch.runtime.vxm_thread_exit(status, &lisp_ended, console_thread_id);
  // Decision: without a bound runtime there is no Lisp thread to end; the
  // process ends with the status instead.
  std::exit(status);
}

}  // namespace launcher
