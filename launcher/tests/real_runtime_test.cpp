// lunvarra_host over the real runtime library, used as a person uses it: on
// a terminal of its own (keys typed, the screen read back) or with input
// piped in and closed later. Every run is bounded: a program that hangs
// fails its test instead of stopping the suite.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "testing/fasl_bundle_writer.h"
#include "testing/interactive_run.h"
#include "testing/run_program.h"
#include "testing/startup_image_fasl.h"
#include "testing/watchdog.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::InteractiveEnd;
using testing_support::InteractiveOptions;
using testing_support::InteractiveRun;
namespace startup_image = testing_support::startup_image;

const std::string kHost = HOST_PATH;
const std::string kRuntime = KORVANE_PATH;
const std::string kImageBuilder = X1_HOST_PATH;
// In front of the real runtime: holds the Lisp's start and end, reads a
// typed line as the Lisp exits (tests/runtime_relay.cpp).
const std::string kRelay = RELAY_PATH;

constexpr char kRuntimeVariable[] = "VXM_SHLIB_NAME";
constexpr char kPrompt[] = "Imagefile: ";
constexpr char kFailedStatusLine[] = "<The Lisp process exited with status -1 (0xffffffff)>";
constexpr char kEnter[] = "\r";
constexpr char kInterrupt[] = "\x03";
constexpr char kClose[] = "\x04";
// The console handles keys in order: once it shows the window minimised,
// the keys typed before Ctrl+Z have been handled.
constexpr char kMinimise[] = "\x1a";
constexpr char kMinimised[] = "[console: minimised";
constexpr int kImageFailure = 255;  // lisp_exit(-1)

// Generous: the runs share the machine with the rest of the suite, maybe
// under an emulator. Only a hang comes near them.
constexpr auto kLimit = 60s;
constexpr auto kTestLimit = 240s;

std::string statusLine(int status) {
  char line[80];
  std::snprintf(line, sizeof line, "<The Lisp process exited with status %d (0x%x)>", status,
                static_cast<unsigned>(status));
  return line;
}

std::string endOf(const InteractiveEnd& end) {
  if (!end.ended) return "still running";
  if (end.terminatingSignal) return "ended by signal " + std::to_string(end.terminatingSignal);
  return "exit status " + std::to_string(end.exitStatus);
}

class RealRuntime : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "lunvarra_real_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    fs::create_directories(home());
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path home() const { return root_ / "home"; }
  fs::path missingImage() const { return root_ / "images" / "nothere.vxi"; }
  fs::path garbageImage() const { return root_ / "garbage.vxi"; }

  // A file that is no image: bytes of a simple generator, none of them the
  // image magic at the front.
  void writeGarbageImage() const {
    std::ofstream file(garbageImage(), std::ios::binary);
    uint32_t state = 12345;
    for (int i = 0; i < 3000; ++i) {
      state = state * 1103515245u + 12345u;
      file.put(static_cast<char>(i == 0 ? 0x55 : state >> 24));
    }
  }

  InteractiveOptions options(bool terminal) const {
    InteractiveOptions made;
    made.terminal = terminal;
    made.workingDirectory = root_.string();
    made.environment = {{kRuntimeVariable, kRuntime}};
    return made;
  }

  // Waits for `text`; on failure says what was on the screen.
  static size_t expectOutput(InteractiveRun& run, const std::string& text, size_t from = 0) {
    const size_t behind = run.awaitOutput(text, kLimit, from);
    EXPECT_NE(behind, std::string::npos) << "no \"" << text << "\" in:\n" << run.output();
    return behind;
  }

  // A start-up bundle whose fasl is cut in half: the build says so and the
  // Lisp ends with status 1 after its heaps were laid out.
  fs::path writeCutStartupBundle() const {
    std::vector<uint8_t> fasl = startup_image::startupFasl(false);
    fasl.resize(fasl.size() / 2);
    const fs::path bundle = home() / "files.vxb";
    EXPECT_TRUE(testing_support::writeFileBytes(
        bundle.string(), testing_support::faslBundle({{startup_image::kStartupFaslName,
                                                       startup_image::kTimestamp, fasl}})));
    return bundle;
  }

  // An image built and dumped by the end-to-end tests' builder; the Lisp
  // it starts ends with kRebornStatus.
  void buildImage(const fs::path& image) const {
    const fs::path bundle = home() / "files.vxb";
    fs::create_directories(image.parent_path());
    ASSERT_TRUE(testing_support::writeFileBytes(
        bundle.string(),
        testing_support::faslBundle({{startup_image::kStartupFaslName, startup_image::kTimestamp,
                                      startup_image::startupFasl(false)}})));
    InteractiveOptions building = options(false);
    building.environment.emplace_back(startup_image::kImagePathVariable, image.string());
    InteractiveRun build(kImageBuilder,
                         {"--home", home().string(), "--", "x1_host", "-build", "-B",
                          bundle.string()},
                         building);
    build.closeInput();
    const InteractiveEnd built = build.awaitEnd(kLimit);
    ASSERT_TRUE(built.ended && built.exitStatus == startup_image::kBuildStatus)
        << endOf(built) << "\n" << build.output();
  }

  static void expectCleanEnd(InteractiveRun& run, int status) {
    const InteractiveEnd end = run.awaitEnd(kLimit);
    EXPECT_TRUE(end.ended && end.terminatingSignal == 0 && end.exitStatus == status)
        << endOf(end) << ", expected exit status " << status << "; output:\n"
        << run.output();
  }

  fs::path root_;
  testing_support::Watchdog watchdog_{"a run of lunvarra_host over the real runtime",
                                      kTestLimit};
};

// ---- a start that fails, then the input closes ----

struct FailedStartCase {
  const char* name;
  bool garbage;            // a file that is no image, else no file at all
  const char* runtimeSays;
};

void PrintTo(const FailedStartCase& c, std::ostream* out) {
  *out << c.name;
}

class FailedStart : public RealRuntime, public ::testing::WithParamInterface<FailedStartCase> {};

TEST_P(FailedStart, EndsWhenItsPipedInputCloses) {
  const FailedStartCase& c = GetParam();
  if (c.garbage) writeGarbageImage();
  const fs::path image = c.garbage ? garbageImage() : missingImage();
  InteractiveRun run(kHost, {"-I", image.string()}, options(false));
  ASSERT_TRUE(run.started());
  const size_t said = expectOutput(run, c.runtimeSays);
  expectOutput(run, kFailedStatusLine, said == std::string::npos ? 0 : said);
  // The console pauses on the error status; the input's end closes it.
  run.closeInput();
  expectCleanEnd(run, kImageFailure);
}

TEST_P(FailedStart, EndsWhenTheTerminalClosesTheConsole) {
  const FailedStartCase& c = GetParam();
  if (c.garbage) writeGarbageImage();
  const fs::path image = c.garbage ? garbageImage() : missingImage();
  InteractiveRun run(kHost, {"-I", image.string()}, options(true));
  ASSERT_TRUE(run.started());
  expectOutput(run, kFailedStatusLine);
  run.type(kClose);
  expectCleanEnd(run, kImageFailure);
}

INSTANTIATE_TEST_SUITE_P(
    Images, FailedStart,
    ::testing::Values(FailedStartCase{"Missing", false, "Could not find image file"},
                      FailedStartCase{"Garbage", true, "Could not restore the image file"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the image-name prompt on a terminal ----

TEST_F(RealRuntime, InterruptsAtThePromptAreIgnoredAndATypedNameIsTakenWhole) {
  InteractiveRun run(kHost, {}, options(true));
  ASSERT_TRUE(run.started());
  expectOutput(run, kPrompt);
  // No Lisp exists yet to take them.
  run.type(kInterrupt);
  run.type(kInterrupt);
  const std::string name = missingImage().string();
  run.type(name + kEnter);
  const size_t told = expectOutput(run, "Could not restore the image file:");
  expectOutput(run, "    " + name + ".", told == std::string::npos ? 0 : told);
  expectOutput(run, kFailedStatusLine);
  run.type(kClose);
  expectCleanEnd(run, kImageFailure);

  // The prompt stayed on the screen, with the name typed behind it.
  const std::vector<std::string> screen = run.screenLines();
  EXPECT_NE(std::find(screen.begin(), screen.end(), kPrompt + name), screen.end())
      << run.output();
}

TEST_F(RealRuntime, ANameTypedAtThePromptStartsThatImage) {
  const fs::path image = root_ / "images" / "typed.vxi";
  buildImage(image);
  if (HasFatalFailure()) return;

  InteractiveRun run(kHost, {}, options(true));
  ASSERT_TRUE(run.started());
  expectOutput(run, kPrompt);
  run.type(image.string() + kEnter);
  expectOutput(run, statusLine(startup_image::kRebornStatus));
  run.type(kClose);
  expectCleanEnd(run, startup_image::kRebornStatus);
}

// ---- the end of input at the image-name prompt ----

// Piped input that ends, at once or after the prompt is up: nobody will
// type a name, so there is no image to load.
TEST_F(RealRuntime, EndOfPipedInputAtThePromptMeansNoImage) {
  for (const bool promptFirst : {false, true}) {
    SCOPED_TRACE(promptFirst ? "input ends at the prompt" : "input ends at the start");
    InteractiveRun run(kHost, {}, options(false));
    ASSERT_TRUE(run.started());
    if (promptFirst) expectOutput(run, kPrompt);
    run.closeInput();
    const size_t said = expectOutput(run, "No lisp image to load.");
    expectOutput(run, statusLine(1), said == std::string::npos ? 0 : said);
    expectCleanEnd(run, 1);
  }
}

// Ctrl+D at the prompt on a terminal ends the typed input the same way;
// the console then pauses on the error status until it is closed.
TEST_F(RealRuntime, CtrlDAtThePromptMeansNoImage) {
  InteractiveRun run(kHost, {}, options(true));
  ASSERT_TRUE(run.started());
  expectOutput(run, kPrompt);
  run.type(kClose);
  const size_t said = expectOutput(run, "No lisp image to load.");
  expectOutput(run, statusLine(1), said == std::string::npos ? 0 : said);
  run.type(kClose);
  expectCleanEnd(run, 1);
}

// ---- the close button ----

// With +Cx the close button (Ctrl+D) is disabled while the Lisp's start
// runs: the prompt stays and takes a typed name. When the Lisp has ended
// the Close item is enabled again and Ctrl+D closes the pause.
TEST_F(RealRuntime, WithCloseDisabledCtrlDDoesNotCloseUntilTheLispHasEnded) {
  InteractiveRun run(kHost, {"+Cx"}, options(true));
  ASSERT_TRUE(run.started());
  expectOutput(run, "Close greyed");
  const size_t prompt = expectOutput(run, kPrompt);
  run.type(std::string(kClose) + kClose);
  // Time for a close that did act to end the prompt before a name comes.
  std::this_thread::sleep_for(1s);
  const std::string name = missingImage().string();
  run.type(name + kEnter);
  const size_t told =
      expectOutput(run, "Could not restore the image file:", prompt == std::string::npos ? 0 : prompt);
  expectOutput(run, "    " + name + ".", told == std::string::npos ? 0 : told);
  expectOutput(run, kFailedStatusLine);
  run.type(kClose);
  expectCleanEnd(run, kImageFailure);
  EXPECT_EQ(run.output().find("No lisp image to load."), std::string::npos) << run.output();
}

// ---- a script is the Lisp's input, not the answer to the prompt ----

TEST_F(RealRuntime, WithAScriptThePromptTakesTheTypedName) {
  const fs::path script = root_ / "script.lisp";
  std::ofstream(script) << "(print \"hello\")\n";
  InteractiveRun run(kHost, {"+s", script.string()}, options(true));
  ASSERT_TRUE(run.started());
  expectOutput(run, kPrompt);
  const std::string name = missingImage().string();
  run.type(name + kEnter);
  const size_t told = expectOutput(run, "Could not restore the image file:");
  expectOutput(run, "    " + name + ".", told == std::string::npos ? 0 : told);
  expectOutput(run, kFailedStatusLine);
  run.type(kClose);
  expectCleanEnd(run, kImageFailure);
  EXPECT_EQ(run.output().find("hello"), std::string::npos) << run.output();
}

// ---- the tray menu ----

// Two Ctrl+T in a row open one menu: the second click, queued before the
// menu took the keys, is dropped while it is open. After the pick the
// console loop runs again (Ctrl+A, which only it handles, selects all), and
// a typed name reaches the runtime.
TEST_F(RealRuntime, TwoTrayClicksInARowOpenOneMenu) {
  InteractiveRun run(kHost, {}, options(true));
  ASSERT_TRUE(run.started());
  const size_t prompt = expectOutput(run, kPrompt);
  run.type("\x14\x14");
  const size_t menu =
      expectOutput(run, "No, do not exit Lisp", prompt == std::string::npos ? 0 : prompt);
  run.type("5");  // No, do not exit
  const size_t from = menu == std::string::npos ? 0 : menu;
  // A key typed while a menu is still open closes it with no pick; given
  // time to close, the pick's menu is gone before the first Ctrl+A, so a
  // second menu behind it would be left open. Then Ctrl+A until the console
  // shows everything selected.
  std::this_thread::sleep_for(500ms);
  bool selected = false;
  for (int i = 0; i < 30 && !selected; ++i) {
    run.type("\x01");
    selected = run.awaitOutput("all selected", 1s, from) != std::string::npos;
  }
  EXPECT_TRUE(selected) << "the console loop did not come back:\n" << run.output();
  run.type(missingImage().string() + kEnter);
  expectOutput(run, kFailedStatusLine, from);
  run.type(kClose);
  expectCleanEnd(run, kImageFailure);
}

// ---- Ctrl+C once the Lisp has ended ----

struct AfterTheEndCase {
  const char* name;
  bool throughTheTray;  // the tray menu's Interrupt item, else Ctrl+C
};

void PrintTo(const AfterTheEndCase& c, std::ostream* out) {
  *out << c.name;
}

class InterruptAfterTheEnd : public RealRuntime,
                             public ::testing::WithParamInterface<AfterTheEndCase> {};

// The Lisp has ended and its heaps are given back while the console
// pauses: an interrupt has nobody to reach and changes nothing.
TEST_P(InterruptAfterTheEnd, DoesNothingAndThePauseEndsWithTheLispsStatus) {
  const fs::path bundle = writeCutStartupBundle();
  InteractiveRun run(kHost, {"+p", "-build", "-H", home().string(), "-B", bundle.string()},
                     options(true));
  ASSERT_TRUE(run.started());
  const size_t ended = expectOutput(run, statusLine(1));
  if (GetParam().throughTheTray) {
    run.type("\x14");  // Ctrl+T: the tray menu
    expectOutput(run, "Interrupt Lisp", ended == std::string::npos ? 0 : ended);
    run.type("3");
    // Keys typed while the menu is still open pick nothing: Ctrl+D until
    // the menu has gone and the console closes.
    for (int i = 0; i < 30 && !run.awaitEnd(1s).ended; ++i) run.type(kClose);
  } else {
    run.type(std::string(kInterrupt) + kInterrupt + kInterrupt);
    run.type(kClose);
  }
  expectCleanEnd(run, 1);
}

INSTANTIATE_TEST_SUITE_P(Keys, InterruptAfterTheEnd,
                         ::testing::Values(AfterTheEndCase{"CtrlC", false},
                                           AfterTheEndCase{"TrayMenu", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Ctrl+C while an image is read ----

// Interrupts typed while the image is read in (-Im) are dropped until its
// heap is in place; later ones reach the Lisp. Every run ends with the
// restored Lisp's status, also with Ctrl+C in the pause behind it. The Lisp
// thread reads the image while the console comes up, so bursts of three
// start once the terminal takes keys (the console is shown) and at
// different moments of the restore behind that. Bursts of five and ten
// would force a break once the restored Lisp runs, which this small world
// (it has no condition function) cannot answer; they come while the start
// is held, before any Lisp exists, and must leave the start unharmed. Such
// bursts once the Lisp has asked to exit are the next test's.
TEST_F(RealRuntime, InterruptsWhileAnImageIsReadDoNoHarm) {
  const fs::path image = root_ / "images" / "read.vxi";
  buildImage(image);
  if (HasFatalFailure()) return;
  const fs::path gate = root_ / "read-gate";
  struct Case {
    int presses;
    std::chrono::milliseconds delay;
    bool startHeld;
  };
  const Case cases[] = {{3, 0ms, false}, {3, 20ms, false}, {3, 50ms, false},
                        {3, 150ms, false}, {5, 0ms, true},    {10, 0ms, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.presses) + " presses after " + std::to_string(c.delay.count()) +
                 " ms" + (c.startHeld ? ", the start held" : ""));
    fs::remove(gate);
    InteractiveOptions start = options(true);
    if (c.startHeld) start.environment.emplace_back("RELAY_HOLD_START", gate.string());
    InteractiveRun run(kHost, {"+d", kRelay, "-Im", image.string()}, start);
    ASSERT_TRUE(run.started());
    const size_t shown = expectOutput(run, "[console: shown");
    std::this_thread::sleep_for(c.delay);
    if (c.startHeld) {
      run.type(std::string(c.presses, kInterrupt[0]) + kMinimise);
      expectOutput(run, kMinimised, shown == std::string::npos ? 0 : shown);
      std::ofstream(gate) << "go\n";
    } else {
      run.type(std::string(c.presses, kInterrupt[0]));
    }
    expectOutput(run, statusLine(startup_image::kRebornStatus));
    run.type(kInterrupt);
    run.type(kClose);
    expectCleanEnd(run, startup_image::kRebornStatus);
  }
}

// ---- a Lisp that has asked to exit ----

// Once the Lisp has asked to exit, Ctrl+C does nothing to it however often
// it is pressed (the fifth would otherwise force a break): its thread is
// held in its end while the keys come, then ends with the Lisp's status.
TEST_F(RealRuntime, InterruptsAfterTheLispAskedToExitDoNothing) {
  const fs::path image = root_ / "images" / "exit.vxi";
  buildImage(image);
  if (HasFatalFailure()) return;
  const fs::path gate = root_ / "exit-gate";
  for (const int presses : {5, 10}) {
    SCOPED_TRACE(std::to_string(presses) + " presses");
    fs::remove(gate);
    InteractiveOptions start = options(true);
    start.environment.emplace_back("RELAY_HOLD_EXIT", gate.string());
    InteractiveRun run(kHost, {"+d", kRelay, "-Im", image.string()}, start);
    ASSERT_TRUE(run.started());
    const size_t exiting = expectOutput(run, "relay: exiting");
    run.type(std::string(presses, kInterrupt[0]) + kMinimise);
    expectOutput(run, kMinimised, exiting == std::string::npos ? 0 : exiting);
    std::ofstream(gate) << "go\n";
    expectOutput(run, statusLine(startup_image::kRebornStatus));
    run.type(kClose);
    expectCleanEnd(run, startup_image::kRebornStatus);
  }
}

// ---- a close before the Lisp exists ----

// Ctrl+D while the Lisp is on its way (its start held, the console just
// up, the image being read) waits for the Lisp like any queued command:
// the line typed afterwards still reaches it. Only at the image-name prompt
// does a close mean "no image".
TEST_F(RealRuntime, ACloseBeforeTheLispExistsLeavesItsInputOpen) {
  const fs::path image = root_ / "images" / "close.vxi";
  buildImage(image);
  if (HasFatalFailure()) return;
  const fs::path gate = root_ / "start-gate";
  struct Case {
    const char* name;
    bool startHeld;
    std::chrono::milliseconds delay;
  };
  const Case cases[] = {
      {"start held", true, 0ms},
      {"as the console appears", false, 0ms},
      {"while the image is read", false, 20ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(gate);
    InteractiveOptions start = options(true);
    start.environment.emplace_back("RELAY_READ", "1");
    if (c.startHeld) start.environment.emplace_back("RELAY_HOLD_START", gate.string());
    InteractiveRun run(kHost, {"+d", kRelay, "-Im", image.string()}, start);
    ASSERT_TRUE(run.started());
    const size_t shown = expectOutput(run, "[console: shown");
    std::this_thread::sleep_for(c.delay);
    run.type(std::string(kClose) + kMinimise);
    expectOutput(run, kMinimised, shown == std::string::npos ? 0 : shown);
    std::ofstream(gate) << "go\n";
    const size_t reading = expectOutput(run, "relay: reading");
    run.type(std::string("typed") + kEnter);
    expectOutput(run, "relay: read [typed]", reading == std::string::npos ? 0 : reading);
    expectOutput(run, statusLine(startup_image::kRebornStatus));
    run.type(kClose);
    expectCleanEnd(run, startup_image::kRebornStatus);
  }
}

// Two quick Ctrl+D at the prompt: the first means "no image", the second,
// which comes while the start ends, closes the console's pause.
TEST_F(RealRuntime, TwoQuickClosesAtThePromptEndTheConsole) {
  InteractiveRun run(kHost, {}, options(true));
  ASSERT_TRUE(run.started());
  expectOutput(run, kPrompt);
  run.type(std::string(kClose) + kClose);
  expectOutput(run, "No lisp image to load.");
  expectCleanEnd(run, 1);
}

// ---- the terminal after any end ----

// A process killed by a signal while the console holds the terminal (keys
// one by one, no echo, no signal keys) leaves the terminal's mode as the
// terminal had it.
TEST_F(RealRuntime, AKilledProcessLeavesTheTerminalsModeAsItFoundIt) {
  // A new terminal's line editing, echo, signal keys and input mapping.
  constexpr tcflag_t kCookedLocal = ICANON | ECHO | ISIG | IEXTEN;
  constexpr tcflag_t kCookedInput = ICRNL | IXON;
  for (const int signal : {SIGKILL, SIGTERM, SIGABRT}) {
    SCOPED_TRACE(std::string("killed by ") + strsignal(signal));
    InteractiveRun run(kHost, {}, options(true));
    ASSERT_TRUE(run.started());
    expectOutput(run, kPrompt);
    termios held{};
    ASSERT_TRUE(run.terminalMode(&held));
    EXPECT_EQ(held.c_lflag & kCookedLocal, 0u);
    run.sendSignal(signal);
    const InteractiveEnd end = run.awaitEnd(kLimit);
    EXPECT_TRUE(end.ended && end.terminatingSignal == signal) << endOf(end);
    termios left{};
    ASSERT_TRUE(run.terminalMode(&left));
    EXPECT_EQ(left.c_lflag & kCookedLocal, kCookedLocal);
    EXPECT_EQ(left.c_iflag & kCookedInput, kCookedInput);
  }
}

// ---- where a start-up failure is told ----

// With a console the reason comes in the console, ahead of the status line;
// without one it stays on standard error, where scripts read it.
TEST_F(RealRuntime, AnImageNotFoundIsToldInTheConsoleOrWithoutOneOnStandardError) {
  const char* given = std::getenv(kRuntimeVariable);
  const std::string saved = given ? given : "";
  setenv(kRuntimeVariable, kRuntime.c_str(), 1);
  testing_support::ProgramOptions start;
  start.workingDirectory = root_.string();
  const std::string told = "Could not find image file " + missingImage().string() + ".";
  const testing_support::ProgramRun console =
      testing_support::runProgram(kHost, {"+M", "-I", missingImage().string()}, start);
  const testing_support::ProgramRun plain =
      testing_support::runProgram(kHost, {"+c", "-I", missingImage().string()}, start);
  if (given)
    setenv(kRuntimeVariable, saved.c_str(), 1);
  else
    unsetenv(kRuntimeVariable);

  EXPECT_EQ(console.exitStatus, kImageFailure);
  const size_t inConsole = console.standardOutput.find(told);
  EXPECT_NE(inConsole, std::string::npos) << console.standardOutput;
  EXPECT_LT(inConsole, console.standardOutput.find(kFailedStatusLine)) << console.standardOutput;
  EXPECT_EQ(console.standardError.find(told), std::string::npos) << console.standardError;

  EXPECT_EQ(plain.exitStatus, kImageFailure);
  EXPECT_NE(plain.standardError.find(told), std::string::npos) << plain.standardError;
}

// ---- without a console ----

// The build's messages come from the runtime's console printer (descriptor
// 1) and from the C library's standard output alike: without a console both
// reach the process's standard output.
TEST_F(RealRuntime, ABuildWithACutStartupFaslSaysWhyOnStandardOutput) {
  std::vector<uint8_t> fasl = startup_image::startupFasl(false);
  fasl.resize(fasl.size() / 2);
  const fs::path bundle = home() / "files.vxb";
  ASSERT_TRUE(testing_support::writeFileBytes(
      bundle.string(), testing_support::faslBundle({{startup_image::kStartupFaslName,
                                                     startup_image::kTimestamp, fasl}})));
  const char* given = std::getenv(kRuntimeVariable);
  const std::string saved = given ? given : "";
  setenv(kRuntimeVariable, kRuntime.c_str(), 1);
  testing_support::ProgramOptions start;
  start.workingDirectory = root_.string();
  const testing_support::ProgramRun run = testing_support::runProgram(
      kHost, {"+c", "-build", "-H", home().string(), "-B", bundle.string()}, start);
  if (given)
    setenv(kRuntimeVariable, saved.c_str(), 1);
  else
    unsetenv(kRuntimeVariable);

  const std::string& out = run.standardOutput;
  EXPECT_EQ(run.exitStatus, 1) << "stdout:\n" << out << "stderr:\n" << run.standardError;
  const size_t read = out.find("; fasl from bundle: sys/startup.fasl\n");
  ASSERT_NE(read, std::string::npos) << out;
  // The runtime's own report, written to descriptor 1 without a console.
  EXPECT_NE(out.find("Could not start lisp build!\n", read), std::string::npos) << out;
}

}  // namespace
