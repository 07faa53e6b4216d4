// Black-box starts of the host programs: the launcher loads a stand-in
// runtime that writes down what it was handed, or refuses with one line on
// standard error and status 1.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
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
const std::string kServerHost = SERVER_HOST_PATH;
const std::string kServerAsanHost = SERVER_ASAN_HOST_PATH;
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
          "STANDIN_VERSION", "STANDIN_IMAGE", "STANDIN_EXIT", "STANDIN_RETURN", "STANDIN_SERVER",
          "STANDIN_SILENT", "STANDIN_SLOW_CLASS_MS", "STANDIN_JITTER_MS"})
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

// lunvarra_host writes its arguments into the command tail so that the
// launcher's split gives each back whole: quotes of both kinds, blanks,
// empty arguments.
TEST_F(LauncherStart, EveryArgumentReachesTheRuntimeWhole) {
  const Words cases[] = {
      {"\"x", "y", "'q'", "a b"},
      {"'", "\"", "", "it's", "say \"hi\"", "x\ty"},
      {"\"a b\"c", "'both'\"", "\"both\"'", "-I", "a dir/it's.vxi"},
  };
  for (const Words& arguments : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    std::remove(recordPath.c_str());
    Words given = {"+c", "+d", kStandin};
    given.insert(given.end(), arguments.begin(), arguments.end());
    const ProgramRun r = run(given, {{"STANDIN_EXIT", "0"}});
    EXPECT_EQ(r.exitStatus, 0) << r.standardError;
    Words expected = {kLauncher};
    expected.insert(expected.end(), arguments.begin(), arguments.end());
    EXPECT_EQ(recorded("argv"), expected);
  }
}

// An argument that no quoting carries through the split is refused, not
// passed on cut or merged with the next.
TEST_F(LauncherStart, AnArgumentTheSplitCannotCarryIsRefused) {
  const ProgramRun r = run({"+c", "+d", kStandin, "a'b\"c", "next"}, {{"STANDIN_EXIT", "0"}});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.standardError.find("lunvarra_host: the argument a'b\"c holds both kinds of quote"),
            std::string::npos)
      << r.standardError;
  EXPECT_EQ(recorded("argv"), Words{}) << "the runtime was not started";
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
  // Empty: the default name, which finds the runtime beside the launcher; it
  // binds and starts, and finds no image to load.
  const ProgramRun runtime = run({"+c"}, {{"VXM_SHLIB_NAME", ""}});
  EXPECT_EQ(runtime.standardError, "No lisp image to load.\n");
  EXPECT_EQ(runtime.exitStatus, 1);
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
       {"+c", "+d", directoryOf(kRuntime) + "/libzv_platform.so"},
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

// ---- starts through the server entry points ----

// The server hosts over the stand-in, which plays the Lisp and answers the
// remote commands; the default image is a readable file.
class ServerStart : public LauncherStart {
 protected:
  void SetUp() override {
    LauncherStart::SetUp();
    image = testing_support::processTempPath("server.vxi");
    std::ofstream(image) << "image";
  }
  void TearDown() override { std::remove(image.c_str()); }

  // The host's "key=value" lines.
  std::map<std::string, std::string> runHost(const std::string& host, const Words& arguments,
                                             Environment extra = {}) {
    extra.emplace("VXM_SHLIB_NAME", kStandin);
    extra.emplace("STANDIN_SERVER", "1");
    extra.emplace("STANDIN_IMAGE", image);
    last = run(arguments, extra, host);
    std::map<std::string, std::string> printed;
    std::istringstream lines(last.standardOutput);
    for (std::string line; std::getline(lines, line);)
      if (const size_t equals = line.find('='); equals != std::string::npos)
        printed[line.substr(0, equals)] = line.substr(equals + 1);
    return printed;
  }

  std::string image;
  ProgramRun last;
};

constexpr const char* kFailureWord = "0x80004005";

TEST_F(ServerStart, EachEntryRunsOneExchangeWithItsWords) {
  auto printed = runHost(kServerAsanHost, {"each-once"});
  ASSERT_EQ(last.exitStatus, 0) << last.standardError;
  EXPECT_EQ(printed["unload_before"], "1");
  EXPECT_EQ(printed["unload_during"], "1");
  EXPECT_EQ(printed["get_class_object"], "0");
  EXPECT_EQ(printed["object_matches"], "1");
  EXPECT_EQ(printed["register"], "0x30");
  EXPECT_EQ(printed["unregister"], "0x40");

  // Each exchange synchronises first; the class-object request carries the
  // caller's ids, but cells of the launcher's for the answer.
  const Words commands = recorded("command");
  ASSERT_EQ(commands.size(), 6u);
  std::istringstream classRequest(commands[1]);
  Words words{std::istream_iterator<std::string>(classRequest), {}};
  ASSERT_EQ(words.size(), 5u);
  EXPECT_EQ(words[0], "0x2");
  EXPECT_EQ(words[1], printed["class_id"]);
  EXPECT_EQ(words[2], printed["interface_id"]);
  EXPECT_NE(words[3], printed["out_cell"]);
  const std::string resultCell = words[4];
  EXPECT_EQ(commands, (Words{"0x1", commands[1], "0x1", "0x3 " + resultCell, "0x1",
                             "0x4 " + resultCell}));

  // The start: the module path alone with the module's own resource ("+c",
  // taken out as an option), the launcher's own directory, the default
  // image, the handshake event.
  EXPECT_EQ(recorded("argv"), (Words{kServerAsanHost, "-I", image}));
  EXPECT_EQ(recorded("home"), Words{directoryOf(kServerAsanHost)});
  EXPECT_EQ(recorded("remote_command_event"), Words{"set"});
}

TEST_F(ServerStart, CallersArrivingTogetherStartTheLispOnce) {
  auto printed = runHost(kServerAsanHost, {"first-calls"});
  EXPECT_EQ(printed["wrong"], "0") << last.standardError;
  EXPECT_EQ(recorded("argc").size(), 1u);
  EXPECT_EQ(recorded("remote_command_event").size(), 1u);
}

TEST_F(ServerStart, ManyCallersEachGetTheirOwnAnswer) {
  // 8 threads x 50 class objects, answers delayed at random.
  auto printed = runHost(kServerAsanHost, {"many-callers"}, {{"STANDIN_JITTER_MS", "2"}});
  EXPECT_EQ(printed["wrong"], "0") << last.standardError;
  EXPECT_EQ(last.exitStatus, 0) << last.standardError;
}

TEST_F(ServerStart, AStartThatEndsFailsTheCallsAtOnce) {
  struct Case {
    const char* name;
    Environment environment;
    const char* standardError;
  };
  const Case cases[] = {
      {"no default image", {{"STANDIN_IMAGE", "/nonexistent/lisp.vxi"}}, ""},
      {"version refused", {{"STANDIN_VERSION", "2"}}, "Vexmora Common Lisp: version mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The default waits: a call that waited them out would take a minute.
    auto printed = runHost(kServerHost, {"timed"}, c.environment);
    EXPECT_EQ(last.exitStatus, 0);
    EXPECT_EQ(printed["register"], kFailureWord);
    EXPECT_LT(std::stoll(printed["waited_ms"]), 30000);
    EXPECT_EQ(printed["unload"], "1");
    EXPECT_EQ(last.standardError.rfind(c.standardError, 0), 0u) << last.standardError;
    EXPECT_TRUE(recorded("argc").empty());
  }
}

// The Lisp answered its start, then went: the runtime refuses the
// exchange's commands, and the call fails without waiting for an answer
// that cannot come.
TEST_F(ServerStart, ACommandTheRuntimeRefusesFailsTheCallAtOnce) {
  // The default waits: a call that waited one out would take 30 s.
  auto printed = runHost(kServerHost, {"timed"}, {{"STANDIN_GONE", "1"}});
  EXPECT_EQ(last.exitStatus, 0) << last.standardError;
  EXPECT_EQ(printed["register"], kFailureWord);
  EXPECT_LT(std::stoll(printed["waited_ms"]), 30000);
  EXPECT_EQ(recorded("argc").size(), 1u);
}

TEST_F(ServerStart, ALispThatNeverAnswersFailsAfterTheWait) {
  auto printed = runHost(kServerAsanHost, {"timed", "200", "200"}, {{"STANDIN_SILENT", "1"}});
  EXPECT_EQ(printed["register"], kFailureWord);
  EXPECT_EQ(last.exitStatus, 0) << last.standardError;
}

TEST_F(ServerStart, ALateAnswerLandsInTheLaunchersCellsAndEndsTheNextWait) {
  // The class object comes 400 ms after its 100 ms wait ran out.
  auto printed = runHost(kServerAsanHost, {"late-answer", "2000", "100"},
                         {{"STANDIN_SLOW_CLASS_MS", "400"}});
  EXPECT_EQ(printed["late_call"], kFailureWord);
  EXPECT_EQ(printed["out_untouched"], "1");
  EXPECT_EQ(printed["register"], "0x30");
  EXPECT_EQ(last.exitStatus, 0) << last.standardError;
}

}  // namespace
