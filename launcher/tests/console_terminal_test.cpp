// lunvarra_host on a terminal: a tmux session runs it over the stand-in
// runtime, keys are sent to it and the screen is compared through
// capture-pane. Skipped when tmux is not installed.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/temp_path.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using Words = std::vector<std::string>;

const std::string kHost = HOST_PATH;
const std::string kStandin = STANDIN_PATH;

std::string shellOutput(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      output.append(buffer, got);
    pclose(pipe);
  }
  return output;
}

bool tmuxInstalled() {
  return std::system("command -v tmux >/dev/null 2>&1") == 0;
}

class ConsoleTerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tmuxInstalled()) GTEST_SKIP() << "tmux is not installed (scripts/setup.sh installs it)";
    // A server of its own for each test: a server being killed is never reused.
    static int tests = 0;
    socket = "lunvarra-test-" + std::to_string(getpid()) + "-" + std::to_string(++tests);
    recordPath = testing_support::processTempPath("terminal-calls");
    std::remove(recordPath.c_str());
  }
  void TearDown() override {
    if (!socket.empty()) tmux("kill-server 2>/dev/null");
  }

  std::string tmux(const std::string& arguments) {
    return shellOutput("tmux -L " + socket + " " + arguments);
  }

  // The host in an 100 x 20 terminal, with echoing stand-in; the pane stays
  // after the host ends.
  void start(const std::string& launcherArguments = "") {
    const std::string command = "STANDIN_ECHO=1 STANDIN_RECORD=" + recordPath + " " + kHost +
                                " +d " + kStandin + " " + launcherArguments +
                                "; echo \"[ended $?]\"; sleep 30";
    tmux("new-session -d -s console -x 100 -y 20 '" + command + "'");
  }
  void keys(const std::string& keys) { tmux("send-keys -t console " + keys); }
  std::string screen() { return tmux("capture-pane -p -t console"); }

  // Waits until the screen holds `text`; the screen then.
  std::string awaitScreen(const std::string& text) {
    std::string now;
    for (auto until = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(50ms)) {
      now = screen();
      if (now.find(text) != std::string::npos) return now;
    }
    ADD_FAILURE() << "no \"" << text << "\" on the screen:\n" << now;
    return now;
  }

  Words recorded(const std::string& key) {
    std::ifstream file(recordPath);
    Words values;
    for (std::string line; std::getline(file, line);)
      if (line.compare(0, key.size() + 1, key + "=") == 0)
        values.push_back(line.substr(key.size() + 1));
    return values;
  }

  std::string socket;
  std::string recordPath;
  testing_support::Watchdog watchdog{"terminal test", 60s};
};

// The screen's lines from the first that begins with `from`, blank lines
// at the end dropped.
std::string linesFrom(const std::string& screen, const std::string& from) {
  const size_t at = screen.find("\n" + from);
  std::string lines = at == std::string::npos ? screen : screen.substr(at + 1);
  while (!lines.empty() && (lines.back() == '\n' || lines.back() == ' ')) lines.pop_back();
  return lines;
}

TEST_F(ConsoleTerminal, TypedLinesEchoAndLateOutputShowsAboveTheUnfinishedInput) {
  start();
  awaitScreen("[tray: VXMICON");
  keys("hello Enter");
  awaitScreen("echo: hello");
  keys("later Enter");
  awaitScreen("echo: later");
  keys("par");
  const std::string shown = awaitScreen("later output");
  EXPECT_EQ(linesFrom(shown, "hello"),
            "hello\n"
            "echo: hello\n"
            "later\n"
            "echo: later\n"
            "later output\n"
            "par");
  keys("t Enter");
  awaitScreen("echo: part");
}

TEST_F(ConsoleTerminal, InterruptTrayExitAndTheStatusLine) {
  start();
  awaitScreen("[tray: VXMICON");
  keys("C-c");
  keys("C-t");
  awaitScreen("[tray menu: 1 Show Console; 2 Hide Console; 3 Interrupt Lisp; Exit Lisp: 4 Yes, "
              "exit Lisp; 5 No, do");
  keys("4");
  const std::string shown = awaitScreen("[ended 0]");
  EXPECT_NE(shown.find("<The Lisp process exited with status 0 (0x0)>"), std::string::npos);
  EXPECT_EQ(recorded("signal"), Words{"2"});
  EXPECT_EQ(recorded("close_request"), Words{"0"});
}

TEST_F(ConsoleTerminal, WithPauseAtExitTheConsoleWaitsForCtrlD) {
  start("+p");
  awaitScreen("[tray: VXMICON");
  keys("C-d");  // the close request: the Lisp ends
  awaitScreen("<The Lisp process exited with status 0 (0x0)>");
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(screen().find("[ended"), std::string::npos) << "the console did not pause";
  EXPECT_EQ(recorded("free_heaps"), Words{"1"});
  keys("C-z");
  awaitScreen("[console: minimised");
  keys("C-d");
  awaitScreen("[ended 0]");
}

}  // namespace
