// Black-box runs of lunvarra_host with its console, standard input and
// output on pipes: the stand-in runtime's output all arrives before the
// status line, the pause after the Lisp's end follows the settings, typed
// lines reach the Lisp and control keys reach the console.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "launcher/tests/standin_output.h"
#include "testing/run_program.h"
#include "testing/temp_path.h"

namespace {

using testing_support::ProgramOptions;
using testing_support::ProgramRun;
using Words = std::vector<std::string>;
using Environment = std::map<std::string, std::string>;

const std::string kHost = HOST_PATH;
const std::string kStandin = STANDIN_PATH;
const std::string kThreadHost = THREAD_HOST_PATH;

std::string statusLine(int status) {
  char line[80];
  std::snprintf(line, sizeof line, "\n<The Lisp process exited with status %d (0x%x)>\n", status,
                static_cast<unsigned>(status));
  return line;
}

class ConsoleRun : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"STANDIN_EXIT", "STANDIN_WRITE", "STANDIN_ECHO", "STANDIN_IMAGE",
                             "VXM_NOACTIVATE_CONSOLE", "STANDIN_READ", "STANDIN_RETURN",
                             "STANDIN_LOST_THREAD"})
      unsetenv(name);
    recordPath = testing_support::processTempPath("console-calls");
    std::remove(recordPath.c_str());
    setenv("STANDIN_RECORD", recordPath.c_str(), 1);
  }

  ProgramRun run(Words arguments, const Environment& extra, const std::string& input = "",
                 const std::string& host = kHost) {
    arguments.insert(arguments.begin(), {"+d", kStandin});
    for (const auto& [name, value] : extra) setenv(name.c_str(), value.c_str(), 1);
    ProgramOptions options;
    options.standardInput = input;
    // Bounded: a console that never ends is killed and fails the test.
    arguments.insert(arguments.begin(), {"-k", "5", "30", host});
    ProgramRun result = testing_support::runProgram("/usr/bin/timeout", arguments, options);
    for (const auto& [name, value] : extra) unsetenv(name.c_str());
    return result;
  }

  Words recorded(const std::string& key) {
    std::ifstream file(recordPath);
    Words values;
    for (std::string line; std::getline(file, line);)
      if (line.compare(0, key.size() + 1, key + "=") == 0)
        values.push_back(line.substr(key.size() + 1));
    return values;
  }

  std::string recordPath;
};

TEST_F(ConsoleRun, EveryByteOfTheLastOutputComesBeforeTheStatusLine) {
  const ProgramRun r = run({}, {{"STANDIN_WRITE", "100000"}, {"STANDIN_EXIT", "3"}});
  EXPECT_EQ(r.exitStatus, 3);
  const std::string expected = standinOutput(100000) + statusLine(3);
  const size_t at = r.standardOutput.find(expected);
  ASSERT_NE(at, std::string::npos) << r.standardOutput.substr(0, 300);
  // Only bracketed lines of the window and the tray come around it.
  EXPECT_EQ(r.standardOutput.find("000000 the"), at);
  EXPECT_EQ(r.standardError, "");
}

TEST_F(ConsoleRun, ThePauseAfterTheEndFollowsStatusAndSettings) {
  struct Case {
    const char* name;
    Words arguments;
    const char* status;
    bool pauses;
  };
  const Case cases[] = {
      {"status 0 ends at once", {}, "0", false},
      {"an error status pauses", {}, "3", true},
      {"+M: no pause on error", {"+M"}, "3", false},
      {"+p: pause at exit", {"+p"}, "0", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(recordPath.c_str());
    const ProgramRun r = run(c.arguments, {{"STANDIN_EXIT", c.status}});
    EXPECT_EQ(r.exitStatus, std::stoi(c.status));
    EXPECT_NE(r.standardOutput.find(statusLine(std::stoi(c.status))), std::string::npos);
    // The pause frees the heaps first; the end of input then closes it.
    EXPECT_EQ(recorded("free_heaps"), c.pauses ? Words{"1"} : Words{});
    EXPECT_EQ(recorded("ipc_shutdown"), Words{"1"});
  }
}

TEST_F(ConsoleRun, TypedLinesReachTheLispAndControlKeysTheConsole) {
  // Ctrl+C interrupts; the end of input asks the Lisp to close, which the
  // stand-in does at its next read.
  const ProgramRun r = run({}, {{"STANDIN_ECHO", "1"}}, "hello\n\x03two\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_NE(r.standardOutput.find("echo: hello\n"), std::string::npos) << r.standardOutput;
  EXPECT_NE(r.standardOutput.find("echo: two\n"), std::string::npos) << r.standardOutput;
  EXPECT_EQ(recorded("signal"), Words{"2"});
  EXPECT_EQ(recorded("close_request"), Words{"0"});  // the flag, cleared as it went
}

TEST_F(ConsoleRun, ALispThreadThatEndsWithoutTheExitHook) {
  // lisp_init returns 5: the thread's exit code is the status.
  const ProgramRun ended = run({}, {{"STANDIN_RETURN", "5"}});
  EXPECT_EQ(ended.exitStatus, 5);
  EXPECT_NE(ended.standardOutput.find(statusLine(5)), std::string::npos);
  // No handle for the Lisp thread that runs on: reported, and the console pauses.
  std::remove(recordPath.c_str());
  const ProgramRun lost = run({}, {{"STANDIN_RETURN", "0"}, {"STANDIN_LOST_THREAD", "1"}});
  EXPECT_EQ(lost.exitStatus, 0);
  EXPECT_NE(lost.standardOutput.find("Internal failure can't get handle on lisp process\n" +
                                     statusLine(0)),
            std::string::npos)
      << lost.standardOutput;
  EXPECT_EQ(recorded("free_heaps"), Words{"1"});
}

TEST_F(ConsoleRun, TheTitleNamesTheImage) {
  const std::string image = testing_support::processTempPath("world.vxi");
  std::ofstream(image) << "x";
  const ProgramRun r = run({}, {{"STANDIN_IMAGE", image}});
  const std::string base = image.substr(image.rfind('/') + 1);
  EXPECT_NE(r.standardOutput.find("\"Vexmora Common Lisp Console - [" + base + "]\""),
            std::string::npos)
      << r.standardOutput;
  const ProgramRun titled = run({"+t", "My Lisp"}, {});
  EXPECT_NE(titled.standardOutput.find("\"My Lisp\"]"), std::string::npos) << titled.standardOutput;
}

TEST_F(ConsoleRun, ASplashWithItsTextComesUpWhenThereIsAnImage) {
  const std::string image = testing_support::processTempPath("splash-world.vxi");
  std::ofstream(image) << "x";
  const ProgramRun r = run({"+Bp", "+b", "Hello there"}, {{"STANDIN_IMAGE", image}});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_NE(r.standardOutput.find("[splash: 424x300, \"Hello there\"]\n"), std::string::npos)
      << r.standardOutput;
  // Without a text, the host program's bitmap; the console ends only the
  // launcher's own thread.
  const ProgramRun own = run({"+Bp"}, {{"STANDIN_IMAGE", image}, {"STANDIN_EXIT", "4"}}, "",
                             kThreadHost);
  EXPECT_NE(own.standardOutput.find("[splash: 8x2, 2 colours]\n"), std::string::npos)
      << own.standardOutput;
  EXPECT_NE(own.standardOutput.find("launcher thread ended with 4\n"), std::string::npos);
  // Without an image there is no splash.
  EXPECT_EQ(run({"+Bp", "+b", "Hello there"}, {}).standardOutput.find("[splash"),
            std::string::npos);
}

}  // namespace
