// The console window's policy: close-button modes against the title bar's
// close and the tray's exit, the minimise states, the close request handed
// to the Lisp, the tray menu's texts and the tray refresh timer.

#include "launcher/console_window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "launcher/console_queues.h"
#include "launcher/console_thread.h"
#include "launcher/console_tray.h"
#include "launcher/host_records.h"
#include "launcher/launch_state.h"
#include "launcher/launcher_settings.h"
#include "launcher/lisp_ending.h"
#include "launcher/window_messages.h"
#include "platform/message_queue.h"
#include "platform/threads.h"
#include "platform/window_look.h"
#include "platform/window_timer.h"

namespace {

using namespace launcher;

struct RemoteCall {
  int32_t count = 0;
  uint32_t words[2] = {};
  int calls = 0;
} remote;

int32_t recordRemoteCommand(int32_t count, const void* data) {
  remote.count = count;
  std::memcpy(remote.words, data, sizeof remote.words);
  ++remote.calls;
  return 1;
}

class ConsoleWindowPolicy : public ::testing::Test {
 public:
  void SetUp() override {
    savedSettings = settings;
    remote = {};
    launch.runtime = {};
    launch.runtime.remote_command = recordRemoteCommand;
    console_host_record.lispThreadId = 0;
    close_request_flag = 1;
    lispStarts();
    tray_state = kTrayNotShown;
    frame = createConsoleWindow("Console", platform::kShowNormal);
    ASSERT_NE(frame, platform::kNoHandle);
  }
  void TearDown() override {
    if (alive()) destroyWindow(frame);
    drainQueue();
    settings = savedSettings;
    console_window = {};
    console_host_record.lispThreadId = 0;
    launch = {};
  }

  bool alive() {
    platform::WindowLook look;
    return platform::readWindowLook(frame, &look);
  }
  platform::ShowState show() {
    platform::WindowLook look;
    EXPECT_TRUE(platform::readWindowLook(frame, &look));
    return look.show;
  }
  // Runs the console loop's handling of what is queued.
  void pump() {
    platform::Message message, quit;
    while (platform::peekMessage(&message, true)) handleConsoleMessage(message, &quit);
  }
  void drainQueue() {
    platform::Message message;
    while (platform::peekMessage(&message, true)) {
    }
  }

  LauncherSettings savedSettings;
  platform::Handle frame = platform::kNoHandle;
};

// What stays of the window: gone, or its show state.
enum class After { Destroyed, Shown, Minimised, Hidden };

After outcome(ConsoleWindowPolicy& test) {
  if (!test.alive()) return After::Destroyed;
  switch (test.show()) {
    case platform::ShowState::Minimised:
      return After::Minimised;
    case platform::ShowState::Hidden:
      return After::Hidden;
    default:
      return After::Shown;
  }
}

TEST_F(ConsoleWindowPolicy, CloseButtonModesAgainstTitleCloseAndTrayExit) {
  struct Case {
    int32_t mode;
    After titleClose;
  };
  const Case cases[] = {{0, After::Destroyed},
                        {1, After::Shown},
                        {2, After::Minimised},
                        {3, After::Hidden}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    settings.closeButtonMode = c.mode;
    // The console thread disables the Close item in mode 1.
    if (c.mode == 1)
      platform::setCloseItemState(frame, platform::kMenuGreyed | platform::kMenuDisabled);
    platform::postWindowMessage(frame, wm::kSystemCommand, wm::kCommandClose, 0);
    pump();
    EXPECT_EQ(outcome(*this), c.titleClose);
    if (alive()) destroyWindow(frame);
    drainQueue();

    // The tray's "Yes, exit" closes with 1 in every mode.
    frame = createConsoleWindow("Console", platform::kShowNormal);
    platform::postWindowMessage(frame, wm::kClose, 1, 0);
    pump();
    EXPECT_EQ(outcome(*this), After::Destroyed);
    drainQueue();
    frame = createConsoleWindow("Console", platform::kShowNormal);
  }
  // Once the Lisp has ended the Close item is enabled again: in mode 1 the
  // pause can be closed.
  settings.closeButtonMode = 1;
  platform::setCloseItemState(frame, 0);
  platform::postWindowMessage(frame, wm::kSystemCommand, wm::kCommandClose, 0);
  pump();
  EXPECT_EQ(outcome(*this), After::Destroyed);
}

TEST_F(ConsoleWindowPolicy, MinimiseStates) {
  const After expected[] = {After::Shown, After::Minimised, After::Hidden};
  for (int32_t state = 0; state < 3; ++state) {
    SCOPED_TRACE(state);
    settings.minimiseState = state;
    platform::showWindow(frame, platform::kShowNormal);
    platform::postWindowMessage(frame, wm::kSystemCommand, wm::kCommandMinimise, 0);
    pump();
    EXPECT_EQ(outcome(*this), expected[state]);
  }
  settings.minimiseState = 1;
  platform::showWindow(frame, platform::kShowNormal);
  platform::sendMessage(frame, wm::kSetHideOnMinimise, 1, 0);
  platform::postWindowMessage(frame, wm::kSystemCommand, wm::kCommandMinimise, 0);
  pump();
  EXPECT_EQ(outcome(*this), After::Hidden);
}

TEST_F(ConsoleWindowPolicy, ACloseWhileTheLispRunsIsHandedToTheLispOnce) {
  console_host_record.lispThreadId = 12345;
  platform::sendMessage(frame, wm::kClose, 0, 0);
  EXPECT_TRUE(alive());
  EXPECT_EQ(remote.calls, 1);
  EXPECT_EQ(remote.count, 2);
  EXPECT_EQ(remote.words[0], 5u);
  EXPECT_EQ(remote.words[1], static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&close_request_flag)));
  EXPECT_EQ(close_request_flag, 0);
  // Until the Lisp sets the flag again, a close is not intercepted.
  platform::sendMessage(frame, wm::kClose, 0, 0);
  EXPECT_EQ(remote.calls, 1);
  EXPECT_FALSE(alive());
}

// At the image-name prompt the runtime refuses the close (no Lisp will
// come): it ends the typed input the prompt waits on, and with it the
// start. A close while the start ends is kept until the console pauses,
// where it closes the window.
TEST_F(ConsoleWindowPolicy, ACloseNobodyTakesEndsTheTypedInput) {
  console::QueuePair& pair = console::console_queue_pairs[0];
  const platform::Handle mutex = platform::createMutex(false);
  ASSERT_TRUE(console::makePair(&pair, mutex));
  static int refusals;
  refusals = 0;
  launch.runtime.remote_command = [](int32_t, const void*) -> int32_t {
    ++refusals;
    return 0;
  };
  console_host_record.lispThreadId = 12345;
  platform::sendMessage(frame, wm::kClose, 0, 0);
  EXPECT_TRUE(alive());
  EXPECT_EQ(close_request_flag, 1);
  EXPECT_EQ(console::waitForInput(&pair, false), console::kInputReady);
  char buffer[8];
  EXPECT_EQ(console::readInput(&pair, buffer, 8), 0);
  platform::sendMessage(frame, wm::kClose, 0, 0);
  EXPECT_TRUE(alive());
  EXPECT_EQ(refusals, 1);
  consolePauses(frame);
  pump();
  EXPECT_FALSE(alive());
  console::freePair(&pair);
  platform::closeHandle(mutex);
  pair = {};  // the pair keeps its mutex: forget the closed one
}

TEST_F(ConsoleWindowPolicy, CtrlASelectsAllAndPauseInterrupts) {
  {
    std::lock_guard<std::mutex> hold(consoleViewLock());
    console_text.text = "some output";
  }
  platform::postWindowMessage(console_window.edit, wm::kKeyDown, wm::kKeyA, wm::kControlHeld);
  pump();
  {
    std::lock_guard<std::mutex> hold(consoleViewLock());
    EXPECT_EQ(console_text.selectionStart, 0);
    EXPECT_EQ(console_text.selectionEnd, 11);
    EXPECT_EQ(console_text.text, "some output");  // not typed as an "A"
  }
  static int signals;
  signals = 0;
  launch.runtime.signal_lisp = [](int32_t signal) -> int32_t {
    signals = signal;
    return 0;
  };
  // Without a Lisp thread (it has ended) the key reaches nobody.
  platform::postWindowMessage(console_window.edit, wm::kKeyDown, wm::kKeyPause, 0);
  pump();
  EXPECT_EQ(signals, 0);
  console_host_record.lispThreadId = platform::currentThreadId();
  platform::postWindowMessage(console_window.edit, wm::kKeyDown, wm::kKeyPause, 0);
  pump();
  EXPECT_EQ(signals, 2);
  // Once the Lisp has asked to exit, the key reaches it no more.
  signals = 0;
  lispEnds();
  platform::postWindowMessage(console_window.edit, wm::kKeyDown, wm::kKeyPause, 0);
  pump();
  EXPECT_EQ(signals, 0);
}

TEST_F(ConsoleWindowPolicy, TrayMenuTexts) {
  std::strcpy(settings.trayName, "Mine");
  auto texts = [] {
    std::vector<std::string> all;
    for (const MenuItem& item : buildTrayMenu())
      all.push_back(std::to_string(item.command) + " " + item.text + (item.greyed ? " grey" : ""));
    return all;
  };
  using Texts = std::vector<std::string>;
  EXPECT_EQ(texts(), (Texts{"1024 Show Console", "1025 Hide Console", "0 ", "1026 Interrupt Mine",
                            "0 ", "0 Exit Mine", "1027 Yes, exit Mine", "1028 No, do not exit Mine"}));
  settings.noTrayInterrupt = 1;
  settings.trayExitDisabled = 1;
  EXPECT_EQ(texts(), (Texts{"1024 Show Console", "1025 Hide Console", "0 ", "0 Exit Mine",
                            "1027 Yes, exit Mine grey", "1028 No, do not exit Mine"}));
}

TEST_F(ConsoleWindowPolicy, TrayAddRemoveAndRefreshPeriods) {
  std::atomic<uint64_t> now{0};
  platform::TimerService service([&] { return now.load(); });
  platform::useWindowTimerService(&service);

  platform::sendMessage(frame, wm::kStartTrayRefresh, 0, 0);
  EXPECT_EQ(platform::windowTimerPeriod(frame, kTrayRefreshTimer), 20000u);  // not shown
  now = 20000;
  service.settle();
  pump();  // the tick adds the icon and re-arms for a shown icon
  EXPECT_NE(tray_state, kTrayNotShown);
  EXPECT_EQ(platform::windowTimerPeriod(frame, kTrayRefreshTimer), 40000u);

  platform::sendMessage(frame, wm::kSecondIcon, 0, 0);
  {
    std::lock_guard<std::mutex> hold(consoleViewLock());
    EXPECT_EQ(describeTray(), "tray: RVXMCONICON, \"Vexmora CL Console\"");
  }
  EXPECT_EQ(removeTrayIcon(), 1);
  EXPECT_EQ(tray_state, kTrayRemoved);
  EXPECT_EQ(removeTrayIcon(), 0);
  now = 60000;
  service.settle();
  pump();  // removed for good: the tick does not bring it back
  EXPECT_EQ(tray_state, kTrayRemoved);
  platform::killWindowTimer(frame, kTrayRefreshTimer);
  platform::useWindowTimerService(nullptr);
}

}  // namespace
