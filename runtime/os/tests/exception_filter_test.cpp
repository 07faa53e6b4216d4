// The runtime's exception filter and the Lisp thread's exception frame: the
// decision for each (fault, first byte, place, flags) through the shared
// classification table and the filter, real faults on a real thread inside
// setupstack_xhandler, faults that are passed on ending a child process by
// their signal, the executable-stack probe, the launcher's interrupt landing
// a spinning heap owner in fake_a_segv, and the platform runtime's signal.
#include "runtime/os/exception_filter.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/code_memory.h"
#include "platform/faults.h"
#include "platform/thread_block.h"
#include "runtime/gc/gc_state.h"
#include "runtime/load/image_file.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/small_services.h"
#include "runtime/load/startup.h"
#include "runtime/os/exception_frame.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/lisp_guarded_region.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/os_threads.h"
#include "runtime/os/signal_emulation.h"
#include "runtime/os/thread_storage.h"
#include "runtime/os/tests/heap_lock_fixture.h"
#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/lisp_presence.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/trap_handlers.h"
#include "testing/console_host_record.h"
#include "testing/console_recorder.h"
#include "testing/emulation.h"
#include "testing/watchdog.h"

extern "C" {
void heap_owner_spin_exit();
uint32_t heap_owner_spin();
extern volatile uint32_t heap_owner_spinning;
void start_of_fi_runtime();
void end_of_fi_runtime();
}

namespace {

using namespace std::chrono_literals;
namespace code = platform::exception_code;
using heap_lock_test::HeapLock;
namespace tr = lisp::thread_record;
using lisp::os::kTrapGeneralSignal;
using lisp::os::kTrapHalt;
using lisp::os::kTrapInterrupt;
using platform::ExceptionRecord;
using platform::ProcessorContext;

constexpr size_t kCodeBytes = 4096;
constexpr uint32_t kLandingValue = 0x5a;

uint32_t addressOf(const void* place) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(place));
}
uint32_t addressOf(void (*routine)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
}

// ---- the recording deliveries ----

struct Delivered {
  int32_t kind;
  bool withRecord;
  uint32_t faultAddress;  // the record's second information word
  uint32_t trapAddress;   // the context's eip when delivered
  uint32_t inhibitDuring;
  uint32_t count;
};
Delivered delivered;
uint32_t resumeAt = 0;  // where the recording syncsig1x sends the thread (0: leave eip)
bool refuseTraps = false;

uint32_t recordingSyncsig1x(int32_t kind, ExceptionRecord* record, ProcessorContext* context) {
  delivered = {kind,         record != nullptr, record ? record->information[1] : 0,
               context->eip, inhibitprof,       delivered.count + 1};
  if (refuseTraps) return 0;
  if (resumeAt) context->eip = resumeAt;
  return context->eip;
}

struct Interrupted {
  int signal;
  uint32_t eip;
  uint32_t count;
};
Interrupted interrupted;
uint32_t gotsigAsksFor = 0;  // the resume address the recording gotsig puts in

int recordingGotsig(int signal, void*, platform::ThreadContext* context) {
  interrupted = {signal, context->eip, interrupted.count + 1};
  if (gotsigAsksFor) context->eip = gotsigAsksFor;
  return 1;
}

int32_t startupFilterAnswer = 1;
int32_t startupFilter(uint32_t, ExceptionRecord*) {
  return startupFilterAnswer;
}

class ExceptionFilter : public HeapLock {
 protected:
  void SetUp() override {
    HeapLock::SetUp();
    inside_ = static_cast<uint8_t*>(platform::allocateCodeMemory(kCodeBytes));
    outside_ = static_cast<uint8_t*>(platform::allocateCodeMemory(kCodeBytes));
    ASSERT_NE(inside_, nullptr);
    ASSERT_NE(outside_, nullptr);
    lisp::os::setExtraLispCode(addressOf(inside_), addressOf(inside_) + kCodeBytes);
    lisp::os::setTrapDelivery({recordingSyncsig1x, recordingGotsig});
    delivered = {};
    interrupted = {};
    resumeAt = 0;
    refuseTraps = false;
    gotsigAsksFor = 0;
    saved_ = {pass_on_unhandled_exceptions,
              as_exception_filter,
              as_setupstack,
              disallow_mapping,
              dep_style_vpl,
              inhibitprof};
  }
  void TearDown() override {
    lisp::os::setTrapDelivery({});
    lisp::os::setExtraLispCode(0, 0);
    pass_on_unhandled_exceptions = saved_.passOn;
    as_exception_filter = saved_.asFilter;
    as_setupstack = saved_.asSetupstack;
    disallow_mapping = saved_.disallow;
    dep_style_vpl = saved_.depStyle;
    inhibitprof = saved_.inhibit;
    probing_executable_stack = 0;
    InScavenge = GsInGlobalGc = 0;
    platform::releaseCodeMemory(inside_, kCodeBytes);
    platform::releaseCodeMemory(outside_, kCodeBytes);
    HeapLock::TearDown();
  }

  // The owner's spin loop counts as compiled Lisp code, where a forced
  // break may land.
  static void spinningInLispCode() {
    lisp::os::setExtraLispCode(addressOf(reinterpret_cast<const void*>(heap_owner_spin)),
                               addressOf(heap_owner_spin_exit));
  }

  // A fault as the platform layer hands it over: classified by the shared
  // table from the Linux facts, at an instruction whose bytes are `bytes`.
  struct Fault {
    uint32_t code;
    ExceptionRecord record;
    ProcessorContext context;
  };
  Fault fault(int linuxSignal, int siCode, std::vector<uint8_t> bytes, bool inLisp,
              uint32_t address = 0) {
    uint8_t* at = (inLisp ? inside_ : outside_) + 16;
    std::memcpy(at, bytes.data(), bytes.size());
    Fault f{};
    f.context.eip = addressOf(at);
    if (linuxSignal == SIGTRAP) f.context.eip += 1;  // int3 reports the byte after
    f.code = platform::classifyFault({linuxSignal, siCode, address}, &f.context);
    f.record.code = f.code;
    f.record.address = f.context.eip;
    f.record.informationCount = 2;
    f.record.information[1] = address;
    return f;
  }
  int32_t filter(Fault& f) {
    platform::ExceptionPointers pointers{&f.record, &f.context};
    return lisp_exception_filter(f.code, &pointers);
  }

  struct Saved {
    int passOn;
    void* asFilter;
    void* asSetupstack;
    int disallow;
    int depStyle;
    uint32_t inhibit;
  } saved_{};
  uint8_t* inside_ = nullptr;
  uint8_t* outside_ = nullptr;
};

// ---- the decision ----

enum Flag {
  kNone,
  kScavenging,
  kGlobalGc,
  kPassOn,
  kStartupFilterSays0,
  kStartupFilterSays1,
  kThreadNotTheRuntimes
};
struct DecisionCase {
  const char* what;
  int linuxSignal, siCode;
  std::vector<uint8_t> bytes;
  bool inLisp;
  Flag flag;
  int32_t result;
  int32_t kind;  // 0: nothing delivered
};

TEST_F(ExceptionFilter, EachFaultIsDecidedByItsCodeItsInstructionAndItsPlace) {
  const DecisionCase cases[] = {
      {"int N in Lisp code", SIGSEGV, SI_KERNEL, {0xcd, 0x62}, true, kNone, -1, kTrapInterrupt},
      {"int N elsewhere", SIGSEGV, SI_KERNEL, {0xcd, 0x62}, false, kNone, -1, kTrapGeneralSignal},
      {"cs: write in Lisp code",
       SIGSEGV,
       SI_KERNEL,
       {0x2e, 0x89, 0},
       true,
       kNone,
       -1,
       kTrapInterrupt},
      {"hlt in Lisp code", SIGSEGV, SI_KERNEL, {0xf4}, true, kNone, -1, kTrapHalt},
      {"hlt elsewhere", SIGSEGV, SI_KERNEL, {0xf4}, false, kNone, -1, kTrapGeneralSignal},
      {"cli in Lisp code", SIGSEGV, SI_KERNEL, {0xfa}, true, kNone, -1, kTrapGeneralSignal},
      {"a read of 0 in Lisp code",
       SIGSEGV,
       SEGV_MAPERR,
       {0x8b, 0},
       true,
       kNone,
       -1,
       kTrapGeneralSignal},
      {"misaligned in Lisp code",
       SIGBUS,
       BUS_ADRALN,
       {0x8b, 0},
       true,
       kNone,
       -1,
       kTrapGeneralSignal},
      {"int3", SIGTRAP, SI_KERNEL, {0xcc}, true, kNone, 0, 0},
      {"ud2", SIGILL, ILL_ILLOPN, {0x0f, 0x0b}, true, kNone, 0, 0},
      {"division by 0", SIGFPE, FPE_INTDIV, {0xf7, 0xf1}, true, kNone, 0, 0},
      {"int N while scavenging", SIGSEGV, SI_KERNEL, {0xcd, 0x62}, true, kScavenging, 0, 0},
      {"hlt in a global collection", SIGSEGV, SI_KERNEL, {0xf4}, true, kGlobalGc, 0, 0},
      {"a read of 0 while scavenging", SIGSEGV, SEGV_MAPERR, {0x8b, 0}, false, kScavenging, 0, 0},
      {"passed on, elsewhere", SIGSEGV, SEGV_MAPERR, {0x8b, 0}, false, kPassOn, 0, 0},
      {"passed on, no trap in Lisp code", SIGSEGV, SI_KERNEL, {0xfa}, true, kPassOn, 0, 0},
      {"passed on, but a trap",
       SIGSEGV,
       SI_KERNEL,
       {0xcd, 0x62},
       true,
       kPassOn,
       -1,
       kTrapInterrupt},
      {"the start-up filter says 0",
       SIGSEGV,
       SEGV_MAPERR,
       {0x8b, 0},
       false,
       kStartupFilterSays0,
       0,
       0},
      {"the start-up filter says 1",
       SIGSEGV,
       SEGV_MAPERR,
       {0x8b, 0},
       false,
       kStartupFilterSays1,
       -1,
       kTrapGeneralSignal},
      {"a thread not the runtime's",
       SIGSEGV,
       SI_KERNEL,
       {0xcd, 0x62},
       true,
       kThreadNotTheRuntimes,
       0,
       kTrapInterrupt},
  };
  for (const uint32_t inhibitBefore : {0u, 1u}) {
    for (const DecisionCase& c : cases) {
      SCOPED_TRACE(testing::Message() << c.what << ", inhibitprof " << inhibitBefore);
      InScavenge = c.flag == kScavenging;
      GsInGlobalGc = c.flag == kGlobalGc;
      pass_on_unhandled_exceptions = c.flag == kPassOn;
      startupFilterAnswer = c.flag == kStartupFilterSays1 ? 1 : 0;
      as_exception_filter = c.flag == kStartupFilterSays0 || c.flag == kStartupFilterSays1
                                ? reinterpret_cast<void*>(startupFilter)
                                : nullptr;
      refuseTraps = c.flag == kThreadNotTheRuntimes;
      delivered = {};
      inhibitprof = inhibitBefore;
      Fault f = fault(c.linuxSignal, c.siCode, c.bytes, c.inLisp);
      EXPECT_EQ(filter(f), c.result);
      EXPECT_EQ(delivered.kind, c.kind);
      if (c.kind != 0) {
        EXPECT_TRUE(delivered.withRecord);
        EXPECT_EQ(delivered.trapAddress, addressOf((c.inLisp ? inside_ : outside_) + 16));
        EXPECT_EQ(delivered.inhibitDuring, 1u) << "raised while the exception is analysed";
      }
      EXPECT_EQ(inhibitprof, inhibitBefore);
    }
  }
}

TEST_F(ExceptionFilter, TheAnalysisAndTheDeliveryAreLoggedWithCodeAndKind) {
  const uint32_t from = mplog_sequence;
  Fault f = fault(SIGSEGV, SI_KERNEL, {0xf4}, true);
  EXPECT_EQ(filter(f), -1);
  EXPECT_EQ(loggedSince(from),
            (std::vector<std::pair<uint32_t, uint32_t>>{
                {lisp::mp_event::kExceptionAnalysed, code::kPrivilegedInstruction},
                {lisp::mp_event::kTrapDelivered, static_cast<uint32_t>(kTrapHalt)}}));
}

// Kind 1 is delivered without the heap; the others take it for the
// faulting thread first.
TEST_F(ExceptionFilter, EveryKindButTheInterruptTakesTheHeapFirst) {
  testing_support::Watchdog watchdog("heap for a trap", 10s, [&] { return describe(); });
  records[2].at(tr::kOsThreadId) = identify_os_thread();
  Fault interrupt = fault(SIGSEGV, SI_KERNEL, {0xcd, 0x62}, true);
  EXPECT_EQ(filter(interrupt), -1);
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, -2);
  Fault halt = fault(SIGSEGV, SI_KERNEL, {0xf4}, true);
  EXPECT_EQ(filter(halt), -1);
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, 2);
  vxm_release_heap_for_sdcall(0);
}

TEST_F(ExceptionFilter, TheProbesFaultResumesInABareReturnAndForbidsMapping) {
  disallow_mapping = dep_style_vpl = 0;
  probing_executable_stack = 1;
  Fault f = fault(SIGSEGV, SEGV_ACCERR, {0xc3}, false);
  EXPECT_EQ(filter(f), -1);
  EXPECT_EQ(f.context.eip, addressOf(get_frameptr));
  EXPECT_EQ(probing_executable_stack, 0u);
  EXPECT_EQ(disallow_mapping, 1);
  EXPECT_EQ(dep_style_vpl, 1);
  EXPECT_EQ(delivered.count, 0u);
}

TEST_F(ExceptionFilter, TheConsoleBreakIsAKeyboardInterruptThroughGotsig) {
  Fault f{};
  f.code = f.record.code = code::kControlBreakExit;
  f.context.eip = 0x1234;
  gotsigAsksFor = 0x5678;
  EXPECT_EQ(filter(f), -1);
  EXPECT_EQ(interrupted.count, 1u);
  EXPECT_EQ(interrupted.signal, 2);
  EXPECT_EQ(interrupted.eip, 0x1234u);
  EXPECT_EQ(f.context.eip, 0x5678u) << "gotsig's edits reach the context";
  EXPECT_EQ(delivered.count, 0u);
}

TEST_F(ExceptionFilter, TheLispCodeStretchesIncludeTheRuntimesAndTheThreadRecordsStubs) {
  const uint32_t record = addressOf(records[3].raw());
  const uint32_t* raw = records[3].raw();
  EXPECT_TRUE(lisp::os::inLispCode(record - 256, raw));
  EXPECT_TRUE(lisp::os::inLispCode(record + 255, raw));
  EXPECT_FALSE(lisp::os::inLispCode(record - 257, raw));
  EXPECT_FALSE(lisp::os::inLispCode(record + 256, raw));
  EXPECT_FALSE(lisp::os::inLispCode(record, nullptr));
  EXPECT_TRUE(lisp::os::inLispCode(addressOf(start_of_fi_runtime), nullptr));
  EXPECT_FALSE(lisp::os::inLispCode(addressOf(end_of_fi_runtime), nullptr));
  EXPECT_TRUE(lisp::os::inLispCode(addressOf(handle_saving_context), nullptr))
      << "the hand-written runtime code lies between the markers";
  EXPECT_TRUE(lisp::os::inLispCode(addressOf(start_of_gc_runtime), nullptr));
  EXPECT_FALSE(lisp::os::inLispCode(addressOf(end_of_gc_runtime), nullptr));
  EXPECT_TRUE(lisp::os::inLispCode(addressOf(inside_) + kCodeBytes - 1, nullptr));
  EXPECT_FALSE(lisp::os::inLispCode(addressOf(outside_), nullptr));
  EXPECT_EQ(vxm_trap_check(kTrapGeneralSignal, 0), 1) << "kind 11: any instruction";
  EXPECT_EQ(vxm_trap_check(kTrapInterrupt, 0), 0) << "unreadable";
  EXPECT_EQ(vxm_trap_check(7, addressOf(inside_)), 0) << "no such kind";
}

// ---- real faults on a real thread inside the frame ----

struct RealFault {
  const char* what;
  std::vector<uint8_t> bytes;  // run from their start; fault at `faultOffset`
  uint32_t faultOffset;
  bool inLisp;
  int32_t kind;
};
const std::vector<RealFault>* realFaults = nullptr;
std::vector<Delivered> realDeliveries;
std::vector<uint32_t> realResults;
uint8_t* realCode[2] = {};  // outside, inside
struct StartupCall {
  int32_t n;
  void (*within)(int32_t);
  void* filter;
} startupCall;

// The start-up library's entry: runs every fault's code inside the frame.
int32_t runFaultsAsStartup(int32_t n, void (*within)(int32_t),
                           int32_t (*filter)(uint32_t, platform::ExceptionPointers*)) {
  startupCall = {n, within, reinterpret_cast<void*>(filter)};
  for (const RealFault& f : *realFaults) {
    uint8_t* code = realCode[f.inLisp];
    std::memcpy(code, f.bytes.data(), f.bytes.size());
    code[f.bytes.size()] = 0xc3;
    // Where the delivery resumes: mov eax, kLandingValue; ret.
    const uint8_t landing[] = {0xb8, kLandingValue, 0, 0, 0, 0xc3};
    std::memcpy(code + 64, landing, sizeof landing);
    resumeAt = addressOf(code + 64);
    delivered = {};
    realResults.push_back(reinterpret_cast<uint32_t (*)()>(code)());
    realDeliveries.push_back(delivered);
  }
  return 0;
}

// Runs each fault's code on a new Lisp thread inside setupstack_xhandler's
// frame; each is delivered once and resumes in the handler.
void expectRealFaultsDelivered(const std::vector<RealFault>& faults, uint8_t* outside,
                               uint8_t* inside) {
  realFaults = &faults;
  realDeliveries.clear();
  realResults.clear();
  realCode[0] = outside;
  realCode[1] = inside;
  as_setupstack = reinterpret_cast<void*>(runFaultsAsStartup);
  testing_support::Watchdog watchdog("real traps", 10s);
  std::thread([] { setupstack_xhandler(0); }).join();

  EXPECT_EQ(startupCall.n, 0);
  EXPECT_EQ(startupCall.within, setupstack_within_xhandler);
  EXPECT_EQ(startupCall.filter, reinterpret_cast<void*>(lisp_exception_filter));
  ASSERT_EQ(realDeliveries.size(), faults.size());
  for (size_t i = 0; i < faults.size(); ++i) {
    const RealFault& f = faults[i];
    SCOPED_TRACE(f.what);
    EXPECT_EQ(realResults[i], kLandingValue) << "resumed in the handler";
    EXPECT_EQ(realDeliveries[i].count, 1u);
    EXPECT_EQ(realDeliveries[i].kind, f.kind);
    EXPECT_EQ(realDeliveries[i].trapAddress, addressOf(realCode[f.inLisp] + f.faultOffset));
    EXPECT_TRUE(realDeliveries[i].withRecord);
    EXPECT_EQ(realDeliveries[i].faultAddress, 0u) << "no faulting address is named";
  }
}

TEST_F(ExceptionFilter, RealTrapsOnALispThreadResumeInTheHandlerForEachKind) {
  expectRealFaultsDelivered(
      {
          {"int 0x62 in Lisp code", {0xcd, 0x62}, 0, true, kTrapInterrupt},
          {"hlt in Lisp code", {0x90, 0xf4}, 1, true, kTrapHalt},
          {"a read of 0 elsewhere", {0x31, 0xc0, 0x8b, 0x00}, 2, false, kTrapGeneralSignal},
          {"int 0x62 elsewhere", {0xcd, 0x62}, 0, false, kTrapGeneralSignal},
      },
      outside_, inside_);
}

// The processor refuses a write through a cs: override (the code segment
// may not be written): in Lisp code that is the interrupt trap.
TEST_F(ExceptionFilter, ARealWriteThroughTheCodeSegmentInLispCodeIsTheInterruptTrap) {
  SKIP_UNDER_EMULATOR(
      "does not check the segment of a write: a write through a cs: override goes to memory "
      "and raises no fault");
  static uint32_t dataWord = 0;
  std::vector<uint8_t> csWrite{0xb8};  // mov eax, &dataWord; mov cs:[eax], eax
  for (int i = 0; i < 4; ++i)
    csWrite.push_back(static_cast<uint8_t>(addressOf(&dataWord) >> (8 * i)));
  for (uint8_t b : {0x2e, 0x89, 0x00}) csWrite.push_back(b);
  expectRealFaultsDelivered({{"cs: write in Lisp code", csWrite, 5, true, kTrapInterrupt}},
                            outside_, inside_);
  EXPECT_EQ(dataWord, 0u) << "nothing was written";
}

// A guarded region of its own (as a window procedure or a callback from a
// foreign thread opens): traps inside it are the filter's, and the region
// answers what its body answers.
TEST_F(ExceptionFilter, AGuardedRegionOnAnyThreadHandsItsTrapsToTheFilter) {
  const uint8_t trap[] = {0xcd, 0x62, 0xc3};
  const uint8_t landing[] = {0xb8, kLandingValue, 0, 0, 0, 0xc3};
  std::memcpy(inside_, trap, sizeof trap);
  std::memcpy(inside_ + 64, landing, sizeof landing);
  resumeAt = addressOf(inside_ + 64);
  uint32_t answer = 0;
  std::thread([&] {
    answer = lisp::os::runInLispExceptionFrame(
        [](void* code) -> uint32_t { return reinterpret_cast<uint32_t (*)()>(code)() + 1; },
        inside_);
  }).join();
  EXPECT_EQ(answer, kLandingValue + 1);
  EXPECT_EQ(delivered.count, 1u);
  EXPECT_EQ(delivered.kind, kTrapInterrupt);
  EXPECT_EQ(delivered.trapAddress, addressOf(inside_));
}

// ---- faults the runtime does not own, in child processes ----

int32_t faultAsStartup(int32_t, void (*)(int32_t),
                       int32_t (*)(uint32_t, platform::ExceptionPointers*)) {
  reinterpret_cast<void (*)()>(realCode[0])();
  return 0;
}

TEST_F(ExceptionFilter, FaultsTheRuntimeDoesNotOwnEndTheProcessBySIGSEGV) {
  const uint8_t readOfZero[] = {0x31, 0xc0, 0x8b, 0x00, 0xc3};
  std::memcpy(outside_, readOfZero, sizeof readOfZero);
  realCode[0] = outside_;
  as_setupstack = reinterpret_cast<void*>(faultAsStartup);
  auto inFrame = [] {
    std::thread([] { setupstack_xhandler(0); }).join();
    _exit(0);
  };
  pass_on_unhandled_exceptions = 1;
  EXPECT_EXIT(inFrame(), testing::KilledBySignal(SIGSEGV), "") << "passed on by request";
  pass_on_unhandled_exceptions = 0;
  lisp::os::setTrapDelivery({});
  EXPECT_EXIT(inFrame(), testing::KilledBySignal(SIGSEGV), "") << "a thread without a record";
  platform::installFaultHandling();
  EXPECT_EXIT(
      {
        std::thread([] { reinterpret_cast<void (*)()>(realCode[0])(); }).join();
        _exit(0);
      },
      testing::KilledBySignal(SIGSEGV), "")
      << "outside every frame";
}

TEST_F(ExceptionFilter, AThreadStartWithoutARecordReturnsAndTheFirstThreadNeedsAHeap) {
  as_setupstack = nullptr;
  const auto onStandardError = [] {  // where death tests look
    setup_redir(&testing_support::consoleOnStandardError());
  };
  lisp::registry::forgetRegistry();
  setupstack_xhandler(3);  // no record at index 3: nothing to run
  // The first thread runs only on a laid-out heap: without one (nilval 0)
  // it says so.
  const auto withoutHeap = [] { nilval = 0; };
  EXPECT_EXIT((onStandardError(), withoutHeap(), setupstack_xhandler(-1)),
              testing::ExitedWithCode(1), "first Lisp thread: no Lisp heap");
}

// ---- the executable-stack probe ----

TEST_F(ExceptionFilter, TheProbeReturnsAndFindsTheStackRefusesToRunCode) {
  lisp::os::setTrapDelivery({});
  for (int run = 0; run < 2; ++run) {
    disallow_mapping = dep_style_vpl = 0;
    probe_executable_stack();
    EXPECT_EQ(disallow_mapping, 1);
    EXPECT_EQ(dep_style_vpl, 1);
    EXPECT_EQ(probing_executable_stack, 0u);
  }
}

TEST_F(ExceptionFilter, TheProbeOverMemoryThatRunsCodeLeavesTheWordsAsTheyWere) {
  for (int before : {0, 1}) {
    disallow_mapping = dep_style_vpl = before;
    lisp::os::probeExecutableWord(inside_);
    EXPECT_EQ(inside_[0], 0xc3);
    EXPECT_EQ(disallow_mapping, before);
    EXPECT_EQ(dep_style_vpl, before);
    EXPECT_EQ(probing_executable_stack, 0u);
  }
}

// ---- the launcher's interrupt ----

TEST_F(ExceptionFilter, AnInterruptTheLispDoesNotAnswerLandsTheHeapOwnerInFakeASegv) {
  testing_support::Watchdog watchdog("forced jump to fake_a_segv", 10s, [&] { return describe(); });
  std::atomic<uint32_t> handle{0};
  std::atomic<uint32_t> spinResult{2};
  heap_owner_spinning = 0;
  std::thread owner([&] {
    handle = handle_for_current_thread();
    spinResult = heap_owner_spin();
  });
  while (!heap_owner_spinning) std::this_thread::sleep_for(1ms);
  records[5].at(tr::kOsThreadHandle) = handle;
  vxm_thread_control.heapOwnerIndex = 5;
  resumeAt = addressOf(heap_owner_spin_exit);
  spinningInLispCode();

  EXPECT_EQ(signal_lisp(2), 1);
  EXPECT_EQ(interrupted.signal, 2);
  EXPECT_EQ(interrupted.eip, 0u) << "an empty context";
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(delivered.count, 0u) << "gotsig asked for no jump";

  gotsigAsksFor = 1;  // any resume address asks for the jump
  EXPECT_EQ(signal_lisp(2), 1);
  owner.join();
  EXPECT_EQ(spinResult.load(), 1u) << "resumed with its registers and stack";
  EXPECT_EQ(delivered.count, 1u);
  EXPECT_EQ(delivered.kind, kTrapGeneralSignal);
  EXPECT_FALSE(delivered.withRecord);
  EXPECT_EQ(delivered.trapAddress, addressOf(fake_a_segv));
  vxm_thread_control.heapOwnerIndex = -2;
  free_os_lock(handle);
}

// The console's interrupt with the runtime's own gotsig, from a thread that
// has no thread record (as the console thread has none): the presses count
// for the heap owner, the fourth warns, and the fifth forces the owner,
// which never polls, into fake_a_segv.
TEST_F(ExceptionFilter, RepeatedInterruptsFromTheConsoleForceABreakIntoALoopingLisp) {
  testing_support::Watchdog watchdog("forced break after five interrupts", 20s,
                                     [&] { return describe(); });
  lisp::os::setTrapDelivery({recordingSyncsig1x, nullptr});
  lisp::presence::arrive();
  const int32_t slot = platform::allocateThreadSlot();
  ASSERT_GE(slot, 0);
  const uint32_t savedIndex = lisp_tls_index;
  lisp_tls_index = static_cast<uint32_t>(slot) * 4;  // this thread: no record
  std::atomic<uint32_t> handle{0};
  std::atomic<uint32_t> spinResult{2};
  heap_owner_spinning = 0;
  std::thread owner([&] {
    handle = handle_for_current_thread();
    spinResult = heap_owner_spin();
  });
  while (!heap_owner_spinning) std::this_thread::sleep_for(1ms);
  records[5].at(tr::kOsThreadHandle) = handle;
  vxm_thread_control.heapOwnerIndex = 5;
  resumeAt = addressOf(heap_owner_spin_exit);
  spinningInLispCode();

  {
    const testing_support::ConsoleRecorder console;
    for (int press = 1; press <= 4; ++press) {
      EXPECT_EQ(signal_lisp(2), 1) << "press " << press;
      EXPECT_EQ(lisp::wordAt(nilval, lisp::nil_block::global::kInterruptCounter),
                lisp::makeFixnum(press));
    }
    EXPECT_NE(testing_support::ConsoleRecorder::console().find("received 4 interrupts"),
              std::string::npos)
        << testing_support::ConsoleRecorder::console();
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(delivered.count, 0u) << "no break before the fifth";
  EXPECT_EQ(signal_lisp(2), 1);
  for (int i = 0; i < 1000 && delivered.count == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(delivered.count, 1u) << "the fifth interrupt forces the break";
  if (delivered.count == 0) force_heap_owner_to_jump(fake_a_segv);  // let the owner go
  owner.join();
  EXPECT_EQ(spinResult.load(), 1u) << "resumed with its registers and stack";
  EXPECT_EQ(delivered.kind, kTrapGeneralSignal);
  EXPECT_EQ(delivered.trapAddress, addressOf(fake_a_segv));
  EXPECT_EQ(lisp::wordAt(nilval, lisp::nil_block::global::kInterruptCounter), lisp::makeFixnum(0));

  vxm_thread_control.heapOwnerIndex = -2;
  free_os_lock(handle);
  lisp_tls_index = savedIndex;
  platform::freeThreadSlot(slot);
  lisp::presence::depart();
  std::fill(std::begin(lsignals), std::end(lsignals), 0);
}

// The console's break while the heap owner runs outside compiled Lisp code
// (its spin loop is native code here): the owner runs on, and the interrupt
// is held for its next safe point (the counter stays at 4, the pending word
// set). Once the owner runs Lisp code a press breaks in.
TEST_F(ExceptionFilter, TheConsolesBreakWaitsWhileTheOwnerRunsOutsideLispCode) {
  testing_support::Watchdog watchdog("held console break", 60s, [&] { return describe(); });
  lisp::os::setTrapDelivery({recordingSyncsig1x, nullptr});
  lisp::presence::arrive();
  const int32_t slot = platform::allocateThreadSlot();
  ASSERT_GE(slot, 0);
  const uint32_t savedIndex = lisp_tls_index;
  lisp_tls_index = static_cast<uint32_t>(slot) * 4;  // this thread: no record
  std::atomic<uint32_t> handle{0};
  std::atomic<uint32_t> spinResult{2};
  heap_owner_spinning = 0;
  std::thread owner([&] {
    handle = handle_for_current_thread();
    spinResult = heap_owner_spin();
  });
  while (!heap_owner_spinning) std::this_thread::sleep_for(1ms);
  records[5].at(tr::kOsThreadHandle) = handle;
  vxm_thread_control.heapOwnerIndex = 5;
  resumeAt = addressOf(heap_owner_spin_exit);
  uint32_t& counter = lisp::wordAt(nilval, lisp::nil_block::global::kInterruptCounter);
  uint32_t& pending = lisp::wordAt(nilval, lisp::nil_block::global::kSignalPending);

  counter = lisp::makeFixnum(4);  // four presses unanswered
  EXPECT_EQ(signal_lisp(2), 1);
  EXPECT_EQ(counter, lisp::makeFixnum(4)) << "held";
  EXPECT_EQ(pending, 0xffffffffu);

  // A press that finds the owner outside the loop (just back from the last
  // stop, say) is held again; one finds it in the loop.
  spinningInLispCode();
  int presses = 0;
  do {
    EXPECT_EQ(signal_lisp(2), 1);
    std::this_thread::sleep_for(1ms);
  } while (counter == lisp::makeFixnum(4) && ++presses < 10000);
  owner.join();
  EXPECT_EQ(spinResult.load(), 1u) << "resumed with its registers and stack";
  EXPECT_EQ(delivered.count, 1u) << "one break";
  EXPECT_EQ(counter, lisp::makeFixnum(0));

  vxm_thread_control.heapOwnerIndex = -2;
  free_os_lock(handle);
  lisp_tls_index = savedIndex;
  platform::freeThreadSlot(slot);
  lisp::presence::depart();
  std::fill(std::begin(lsignals), std::end(lsignals), 0);
}

// ---- the platform runtime's signal ----

TEST(RealSignal, CRuntimeNumbersBecomeLinuxSignalsAndUnknownOnesAreRefused) {
  const struct {
    int32_t cRuntime;
    int linuxSignal;
  } cases[] = {{2, SIGINT},   {4, SIGILL},   {8, SIGFPE},   {11, SIGSEGV},
               {15, SIGTERM}, {21, SIGQUIT}, {22, SIGABRT}, {6, SIGABRT}};
  auto handler = [](int) {};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cRuntime);
    struct sigaction before {};
    sigaction(c.linuxSignal, nullptr, &before);
    real_signal(c.cRuntime, handler);
    struct sigaction now {};
    sigaction(c.linuxSignal, nullptr, &now);
    EXPECT_EQ(now.sa_handler, static_cast<void (*)(int)>(handler));
    sigaction(c.linuxSignal, &before, nullptr);
  }
  for (int32_t unknown : {0, 1, 3, 5, 23, 64, -2}) {
    errno = 0;
    EXPECT_EQ(real_signal(unknown, handler), SIG_ERR) << unknown;
    EXPECT_EQ(errno, EINVAL);
  }
}

}  // namespace
