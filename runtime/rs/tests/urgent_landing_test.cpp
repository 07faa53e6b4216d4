// The urgent interrupt landing anywhere: real SIGINTs from another thread
// at Lisp code that traps in a loop, and a sweep that lands the fifth
// interrupt, through the real kicker, at each instruction of a call-form
// and an int-form trap round trip (the dispatcher's C++ code and the C
// library under it included), of a leaf native call, of a semi-direct call
// and of a scavenge's start. Only compiled Lisp code (here the laid-out code) may be taken
// over; anywhere else the interrupt is held for the next safe point. The
// interrupt's Lisp (the error function of error 20) collects.
//
// The sweep lands at every URGENT_LANDING_STRIDE-th instruction (default
// kDefaultStride); URGENT_LANDING_STRIDE=1 lands at every one.

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/faults.h"
#include "platform/thread_block.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/scavenger.h"
#include "runtime/os/exception_filter.h"
#include "runtime/os/lisp_guarded_region.h"
#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/lisp_presence.h"
#include "runtime/rs/native_calls.h"
#include "runtime/rs/signal_kicker.h"
#include "runtime/rs/tests/calling_protocol_fixture.h"
#include "runtime/rs/trap_handlers.h"
#include "runtime/rs/trap_record.h"

extern "C" {
void trap_probe_run();
void trap_probe_nesting_entry();
void trap_probe_unbound_eax_int();
extern uint32_t trap_probe_code;
extern uint32_t trap_probe_registers[3];
extern uint32_t trap_probe_inner_code;
void urgent_entry_call_probe();
// The native function the semi-direct entry calls (cdecl).
__attribute__((force_align_arg_pointer)) uint32_t urgent_semidirect_target(uint32_t word) {
  errno = ENOTEMPTY;
  return word + 1;
}
// The probes' exit function; no test here ends through it.
[[noreturn]] void trap_probe_exit(uint32_t, uint32_t, uint32_t, uint32_t) {
  _exit(1);
}
}

namespace calling_protocol_test {
namespace {

namespace tr = lisp::thread_record;
namespace global = lisp::nil_block::global;
constexpr int32_t kContinuableErrorSymbol = -0x2a5;
constexpr int32_t kUnboundError = 5, kUrgentError = 20;
constexpr int kDefaultStride = 29;
constexpr int32_t kGintchkSlot = 0x36b;
constexpr uint32_t kTrapFlag = 0x100;
constexpr uint32_t kUnboundAnswer = makeFixnum(77);

int landingStride() {
  const char* given = std::getenv("URGENT_LANDING_STRIDE");
  const int stride = given ? std::atoi(given) : kDefaultStride;
  return stride > 0 ? stride : kDefaultStride;
}

// What a child tells its parent, in memory both share.
struct Shared {
  int steps;           // the counting run: instructions in the window
  uint32_t landedEip;  // where the interrupt landed
  int redirected;      // 1 when the kicker took the thread over
};

// The step handler's state: from the first step at `start` it counts; at
// step `landing` it delivers the keyboard interrupt there as the exception
// filter does (the kicker edits the context). `limit` ends the stepping of a
// counting run (landing -1) early.
struct Stepping {
  uint32_t start = 0;
  int landing = -1;
  int limit = 0;
  int steps = 0;
  bool counting = false;
  bool done = false;
  bool rearm = false;  // an int-form trap is being delivered
};
Stepping stepping;
Shared* shared = nullptr;

constexpr uint8_t kIntOpcode = 0xcd;

// The int form's fault is taken with the trap flag off: where the
// descriptor table is shared, the fault handling returns through a landing
// that runs with every signal blocked, where a step would end the process.
// The dispatcher's resume goes through urgent_landing_rearm instead, which
// sets the flag and jumps on: stepping goes on in the trap's handler.
extern "C" {
uint32_t urgent_landing_rearm_target = 0;
void urgent_landing_rearm();
}
asm(R"(
        .text
        .type urgent_landing_rearm, @function
urgent_landing_rearm:
        pushfl
        orl $0x100, (%esp)
        popfl
        jmp *urgent_landing_rearm_target
)");

uint32_t rearmingSyncsig1x(int32_t signal, platform::ExceptionRecord* exception,
                           platform::ProcessorContext* record) {
  const uint32_t handler = syncsig1x(signal, exception, record);
  if (stepping.rearm && handler != 0) {
    urgent_landing_rearm_target = record->eip;
    record->eip = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(urgent_landing_rearm));
  }
  stepping.rearm = false;
  return handler;
}

void onStep(int, siginfo_t*, void* machine) {
  greg_t* r = static_cast<ucontext_t*>(machine)->uc_mcontext.gregs;
  if (stepping.done) {  // the flag came back with flags saved before the end
    r[REG_EFL] &= ~kTrapFlag;
    return;
  }
  if (!stepping.counting && static_cast<uint32_t>(r[REG_EIP]) == stepping.start)
    stepping.counting = true;
  if (!stepping.counting) return;
  if (*reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(r[REG_EIP])) == kIntOpcode) {
    r[REG_EFL] &= ~kTrapFlag;
    stepping.rearm = true;
    return;
  }
  if (stepping.landing < 0) {
    shared->steps = ++stepping.steps;
    if (stepping.limit > 0 && stepping.steps >= stepping.limit) {
      r[REG_EFL] &= ~kTrapFlag;
      stepping.done = true;
    }
    return;
  }
  if (stepping.steps++ < stepping.landing) return;
  r[REG_EFL] &= ~kTrapFlag;
  platform::ThreadContext context{};
  context.parts = platform::context_part::kAll;
  context.edi = r[REG_EDI], context.esi = r[REG_ESI], context.ebx = r[REG_EBX];
  context.edx = r[REG_EDX], context.ecx = r[REG_ECX], context.eax = r[REG_EAX];
  context.ebp = r[REG_EBP], context.eip = r[REG_EIP], context.esp = r[REG_ESP];
  context.eflags = r[REG_EFL];
  const uint32_t eip = context.eip;
  gotsigkicker(2, &context);
  shared->landedEip = eip;
  shared->redirected = context.eip != eip;
  r[REG_EIP] = context.eip;
  r[REG_ESP] = context.esp;
  stepping.done = true;
}

// Runs `body` single-stepped, with the test's own step handler (the fault
// handling's would offer every step to the frames).
void runStepped(const std::function<void()>& body) {
  struct sigaction action {};
  action.sa_sigaction = onStep;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTRAP, &action, nullptr);
  asm volatile("pushfl; orl $0x100, (%%esp); popfl" ::: "memory", "cc");
  body();
  asm volatile("pushfl; andl $~0x100, (%%esp); popfl" ::: "memory", "cc");
}

// Runs `child` in a child process, with a watchdog alarm; its exit status.
int inChild(const std::function<int()>& child) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(120);
    _exit(child());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

std::string howItEnded(int status) {
  return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                           : "signal " + std::to_string(WTERMSIG(status));
}

class UrgentLandings : public CallingProtocolHeap {
 protected:
  void SetUp() override {
    CallingProtocolHeap::SetUp();
    platform::setThreadSlot(slot_, thread_);
    global(kContinuableErrorSymbol) = recorderSymbol_;
    unboundMarker_ = global(global::kUnboundMarker);
    name_ = symbol();
    code_ = static_cast<uint8_t*>(mmap(nullptr, kCodeBytes, PROT_READ | PROT_WRITE | PROT_EXEC,
                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(code_, MAP_FAILED);
    shared = static_cast<Shared*>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(shared, MAP_FAILED);
    // push nil (two home slots); mov eax, edi; call [edi+0x13b] (the
    // collector's entry); add esp, 8; ret
    const uint8_t scavenge[] = {0x57, 0x57, 0x89, 0xf8, 0xff, 0x97, 0x3b,
                                0x01, 0x00, 0x00, 0x83, 0xc4, 0x08, 0xc3};
    std::memcpy(code_ + kScavengeAt, scavenge, sizeof scavenge);
    lisp::os::setTrapDelivery({rearmingSyncsig1x, nullptr});
  }
  void TearDown() override {
    lisp::os::setTrapDelivery({});
    lisp::os::setExtraLispCode(0, 0);
    munmap(code_, kCodeBytes);
    munmap(shared, sizeof(Shared));
    global(global::kInterruptCounter) = makeFixnum(0);
    global(global::kSignalPending) = 0;
    platform::setThreadSlot(slot_, 0);
    CallingProtocolHeap::TearDown();
  }

  // A call inside the exception frame, with the laid-out code counted as
  // compiled Lisp code (and nothing else).
  LispCallResult callInFrame(const LispCallSetup& setup) {
    struct Call {
      UrgentLandings* self;
      const LispCallSetup* setup;
      LispCallResult result;
    } inFrame{this, &setup, {}};
    lisp::os::setExtraLispCode(addressOf(code_), addressOf(code_) + kCodeBytes);
    lisp::os::runInLispExceptionFrame(
        [](void* argument) -> uint32_t {
          auto* c = static_cast<Call*>(argument);
          c->result = c->self->call(*c->setup);
          return 0;
        },
        &inFrame);
    return inFrame.result;
  }
  // Runs the code at `at` from a runtime frame with eax, ecx, edx.
  LispCallResult runAt(uint32_t at, uint32_t eax, uint32_t ecx, uint32_t edx) {
    trap_probe_code = at;
    trap_probe_registers[0] = eax;
    trap_probe_registers[1] = ecx;
    trap_probe_registers[2] = edx;
    LispCallSetup setup = setupFor(0);
    setup.target = addressOf(trap_probe_run);
    return callInFrame(setup);
  }
  uint32_t layOut(const std::vector<uint8_t>& bytes) {
    std::memcpy(code_, bytes.data(), bytes.size());
    return addressOf(code_);
  }
  // A collection, run from Lisp code.
  void collect() { runAt(addressOf(code_ + kScavengeAt), 0, 0, 0); }

  // One trap through the fault handling first: it installs the handling,
  // and its return leaves this thread's own segment entries in place (under
  // the user-mode emulator the descriptor table is one for the process), so
  // that the step handler's returns keep them.
  void prepareLandings() {
    testing_support::resetRecorder(nil());
    layOut({0x3b, 0x57, 0xd7, 0x75, 0x02, 0xcd, 0x63, 0xc3});
    runAt(addressOf(code_), 0, name_, unboundMarker_);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
  }

  // The error function of error 20 collects (the nesting stand-in runs the
  // scavenge, then records); the others only record.
  void collectingInterruptLisp() {
    global(global::kErrorSymbolWithDatum) =
        symbol(objects_->makeFunction(addressOf(trap_probe_nesting_entry)));
  }

  // A window of the sweep: `run` (stepped from `start`) does the work and
  // answers 0 when it ended right, else a code of its own (8 and up).
  struct Window {
    const char* what;
    uint32_t start;
    int limit;  // steps at most; 0: to the end of the run
    std::function<void()> prepare;
    std::function<void()> run;
    std::function<int()> ended;
  };

  // Codes a landing's child exits with.
  enum Outcome {
    kRight = 0,
    kNotLanded = 2,
    kTakenOverButNotAnswered = 3,
    kHeldButNotKept = 4,
    kHeldButAnswered = 5,
    kNoCollectionAfter = 6,
  };

  int landOnce(const Window& w, int landing) {
    stepping = {w.start, landing, 0, 0, false, false};
    shared->redirected = 0;
    global(global::kInterruptCounter) = makeFixnum(4);
    global(global::kSignalPending) = 0;
    trap_probe_inner_code = addressOf(code_ + kScavengeAt);
    if (w.prepare) w.prepare();
    testing_support::resetRecorder(kUnboundAnswer);
    const uint32_t scavenges = ScavengeCt;
    runStepped(w.run);
    if (!stepping.done) return kNotLanded;
    if (const int code = w.ended()) return code;
    int urgent = 0;
    for (uint32_t i = 0; i < lisp_recorder_log.count; ++i)
      if (lisp_recorder_log.calls[i].eax == makeFixnum(kUrgentError)) ++urgent;
    if (shared->redirected) {
      // error 20 reported once, its Lisp collected
      if (urgent != 1 || ScavengeCt == scavenges) return kTakenOverButNotAnswered;
    } else {
      if (global(global::kInterruptCounter) != makeFixnum(4) ||
          global(global::kSignalPending) != 0xffffffff)
        return kHeldButNotKept;
      if (urgent != 0) return kHeldButAnswered;
    }
    // The heap is whole: another collection walks it.
    const uint32_t before = ScavengeCt;
    trap_probe_inner_code = 0;
    collect();
    return ScavengeCt == before + 1 ? kRight : kNoCollectionAfter;
  }

  // Counts the window, then lands at every stride-th instruction of it,
  // each in a child process; every landing must end right, and at least one
  // must have been taken over when `takenOver` is set.
  void sweep(const Window& w, bool takenOver) {
    stepping = {w.start, -1, w.limit, 0, false, false};
    shared->steps = 0;
    const int counted = inChild([&] {
      if (w.prepare) w.prepare();
      testing_support::resetRecorder(kUnboundAnswer);
      runStepped(w.run);
      return w.ended();
    });
    ASSERT_TRUE(WIFEXITED(counted) && WEXITSTATUS(counted) == 0) << w.what << ": " << counted;
    const int steps = shared->steps;
    ASSERT_GT(steps, 0) << w.what;
    const int stride = landingStride();
    std::ostringstream failures;
    int failed = 0, redirects = 0;
    for (int landing = 0; landing < steps; landing += stride) {
      const int status = inChild([&] { return landOnce(w, landing); });
      redirects += shared->redirected;
      if (WIFEXITED(status) && WEXITSTATUS(status) == kRight) continue;
      if (++failed <= 10)
        failures << " [landing " << landing << " at 0x" << std::hex << shared->landedEip << std::dec
                 << ": " << howItEnded(status) << "]";
    }
    EXPECT_EQ(failed, 0) << w.what << ", " << steps << " instructions:" << failures.str();
    if (takenOver) {
      EXPECT_GT(redirects, 0) << w.what << ": no landing in Lisp code";
    }
  }

  // An unbound-variable trap of either form in the laid-out code, which
  // counts in eax after it: the window is the whole round trip.
  Window unboundRoundTrip(const char* what, std::vector<uint8_t> trap) {
    std::vector<uint8_t> bytes{0x3b, 0x57, 0xd7, 0x75};  // cmp edx, [edi-0x29]; jne
    bytes.push_back(static_cast<uint8_t>(trap.size()));
    bytes.insert(bytes.end(), trap.begin(), trap.end());
    for (uint8_t b : {0x40, 0x40, 0xc3}) bytes.push_back(b);  // inc eax; inc eax; ret
    const uint32_t start = layOut(bytes);
    return {what,
            start,
            0,
            [] {},
            [this, start] { runAt(start, 0x100, name_, unboundMarker_); },
            [this] {
              if (trap_probe_registers[0] != 0x102) return 8;  // resumed past the trap once
              if (trap_probe_registers[2] != kUnboundAnswer) return 9;
              int unbound = 0;
              for (uint32_t i = 0; i < lisp_recorder_log.count; ++i)
                if (lisp_recorder_log.calls[i].eax == makeFixnum(kUnboundError)) ++unbound;
              return unbound == 1 ? 0 : 10;
            }};
  }

  static constexpr size_t kCodeBytes = 4096;
  static constexpr size_t kScavengeAt = kCodeBytes / 2;
  uint32_t unboundMarker_ = 0;
  lispval name_ = 0;
  uint8_t* code_ = nullptr;
};

TEST_F(UrgentLandings, ThroughACallFormTrapRoundTrip) {
  prepareLandings();
  collectingInterruptLisp();
  sweep(unboundRoundTrip("call form", {0xff, 0x57, 0x83}), true);  // call [edi-0x7d]
}

TEST_F(UrgentLandings, ThroughAnIntFormTrapRoundTrip) {
  prepareLandings();
  collectingInterruptLisp();
  sweep(unboundRoundTrip("int form", {0xcd, 0x63}), true);
}

// gintchk's leaf native call, entry to exit: it is the runtime's code and
// native code throughout, so every landing is held, and gintchk answers.
TEST_F(UrgentLandings, ThroughALeafNativeCall) {
  prepareLandings();
  collectingInterruptLisp();
  sy_sintchk(321);
  sweep({"leaf call", addressOf(gintchk), 0, [] {},
         [this] {
           const LispCallSetup setup = setupFor(kGintchkSlot);
           trap_probe_registers[0] = callInFrame(setup).eax;
         },
         [this] {
           if (trap_probe_registers[0] != makeFixnum(321)) return 8;
           if (threadWord(tr::kLeafCallStack) != nil()) return 9;
           if (threadWord(tr::kClinkHead) != tr::kEmptyClinkChain) return 10;
           return 0;
         }},
        false);
  sy_sintchk(0);
}

// A semi-direct call, whose entry asks for errno to be captured (so its
// return is redirected into a tail), from call_semidirect to the end: the
// runtime's code and native code throughout, so every landing is held.
TEST_F(UrgentLandings, ThroughASemiDirectCall) {
  namespace ev = lisp::entry_vec;
  prepareLandings();
  collectingInterruptLisp();
  const lispval entry = arenaObject(
      {lisp::headerWithLength(lisp::type_code::EntryVector, ev::kDataWords), nil(),
       addressOf(call_semidirect), 0, ev::kSemiDirect | (ev::kCaptureErrno << ev::kCaptureShift),
       addressOf(reinterpret_cast<const void*>(urgent_semidirect_target)), 0});
  static uint32_t words[1] = {41};
  sweep({"semi-direct call", addressOf(call_semidirect), 0, [] {},
         [this, entry] {
           LispCallSetup setup = setupFor(0, entry, addressOf(words), 1);
           setup.target = addressOf(urgent_entry_call_probe);
           setup.stack[0] = 1;
           trap_probe_registers[0] = callInFrame(setup).eax;
         },
         [] { return trap_probe_registers[0] == 42 ? 0 : 8; }},
        false);
}

// The first instructions of a scavenge, run from Lisp code: the collector's
// entry and the scavenger under it. The interrupt is held throughout.
TEST_F(UrgentLandings, ThroughTheStartOfAScavenge) {
  constexpr int kScavengeStart = 3000;
  prepareLandings();
  collectingInterruptLisp();
  const uint32_t start = addressOf(code_ + kScavengeAt);
  uint32_t scavenges = 0;
  sweep({"scavenge", start, kScavengeStart,
         [&] {
           trap_probe_inner_code = 0;
           scavenges = ScavengeCt;
         },
         [this, start] { runAt(start, 0, 0, 0); },
         [&] { return ScavengeCt == scavenges + 1 && !InScavenge ? 0 : 8; }},
        false);
}

// The interrupt's handler frame and the runtime frames under it hold no
// stale stack words where the collector reads Lisp values: the Lisp code
// leaves below its stack pointer a word from before the last flip (it
// points into the half the next collection copies into), is redirected to
// the urgent routine as the kicker does it (the interrupted eip pushed),
// and the interrupt's Lisp collects. A collection that read such a word
// would end the process.
TEST_F(UrgentLandings, TheInterruptsFramesHoldNoStaleStackWords) {
  prepareLandings();
  collectingInterruptLisp();
  const uint32_t stale = lisp::pointerWord(GsNewScavengeToArea + 0x100, lisp::Tag::Other);
  std::vector<uint8_t> bytes{0xb8};  // mov eax, stale
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(stale >> (8 * i)));
  for (uint8_t b : {0x8d, 0x94, 0x24, 0x00, 0xe0, 0xff, 0xff,  // lea edx, [esp-0x2000]
                    0x89, 0x02, 0x83, 0xc2, 0x04,              // fill: mov [edx], eax; add edx, 4
                    0x39, 0xe2, 0x72, 0xf7,                    // cmp edx, esp; jb fill
                    0x89, 0xf8, 0x89, 0xfa, 0xe8})             // mov eax, edi; mov edx, edi; call
    bytes.push_back(b);
  const uint32_t next = addressOf(code_) + static_cast<uint32_t>(bytes.size()) + 4;
  const uint32_t offset = addressOf(urgent_interrupt) - next;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(offset >> (8 * i)));
  bytes.push_back(0xc3);  // ret
  const uint32_t start = layOut(bytes);
  const int status = inChild([&] {
    trap_probe_inner_code = addressOf(code_ + kScavengeAt);
    testing_support::resetRecorder(kUnboundAnswer);
    const uint32_t scavenges = ScavengeCt;
    runAt(start, 0, 0, 0);
    if (ScavengeCt != scavenges + 1) return 8;
    if (lisp_recorder_log.count != 1 || lisp_recorder_log.calls[0].eax != makeFixnum(kUrgentError))
      return 9;
    trap_probe_inner_code = 0;
    collect();
    return ScavengeCt == scavenges + 2 ? 0 : 10;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << howItEnded(status);
}

// Compiled code may hold a Lisp value in ecx where the interrupt lands (an
// unbound-variable trap's symbol waits there before the trap): the
// interrupt's Lisp collects, and the resumed ecx is the value's new place,
// not its copy in the evacuated half.
TEST_F(UrgentLandings, ALispValueInEcxIsUpdatedAcrossTheInterruptsCollection) {
  prepareLandings();
  collectingInterruptLisp();
  const auto callTo = [](std::vector<uint8_t>& bytes, uint32_t base, void (*routine)()) {
    bytes.push_back(0xe8);
    const uint32_t offset = addressOf(routine) - (base + bytes.size() + 4);
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(offset >> (8 * i)));
  };
  const uint32_t base = addressOf(code_);
  std::vector<uint8_t> bytes{0x89, 0xf8, 0x89, 0xfa};             // mov eax, edi; mov edx, edi
  callTo(bytes, base, qcons);                                     // a new cons
  for (uint8_t b : {0x89, 0xc1, 0x89, 0xf8}) bytes.push_back(b);  // mov ecx, eax; mov eax, edi
  callTo(bytes, base, urgent_interrupt);                          // as the kicker's redirect
  bytes.push_back(0xc3);
  const uint32_t start = layOut(bytes);
  const int status = inChild([&] {
    trap_probe_inner_code = addressOf(code_ + kScavengeAt);
    testing_support::resetRecorder(kUnboundAnswer);
    const uint32_t scavenges = ScavengeCt;
    runAt(start, 0, 0, 0);
    if (ScavengeCt != scavenges + 1) return 8;
    const uint32_t cell = lisp::objectAddress(trap_probe_registers[1]);
    if (!lisp::isCons(trap_probe_registers[1]) || cell < GsNewFence || cell >= GsNewTop) return 9;
    const bool evacuated =
        cell >= GsNewScavengeToArea && cell < GsNewScavengeToArea + GsNewSemiSize;
    return evacuated ? 10 : 0;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << howItEnded(status);
}

// Real SIGINTs, sent every 2 ms by another thread, at Lisp code that takes
// an unbound-variable trap (int form) in a loop: whatever instruction each
// one lands on (the loop, the trap handler, the dispatcher, the C library,
// the fault handling), the loop runs on and every trap resumes right. In
// child processes: the keyboard route and the second thread stay there.
TEST_F(UrgentLandings, RealInterruptsAtLispThatTrapsInALoopNeverCrashIt) {
  constexpr int kRuns = 3, kInterrupts = 150;
  prepareLandings();
  static volatile uint32_t stop = 0;
  const uint32_t stopAddress = addressOf(const_cast<uint32_t*>(&stop));
  // loop: mov edx, [edi-0x29]; cmp edx, [edi-0x29]; jne +2; int 0x63;
  //       add eax, 4; cmp dword [stop], 0; je loop; ret
  std::vector<uint8_t> bytes{0x8b, 0x57, 0xd7, 0x3b, 0x57, 0xd7, 0x75, 0x02,
                             0xcd, 0x63, 0x83, 0xc0, 0x04, 0x83, 0x3d};
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(stopAddress >> (8 * i)));
  bytes.push_back(0x00);
  bytes.push_back(0x74);
  bytes.push_back(static_cast<uint8_t>(-static_cast<int>(bytes.size() + 1)));
  bytes.push_back(0xc3);
  const uint32_t loop = layOut(bytes);
  global(global::kErrorSymbolWithDatum) = recorderSymbol_;
  for (int run = 0; run < kRuns; ++run) {
    SCOPED_TRACE(testing::Message() << "run " << run);
    const int status = inChild([&] {
      signal(SIGINT, [](int) {});  // outside the frame: passed on to nothing
      platform::routeKeyboardInterrupt();
      lisp::presence::arrive();
      stop = 0;
      global(global::kInterruptCounter) = makeFixnum(0);
      testing_support::resetRecorder(kUnboundAnswer);
      const pthread_t lispThread = pthread_self();
      std::thread interrupter([&] {
        for (int i = 0; i < kInterrupts; ++i) {
          pthread_kill(lispThread, SIGINT);
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        stop = 1;
      });
      const LispCallResult result = runAt(loop, makeFixnum(0), name_, 0);
      interrupter.join();
      if (result.eax == 0 || (result.eax & 3) != 0) return 8;  // iterations, a fixnum
      if (trap_probe_registers[2] != kUnboundAnswer) return 9;
      if (trap_probe_registers[1] != name_) return 10;
      return 0;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << howItEnded(status);
  }
}

}  // namespace
}  // namespace calling_protocol_test
