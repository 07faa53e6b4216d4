// The system services as Lisp code reaches them: through lisp_syscall (entry
// slot nil+0x17b) with Lisp arguments, on a real heap. Texts that services
// fill go into Lisp vectors laid out in the test arena; native strings go in
// as machine integers (their addresses) and come back as addresses.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/load/case_mapping.h"
#include "runtime/load/startup.h"
#include "runtime/os/clock_services.h"
#include "runtime/os/early_entry_points.h"
#include "runtime/os/environment_services.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/minor_services.h"
#include "runtime/os/mode_line.h"
#include "runtime/os/process_times.h"
#include "runtime/os/shared_libraries.h"
#include "runtime/rs/multiple_values.h"
#include "runtime/rs/native_calls.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/tests/service_dispatch_heap.h"
#include "runtime/rs/thread_record.h"
#include "testing/console_recorder.h"
#include "testing/temp_path.h"

namespace {

using lisp::lispval;
using lisp::makeFixnum;
using testing_support::LispCallResult;
namespace tr = lisp::thread_record;

constexpr int32_t kSyscallSlot = 0x17b;
constexpr uint8_t kByteVectorType = 125;  // 8-bit elements, fixnum length word
constexpr uint8_t kStringType = lisp::type_code::SimpleString;
constexpr uint32_t kFixnumLimit = 1u << 29;

class SystemServices : public gc_test::ServiceDispatchHeap {
 protected:
  SystemServices() : ServiceDispatchHeap(kSyscallSlot) {}
  void SetUp() override {
    ServiceDispatchHeap::SetUp();
    threadWord(tr::kValuesVectors) = nil();
  }
  void TearDown() override {
    cl_error = 0;
    ServiceDispatchHeap::TearDown();
  }

  // ---- arguments ----
  // A machine integer as Lisp code passes one: a fixnum, or a bignum above
  // the fixnum range.
  lispval integer(uint32_t value) {
    return value < kFixnumLimit ? makeFixnum(static_cast<int32_t>(value)) : bignum(value);
  }
  lispval address(const void* pointer) {
    return integer(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)));
  }
  // A vector of `elements` 8-bit (or 16-bit) elements holding `text`, every
  // element past it `fill`.
  lispval textVector(uint32_t elements, const std::string& text = "",
                     uint8_t type = kByteVectorType, char fill = 'x') {
    const uint32_t unitBytes = type == kStringType ? 2 : 1;
    std::vector<uint32_t> words = {(elements << 8) | type,
                                   makeFixnum(static_cast<int32_t>(elements))};
    std::vector<uint8_t> bytes(elements * unitBytes + 4, 0);
    for (uint32_t i = 0; i < elements; ++i)
      bytes[i * unitBytes] = static_cast<uint8_t>(i < text.size() ? text[i] : fill);
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
      uint32_t w;
      std::memcpy(&w, &bytes[i], 4);
      words.push_back(w);
    }
    return objectFrom(words);
  }
  lispval objectFrom(const std::vector<uint32_t>& words) {
    auto* storage =
        static_cast<uint32_t*>(objects_->allocate(static_cast<uint32_t>(4 * words.size() + 8)));
    std::copy(words.begin(), words.end(), storage);
    return lisp::wordOf(storage, lisp::Tag::Other);
  }
  // The text of a vector up to its first zero element.
  static std::string textOf(lispval vector) {
    const uint8_t type = static_cast<uint8_t>(gc_test::at(vector - 0x12) & 0xff);
    const uint32_t unitBytes = type == kStringType ? 2 : 1;
    const auto* data = reinterpret_cast<const uint8_t*>(lisp::objectAddress(vector) + 8);
    const auto elements = static_cast<uint32_t>(lisp::fixnumValue(gc_test::at(vector - 0xe)));
    std::string text;
    for (uint32_t i = 0; i < elements && data[i * unitBytes]; ++i)
      text += static_cast<char>(data[i * unitBytes]);
    return text;
  }

  // ---- answers ----
  // A boxed machine integer (fixnum or bignum).
  uint32_t machineWord(lispval answer) {
    return lisp::isFixnum(answer) ? static_cast<uint32_t>(lisp::fixnumValue(answer))
                                  : bignumMagnitude(answer);
  }
  // The native string whose address the answer holds; "<none>" for 0.
  std::string nativeText(lispval answer) {
    const uint32_t word = machineWord(answer);
    return word ? reinterpret_cast<const char*>(static_cast<uintptr_t>(word)) : "<none>";
  }
  std::vector<lispval> values(const LispCallResult& result) {
    EXPECT_EQ(result.carry, 1u);
    std::vector<lispval> items;
    for (uint32_t i = 0; i < result.ecx; ++i)
      items.push_back(i == 0   ? result.eax
                      : i == 1 ? result.edx
                               : lisp::wordAt(threadWord(tr::kValuesVectors),
                                              lisp::multiple_values::elementOffset(i + 1)));
    return items;
  }
  lispval one(int32_t code, std::initializer_list<lispval> arguments) {
    return oneValue(run(code, arguments));
  }
  // An inner dispatcher's failure: nil and cl_error (the error number as a
  // fixnum).
  int32_t failure(int32_t code, std::initializer_list<lispval> arguments) {
    return lisp::fixnumValue(secondOfNilAnd(run(code, arguments)));
  }
};

// Service codes of the inner dispatchers, as lisp_syscall takes them.
namespace code {
constexpr int32_t kShell = 0, kChdir = 14, kOpenStringFile = 25, kEarlyError = 33, kMkdir = 54,
                  kHome = 59, kEprintf = 67, kPatchError = 68, kPatchMessage = 69,
                  kServiceByName = 71, kRmdir = 75, kMixedConvert = 83;
constexpr int32_t kEightBit = 15, kPurify = 65, kUserName = 84, kAttributes = 85, kFirstLinked = 94,
                  kNextLinked = 95, kSystemLibrary = 96, kStatfs = 102, kSetLocale = 106,
                  kErrorText = 115;
}  // namespace code

// A host record whose write hook passes the console's text on to standard
// error, where a death test looks for it.
void consoleToStandardError() {
  static host::HostRecord record{};
  record.writeHook = [](int32_t, const char* buffer, int32_t length, int32_t*) {
    return static_cast<int32_t>(write(2, buffer, static_cast<size_t>(length)));
  };
  redir = reinterpret_cast<uint32_t*>(&record);
}

// ---- times ----

TEST_F(SystemServices, TimeZoneAndDaylightSavingFollowTz) {
  const char* saved = std::getenv("TZ");
  const std::string savedTz = saved ? saved : "";
  setenv("TZ", "EST5", 1);
  EXPECT_EQ(one(124, {}), makeFixnum(300));
  EXPECT_EQ(one(9, {}), makeFixnum(5));
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  EXPECT_EQ(one(124, {}), makeFixnum(-60));
  EXPECT_EQ(one(125, {integer(1593561600)}), makeFixnum(1));  // 2020-07-01
  EXPECT_EQ(one(125, {integer(1577836800)}), makeFixnum(0));  // 2020-01-01
  EXPECT_EQ(one(125, {makeFixnum(0)}), makeFixnum(-1));
  EXPECT_EQ(one(125, {makeFixnum(-5)}), makeFixnum(-1));
  if (saved)
    setenv("TZ", savedTz.c_str(), 1);
  else
    unsetenv("TZ");
}

lisp::os::ProcessTimeReading g_processTimes;

TEST_F(SystemServices, ProcessAndCollectorTimesComeBackAsValues) {
  lisp::os::setProcessTimeSource([](lisp::os::ProcessTimeReading* r) {
    *r = g_processTimes;
    return true;
  });
  g_processTimes = {3'250'000, 1'000'500};
  gcusec = 1, gcuusec = 500'000, gcssec = 0, gcsusec = 2'000;
  EXPECT_EQ(values(run(2, {})), (std::vector<lispval>{makeFixnum(3250), makeFixnum(1000),
                                                      makeFixnum(1500), makeFixnum(2)}));
  std::vector<lispval> micro = values(run(40, {}));
  ASSERT_EQ(micro.size(), 12u);
  EXPECT_EQ(
      std::vector<lispval>(micro.begin(), micro.begin() + 8),
      (std::vector<lispval>{makeFixnum(3), makeFixnum(250000), makeFixnum(1), makeFixnum(500),
                            makeFixnum(1), makeFixnum(500000), makeFixnum(0), makeFixnum(2000)}));
  for (size_t k = 8; k < 12; ++k) EXPECT_EQ(micro[k], nil()) << "page-fault value " << k;
  gcusec = gcuusec = gcssec = gcsusec = 0;
  lisp::os::setProcessTimeSource(nullptr);
}

// ---- environment and command line ----

TEST_F(SystemServices, EnvironmentReadsAndSetsVariables) {
  static const char kName[] = "SYSTEM_SERVICES_PROBE";
  setenv(kName, "first", 1);
  EXPECT_EQ(nativeText(one(10, {address(kName)})), "first");
  static const char kAssignment[] = "SYSTEM_SERVICES_PROBE=second";
  EXPECT_EQ(one(55, {address(kAssignment)}), nil());
  EXPECT_STREQ(std::getenv(kName), "second");
  static const char kNoValue[] = "SYSTEM_SERVICES_PROBE";
  EXPECT_EQ(one(55, {address(kNoValue)}), nil());  // no "=": nothing changes
  EXPECT_STREQ(std::getenv(kName), "second");
  unsetenv(kName);
  EXPECT_EQ(nativeText(one(10, {address(kName)})), "<none>");
  // No address: none, whatever stands in its place.
  for (const lispval notAnAddress : {makeFixnum(0), makeFixnum(5), nil(), textVector(8, "PATH")})
    EXPECT_EQ(nativeText(one(10, {notAnAddress})), "<none>");
}

TEST_F(SystemServices, ArgumentsByIndexEndBeforeTheCount) {
  char first[] = "lisp", second[] = "-q";
  char* vector[] = {first, second, nullptr};
  const int savedCount = sv_argc;
  char** const savedVector = sv_argv;
  sv_argc = 2;
  sv_argv = vector;
  EXPECT_EQ(one(105, {}), makeFixnum(2));
  EXPECT_EQ(nativeText(one(11, {makeFixnum(0)})), "lisp");
  EXPECT_EQ(nativeText(one(11, {makeFixnum(1)})), "-q");
  for (const lispval bad : {makeFixnum(2), makeFixnum(-1), nil(), textVector(4)})
    EXPECT_EQ(nativeText(one(11, {bad})), "<none>");
  sv_argc = savedCount;
  sv_argv = savedVector;
}

TEST_F(SystemServices, BaseNameTakesWhatFitsAndRefusesTheRest) {
  static const char kName[] = "quellmark";
  EXPECT_EQ(nativeText(one(39, {address(kName)})), "quellmark");
  const std::string tooLong(kBaseNameBytes, 'n');
  EXPECT_EQ(nativeText(one(39, {address(tooLong.c_str())})), "<none>");
  EXPECT_STREQ(sy_bname, "quellmark") << "a refused name leaves the old one";
  const std::string longest(kBaseNameBytes - 1, 'm');
  EXPECT_EQ(nativeText(one(39, {address(longest.c_str())})), longest);
  EXPECT_EQ(nativeText(one(39, {makeFixnum(0)})), longest) << "none: the buffer as it is";
}

// ---- names into Lisp vectors ----

TEST_F(SystemServices, WorkingDirectoryFillsAVectorThatHoldsIt) {
  char expected[PATH_MAX];
  ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
  for (const uint8_t type : {kByteVectorType, kStringType}) {
    const lispval room = textVector(512, "", type);
    EXPECT_EQ(one(4, {room, makeFixnum(0)}), room);
    EXPECT_EQ(textOf(room), expected);
  }
  // One element short of the text and its zero: nil, and nothing written.
  const uint32_t length = static_cast<uint32_t>(std::strlen(expected));
  const lispval small = textVector(length, "keep");
  EXPECT_EQ(one(4, {small, makeFixnum(0)}), nil());
  EXPECT_EQ(textOf(small), "keep" + std::string(length - 4, 'x'));
  EXPECT_EQ(one(4, {makeFixnum(3), makeFixnum(0)}), nil());
  EXPECT_EQ(one(4, {textVector(512), makeFixnum(3)}), nil()) << "no drive letters here";
}

TEST_F(SystemServices, HostAndUserNamesStayWithinTheirVectors) {
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  const lispval room = textVector(256);
  EXPECT_EQ(one(7, {room}), room);
  EXPECT_EQ(textOf(room), host);
  const lispval tiny = textVector(2, "ab");
  EXPECT_EQ(one(7, {tiny}), nil());
  EXPECT_EQ(textOf(tiny), "ab");

  const lispval user = textVector(64);
  const lispval size = one(code::kUserName, {user, makeFixnum(64)});
  ASSERT_TRUE(lisp::isFixnum(size));
  EXPECT_EQ(static_cast<size_t>(lisp::fixnumValue(size)), textOf(user).size() + 1);
  // The size given bounds the room even in a larger vector.
  const lispval bounded = textVector(64, "same");
  EXPECT_EQ(one(code::kUserName, {bounded, makeFixnum(1)}), nil());
  EXPECT_EQ(textOf(bounded).substr(0, 4), "same");
  EXPECT_EQ(one(code::kUserName, {nil(), makeFixnum(64)}), nil());
  EXPECT_EQ(one(code::kUserName, {user, nil()}), nil());
}

// ---- directories ----

class Directories : public SystemServices {
 protected:
  void SetUp() override {
    SystemServices::SetUp();
    ASSERT_NE(getcwd(saved_, sizeof saved_), nullptr);
    ::mkdir(base_.c_str(), 0700);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(saved_), 0);
    ::rmdir((base_ + "/made").c_str());
    ::rmdir(base_.c_str());
    SystemServices::TearDown();
  }
  std::string base_ = testing_support::processTempPath("dir");
  char saved_[PATH_MAX] = {};
};

TEST_F(Directories, MakeChangeAndRemoveReportTheirErrors) {
  const std::string made = base_ + "/made/";  // the trailing slash is dropped
  EXPECT_EQ(one(code::kMkdir, {address(made.c_str()), nil()}), makeFixnum(0));
  struct stat status {};
  EXPECT_EQ(::stat((base_ + "/made").c_str(), &status), 0);
  EXPECT_EQ(failure(code::kMkdir, {address(made.c_str()), nil()}), 17);  // exists
  EXPECT_EQ(one(code::kChdir, {address(made.c_str())}), nil());
  char now[PATH_MAX];
  ASSERT_NE(getcwd(now, sizeof now), nullptr);
  EXPECT_EQ(std::string(now), base_ + "/made");
  EXPECT_EQ(one(78, {address(base_.c_str())}), makeFixnum(1));
  EXPECT_EQ(one(code::kRmdir, {address(made.c_str())}), makeFixnum(0));
  EXPECT_EQ(failure(code::kRmdir, {address(made.c_str())}), 2);
  EXPECT_EQ(failure(code::kChdir, {address(made.c_str())}), 2);
  EXPECT_EQ(one(78, {address(made.c_str())}), makeFixnum(0));
  EXPECT_EQ(failure(code::kChdir, {makeFixnum(0)}), 22);
}

TEST_F(Directories, AttributesAndDiskSpace) {
  EXPECT_EQ(one(code::kAttributes, {address(base_.c_str())}), makeFixnum(0x10));
  const std::string file = base_ + "/.hidden";
  std::FILE* created = std::fopen(file.c_str(), "w");
  ASSERT_NE(created, nullptr);
  std::fclose(created);
  EXPECT_EQ(one(code::kAttributes, {address(file.c_str())}), makeFixnum(0x2));
  ::chmod(file.c_str(), 0400);
  if (geteuid() != 0) {
    EXPECT_EQ(one(code::kAttributes, {address(file.c_str())}), makeFixnum(0x3));
  }
  std::remove(file.c_str());
  EXPECT_EQ(failure(code::kAttributes, {address(file.c_str())}), 2);

  uint64_t total = 0, forCaller = 0, free = 0;
  EXPECT_EQ(one(code::kStatfs,
                {address(base_.c_str()), address(&total), address(&forCaller), address(&free)}),
            makeFixnum(0));
  EXPECT_GT(total, 0u);
  EXPECT_LE(forCaller, free);
  EXPECT_LE(free, total);
  EXPECT_EQ(failure(code::kStatfs,
                    {address(file.c_str()), address(&total), address(&forCaller), address(&free)}),
            2);
  for (const lispval bad : {makeFixnum(0), makeFixnum(8), textVector(8)})
    EXPECT_EQ(
        failure(code::kStatfs, {address(base_.c_str()), bad, address(&forCaller), address(&free)}),
        87);
}

// ---- libraries ----

TEST_F(SystemServices, ATestLibraryLoadsAndItsSymbolsAreFound) {
  static const char kPath[] = FOREIGN_LIBRARY_A;
  const lispval handle = one(41, {address(kPath)});
  ASSERT_NE(machineWord(handle), 0u);
  void* library = dlopen(kPath, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr);
  static const char kSymbol[] = "fta_add";
  EXPECT_EQ(machineWord(one(42, {handle, address(kSymbol)})),
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(dlsym(library, kSymbol))));
  static const char kMissing[] = "no_such_symbol";
  EXPECT_EQ(one(42, {handle, address(kMissing)}), makeFixnum(0));
  EXPECT_EQ(one(42, {handle, makeFixnum(7)}), makeFixnum(0)) << "ordinals find nothing";
  EXPECT_EQ(machineWord(one(44, {address(kPath)})), machineWord(handle));
  const lispval name = textVector(4096);
  EXPECT_EQ(one(70, {name, handle}), name);
  EXPECT_EQ(textOf(name), kPath);
  const lispval cut = textVector(8);
  EXPECT_EQ(one(70, {cut, handle}), cut);
  EXPECT_EQ(textOf(cut), std::string(kPath).substr(0, 7));
  // Numbers that name no loaded module find nothing and free nothing.
  static int notAModule[64];
  for (const lispval bogus : {address(notAModule), integer(0x12345678)}) {
    EXPECT_EQ(one(42, {bogus, address(kSymbol)}), makeFixnum(0));
    EXPECT_EQ(one(70, {name, bogus}), nil());
    EXPECT_EQ(one(43, {bogus}), makeFixnum(0));
  }
  dlclose(library);
  EXPECT_EQ(one(43, {handle}), makeFixnum(1));

  static const char kAbsent[] = "/nonexistent/libnothing.so";
  EXPECT_EQ(failure(41, {address(kAbsent)}), 126);
  EXPECT_EQ(one(44, {address(kAbsent)}), makeFixnum(0));
  // dlopen keeps working for everyone else.
  EXPECT_NE(dlopen(nullptr, RTLD_NOW), nullptr);
}

TEST_F(SystemServices, TheNullHandleNamesTheExecutable) {
  const uint32_t self =
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(dlopen(nullptr, RTLD_NOW)));
  EXPECT_EQ(machineWord(one(41, {makeFixnum(0)})), self);
  EXPECT_EQ(machineWord(one(44, {makeFixnum(0)})), self);
  static const char kSymbol[] = "strlen";
  EXPECT_EQ(machineWord(one(42, {makeFixnum(0), address(kSymbol)})),
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(dlsym(RTLD_DEFAULT, kSymbol))));
  char expected[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", expected, sizeof expected - 1), 0);
  const lispval name = textVector(PATH_MAX);
  EXPECT_EQ(one(70, {name, makeFixnum(0)}), name);
  EXPECT_EQ(textOf(name), expected);
  EXPECT_EQ(one(70, {makeFixnum(1), makeFixnum(0)}), nil()) << "no vector to fill";
}

TEST_F(SystemServices, TheTrampolineBranchBecomesJumpIfBelow) {
  alignas(4) uint8_t stub[4] = {0x90, 0xeb, 0x90, 0x90};
  global(lisp::os::kBranchStubOffset) =
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&stub[1]));
  ms_fixtramp();
  EXPECT_EQ(stub[1], 0x72);
  EXPECT_EQ(stub[0], 0x90);
  global(lisp::os::kBranchStubOffset) = 0;
  ms_fixtramp();  // no stub: nothing to set
}

TEST_F(SystemServices, LinkedLibrariesAreListedInTurn) {
  const lisp::os::LinkedLibrary system{"KERNEL.so", 1}, own{"own.so", 0};
  const lisp::os::LinkedLibrary* table[] = {&system, &own, nullptr};
  void* const saved = lisp_linked_shared_libraries;
  lisp_linked_shared_libraries = table;
  EXPECT_EQ(nativeText(one(code::kFirstLinked, {})), "KERNEL.so");
  EXPECT_EQ(nativeText(one(code::kNextLinked, {})), "own.so");
  EXPECT_EQ(nativeText(one(code::kNextLinked, {})), "<none>");
  EXPECT_EQ(nativeText(one(code::kNextLinked, {})), "<none>");
  EXPECT_EQ(nativeText(one(code::kFirstLinked, {})), "KERNEL.so");
  static const char kSystem[] = "kernel.so", kOwn[] = "own.so";
  EXPECT_EQ(one(code::kSystemLibrary, {address(kSystem)}), 4u);
  EXPECT_EQ(one(code::kSystemLibrary, {address(kOwn)}), 0u);
  lisp_linked_shared_libraries = nullptr;
  EXPECT_EQ(nativeText(one(code::kFirstLinked, {})), "<none>");
  lisp_linked_shared_libraries = saved;
}

TEST_F(SystemServices, HomeLibraryNameAndErrorTexts) {
  EXPECT_EQ(nativeText(one(code::kHome, {})), home_location);
  const char* const saved = lisp_shared_library_name;
  lisp_shared_library_name = nullptr;
  std::vector<lispval> answer = values(run(91, {}));
  ASSERT_EQ(answer.size(), 2u);
  EXPECT_EQ(nativeText(answer[0]), "unknown");
  lisp_shared_library_name = saved;

  const lispval text = one(code::kErrorText, {makeFixnum(2)});
  EXPECT_EQ(nativeText(text), std::strerror(ENOENT));
  std::free(reinterpret_cast<void*>(static_cast<uintptr_t>(machineWord(text))));
  EXPECT_EQ(nativeText(one(code::kErrorText, {makeFixnum(2100)})), "<none>");
  EXPECT_EQ(nativeText(one(code::kErrorText, {makeFixnum(0)})), "<none>");
  static const char kService[] = "http";
  EXPECT_EQ(nativeText(one(code::kServiceByName, {address(kService), makeFixnum(0)})),
            "unsupported");
}

TEST_F(SystemServices, LocaleCategoriesAreTheCRuntimes) {
  EXPECT_EQ(nativeText(one(code::kSetLocale, {makeFixnum(2), makeFixnum(0)})),
            setlocale(LC_CTYPE, nullptr));
  EXPECT_EQ(nativeText(one(code::kSetLocale, {makeFixnum(0), makeFixnum(0)})),
            setlocale(LC_ALL, nullptr));
  EXPECT_EQ(nativeText(one(code::kSetLocale, {makeFixnum(6), makeFixnum(0)})), "<none>");
  EXPECT_EQ(nativeText(one(code::kSetLocale, {makeFixnum(-1), makeFixnum(0)})), "<none>");
}

// ---- messages ----

TEST_F(SystemServices, MessagesPrintTheirExactTexts) {
  testing_support::ConsoleRecorder console;
  static const char kArgument[] = "-zz", kPatch[] = "sockets";
  EXPECT_EQ(one(58, {address(kArgument)}), nil());
  EXPECT_EQ(one(code::kPatchMessage, {address(kPatch), makeFixnum(3)}), nil());
  EXPECT_EQ(one(code::kEprintf, {textVector(9, "w=%lx,%d", kByteVectorType, '\0'), makeFixnum(0x2a),
                                 makeFixnum(-3)}),
            nil());
  EXPECT_EQ(one(code::kEprintf, {nil(), makeFixnum(1), makeFixnum(2)}), nil());
  // A format that would read memory through the words is not used.
  EXPECT_EQ(one(code::kEprintf,
                {textVector(3, "%s", kByteVectorType, '\0'), makeFixnum(1), makeFixnum(2)}),
            nil());
  EXPECT_EQ(console.console(),
            ";;; Warning: unknown command line argument: -zz\n"
            ";;; Installing sockets patch, version 3\n"
            "w=2a,-3\n"
            "results: 0x1 0x2\n"
            "results: 0x1 0x2\n");
}

TEST_F(SystemServices, APatchErrorEndsTheLispWithStatusOne) {
  static const char kText[] = "bad fasl";
  EXPECT_EXIT((consoleToStandardError(), run(code::kPatchError, {address(kText)})),
              testing::ExitedWithCode(1), ";;; Error: problem loading patch:\n bad fasl\n");
}

TEST_F(SystemServices, AnEarlyErrorShowsItsMessageAndAborts) {
  const lispval message = textVector(4, "oops", kStringType);
  EXPECT_DEATH((consoleToStandardError(), run(code::kEarlyError, {message})),
               "Error message:\n oops\n");
  EXPECT_DEATH((consoleToStandardError(), run(code::kEarlyError, {makeFixnum(1)})),
               "Error format arglist: 0x4\n");
}

// ---- the mode line ----

TEST_F(SystemServices, TheModeLineWritesThroughTheHostRecord) {
  testing_support::ConsoleRecorder console;
  constexpr int32_t kLine = 9;
  EXPECT_EQ(one(52, {makeFixnum(2), nil()}), makeFixnum(0));  // no mode line yet
  EXPECT_EQ(one(52, {makeFixnum(0), textVector(4, "None")}), makeFixnum(0));
  EXPECT_EQ(console.descriptorsWritten(), 0u);
  EXPECT_EQ(one(52, {makeFixnum(1), makeFixnum(kLine)}), makeFixnum(0));
  EXPECT_EQ(wakeup_hook_p(), kLine);
  EXPECT_EQ(one(52, {makeFixnum(0), textVector(4, "Load")}), makeFixnum(4));
  EXPECT_EQ(one(52, {makeFixnum(0), textVector(3, "abc")}), makeFixnum(0)) << "fewer than four";
  for (const int32_t code : {2, 3, 6}) EXPECT_EQ(one(52, {makeFixnum(code), nil()}), makeFixnum(0));
  EXPECT_EQ(machineWord(one(52, {makeFixnum(4), nil()})),
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&mode_line_gc)));
  EXPECT_EQ(machineWord(one(52, {makeFixnum(5), nil()})),
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&mode_line_gc_end)));
  EXPECT_EQ(one(52, {makeFixnum(7), nil()}), makeFixnum(0));
  one(52, {makeFixnum(3), nil()});
  mode_line_gc();
  mode_line_gc_end();
  EXPECT_EQ(console.textOf(kLine), "LoadRun Idle    IdleGC  Idle");
  // A failed write ends the mode line.
  console.answer() = 0;
  EXPECT_EQ(one(52, {makeFixnum(0), textVector(4, "Lost")}), makeFixnum(0));
  EXPECT_EQ(mode_line_fd, 0);
  console.answer() = -1;
  one(52, {makeFixnum(2), nil()});
  EXPECT_EQ(console.textOf(kLine), "LoadRun Idle    IdleGC  IdleLost");
}

// ---- answers at once ----

TEST_F(SystemServices, FixedAnswers) {
  const lispval object = textVector(4);
  EXPECT_EQ(one(code::kPurify, {object}), object);
  EXPECT_EQ(one(code::kEightBit, {makeFixnum(0)}), 4u);
  EXPECT_EQ(one(code::kShell, {makeFixnum(0)}), makeFixnum(-1));
  EXPECT_EQ(one(37, {}), makeFixnum(0));
  EXPECT_EQ(one(36, {}), makeFixnum(-1));
  for (const int32_t unixCode : {5, 6, 34}) EXPECT_EQ(one(unixCode, {nil()}), makeFixnum(0));
  EXPECT_EQ(one(code::kMixedConvert, {t()}), t());
  EXPECT_EQ(mixed_case_convert, 1u);
  EXPECT_EQ(one(code::kMixedConvert, {nil()}), nil());
  EXPECT_EQ(mixed_case_convert, 0u);
  static const char kMissing[] = "/nonexistent/strings";
  EXPECT_EQ(one(code::kOpenStringFile, {address(kMissing)}), makeFixnum(-1));
}

// ---- early entry points ----

class EarlyEntryPoints : public SystemServices {
 protected:
  lispval entryNamed(const std::string& name) {
    const lispval text = textVector(static_cast<uint32_t>(name.size()), name, kStringType);
    return objectFrom({(6u << 8) | lisp::type_code::EntryVector, text, 0, 0, 0, 0, 0});
  }
};

TEST_F(EarlyEntryPoints, AnEntryTakesTheAddressAndTheHandleThatHadIt) {
  const lispval entry = entryNamed("strlen");
  preset_entry_vec(entry);
  EXPECT_EQ(lisp::wordAt(entry, lisp::entry_vec::kCallAddress),
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(dlsym(RTLD_DEFAULT, "strlen"))));
  EXPECT_EQ(lisp::wordAt(entry, lisp::entry_vec::kHandle),
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(dlopen(nullptr, RTLD_NOW))));
}

TEST_F(EarlyEntryPoints, AMissingEntryEndsTheLispWithStatusOne) {
  const lispval entry = entryNamed("no_such_entry_point");
  EXPECT_EXIT((consoleToStandardError(), preset_entry_vec(entry)), testing::ExitedWithCode(1),
              "\nCannot pre-initialize entry vec for no_such_entry_point\n");
}

TEST_F(EarlyEntryPoints, EveryEntryOfTheListIsBound) {
  void* const savedLibrary = lisp_shared_library_handle;
  lisp_shared_library_handle = dlopen(KORVANE_PATH, RTLD_NOW | RTLD_LOCAL);  // has lisp_init
  ASSERT_NE(lisp_shared_library_handle, nullptr);
  const lispval first = entryNamed("strlen"), second = entryNamed("memcpy");
  const auto cons = [this](lispval car, lispval cdr) {
    auto* cell = static_cast<uint32_t*>(objects_->allocate(8));
    cell[0] = car;
    cell[1] = cdr;
    return lisp::wordOf(cell, lisp::Tag::Cons);
  };
  global(lisp::os::kEarlyEntryPointsOffset) = cons(first, cons(makeFixnum(3), cons(second, nil())));
  preset_early_entry_points();
  EXPECT_EQ(lisp::wordAt(first, lisp::entry_vec::kCallAddress),
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(dlsym(RTLD_DEFAULT, "strlen"))));
  EXPECT_EQ(lisp::wordAt(second, lisp::entry_vec::kCallAddress),
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(dlsym(RTLD_DEFAULT, "memcpy"))));
  global(lisp::os::kEarlyEntryPointsOffset) = nil();
  dlclose(lisp_shared_library_handle);
  lisp_shared_library_handle = savedLibrary;
}

TEST_F(EarlyEntryPoints, TheListIsBoundAfterTheMainEntryIsFound) {
  void* const savedLibrary = lisp_shared_library_handle;
  void* runtime = dlopen(FOREIGN_LIBRARY_A, RTLD_NOW);
  ASSERT_NE(runtime, nullptr);
  // Neither this program nor the library has the main entry.
  lisp_shared_library_handle = runtime;
  EXPECT_EXIT((consoleToStandardError(), preset_early_entry_points()), testing::ExitedWithCode(1),
              "\nCannot find address for the lisp_init entry-point. \n"
              "It is likely that if the Vexmora CL shared-library was\n"
              "dynamically loaded, its handle was not passed to ~s.\n");
  lisp_shared_library_handle = savedLibrary;
  dlclose(runtime);
}

}  // namespace
