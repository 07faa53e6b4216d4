// Black-box starts of the host programs: the launcher loads a stand-in
// runtime that writes down what it was handed, or refuses with one line on
// standard error and status 1.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testing/run_program.h"
#include "testing/temp_path.h"

namespace {

using testing_support::ProgramRun;
using testing_support::runProgram;
using Words = std::vector<std::string>;
using Environment = std::map<std::string, std::string>;

const std::string kHost = HOST_PATH;
const std::string kThreadHost = THREAD_HOST_PATH;
const std::string kStandin = STANDIN_PATH;
const std::string kRuntime = KORVANE_PATH;
const std::string kLauncher = LUNVARRA_PATH;

std::string directoryOf(const std::string& path) {
  return path.substr(0, path.rfind('/'));
}
std::string baseNameOf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

class LauncherStart : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name :
         {"VXM_SHLIB_NAME", "VXM_STARTUP_DEBUG", "VXM_NOACTIVATE_CONSOLE", "VXMTLSINDEXDEBUG",
          "STANDIN_VERSION", "STANDIN_IMAGE", "STANDIN_EXIT", "STANDIN_RETURN"})
      unsetenv(name);
    recordPath = testing_support::processTempPath("calls");
    std::remove(recordPath.c_str());
    setenv("STANDIN_RECORD", recordPath.c_str(), 1);
  }

  // The child inherits this process's environment with `extra` added.
  ProgramRun run(const Words& arguments, const Environment& extra = {},
                 const std::string& program = kHost) {
    for (const auto& [name, value] : extra) setenv(name.c_str(), value.c_str(), 1);
    ProgramRun result = runProgram(program, arguments);
    for (const auto& [name, value] : extra) unsetenv(name.c_str());
    return result;
  }

  // The stand-in's lines with this key, in order.
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

TEST_F(LauncherStart, WithoutConsoleTheRuntimeGetsTheVectorAndTheRecords) {
  const ProgramRun r = run({"+c", "+d", kStandin, "-x", "a b", "+p"}, {{"STANDIN_EXIT", "7"}});
  EXPECT_EQ(r.exitStatus, 7);
  EXPECT_EQ(r.standardError, "");
  EXPECT_EQ(recorded("argc"), Words{"4"});
  EXPECT_EQ(recorded("argv"), (Words{kLauncher, "-x", "a b", "+p"}));
  EXPECT_EQ(recorded("envp_is_environ"), Words{"1"});
  EXPECT_EQ(recorded("exit_is_own"), Words{"1"});
  EXPECT_EQ(recorded("home"), Words{directoryOf(kLauncher)});
  EXPECT_EQ(recorded("library"), Words{kStandin});
  EXPECT_EQ(recorded("handle_is_own"), Words{"1"});
  EXPECT_EQ(recorded("image"), Words{"null"});
  EXPECT_EQ(recorded("allocator"), Words{"set"});
  EXPECT_EQ(recorded("win32app"), Words{"1"});
  EXPECT_EQ(recorded("linked_rows"), Words{"12"});
  EXPECT_EQ(recorded("options"), Words{"null"});
  // The no-console form, with the runtime's hooks in words 4-10 and the
  // caller's thread in word 14.
  EXPECT_EQ(recorded("redir_runtime_words"), Words{"own"});
  EXPECT_EQ(recorded("redir_exit_is_exit"), Words{"1"});
  EXPECT_EQ(recorded("redir_peek_windows"), Words{"none"});
  EXPECT_EQ(recorded("redir_thread_is_caller"), Words{"1"});
  EXPECT_EQ(recorded("redir_instance_set"), Words{"1"});
  EXPECT_EQ(recorded("redir_table"), Words{"3 3 3 4 0"});
  EXPECT_EQ(recorded("default_image"),
            Words{directoryOf(kLauncher) + "|" + baseNameOf(kLauncher) + "|null|0"});
}

TEST_F(LauncherStart, SlotAllocatorGivesAHighSlotWhenAsked) {
  run({"+c", "+d", kStandin}, {{"VXMTLSINDEXDEBUG", "1"}});
  const Words slots = recorded("allocated_slot");
  ASSERT_EQ(slots.size(), 1u);
  EXPECT_GE(std::stoi(slots[0]), 64);
}

TEST_F(LauncherStart, ReturningInitEndsWithItsResult) {
  EXPECT_EQ(run({"+c", "+d", kStandin}, {{"STANDIN_RETURN", "5"}}).exitStatus, 5);
}

TEST_F(LauncherStart, DefaultImageIsInsertedBehindElementZero) {
  const std::string image = testing_support::processTempPath("lisp.vxi");
  std::ofstream(image) << "image";
  run({"+c", "+d", kStandin, "-e", "x"}, {{"STANDIN_IMAGE", image}});
  EXPECT_EQ(recorded("argv"), (Words{kLauncher, "-I", image, "-e", "x"}));
  std::remove(image.c_str());
  // An image that cannot be read is not inserted.
  std::remove(recordPath.c_str());
  run({"+c", "+d", kStandin, "-e"}, {{"STANDIN_IMAGE", image}});
  EXPECT_EQ(recorded("argv"), (Words{kLauncher, "-e"}));
}

TEST_F(LauncherStart, NamedImageIsLookedUpAndBuildLooksForNone) {
  run({"+c", "+d", kStandin, "-q", "-I", "world"});
  EXPECT_EQ(recorded("find_image"), Words{"world|.vxi|null|0"});
  EXPECT_EQ(recorded("default_image"), Words{});
  EXPECT_EQ(recorded("argv"), (Words{kLauncher, "-q", "-I", "world"}));
  std::remove(recordPath.c_str());
  run({"+c", "+d", kStandin, "-build", "-I", "world"});
  EXPECT_EQ(recorded("find_image"), Words{});
  EXPECT_EQ(recorded("default_image"), Words{});
}

TEST_F(LauncherStart, LibraryIsRetriedInTheHomeDirectory) {
  // A bare name that no search path finds, beside the "-H" directory.
  const ProgramRun r = run({"+c", "-H", directoryOf(kStandin)},
                           {{"VXM_SHLIB_NAME", baseNameOf(kStandin)}, {"VXM_STARTUP_DEBUG", "1"}});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.standardError, "f_h_l_a: found match: " + directoryOf(kStandin) + "\n");
  EXPECT_EQ(recorded("home"), Words{directoryOf(kStandin)});
  EXPECT_EQ(recorded("library"), Words{baseNameOf(kStandin)});
  EXPECT_EQ(recorded("default_image"),
            Words{directoryOf(kStandin) + "|" + baseNameOf(kLauncher) + "|null|1"});
}

TEST_F(LauncherStart, LibraryNameFromOptionThenEnvironmentThenDefault) {
  // "+d" wins over the environment.
  EXPECT_EQ(run({"+c", "+d", kStandin}, {{"VXM_SHLIB_NAME", "nosuch.so"}}).exitStatus, 0);
  EXPECT_EQ(recorded("library"), Words{kStandin});
  EXPECT_EQ(run({"+c"}, {{"VXM_SHLIB_NAME", "nosuch.so"}}).standardError,
            "lisp: Unable to locate the Vexmora CL Dynamic link library:  nosuch.so\n");
  // Empty: the default name, which finds the runtime beside the launcher.
  EXPECT_EQ(run({"+c"}, {{"VXM_SHLIB_NAME", ""}}).standardError,
            "lisp: failed to locate exported symbols; incorrect dll\n");
}

struct Refusal {
  const char* name;
  Words arguments;
  Environment environment;
  std::string standardError;
};

TEST_F(LauncherStart, RefusalsShowTheirLineAndEndWithOne) {
  const std::string longHome(600, 'h');
  const Refusal refusals[] = {
      {"NoLibrary",
       {"+c", "+d", "nosuch.so"},
       {},
       "lisp: Unable to locate the Vexmora CL Dynamic link library:  nosuch.so\n"},
      {"NamesMissing",
       {"+c", "+d", kRuntime},
       {},
       "lisp: failed to locate exported symbols; incorrect dll\n"},
      {"OtherVersion",
       {"+c", "+d", kStandin},
       {{"STANDIN_VERSION", "2"}},
       "Vexmora Common Lisp: version mismatch: lisp is version 3,  " + kStandin +
           " is version 2\n"},
      {"LongHome",
       {"+c", "+d", kStandin, "-H", longHome},
       {},
       "lisp: internal error: " + longHome + " is too long\n"},
      {"Console", {"+d", kStandin}, {}, "lisp: console not available in this build\n"},
  };
  for (const Refusal& refusal : refusals) {
    const ProgramRun r = run(refusal.arguments, refusal.environment);
    EXPECT_EQ(r.exitStatus, 1) << refusal.name;
    EXPECT_EQ(r.standardError, refusal.standardError) << refusal.name;
    EXPECT_EQ(recorded("argc"), Words{}) << refusal.name << ": the Lisp never started";
  }
}

TEST_F(LauncherStart, WithItsOwnThreadOnlyThatThreadEnds) {
  const ProgramRun r = run({"+c", "+d", "nosuch.so"}, {}, kThreadHost);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.standardOutput, "launcher thread ended with 1\n");
  EXPECT_EQ(r.standardError,
            "lisp: Unable to locate the Vexmora CL Dynamic link library:  nosuch.so\n");
}

TEST_F(LauncherStart, ScriptLinesComeThroughTheReadHook) {
  const std::string script = testing_support::processTempPath("script.lisp");
  std::ofstream(script) << "(one)\n(two)";
  run({"+c", "+s", script, "+d", kStandin}, {{"STANDIN_READ", "2"}});
  EXPECT_EQ(recorded("stdin_line"), (Words{"(one)\\n", "(two)"}));
  std::remove(script.c_str());
}

TEST_F(LauncherStart, ResourceWordsMergeWithTheCommandTail) {
  // The second host's resource holds "-r" and "x y".
  run({"+c", "+d", kStandin, "-e"}, {}, kThreadHost);
  EXPECT_EQ(recorded("argv"), (Words{kLauncher, "-r", "-e", "x y"}));
}

}  // namespace
