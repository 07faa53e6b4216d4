// The Lisp thread's start beside the console and the console form's exit
// hook, over recording stand-ins for the runtime's entries.

#include "launcher/console_start.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "launcher/host_records.h"
#include "launcher/launch_state.h"
#include "launcher/launcher_settings.h"
#include "launcher/start_lisp.h"
#include "launcher/tests/owned_argument_vector.h"
#include "platform/message_queue.h"
#include "platform/threads.h"
#include "platform/waitable.h"

namespace {

struct Calls {
  host::HostRecord* redir = nullptr;
  uint32_t redirThread = 0;
  uint32_t lispThreadIdAtRedir = 0;
  int argc = 0;
  int win32app = -1;
  const uint32_t* options = nullptr;
  int32_t exitStatus = -1;
  int32_t* doneFlag = nullptr;
  uint32_t notified = 0;
} calls;

host::HostRecord* recordRedir(host::HostRecord* record) {
  calls.redir = record;
  calls.redirThread = platform::currentThreadId();
  calls.lispThreadIdAtRedir = record->lispThreadId;
  return record;
}

int recordInit(int argc, char**, char**, host::ExitHook, const char*, const char*, void*,
               const char*, launcher::SlotAllocator, int win32app, void*, const uint32_t* options) {
  calls.argc = argc;
  calls.win32app = win32app;
  calls.options = options;
  return 9;
}

void recordThreadExit(int32_t status, int32_t* doneFlag, uint32_t notify) {
  calls.exitStatus = status;
  calls.doneFlag = doneFlag;
  calls.notified = notify;
  *doneFlag = 1;
  platform::exitThread(static_cast<uint32_t>(status));  // as the runtime's ends the Lisp thread
}

class ConsoleStart : public ::testing::Test {
 protected:
  void SetUp() override {
    calls = {};
    savedConsole = launcher::console_host_record;
    savedCurrent = launcher::current_host_record;
    launcher::launch.runtime = {};
    launcher::launch.runtime.setup_redir = recordRedir;
    launcher::launch.runtime.lisp_init = recordInit;
    launcher::launch.runtime.vxm_thread_exit = recordThreadExit;
    launcher::launch.vector = owned.vector;
  }
  void TearDown() override {
    launcher::console_host_record = savedConsole;
    launcher::current_host_record = savedCurrent;
    launcher::launch = {};
    launcher::console_thread_id = 0;
    launcher::lisp_exit_status = 0;
    launcher::lisp_ended = 0;
    launcher::module_instance = savedInstance;
  }

  uint32_t runOnThread(platform::ThreadStart body) {
    uint32_t id = 0;
    const platform::Handle thread = platform::createThread(body, nullptr, 0, &id);
    const platform::Handle handles[] = {thread};
    EXPECT_EQ(platform::waitForAny(handles, 10000), 0);
    uint32_t exitCode = 0;
    platform::exitCodeOf(thread, &exitCode);
    platform::closeHandle(thread);
    return exitCode;
  }

  launcher_testing::OwnedArgumentVector owned{"p -e x", nullptr};
  host::HostRecord savedConsole;
  host::HostRecord* savedCurrent;
  uint32_t savedInstance = launcher::module_instance;
};

TEST_F(ConsoleStart, LispThreadHandsTheConsoleFormAndOptionsRecordToTheRuntime) {
  launcher::console_host_record.consoleWindow = 0x77;
  launcher::module_instance = 0x4000;
  EXPECT_EQ(runOnThread(launcher::console_lisp_thread), 9u);
  EXPECT_EQ(calls.redir, &launcher::console_host_record);
  EXPECT_EQ(launcher::current_host_record, &launcher::console_host_record);
  // Word 14 holds the Lisp thread before setup_redir sees the record.
  EXPECT_EQ(calls.lispThreadIdAtRedir, calls.redirThread);
  EXPECT_EQ(calls.argc, 3);
  EXPECT_EQ(calls.win32app, 1);
  ASSERT_NE(calls.options, nullptr);
  EXPECT_EQ(calls.options[0], 0x77u);
  EXPECT_EQ(calls.options[3], 0x4000u);
  EXPECT_EQ(calls.options[2], reinterpret_cast<uintptr_t>(&launcher::settings.closeButtonMode));
}

TEST_F(ConsoleStart, ExitHookKeepsTheStatusWakesTheConsoleAndEndsOnlyTheLispThread) {
  platform::ensureMessageQueue();
  launcher::console_thread_id = platform::currentThreadId();
  const uint32_t ended = runOnThread([](void*) -> uint32_t {
    launcher::console_host_record.exitHook(6);
    return 0;  // not reached: the hook ends the thread
  });
  EXPECT_EQ(ended, 6u);
  EXPECT_EQ(launcher::lisp_exit_status, 6);
  EXPECT_EQ(calls.exitStatus, 6);
  EXPECT_EQ(calls.doneFlag, &launcher::lisp_ended);
  EXPECT_EQ(launcher::lisp_ended, 1);
  EXPECT_EQ(calls.notified, launcher::console_thread_id);
  platform::Message message{};
  ASSERT_TRUE(platform::peekMessage(&message, true));
  EXPECT_EQ(message.message, 1024u);
}

}  // namespace
