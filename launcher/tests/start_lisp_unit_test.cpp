// The pieces of StartLisp that need no runtime: the high slot allocator, the
// home-directory scan, binding by name and the tables handed to lisp_init.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "launcher/host_records.h"
#include "launcher/launcher_settings.h"
#include "launcher/runtime_binding.h"
#include "launcher/start_lisp.h"
#include "launcher/tests/owned_argument_vector.h"
#include "platform/thread_block.h"

namespace {

TEST(LauncherSlots, HighKeyLeavesTheFreeLowSlotsFree) {
  // Take every free low slot, then give ten back.
  std::vector<int32_t> taken;
  for (int32_t index = platform::allocateThreadSlot();
       index != platform::kNoThreadSlot && index < platform::kLowSlotCount;
       index = platform::allocateThreadSlot())
    taken.push_back(index);
  ASSERT_GE(taken.size(), 10u);
  // The last one taken was a high slot, or there were none: give it back too.
  std::vector<int32_t> freed(taken.end() - 10, taken.end());
  taken.resize(taken.size() - 10);
  for (int32_t index : freed) platform::freeThreadSlot(index);
  const int32_t high = TlsAllocHighKey();
  EXPECT_GE(high, platform::kLowSlotCount);
  // The ten are free again: allocating gives them back, lowest first.
  for (int32_t index : freed) EXPECT_EQ(platform::allocateThreadSlot(), index);
  for (int32_t index : freed) platform::freeThreadSlot(index);
  for (int32_t index : taken) platform::freeThreadSlot(index);
  platform::freeThreadSlot(high);
}

const char* homeOf(const char* commandText, bool verbose) {
  launcher_testing::OwnedArgumentVector owned(commandText, nullptr);
  const char* home = launcher::homeDirectoryOption(owned.vector, verbose);
  static std::string kept;
  kept = home ? home : "";
  return home ? kept.c_str() : nullptr;
}

TEST(LauncherHome, FirstDashHWithAValueBeforeDoubleDash) {
  struct Case {
    const char* commandText;
    const char* home;  // null: none found
  } cases[] = {
      {"p -H /a -H /b", "/a"}, {"p -Hx /a", "/a"},  // any element beginning "-H"
      {"p -H", nullptr},                            // no element behind it
      {"p -- -H /a", nullptr}, {"p x -H /a -- y", "/a"},
  };
  for (const Case& c : cases) {
    const char* home = homeOf(c.commandText, false);
    if (c.home)
      EXPECT_STREQ(home, c.home) << c.commandText;
    else
      EXPECT_EQ(home, nullptr) << c.commandText;
  }
}

TEST(LauncherHome, VerboseScanReportsItsFinding) {
  ::testing::internal::CaptureStderr();
  homeOf("p -H /a", true);
  homeOf("p -- -H /a", true);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "f_h_l_a: found match: /a\nf_h_l_a: failed to find match\n");
}

// ---- binding ----

int anEntry(int, char**, char**) {
  return 0;
}

std::map<std::string, void*> exported;
void* lookUp(void*, const char* name) {
  auto found = exported.find(name);
  return found == exported.end() ? nullptr : found->second;
}

TEST(LauncherBinding, EveryNameIsRequiredAndBoundInOrder) {
  exported.clear();
  static char addresses[launcher::kRuntimeEntryCount];
  for (int i = 0; i < launcher::kRuntimeEntryCount; ++i)
    exported[launcher::kRuntimeEntryNames[i]] = &addresses[i];
  launcher::RuntimeEntries entries{};
  ASSERT_TRUE(launcher::bindRuntimeEntries(nullptr, lookUp, &entries));
  EXPECT_EQ(reinterpret_cast<void*>(entries.win_read), &addresses[0]);
  EXPECT_EQ(reinterpret_cast<void*>(entries.lisp_init), &addresses[8]);
  EXPECT_EQ(reinterpret_cast<void*>(entries.get_vxm_dll_version), &addresses[17]);
  EXPECT_EQ(reinterpret_cast<void*>(entries.set_my_thread_watch_pointers), &addresses[23]);

  for (const char* missing : {"win_read", "remote_command_event", "set_my_thread_watch_pointers"}) {
    void* kept = exported[missing];
    exported.erase(missing);
    launcher::RuntimeEntries untouched{};
    untouched.lisp_main = &anEntry;
    EXPECT_FALSE(launcher::bindRuntimeEntries(nullptr, lookUp, &untouched)) << missing;
    EXPECT_EQ(reinterpret_cast<void*>(untouched.lisp_main), reinterpret_cast<void*>(&anEntry));
    EXPECT_EQ(untouched.win_read, nullptr);
    exported[missing] = kept;
  }
}

TEST(LauncherBinding, RuntimeHooksGoIntoWordsFourToTenOfBothForms) {
  launcher::RuntimeEntries entries{};
  static char addresses[7];
  entries.win_read = reinterpret_cast<host::ReadHook>(&addresses[0]);
  entries.win_write = reinterpret_cast<host::WriteHook>(&addresses[1]);
  entries.win_close = reinterpret_cast<host::CloseHook>(&addresses[2]);
  entries.win_no_hang = reinterpret_cast<host::NoHangHook>(&addresses[3]);
  entries.win_watchfor = reinterpret_cast<host::WatchForHook>(&addresses[4]);
  entries.win_waitsigio = reinterpret_cast<host::WaitSigioHook>(&addresses[5]);
  entries.win_timersig = reinterpret_cast<host::TimerSignalHook>(&addresses[6]);
  const host::HostRecord consoleBefore = launcher::console_host_record;
  const host::HostRecord noConsoleBefore = launcher::no_console_host_record;
  launcher::installRuntimeHooks(entries);
  for (const host::HostRecord* form :
       {&launcher::console_host_record, &launcher::no_console_host_record}) {
    const auto* words = reinterpret_cast<const uint32_t*>(form);
    for (int word = 4; word <= 10; ++word) EXPECT_NE(words[word], 0u) << word;
    EXPECT_EQ(reinterpret_cast<void*>(form->win_watchfor), &addresses[4]);  // word 8
    EXPECT_EQ(reinterpret_cast<void*>(form->win_timersig), &addresses[6]);  // word 10
  }
  EXPECT_EQ(launcher::console_host_record.readHook, consoleBefore.readHook);
  launcher::console_host_record = consoleBefore;
  launcher::no_console_host_record = noConsoleBefore;
}

TEST(LauncherTables, LinkedLibrariesInOrderWithTheirFlags) {
  std::string rows;
  int count = 0;
  for (const launcher::LinkedLibrary* const* row = launcher::linked_library_table; *row;
       ++row, ++count)
    rows += std::string((*row)->fileName) + ":" + std::to_string((*row)->flag) + " ";
  EXPECT_EQ(count, 12);
  EXPECT_EQ(rows,
            "user32.dll:1 gdi32.dll:1 kernel32.dll:1 comctl32.dll:1 comdlg32.dll:1 winmm.dll:1 "
            "advapi32.dll:1 shell32.dll:1 ws2_32.dll:1 version.dll:1 msvcrt.dll:0 psapi.dll:0 ");
}

void addIcon(uint32_t, uint32_t) {}
void removeIcon() {}

TEST(LauncherTables, OptionsRecordReachesTheLaunchersWords) {
  launcher::OptionsRecord record{};
  launcher::fillOptionsRecord(&record, 0x51, 0x4000, addIcon, removeIcon);
  const auto* words = reinterpret_cast<const uint32_t*>(&record);
  EXPECT_EQ(words[0], 0x51u);
  EXPECT_EQ(words[3], 0x4000u);
  EXPECT_EQ(record.addTrayIcon, addIcon);
  EXPECT_EQ(record.removeTrayIcon, removeIcon);
  // Lisp code changes the settings through the pointers.
  *record.closeButtonMode = 2;
  *record.consoleTextLimit = 9000;
  EXPECT_EQ(launcher::settings.closeButtonMode, 2);
  EXPECT_EQ(launcher::settings.consoleTextLimit, 9000);
  EXPECT_EQ(record.scriptDescriptor, &launcher::script_descriptor);
  EXPECT_EQ(record.trayExitDisabled, &launcher::settings.trayExitDisabled);
  EXPECT_EQ(record.minimiseState, &launcher::settings.minimiseState);
  EXPECT_EQ(record.consoleShrinkSlop, &launcher::settings.consoleShrinkSlop);
  EXPECT_EQ(record.windows9x, &launcher::settings.windows9x);
  launcher::settings = launcher::LauncherSettings{};
}

}  // namespace
