// The start-up module's routines on a fresh heap: getstorage's first objects
// in both case modes, and the runtime routines through their entry slots
// with the Lisp register conventions (set_boot_mode, dumplisp with good and
// bad names, lispexit in a child, the pure-string routines, where_am_i*,
// save_fcw, _scalbn).
#include "runtime/load/startup_routines.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "runtime/gc/allocation.h"
#include "runtime/gc/gc_state.h"
#include "runtime/load/build_from_scratch.h"
#include "runtime/load/fasl_loader.h"
#include "runtime/load/first_lisp_thread.h"
#include "runtime/load/first_objects.h"
#include "runtime/load/native_variables.h"
#include "runtime/load/scale_by_power_of_two.h"
#include "runtime/load/string_file.h"
#include "runtime/load/symbol_name_hash.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/object_routines.h"
#include "testing/lisp_routine_heap.h"
#include "testing/run_program.h"
#include "testing/temp_path.h"

extern "C" {
extern uint32_t items;
extern lisp::lispval tval;
}

namespace {

using gc_test::at;
using lisp::lispval;
namespace nb = lisp::nil_block;
namespace fo = startup::first_objects;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;

constexpr int32_t kDumplisp = 0x14f;
constexpr int32_t kLispexit = 0x167;
constexpr int32_t kSetBootMode = 0x183;
constexpr int32_t kGetPureString = 0x187;
constexpr int32_t kWritePureString = 0x19f;
constexpr int32_t kWhereAmI = 0x77;
constexpr int32_t kWhereAmI2 = 0x7b;
constexpr uint32_t kSmallTable = 211;
constexpr int32_t kScavengeCount = -0x15 - 4 * 64;

std::u16string wide(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

class StartupRoutines : public gc_test::LispRoutineHeap {
 protected:
  void SetUp() override {
    LispRoutineHeap::SetUp();
    saved_ = {oblist, ob_size, items, init_case_mode, bootmode, reborn, tval};
    oblist = nullptr;
    ob_size = kSmallTable;
    items = 0;
  }
  void TearDown() override {
    if (str_file != 0) close_str_file();
    oblist = saved_.oblist;
    ob_size = saved_.obSize;
    items = saved_.items;
    init_case_mode = saved_.caseMode;
    bootmode = saved_.bootmode;
    reborn = saved_.reborn;
    tval = saved_.t;
    LispRoutineHeap::TearDown();
  }

  lispval makeString(const std::u16string& text) {
    const lispval string =
        new_lisp_obj(lisp::type_code::SimpleString, static_cast<uint32_t>(text.size()), 0);
    std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(string - 0xa)), text.data(),
                2 * text.size());
    return string;
  }
  std::u16string nameOf(lispval symbol) {
    const lispval name = lisp::objectOf<lisp::SymbolObject>(symbol)->name;
    const uint32_t count = static_cast<uint32_t>(lisp::fixnumValue(at(name - 0xe)));
    return std::u16string(reinterpret_cast<const char16_t*>(static_cast<uintptr_t>(name - 0xa)),
                          count);
  }
  lispval lookUp(const std::string& name) {
    return addob(makeString(wide(name)), static_cast<uint32_t>(name.size()), 1);
  }
  lispval valueOf(lispval symbol) {
    return lisp::objectOf<lisp::SymbolObject>(symbol)->globalValue;
  }
  lispval t() const { return nb::tFor(nil()); }
  LispCallResult callSlot(int32_t slot, uint32_t eax, uint32_t edx = 0, uint32_t arg3 = 0) {
    LispCallSetup setup = setupFor(slot, eax, edx, 2);
    setup.stack[0] = setup.stack[1] = nil();
    setup.stack[2] = arg3;
    return call(setup);
  }
  LispCallResult callRoutine(void (*routine)()) {
    LispCallSetup setup = setupFor(0);
    setup.target = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
    return call(setup);
  }

  struct Saved {
    lispval* oblist;
    uint32_t obSize, items, caseMode, bootmode, reborn;
    lispval t;
  } saved_{};
};

// ---- getstorage ----

struct StartupSymbolCase {
  const char* lower;
  const char* upper;
  int32_t global;  // 0: only in the symbol table
};
constexpr StartupSymbolCase kStartupSymbols[] = {
    {"*empty-entry-marker*", "*EMPTY-ENTRY-MARKER*", 0},
    {"*deleted-entry-marker*", "*DELETED-ENTRY-MARKER*", 0},
    {"thread", "THREAD", 0},
    {"*load-xref-info*", "*LOAD-XREF-INFO*", fo::kLoadXrefInfo},
    {"*load-source-file-info*", "*LOAD-SOURCE-FILE-INFO*", fo::kLoadSourceFileInfo},
    {"*load-source-debug-info*", "*LOAD-SOURCE-DEBUG-INFO*", fo::kLoadSourceDebugInfo},
    {"*load-local-names-info*", "*LOAD-LOCAL-NAMES-INFO*", fo::kLoadLocalNamesInfo},
    {"*encapsulation-count*", "*ENCAPSULATION-COUNT*", fo::kEncapsulationCount},
};

TEST_F(StartupRoutines, GetstorageMakesTheStartupSymbolsFindableInEitherCaseMode) {
  for (uint32_t caseMode : {0u, 3u}) {
    SCOPED_TRACE(caseMode);
    init_case_mode = caseMode;
    oblist = nullptr;
    items = 0;
    getstorage();
    ASSERT_EQ(items, 8u);
    for (const StartupSymbolCase& entry : kStartupSymbols) {
      const std::string name = caseMode == 0 ? entry.lower : entry.upper;
      const lispval symbol = lookUp(name);
      EXPECT_EQ(items, 8u) << name << " was made anew, not found";
      EXPECT_EQ(nameOf(symbol), wide(name));
      EXPECT_EQ(at(symbol - 0xf) >> 8, sshash(reinterpret_cast<const uint16_t*>(wide(name).data()),
                                              static_cast<uint32_t>(name.size())));
      if (entry.global != 0) {
        EXPECT_EQ(global(entry.global), symbol) << name;
      }
    }
    const lispval table = global(fo::kSymbolTable);
    EXPECT_EQ(at(table - 0x12) & 0xff, lisp::type_code::SimpleVector);
    EXPECT_EQ(at(table - 0xe), lisp::makeFixnum(kSmallTable));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(oblist), uintptr_t{lisp::objectAddress(table) + 8});
    EXPECT_EQ(nameOf(t()), caseMode == 0 ? u"t" : u"T");
  }
}

TEST_F(StartupRoutines, GetstorageSetsTAndTheFixedObjectsAndTheVersions) {
  raz_start_xi = 1, raz_start_sfi = 0, raz_start_sld = 1, raz_start_lni = 0;
  getstorage();
  EXPECT_EQ(tval, t());
  EXPECT_EQ(valueOf(t()), t());
  EXPECT_EQ(at(t() - 0xf), (sshash(reinterpret_cast<const uint16_t*>(u"t"), 1) << 8) | 7);
  EXPECT_EQ(lisp::car(nil()), nil());
  EXPECT_EQ(lisp::cdr(nil()), nil());
  const lispval marker = global(nb::global::kUnboundMarker);
  EXPECT_EQ(lisp::cdr(marker), nil());
  EXPECT_EQ(
      std::u16string(
          reinterpret_cast<const char16_t*>(static_cast<uintptr_t>(lisp::car(marker) - 0xa)), 13),
      u"Unbound Value");
  const lispval initial = global(nb::global::kInitialFunction);
  EXPECT_EQ(at(initial - 0x12) & 0xff, lisp::type_code::Function);
  EXPECT_EQ(at(lookUp("thread") - 0xb), initial);
  EXPECT_EQ(valueOf(global(fo::kLoadXrefInfo)), t());
  EXPECT_EQ(valueOf(global(fo::kLoadSourceFileInfo)), nil());
  EXPECT_EQ(valueOf(global(fo::kLoadSourceDebugInfo)), t());
  EXPECT_EQ(valueOf(global(fo::kLoadLocalNamesInfo)), nil());
  EXPECT_EQ(valueOf(global(fo::kEncapsulationCount)), global(nb::global::kUnboundMarker));
  EXPECT_EQ(at(nil() + fo::kFloatConstants) & 0xffff, 0x27fu);
  EXPECT_EQ((std::array{faslversion, min_faslversion, rsversion, min_rsversion}),
            (std::array{61u, 61u, 31u, 31u}));
  raz_start_xi = 1, raz_start_sfi = 1, raz_start_sld = 0, raz_start_lni = 1;
}

TEST_F(StartupRoutines, TheSymbolsSurviveACollection) {
  getstorage();
  const lispval before = lookUp("thread");
  EXPECT_EQ(items, 8u);
  scavenge(0);
  const lispval after = lookUp("thread");
  EXPECT_EQ(items, 8u);
  EXPECT_EQ(nameOf(after), u"thread");
  EXPECT_EQ(nameOf(t()), u"t");
  (void)before;
}

// ---- set_boot_mode ----

TEST_F(StartupRoutines, SetBootModeZeroDropsTheSymbolTable) {
  getstorage();
  const LispCallResult keep = callSlot(kSetBootMode, lisp::makeFixnum(2));
  EXPECT_EQ(keep.eax, lisp::makeFixnum(2));
  EXPECT_EQ(keep.carry, 0u);
  EXPECT_EQ(bootmode, 2u);
  EXPECT_NE(global(fo::kSymbolTable), nil());
  const LispCallResult drop = callSlot(kSetBootMode, lisp::makeFixnum(0));
  EXPECT_EQ(drop.eax, lisp::makeFixnum(0));
  EXPECT_EQ(bootmode, 0u);
  EXPECT_EQ(global(fo::kSymbolTable), nil());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(oblist), uintptr_t{nil()});
}

// ---- dumplisp ----

class Dumplisp : public StartupRoutines {
 protected:
  void SetUp() override {
    StartupRoutines::SetUp();
    getstorage();
  }
  // The address as Lisp code passes it: a fixnum, or a bignum of two
  // 16-bit digits above the fixnums.
  lispval integerFor(uint32_t address) {
    if (address <= 0x1fffffff) return lisp::makeFixnum(static_cast<int32_t>(address));
    const lispval bignum = new_lisp_obj(lisp::type_code::Bignum, 2, 0);
    at(bignum - 0x12) = lisp::bignumHeader(2);
    at(bignum - 0xe) = address;
    return bignum;
  }
  LispCallResult dump(uint32_t nameAddress) {
    return callSlot(kDumplisp, integerFor(nameAddress), nil(), nil());
  }
};

TEST_F(Dumplisp, ABadNameAddressGivesFourBeforeAnyCollection) {
  // A name whose zero lies beyond 4096 bytes, and one that runs into a page
  // that cannot be read.
  void* pages = mmap(nullptr, 3 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(pages, MAP_FAILED);
  auto* bytes = static_cast<char*>(pages);
  std::memset(bytes, 'a', 3 * 4096);
  bytes[3 * 4096 - 1] = 0;
  ASSERT_EQ(mprotect(bytes + 2 * 4096, 4096, PROT_NONE), 0);
  const auto address = [](const char* p) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
  };
  const struct {
    const char* what;
    uint32_t name;
  } cases[] = {
      {"zero", 0},
      {"unmapped", 0x1000},
      {"no zero within 4096 bytes", address(bytes)},
      {"runs into an unreadable page", address(bytes + 4096 + 100)},
      {"starts on an unreadable page", address(bytes + 2 * 4096)},
  };
  const uint32_t scavenges = global(kScavengeCount);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const LispCallResult result = dump(c.name);
    EXPECT_EQ(result.eax, lisp::makeFixnum(4));
    EXPECT_EQ(result.carry, 0u);
  }
  EXPECT_EQ(global(kScavengeCount), scavenges);
  EXPECT_EQ(reborn, 0u);
  munmap(pages, 3 * 4096);
}

TEST_F(Dumplisp, ANegativeOrNonIntegerNameGivesFour) {
  for (lispval name : {lisp::makeFixnum(-8), nil(), t()}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(callSlot(kDumplisp, name, nil(), nil()).eax, lisp::makeFixnum(4));
  }
}

TEST_F(Dumplisp, AGoodNameSavesAnImageThatRestores) {
  const std::string path = testing_support::processTempPath("dumped.vxi");
  std::filesystem::remove(path);
  const uint32_t scavenges = global(kScavengeCount);
  const LispCallResult result =
      dump(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(path.c_str())));
  EXPECT_EQ(result.eax, lisp::makeFixnum(0));
  EXPECT_EQ(reborn, 1u);
  EXPECT_NE(global(kScavengeCount), scavenges) << "dumplisp collects first";
  ASSERT_TRUE(std::filesystem::exists(path));
  const testing_support::ProgramRun run =
      testing_support::runProgram(IMAGE_HOST_PATH, {"restore", "--", "prog", "-I", path});
  EXPECT_EQ(run.exitStatus, 0) << run.standardOutput << run.standardError;
  char line[64];
  std::snprintf(line, sizeof line, "nil %08x t %08x", nil(), t());
  EXPECT_NE(run.standardOutput.find(line), std::string::npos) << run.standardOutput;
  EXPECT_NE(run.standardOutput.find("reborn 1\n"), std::string::npos) << run.standardOutput;
  std::filesystem::remove(path);
}

TEST_F(Dumplisp, ANameWhereNoFileCanBeMadeGivesThree) {
  const std::string path = testing_support::processTempPath("no-such-directory/x.vxi");
  const LispCallResult result =
      dump(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(path.c_str())));
  EXPECT_EQ(result.eax, lisp::makeFixnum(3));
}

// ---- lispexit ----

TEST_F(StartupRoutines, LispexitClosesTheStringFileAndExitsWithTheStatus) {
  const std::string path = testing_support::processTempPath("strings");
  EXPECT_EXIT(
      {
        if (open_str_file(path.c_str()) < 0) std::_Exit(90);
        const std::u16string text = u"abc";
        write_str_file(reinterpret_cast<const uint16_t*>(text.data()), 3, 0);
        callSlot(kLispexit, lisp::makeFixnum(37));
      },
      ::testing::ExitedWithCode(37), "");
  std::ifstream in(path, std::ios::binary);
  uint32_t header[2] = {};
  in.read(reinterpret_cast<char*>(header), sizeof header);
  // The header is written as zeros on opening and holds the (downward)
  // record count only once the file is closed.
  EXPECT_EQ(header[0], 0xffffffffu) << "the closed file's header counts its one record";
  std::filesystem::remove(path);
}

// ---- pure strings ----

TEST_F(StartupRoutines, WritePureStringWritesOnlyIntoAnOpenFileAndWithinTheString) {
  getstorage();
  const lispval string = makeString(u"abcd");
  EXPECT_EQ(callSlot(kWritePureString, string, nil(), lisp::makeFixnum(4)).eax, nil());
  const std::string path = testing_support::processTempPath("strings");
  ASSERT_GE(open_str_file(path.c_str()), 0);
  EXPECT_EQ(callSlot(kWritePureString, string, nil(), lisp::makeFixnum(5)).eax, nil());
  EXPECT_EQ(callSlot(kWritePureString, string, nil(), lisp::makeFixnum(-1)).eax, nil());
  EXPECT_EQ(str_file_count, 0u);
  EXPECT_EQ(callSlot(kWritePureString, string, t(), lisp::makeFixnum(3)).eax, t());
  EXPECT_EQ(str_file_count, 0xffffffffu) << "one record (the count runs downward)";
  close_str_file();
  std::filesystem::remove(path);
}

TEST_F(StartupRoutines, GetPureStringWithoutALibraryOrBeyondTheStringIsNil) {
  const lispval string = makeString(u"abcd");
  for (int32_t count : {-1, 0, 4, 5}) {
    SCOPED_TRACE(count);
    const LispCallResult result = callSlot(kGetPureString, string, lisp::makeFixnum(count));
    EXPECT_EQ(result.eax, nil());
    EXPECT_EQ(result.carry, 0u);
  }
}

// ---- entering the Lisp world ----

TEST_F(StartupRoutines, FirstLispThreadHandsTheThreadObjectAndOneToTheStartFunction) {
  const lispval savedFirst = first_thread;
  const lispval savedReady = ready_thread_queue;
  const lispval savedWaiting = waiting_thread_queue;
  first_thread = thread_;
  ready_thread_queue = lisp::makeFixnum(11);
  waiting_thread_queue = lisp::makeFixnum(12);
  const lispval start = objects_->makeFunction(testing_support::recorderAddress());
  global(-0x15 - 4 * 313) = start;
  testing_support::resetRecorder(lisp::makeFixnum(5));
  LispCallSetup setup = setupFor(0);
  setup.target = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&first_lisp_thread));
  const LispCallResult result = call(setup);
  EXPECT_EQ(result.eax, lisp::makeFixnum(5)) << "the start function's value";
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, thread_);
  EXPECT_EQ(lisp_recorder_log.calls[0].edx, lisp::makeFixnum(1));
  EXPECT_EQ(lisp_recorder_log.calls[0].ecx & 0x7f, 2u);
  const auto slot = [&](int32_t n) { return threadWord(lisp::thread_record::wordOffset(n)); };
  const auto& slots = startup::first_thread::kThreadObjectSlots;
  EXPECT_EQ(slot(slots.readyQueue), lisp::makeFixnum(11));
  EXPECT_EQ(slot(slots.waitingQueue), lisp::makeFixnum(12));
  EXPECT_EQ(slot(slots.firstThread), thread_);
  EXPECT_TRUE(lisp::isFixnum(slot(slots.startSeconds)));
  EXPECT_GT(lisp::fixnumValue(slot(slots.startSeconds)), 0);
  EXPECT_TRUE(lisp::isFixnum(slot(slots.startMilliseconds)));
  EXPECT_EQ(slot(slots.counter), lisp::makeFixnum(0));

  // Without a start function nothing is called and the result is nil.
  global(-0x15 - 4 * 313) = nil();
  testing_support::resetRecorder(nil());
  EXPECT_EQ(call(setup).eax, nil());
  EXPECT_EQ(lisp_recorder_log.count, 0u);
  first_thread = savedFirst;
  ready_thread_queue = savedReady;
  waiting_thread_queue = savedWaiting;
}

// ---- register-level routines ----

TEST_F(StartupRoutines, WhereAmIGivesTheCallersContinuationInItsRegister) {
  const uint32_t continuation =
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&lisp_harness_return));
  const LispCallResult first = call(setupFor(kWhereAmI, 0, 11, 22));
  EXPECT_EQ(first.eax, continuation);
  EXPECT_EQ(first.edx, 11u);
  const LispCallResult second = call(setupFor(kWhereAmI2, 33, 0, 22));
  EXPECT_EQ(second.edx, continuation);
  EXPECT_EQ(second.eax, 33u);
  LispCallSetup fifth = setupFor(0, 33, 11, 0);
  fifth.target = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&where_am_i_5));
  const LispCallResult third = call(fifth);
  EXPECT_EQ(third.ecx, continuation);
  EXPECT_EQ((std::array{third.eax, third.edx}), (std::array{33u, 11u}));
}

TEST_F(StartupRoutines, SaveFcwStoresTheControlWordInForce) {
  uint16_t inForce = 0;
  asm volatile("fnstcw %0" : "=m"(inForce));
  auto* saved =
      reinterpret_cast<uint16_t*>(static_cast<uintptr_t>(nil() + nb::global::kFloatControlWord));
  *saved = 0;
  callRoutine(save_fcw);
  EXPECT_EQ(*saved, inForce);
  *saved = nb::kFreshFloatControlWord;
}

TEST(ScaleByPowerOfTwo, ScalesExactlyAndRoundsOnce) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double x;
    int n;
    double expected;
  } cases[] = {
      {1.0, 3, 8.0},
      {3.0, -1, 1.5},
      {-2.5, 0, -2.5},
      {0.0, 100, 0.0},
      {1.0, 5000, inf},
      {-1.0, 5000, -inf},
      {1.0, -1074, std::numeric_limits<double>::denorm_min()},
      {1.0, -5000, 0.0},
      {0x1.8p-1060, -10, 0x1.8p-1070},
      {std::numeric_limits<double>::max(), -1, std::numeric_limits<double>::max() / 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.x);
    SCOPED_TRACE(c.n);
    EXPECT_EQ(_scalbn(c.x, c.n), c.expected);
  }
  EXPECT_TRUE(std::isnan(_scalbn(std::nan(""), 4)));
}

}  // namespace
