// What start-up leaves in the runtime's variables before its road ends. Each
// case runs in a child process; the exit callback reports the variables on
// standard error when start-up ends through lisp_exit.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "runtime/load/image_search.h"
#include "runtime/load/small_services.h"
#include "runtime/load/startup.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/foreign_callbacks.h"
#include "runtime/rs/lisp_presence.h"
#include "runtime/rs/object_layout.h"
#include "testing/console_host_record.h"

extern "C" lisp::lispval nilval;

namespace {

void reportState(int status) {
  std::fprintf(stderr,
               "[status %d verbose %d pass %d argc %d argv1 %s as %d/%d windows %d bundle %s]",
               status, verbose_startup, pass_on_unhandled_exceptions, sv_argc,
               sv_argc > 1 && sv_argv[1] ? sv_argv[1] : "-", as_setupstack != nullptr,
               as_exception_filter != nullptr, vxm_under_windows, bundlename);
  std::fflush(stderr);
  std::_Exit(status);
}

struct Arguments {
  explicit Arguments(std::vector<std::string> words) : words_(std::move(words)) {
    for (std::string& word : words_) pointers_.push_back(word.data());
    pointers_.push_back(nullptr);
  }
  int count() const { return static_cast<int>(words_.size()); }
  char** vector() { return pointers_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

int startWith(Arguments& arguments, const uint32_t* options = nullptr) {
  return lisp_init(arguments.count(), arguments.vector(), nullptr, reportState, "/opt/home",
                   nullptr, nullptr, nullptr, nullptr, 1, nullptr, options);
}

TEST(StartupState, BangPrefixTurnsOnVerboseStartUpAndIsRemoved) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Arguments arguments({"prog", "-!xyz", "-build", "-k"});
  // The build stores the vector and count lisp_main left: both words removed.
  EXPECT_EXIT(
      {
        setup_redir(&testing_support::consoleOnStandardError());  // where death tests look
        startWith(arguments);
      },
      ::testing::ExitedWithCode(1),
      "Could not start lisp build!\n\\[status 1 verbose 1 pass 1 argc 2 argv1 -k as 0/0 "
      "windows 1 "
      "bundle files.vxb\\]");
}

void reportOptionWords(int status) {
  const uint32_t words[] = {lisp_console_handle,
                            lisp_disable_tray_exit,
                            lisp_disable_close_button,
                            lisp_ourhInstance,
                            start_lisp_tray_icon,
                            kill_lisp_tray_icon,
                            lisp_scriptfd,
                            lisp_minimize_state,
                            lisp_console_max,
                            lisp_console_shrink_slop,
                            lisp_running_on_win9x};
  for (uint32_t word : words) std::fprintf(stderr, "%u ", word);
  std::fprintf(stderr, "home %s slot offset %u", home_location, lisp_tls_index % 4);
  std::fflush(stderr);
  std::_Exit(status);
}

void startWithOptions() {
  uint32_t options[kOptionWordCount];
  for (int i = 0; i < kOptionWordCount; ++i) options[i] = 100 + i;
  Arguments arguments({"prog", "-build"});
  lisp_init(arguments.count(), arguments.vector(), nullptr, reportOptionWords, "/opt/home", nullptr,
            nullptr, nullptr, nullptr, 0, nullptr, options);
}

TEST(StartupState, TheOptionsRecordIsCopiedWordByWordInItsOrder) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(startWithOptions(), ::testing::ExitedWithCode(1),
              "100 101 102 103 104 105 106 107 108 109 110 home /opt/home slot offset 0");
}

void rebornWithStartupLibrary() {
  Arguments arguments({"vxmdebug", "-as", STARTUP_LIBRARY_PROBE, "-cl", "3"});
  lisp_exit_callback = reportState;
  // The runtime library's handle, in which start-up finds lisp_init.
  lisp_shared_library_handle = dlopen(KORVANE_PATH, RTLD_NOW | RTLD_LOCAL);
  std::snprintf(home_location, sizeof home_location, "/opt/home");
  std::snprintf(bu_fname, sizeof bu_fname, "C:\\old\\place\\files.vxb");
  lisp_main_reborn(arguments.count(), arguments.vector(), nullptr);
}

TEST(StartupState, RebornLoadsTheStartUpLibraryAndMovesTheBundleHome) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(rebornWithStartupLibrary(), ::testing::ExitedWithCode(1),
              "as 1/0 windows 0 bundle /opt/home/files.vxb\\]");
}

// ---- a symbol's value cell ----

TEST(SymbolLocative, WithoutABindingOnThisThreadTheGlobalCellIsTheOne) {
  alignas(8) uint32_t vector[4] = {lisp::headerWord(lisp::type_code::SimpleVector),
                                   lisp::makeFixnum(1), 0, 0};
  alignas(8) lisp::SymbolObject symbol{};
  symbol.typeByte = lisp::kSymbolTypeByte;
  const lisp::lispval word = lisp::wordOf(&symbol, lisp::Tag::Symbol);
  symbol.valueVector = lisp::wordOf(vector, lisp::Tag::Other);
  vector[2] = word;  // element 0: the symbol itself
  EXPECT_EQ(symbol_locative(word), &symbol.globalValue);
}

// A nil block large enough for the globals that these tests read.
struct FakeNil {
  FakeNil() : saved(nilval) {
    nilval = static_cast<lisp::lispval>(reinterpret_cast<uintptr_t>(block)) + 0x285;
  }
  ~FakeNil() { nilval = saved; }
  alignas(256) uint32_t block[256] = {};
  lisp::lispval saved;
};

TEST(LispCallAddress, ReadsTheTableOfTheSymbolInTheGlobalsOrFallsBack) {
  FakeNil nil;
  alignas(8) lisp::SymbolObject symbol{};
  symbol.typeByte = lisp::kSymbolTypeByte;
  symbol.valueVector = nilval;  // no value vector: the global value counts
  const lisp::lispval symbolWord = lisp::wordOf(&symbol, lisp::Tag::Symbol);
  alignas(8) uint32_t table[6] = {lisp::headerWord(lisp::type_code::LastVector),
                                  lisp::makeFixnum(3), 0, 0x1234, 0};
  const uint32_t fallback = lisp_call_address(5);  // the global holds no symbol yet
  EXPECT_EQ(fallback, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&lisp_missing_callback)));

  // The Lisp world's symbol in the global word at nil-0x199, its value the table.
  lisp::wordAt(nilval, -0x199) = symbolWord;
  symbol.globalValue = lisp::wordOf(table, lisp::Tag::Other);
  EXPECT_EQ(lisp_call_address(3), 0x1234u);   // element 1
  EXPECT_EQ(lisp_call_address(2), fallback);  // element 0 holds 0
  EXPECT_EQ(lisp_call_address(5), fallback);  // past the table's end
  EXPECT_EQ(lisp_call_address(1), fallback);  // before its start
  symbol.globalValue = nilval;
  EXPECT_EQ(lisp_call_address(3), fallback);
}

TEST(DebugPrinters, PrintOneByteForEachCharacter) {
  alignas(8) uint16_t string[8] = {};
  const uint32_t header = lisp::headerWord(lisp::type_code::SimpleString);
  const uint32_t length = lisp::makeFixnum(3);
  std::memcpy(string, &header, 4);
  std::memcpy(string + 2, &length, 4);
  string[4] = u'a';
  string[5] = 0x142;  // printed as its low byte
  string[6] = u'c';
  alignas(8) lisp::SymbolObject symbol{};
  symbol.name = lisp::wordOf(string, lisp::Tag::Other);

  char* text = nullptr;
  size_t size = 0;
  std::FILE* stream = open_memstream(&text, &size);
  fstrpr(symbol.name, stream);
  symprint(lisp::wordOf(&symbol, lisp::Tag::Symbol), stream);
  vxmputc('!', stream);
  std::fclose(stream);
  EXPECT_EQ(std::string(text, size), "aBcaBc!");
  std::free(text);
}

// ---- the working directory gone ----

void searchFromARemovedDirectory() {
  char pattern[] = "/tmp/removed_cwd_XXXXXX";
  if (!mkdtemp(pattern) || chdir(pattern) != 0 || rmdir(pattern) != 0) std::_Exit(99);
  lisp_exit_callback = [](int) { std::fputs("callback ran\n", stderr); };
  std::snprintf(home_location, sizeof home_location, "/opt/home");
  find_image_file("img", ".vxi", nullptr, 0);
}

TEST(InHomeLocation, EndsTheProcessWithoutTheCallbackWhenTheDirectoryIsGone) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(searchFromARemovedDirectory(), ::testing::ExitedWithCode(1), "^computewd failed.\n$");
}

// ---- the self-closing message on a terminal ----

void waitForEscapeOnATerminal() {
  int controller = -1;
  int terminal = -1;
  if (openpty(&controller, &terminal, nullptr, nullptr, nullptr) != 0) std::_Exit(99);
  dup2(terminal, STDIN_FILENO);
  std::thread typist([controller] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const char keys[] = {'x', 27};
    if (write(controller, keys, sizeof keys) != sizeof keys) std::_Exit(98);
  });
  const auto start = std::chrono::steady_clock::now();
  sy_mbwto("Notice", "one", "two", 30);
  typist.join();
  std::_Exit(std::chrono::steady_clock::now() - start < std::chrono::seconds(10) ? 0 : 1);
}

TEST(SyMbwto, ReturnsAtOnceWhenEscapeArrivesOnATerminal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(waitForEscapeOnATerminal(), ::testing::ExitedWithCode(0), "Notice: one\ntwo\n");
}

// ---- the pending-interrupt word and the exit callback ----

TEST(Setsig, MarksTheInterruptPendingForLispCode) {
  alignas(256) uint32_t block[64] = {};
  const lisp::lispval savedNil = nilval;
  nilval = static_cast<lisp::lispval>(reinterpret_cast<uintptr_t>(block)) + 0x85;
  std::fill(std::begin(lsignals), std::end(lsignals), 0);
  // Without a Lisp (no heap in place, or given back) only the signal is
  // recorded: the block nilval names is not touched.
  setsig(14);
  EXPECT_EQ(lisp::wordAt(nilval, -0x35), 0u);
  EXPECT_EQ(lsignals[0], 14);
  lisp::presence::arrive();
  setsig(2);
  lisp::presence::depart();
  EXPECT_EQ(lisp::wordAt(nilval, -0x35), 0xffffffffu);
  EXPECT_EQ(lsignals[1], 2);
  nilval = savedNil;
  std::fill(std::begin(lsignals), std::end(lsignals), 0);
}

void exitThroughHostHook() {
  static uint32_t host[25] = {};
  host[11] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(+[](int status) {
    std::fprintf(stderr, "host hook %d\n", status);
    std::fflush(stderr);
    std::_Exit(status + 1);
  }));
  redir = host;
  windows_lisp_exit(6);
}

TEST(WindowsLispExit, HandsTheStatusToTheHostsExitHookFirst) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exitThroughHostHook(), ::testing::ExitedWithCode(7), "^host hook 6\n$");
  EXPECT_EXIT(windows_lisp_exit(4), ::testing::ExitedWithCode(4),
              "^vxm: the lisp dll is exiting...hmm\n$");
}

}  // namespace
