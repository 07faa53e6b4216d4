// The console controls over a test console window, the splash copies and the
// running marker.

#include "runtime/os/host_record_services.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/message_queue.h"
#include "platform/window_look.h"
#include "runtime/load/startup.h"
#include "runtime/os/host_allocator.h"
#include "testing/temp_path.h"

namespace {

uint32_t addressWord(const void* address) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
}

uint32_t ignoreMessages(platform::Handle, uint32_t, uint32_t, uint32_t) {
  return 0;
}

// The launcher's side: a host record with a console window owned by this
// thread, and the launcher words the options record points at.
class ConsoleControls : public ::testing::Test {
 protected:
  void SetUp() override {
    savedRecord_ = redir;
    platform::ensureMessageQueue();
    window_ = platform::createWindow(ignoreMessages);
    platform::setWindowStyle(window_, platform::kStyleSystemMenu);
    record_.consoleWindow = window_;
    setup_redir(&record_);
    lisp_disable_close_button = addressWord(&closeButtonMode_);
    lisp_minimize_state = addressWord(&minimiseState_);
    lisp_console_max = addressWord(&consoleMax_);
    lisp_console_shrink_slop = addressWord(&shrinkSlop_);
    lisp_running_on_win9x = addressWord(&windows9x_);
    lisp_ourhInstance = 0x400000;
    start_lisp_tray_icon = addressWord(reinterpret_cast<void*>(&startTray));
    kill_lisp_tray_icon = addressWord(reinterpret_cast<void*>(&killTray));
    trayCalls().clear();
    drainMessages();
  }
  void TearDown() override {
    for (uint32_t* word : {&lisp_disable_close_button, &lisp_minimize_state, &lisp_console_max,
                           &lisp_console_shrink_slop, &lisp_running_on_win9x, &lisp_ourhInstance,
                           &start_lisp_tray_icon, &kill_lisp_tray_icon})
      *word = 0;
    platform::closeHandle(window_);
    redir = savedRecord_;
  }

  static std::string& trayCalls() {
    static std::string calls;
    return calls;
  }
  static void startTray(uint32_t instance, uint32_t window) {
    trayCalls() += "start " + std::to_string(instance) + " " + std::to_string(window) + ";";
  }
  static void killTray(uint32_t window) { trayCalls() += "kill " + std::to_string(window) + ";"; }

  platform::WindowLook look() {
    platform::WindowLook look;
    EXPECT_TRUE(platform::readWindowLook(window_, &look));
    return look;
  }
  int paintMessages() {
    int paints = 0;
    platform::Message message;
    while (platform::peekMessage(&message, true))
      if (message.message == platform::kNonClientPaint && message.wParam == 1) ++paints;
    return paints;
  }
  void drainMessages() { paintMessages(); }

  host::HostRecord record_{};
  uint32_t* savedRecord_ = nullptr;
  platform::Handle window_ = platform::kNoHandle;
  int32_t closeButtonMode_ = -7, minimiseState_ = -7, consoleMax_ = -7, shrinkSlop_ = -7,
          windows9x_ = 0;
};

TEST_F(ConsoleControls, ShowHidesOrShowsAndBringsToTheFront) {
  EXPECT_EQ(sy_maybe_show_console(platform::kShow), 0);
  EXPECT_EQ(look().show, platform::ShowState::Shown);
  EXPECT_TRUE(look().foreground);
  platform::Handle other = platform::createWindow(ignoreMessages);
  platform::bringToForeground(other);
  EXPECT_EQ(sy_maybe_show_console(platform::kShowHide), 1);
  EXPECT_EQ(look().show, platform::ShowState::Hidden);
  EXPECT_FALSE(look().foreground);
  platform::closeHandle(other);
}

TEST_F(ConsoleControls, CloseButtonModesGreyTheCloseItemAndTellTheLauncher) {
  sy_maybe_disable_close_button(1);
  EXPECT_EQ(look().closeItemState, platform::kMenuGreyed | platform::kMenuDisabled);
  EXPECT_EQ(closeButtonMode_, 1);
  sy_maybe_disable_close_button(0);
  EXPECT_EQ(look().closeItemState, 0u);
  EXPECT_EQ(closeButtonMode_, 0);
  sy_maybe_disable_close_button(1);
  sy_maybe_enable_close_button();
  EXPECT_EQ(look().closeItemState, 0u);
  EXPECT_EQ(closeButtonMode_, 0);
}

TEST_F(ConsoleControls, MinMaxStateSetsStyleBitsAndAsksForOneFramePaint) {
  sy_maybe_set_minmax_state(1, 1);
  EXPECT_EQ(look().style, platform::kStyleSystemMenu | platform::kStyleMinimiseBox);
  EXPECT_EQ(minimiseState_, 1);
  EXPECT_EQ(paintMessages(), 1);
  platform::setWindowStyle(window_, platform::kStyleSystemMenu | platform::kStyleMaximiseBox);
  sy_maybe_set_minmax_state(2, 0);
  EXPECT_EQ(look().style, platform::kStyleSystemMenu);
  EXPECT_EQ(minimiseState_, 1);  // only the minimise box goes to the launcher
  EXPECT_EQ(paintMessages(), 1);
  // Without a system menu nothing changes.
  platform::setWindowStyle(window_, 0);
  sy_maybe_set_minmax_state(1, 0);
  EXPECT_EQ(look().style, 0u);
  EXPECT_EQ(paintMessages(), 0);
}

TEST_F(ConsoleControls, ConsoleSizeIsAtLeast2000WithSlopOfFifteenPercent) {
  struct Case {
    int32_t asked, limit, slop;
  };
  for (const Case& c : {Case{100, 2000, 300}, Case{10001, 10001, 1500}, Case{-5, 2000, 300}}) {
    sy_maybe_set_console_size(c.asked);
    EXPECT_EQ(consoleMax_, c.limit) << c.asked;
    EXPECT_EQ(shrinkSlop_, c.slop) << c.asked;
  }
  // Not on the 9x family.
  windows9x_ = 1;
  sy_maybe_set_console_size(50000);
  EXPECT_EQ(consoleMax_, 2000);
}

TEST_F(ConsoleControls, TitleAndTrayIcon) {
  sy_maybe_set_console_title("Lisp");
  EXPECT_EQ(look().text, "Lisp");
  sy_tray_icon_control(1);
  sy_tray_icon_control(0);
  EXPECT_EQ(trayCalls(), "start 4194304 " + std::to_string(window_) + ";kill " +
                             std::to_string(window_) + ";");
}

TEST_F(ConsoleControls, WithoutAConsoleWindowNothingChanges) {
  record_.consoleWindow = 0;
  const platform::WindowLook before = look();
  EXPECT_EQ(sy_maybe_show_console(platform::kShow), 0);
  sy_maybe_disable_close_button(1);
  sy_maybe_enable_close_button();
  sy_tray_icon_control(1);
  sy_maybe_set_minmax_state(1, 1);
  sy_maybe_set_console_size(100);
  sy_maybe_set_console_title("x");
  const platform::WindowLook after = look();
  EXPECT_EQ(after.show, before.show);
  EXPECT_EQ(after.foreground, before.foreground);
  EXPECT_EQ(after.text, before.text);
  EXPECT_EQ(after.style, before.style);
  EXPECT_EQ(after.closeItemState, before.closeItemState);
  EXPECT_EQ(trayCalls(), "");
  EXPECT_EQ(paintMessages(), 0);
  for (int32_t word : {closeButtonMode_, minimiseState_, consoleMax_, shrinkSlop_})
    EXPECT_EQ(word, -7);
}

// ---- splash copies ----

// Counts the blocks it hands out that are still live, and keeps what it was
// given back.
struct CountingAllocator {
  static std::set<void*>& live() {
    static std::set<void*> blocks;
    return blocks;
  }
  static std::vector<const void*>& released() {
    static std::vector<const void*> blocks;
    return blocks;
  }
  static bool& failing() {
    static bool fail = false;
    return fail;
  }
  static void* allocate(size_t bytes) {
    if (failing()) return nullptr;
    void* block = std::malloc(bytes);
    live().insert(block);
    return block;
  }
  static void release(void* block) {
    ASSERT_EQ(live().erase(block), 1u) << "freed a block it did not hand out";
    released().push_back(block);
    std::free(block);
  }
};

class SplashCopies : public ::testing::Test {
 protected:
  void SetUp() override {
    savedRecord_ = redir;
    setup_redir(&record_);
    CountingAllocator::live().clear();
    CountingAllocator::released().clear();
    CountingAllocator::failing() = false;
    lisp::os::setHostAllocator({CountingAllocator::allocate, CountingAllocator::release});
  }
  void TearDown() override {
    // Leaves no copy behind for the next test.
    record_.splashBlock = reinterpret_cast<void*>(1);
    sy_set_splash(nullptr, 0, nullptr, 0);
    lisp::os::setHostAllocator({nullptr, nullptr});
    redir = savedRecord_;
  }
  host::HostRecord record_{};
  uint32_t* savedRecord_ = nullptr;
};

TEST_F(SplashCopies, TheLaunchersBlockIsKeptAndEarlierCopiesAreFreed) {
  static const char launcherBlock[] = "launcher's bitmap";
  record_.splashBlock = launcherBlock;
  record_.splashBlockLength = sizeof launcherBlock;
  EXPECT_EQ(sy_set_splash("first", 5, "second!", 7), 7);
  EXPECT_EQ(CountingAllocator::live().size(), 2u);  // the launcher's block was not released
  EXPECT_EQ(std::string(static_cast<const char*>(record_.splashBlock), 5), "first");
  EXPECT_EQ(record_.splashBlockLength, 5u);
  EXPECT_EQ(std::string(static_cast<const char*>(record_.secondSplashBlock), 7), "second!");
  EXPECT_EQ(record_.secondSplashBlockLength, 7u);

  const std::vector<const void*> firstCopies = {record_.splashBlock, record_.secondSplashBlock};
  EXPECT_EQ(sy_set_splash("again", 5, "x", 1), 1);
  EXPECT_EQ(CountingAllocator::live().size(), 2u);
  EXPECT_EQ(CountingAllocator::released(), firstCopies);
}

TEST_F(SplashCopies, FailuresAndBadArgumentsReturnZero) {
  CountingAllocator::failing() = true;
  EXPECT_EQ(sy_set_splash("first", 5, "second", 6), 0);
  EXPECT_EQ(record_.splashBlock, nullptr);
  CountingAllocator::failing() = false;
  EXPECT_EQ(sy_set_splash("first", -1, "second", 6), 0);
  EXPECT_EQ(sy_set_splash(nullptr, 5, "second", 6), 0);
  EXPECT_TRUE(CountingAllocator::live().empty());
  redir = nullptr;
  EXPECT_EQ(sy_set_splash("first", 5, "second", 6), 0);
}

// ---- the running marker ----

TEST(RunningMarker, AnotherProcessSeesItHeldWhileAnyLispLives) {
  const std::string directory = testing_support::processTempPath("marker");
  mkdir(directory.c_str(), 0700);
  const std::string path = directory + "/Global_VexmoraCommonLispMutex.lock";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t owner = fork();
  ASSERT_GE(owner, 0);
  if (owner == 0) {
    const int32_t marker = lisp::os::takeRunningMarker(directory.c_str());
    const char answer = marker > 0 ? 'y' : 'n';
    (void)!write(ready[1], &answer, 1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char answer = 0;
  ASSERT_EQ(read(ready[0], &answer, 1), 1);
  EXPECT_EQ(answer, 'y');
  const int probe = open(path.c_str(), O_RDWR);
  ASSERT_GE(probe, 0);
  EXPECT_EQ(flock(probe, LOCK_EX | LOCK_NB), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  // A second Lisp takes it too, and keeps it held after the first has ended.
  const int32_t second = lisp::os::takeRunningMarker(directory.c_str());
  EXPECT_GT(second, 0);

  kill(owner, SIGKILL);
  waitpid(owner, nullptr, 0);
  EXPECT_EQ(flock(probe, LOCK_EX | LOCK_NB), -1) << "the second Lisp still runs";
  close(second);
  EXPECT_EQ(flock(probe, LOCK_EX | LOCK_NB), 0);
  close(probe);
  close(ready[0]);
  unlink(path.c_str());
  rmdir(directory.c_str());
}

}  // namespace
