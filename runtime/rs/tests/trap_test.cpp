// Traps and faults reaching their handlers: trap calls and int forms through
// the harness, real faults (loads from low addresses, hlt, other int
// numbers, a jump to an unmapped address) in child processes, and the
// faults that are passed on ending the process with their signal. Every
// call runs inside the runtime's exception frame, with the probes' code (or
// the laid-out code) counted as Lisp code.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <thread>
#include <vector>

#include "platform/faults.h"
#include "platform/thread_block.h"
#include "platform/threads.h"
#include "runtime/gc/heap_layout.h"
#include "runtime/gc/scavenger.h"
#include "runtime/load/small_services.h"
#include "runtime/os/exception_filter.h"
#include "runtime/os/lisp_guarded_region.h"
#include "runtime/rs/runtime_routines.h"
#include "runtime/rs/signal_kicker.h"
#include "runtime/rs/tests/calling_protocol_fixture.h"
#include "runtime/rs/tests/collection_probes.h"
#include "runtime/rs/trap_handlers.h"
#include "runtime/rs/trap_record.h"

extern "C" {
void trap_probe_unbound_eax_call();
void trap_probe_unbound_edx_call();
void trap_probe_unbound_esi_call();
void trap_probe_unbound_ecx_call();
void trap_probe_unbound_eax_int();
void trap_probe_unbound_edx_int();
void trap_probe_unbound_esi_int();
void trap_probe_unbound_ecx_int();
void trap_probe_unbound_other_compare();
void trap_probe_funbound_call();
void trap_probe_signal_hit();
void trap_probe_signal_hit_int();
void trap_probe_stack_ovfl();
void trap_probe_run();
void trap_probe_exit_entry();
void trap_probe_nesting_entry();
void trap_probes_begin();
void trap_probes_end();
extern uint32_t trap_probe_symbol;
extern uint32_t trap_probe_code;
extern uint32_t trap_probe_registers[3];
extern uint32_t trap_probe_inner_code;
extern uint32_t trap_probe_inner_registers[3];

// What a Lisp function that ends the child was called with.
struct ExitReport {
  uint32_t eax, edx, count, third;
  uint32_t called;
};
ExitReport* trap_exit_report = nullptr;
uint32_t unordered_flags(const uint8_t* image, uint32_t compare, uint32_t flags);
[[noreturn]] void trap_probe_exit(uint32_t eax, uint32_t edx, uint32_t count, uint32_t third) {
  *trap_exit_report = {eax, edx, count, third, 1};
  _exit(0);
}
}

namespace calling_protocol_test {
namespace {

namespace tr = lisp::thread_record;
constexpr int32_t kContinuableErrorSymbol = -0x2a5;
constexpr int32_t kBreakpointSymbol = -0xe1;
constexpr int32_t kDeferralSymbol = -0xa9;
constexpr int32_t kSignalPendingWord = -0x35;
constexpr uint32_t kUnboundError = 5, kUndefinedFunctionError = 25;

// An interrupt landed at a chosen instruction: the thread runs with the trap
// flag set; from the step that reaches `after`, `landing` more instructions
// are run, and then the keyboard interrupt is delivered there as the
// exception filter delivers it (the kicker edits the context; with the
// interrupt counter at 4 that is the urgent redirect). The step handler is
// the test's own, for a child process: the fault handling's would offer
// every step to the frames.
struct LandedInterrupt {
  uint32_t after = 0;
  int landing = 0;
  bool counting = false;
  bool landed = false;
};
LandedInterrupt landed;
uint32_t landedEip = 0;

void stepTowardsTheLanding(int, siginfo_t*, void* machine) {
  greg_t* r = static_cast<ucontext_t*>(machine)->uc_mcontext.gregs;
  if (landed.landed) {  // the flag came back with flags saved before the landing
    r[REG_EFL] &= ~0x100;
    return;
  }
  if (!landed.counting && static_cast<uint32_t>(r[REG_EIP]) == landed.after) landed.counting = true;
  if (!landed.counting || landed.landing-- > 0) return;
  r[REG_EFL] &= ~0x100;
  platform::ThreadContext context{};
  context.parts = platform::context_part::kAll;
  context.edi = r[REG_EDI], context.esi = r[REG_ESI], context.ebx = r[REG_EBX];
  context.edx = r[REG_EDX], context.ecx = r[REG_ECX], context.eax = r[REG_EAX];
  context.ebp = r[REG_EBP], context.eip = r[REG_EIP], context.esp = r[REG_ESP];
  context.eflags = r[REG_EFL];
  landedEip = context.eip;
  gotsigkicker(2, &context);
  r[REG_EIP] = context.eip;
  r[REG_ESP] = context.esp;
  landed.landed = true;
}

// Runs `body` single-stepped until the landing. The fault handling must be
// in place and have returned from a handler once (see landingPrepared).
template <class Body>
void stepping(Body body) {
  struct sigaction action {};
  action.sa_sigaction = stepTowardsTheLanding;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTRAP, &action, nullptr);
  asm volatile("pushfl; orl $0x100, (%%esp); popfl" ::: "memory", "cc");
  body();
  asm volatile("pushfl; andl $~0x100, (%%esp); popfl" ::: "memory", "cc");
}

// The address of the first direct call from `routine` to `target`
// (within its first 128 bytes), or 0.
uint32_t callSite(void (*routine)(), void (*target)()) {
  const auto* code = reinterpret_cast<const uint8_t*>(routine);
  for (int i = 0; i < 128; ++i) {
    int32_t relative;
    std::memcpy(&relative, code + i + 1, 4);
    if (code[i] == 0xe8 &&
        addressOf(code + i + 5) + static_cast<uint32_t>(relative) == addressOf(target))
      return addressOf(code + i);
  }
  return 0;
}

// Where a routine that begins with its runtime frame goes on: after the
// frame's last instruction, which clears the symbol slot
// (mov dword ptr [ebp-0x18], 0); 0 when it is not within 64 bytes.
uint32_t afterRuntimeFrame(void (*routine)()) {
  const uint8_t clearSymbolSlot[] = {0xc7, 0x45, 0xe8, 0, 0, 0, 0};
  const auto* code = reinterpret_cast<const uint8_t*>(routine);
  for (int i = 0; i < 64; ++i)
    if (std::memcmp(code + i, clearSymbolSlot, sizeof clearSymbolSlot) == 0)
      return addressOf(code + i + sizeof clearSymbolSlot);
  return 0;
}

class Traps : public CallingProtocolHeap {
 protected:
  void SetUp() override {
    CallingProtocolHeap::SetUp();
    platform::setThreadSlot(slot_, thread_);
    global(kContinuableErrorSymbol) = recorderSymbol_;
    global(kBreakpointSymbol) = recorderSymbol_;
    unboundMarker_ = global(lisp::nil_block::global::kUnboundMarker);
    name_ = symbol();
    trap_probe_symbol = name_;
    code_ = static_cast<uint8_t*>(mmap(nullptr, kCodeBytes, PROT_READ | PROT_WRITE | PROT_EXEC,
                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(code_, MAP_FAILED);
    report_ = static_cast<ExitReport*>(mmap(nullptr, sizeof(ExitReport), PROT_READ | PROT_WRITE,
                                            MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(report_, MAP_FAILED);
    trap_exit_report = report_;
  }
  void TearDown() override {
    lisp::os::setExtraLispCode(0, 0);
    munmap(code_, kCodeBytes);
    munmap(report_, sizeof(ExitReport));
    platform::setThreadSlot(slot_, 0);
    CallingProtocolHeap::TearDown();
  }

  // A call inside the exception frame, with [begin, end) counted as Lisp code.
  LispCallResult callInFrame(const LispCallSetup& setup, uint32_t begin, uint32_t end) {
    struct Call {
      Traps* self;
      const LispCallSetup* setup;
      LispCallResult result;
    } inFrame{this, &setup, {}};
    lisp::os::setExtraLispCode(begin, end);
    lisp::os::runInLispExceptionFrame(
        [](void* argument) -> uint32_t {
          auto* c = static_cast<Call*>(argument);
          c->result = c->self->CallingProtocolHeap::call(*c->setup);
          return 0;
        },
        &inFrame);
    return inFrame.result;
  }
  LispCallResult call(const LispCallSetup& setup) {
    return callInFrame(setup, addressOf(trap_probes_begin), addressOf(trap_probes_end));
  }
  LispCallResult callCode(const LispCallSetup& setup) {
    return callInFrame(setup, addressOf(code_), addressOf(code_) + kCodeBytes);
  }

  LispCallSetup probe(void (*routine)()) {
    LispCallSetup setup = setupFor(0);
    setup.target = addressOf(routine);
    return setup;
  }

  // Lays out code (followed by a ret) and runs it from a runtime frame
  // with eax, ecx, edx.
  LispCallResult runCode(std::initializer_list<uint8_t> bytes, uint32_t eax = 0, uint32_t ecx = 0,
                         uint32_t edx = 0) {
    std::memcpy(code_, std::data(bytes), bytes.size());
    code_[bytes.size()] = 0xc3;
    trap_probe_code = addressOf(code_);
    trap_probe_registers[0] = eax;
    trap_probe_registers[1] = ecx;
    trap_probe_registers[2] = edx;
    return callCode(probe(trap_probe_run));
  }
  // A direct call of `target` placed at the start of the code.
  std::vector<uint8_t> callTo(void (*target)()) {
    const uint32_t relative = addressOf(target) - (addressOf(code_) + 5);
    std::vector<uint8_t> bytes{0xe8};
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(relative >> (8 * i)));
    return bytes;
  }
  LispCallResult runCode(const std::vector<uint8_t>& bytes, uint32_t eax = 0, uint32_t ecx = 0,
                         uint32_t edx = 0) {
    std::memcpy(code_, bytes.data(), bytes.size());
    code_[bytes.size()] = 0xc3;
    trap_probe_code = addressOf(code_);
    trap_probe_registers[0] = eax;
    trap_probe_registers[1] = ecx;
    trap_probe_registers[2] = edx;
    return callCode(probe(trap_probe_run));
  }

  // Code that enters `routine` as a redirected context does: the address
  // after it pushed, then a jump.
  std::vector<uint8_t> redirectTo(void (*routine)()) {
    const uint32_t next = addressOf(code_) + 10;
    const uint32_t relative = addressOf(routine) - next;
    std::vector<uint8_t> bytes{0x68};
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(next >> (8 * i)));
    bytes.push_back(0xe9);
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(relative >> (8 * i)));
    return bytes;
  }

  // Before stepping in a child: one trap through the fault handling, which
  // installs it, and whose return leaves this thread's own segment entries
  // in place (under the user-mode emulator the descriptor table is one for
  // the process), so that the step handler's returns keep them.
  void landingPrepared() {
    testing_support::resetRecorder(nil());
    LispCallSetup setup = probe(trap_probe_unbound_eax_int);
    setup.eax = unboundMarker_;
    call(setup);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
  }

  // Makes the function of the symbol in global word `offset` end the child
  // process with what it was called with.
  void endChildFrom(int32_t offset) {
    global(offset) = symbol(objects_->makeFunction(addressOf(trap_probe_exit_entry)));
  }

  static constexpr size_t kCodeBytes = 4096;
  uint32_t unboundMarker_ = 0;
  lispval name_ = 0;
  uint8_t* code_ = nullptr;
  ExitReport* report_ = nullptr;
};

TEST_F(Traps, UnboundStoresTheValueIntoTheComparedRegisterAndResumesPastTheTrap) {
  const struct {
    void (*routine)();
    const char* what;
    uint32_t LispCallSetup::*reg;
  } cases[] = {
      {trap_probe_unbound_eax_call, "eax, call", &LispCallSetup::eax},
      {trap_probe_unbound_edx_call, "edx, call", &LispCallSetup::edx},
      {trap_probe_unbound_esi_call, "esi, call", &LispCallSetup::esi},
      {trap_probe_unbound_ecx_call, "ecx, call", &LispCallSetup::ecx},
      {trap_probe_unbound_eax_int, "eax, int", &LispCallSetup::eax},
      {trap_probe_unbound_edx_int, "edx, int", &LispCallSetup::edx},
      {trap_probe_unbound_esi_int, "esi, int", &LispCallSetup::esi},
      {trap_probe_unbound_ecx_int, "ecx, int", &LispCallSetup::ecx},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::resetRecorder(makeFixnum(77));
    LispCallSetup setup = probe(c.routine);
    setup.*c.reg = unboundMarker_;
    const LispCallResult result = call(setup);
    EXPECT_EQ(result.eax, makeFixnum(77));
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    if (c.reg != &LispCallSetup::ecx) {
      EXPECT_EQ(recorded()[0], error(kUnboundError, name_));
    }
    EXPECT_EQ(recorded()[0].first, makeFixnum(kUnboundError));
    EXPECT_EQ(result.esi, kCallerFunction);
  }
}

TEST_F(Traps, UnboundStoresNothingWithoutTheCompare) {
  testing_support::resetRecorder(makeFixnum(77));
  LispCallSetup setup = probe(trap_probe_unbound_other_compare);
  setup.edx = global(-0x25);
  const LispCallResult result = call(setup);
  EXPECT_EQ(result.eax, setup.edx);
  EXPECT_EQ(recorded(), (std::vector<Signalled>{error(kUnboundError, name_)}));
}

// A binding cell in ecx stands for the symbol it binds (its name word).
TEST_F(Traps, UnboundNamesTheSymbolALocativeBinds) {
  auto* cell = static_cast<uint32_t*>(objects_->allocate(32));
  cell[0] = 0x87;
  cell[1] = unboundMarker_;
  cell[4] = name_;
  const lispval locative = lisp::pointerWord(addressOf(cell), lisp::Tag::Symbol);
  for (lispval given : {locative, locative - 7}) {
    SCOPED_TRACE(given == locative ? "tagged" : "raw pointer");
    trap_probe_symbol = given;
    testing_support::resetRecorder(makeFixnum(77));
    LispCallSetup setup = probe(trap_probe_unbound_eax_call);
    setup.eax = unboundMarker_;
    EXPECT_EQ(call(setup).eax, makeFixnum(77));
    EXPECT_EQ(recorded(), (std::vector<Signalled>{error(kUnboundError, name_)}));
  }
  trap_probe_symbol = name_;
}

TEST_F(Traps, UndefinedFunctionSignalsError25WithTheSymbol) {
  testing_support::resetRecorder(nil());
  call(probe(trap_probe_funbound_call));
  EXPECT_EQ(recorded(), (std::vector<Signalled>{error(kUndefinedFunctionError, name_)}));
  EXPECT_EQ(threadWord(tr::kTrapHandlerKind), makeFixnum(4));
}

// The instruction after the trap encodes the field read: ModRM and an
// 8-bit displacement; its register gets +1 (list) or +7 (symbol) back.
TEST_F(Traps, FieldTrapsDecodeTheOperandIntoTheErrorCode) {
  const struct {
    uint8_t number;  // 0x67 symbol, 0x69 list
    uint8_t modrm;
    int8_t displacement;
    uint32_t code;
    uint32_t reg;  // 0 eax, 1 ecx, 2 edx
  } cases[] = {
      {0x69, 0x40, -0x10, 1, 0},  {0x69, 0x41, -0xc, 2, 1}, {0x69, 0x02, 0, 1, 2},
      {0x67, 0x40, -0x10, 12, 0}, {0x67, 0x41, -0xc, 6, 1}, {0x67, 0x42, -8, 8, 2},
      {0x67, 0x40, -4, 10, 0},    {0x67, 0x40, 0, 7, 0},    {0x67, 0x40, 8, 26, 0},
      {0x67, 0x40, 0xc, 29, 0},   {0x67, 0x40, 0x20, 9, 0}, {0x67, 0x01, 0, 9, 1},
  };
  const uint32_t in[3] = {0x1000, 0x2000, 0x3000};
  for (const auto& c : cases) {
    for (bool intForm : {false, true}) {
      SCOPED_TRACE(testing::Message() << std::hex << "int " << +c.number << " modrm " << +c.modrm
                                      << " d " << +c.displacement << (intForm ? " int" : " call"));
      std::vector<uint8_t> bytes = intForm ? std::vector<uint8_t>{0xcd, c.number}
                                           : callTo(c.number == 0x67 ? trap_sym_cons : trap_cons);
      bytes.push_back(0x8d);  // lea: reads nothing through the operand
      bytes.push_back(c.modrm);
      if (c.modrm >= 0x40) bytes.push_back(static_cast<uint8_t>(c.displacement));
      testing_support::resetRecorder(nil());
      runCode(bytes, in[0], in[1], in[2]);
      const uint32_t datum = in[c.reg] + (c.number == 0x67 ? 7 : 1);
      EXPECT_EQ(recorded(), (std::vector<Signalled>{error(c.code, datum)}));
    }
  }
}

TEST_F(Traps, ARejectedOperandGoesToTheConditionFunctionWithTheDefaults) {
  for (uint8_t modrm : {uint8_t{0x46}, uint8_t{0x47}, uint8_t{0x06}}) {
    for (bool intForm : {false, true}) {
      SCOPED_TRACE(testing::Message() << std::hex << +modrm << (intForm ? " int" : " call"));
      std::vector<uint8_t> bytes = intForm ? std::vector<uint8_t>{0xcd, 0x69} : callTo(trap_cons);
      bytes.push_back(0x8d);
      bytes.push_back(modrm);
      if (modrm >= 0x40) bytes.push_back(0);
      testing_support::resetRecorder(nil());
      runCode(bytes, 0x1000, 0x2000, 0x3000);
      ASSERT_EQ(lisp_recorder_log.count, 1u);
      EXPECT_EQ(recorded()[0].first, lisp::makeFixnum(intForm ? 1 : -0x69));
      EXPECT_EQ(threadWord(tr::kTrapHandlerKind), makeFixnum(0));
    }
  }
}

TEST_F(Traps, StackOverflowCallsTheConditionFunctionThenPutsTheLimitBack) {
  threadWord(tr::kStackLimit) = 0xffffffff;
  testing_support::resetRecorder(nil());
  call(probe(trap_probe_stack_ovfl));
  EXPECT_EQ(recorded(), (std::vector<Signalled>{{makeFixnum(1000), t()}}));
  EXPECT_EQ(threadWord(tr::kStackLimit), 0xffffffffu);
}

// During start-up the condition function's word holds no symbol yet: a
// stack-overflow trap then ends the process with its report, as the
// argument area's overflow does, instead of calling through that word.
TEST_F(Traps, AStackOverflowTrapBeforeTheConditionFunctionExistsEndsWithItsReport) {
  for (const lispval word : {lispval{0}, nil()}) {
    SCOPED_TRACE(testing::Message() << "condition word " << std::hex << word);
    EXPECT_EXIT(
        {
          std::thread([] {  // a watchdog: the report used to fault in a loop
            std::this_thread::sleep_for(std::chrono::seconds(60));
            std::_Exit(3);
          })
              .detach();
          global(kConditionSymbol) = word;
          threadWord(tr::kStackLimit) = 0xffffffff;
          call(probe(trap_probe_stack_ovfl));
          std::_Exit(0);
        },
        testing::ExitedWithCode(1), "");
  }
}

// The dispatcher lowers the limit 0xa000 below the lower of the stack
// pointer and the old limit, never below the stack's end plus a reserve.
TEST_F(Traps, StackOverflowLowersTheLimitWithinTheStack) {
  const struct {
    uint32_t esp, limit, base, size, expected;
  } cases[] = {
      {0x500000, 0x510000, 0, 0, 0x4f6000},
      {0x500000, 0x4f0000, 0, 0, 0x4e6000},
      {0x500000, 0x4f0000, 0x600000, makeFixnum(0x10d000), 0x4f7000},  // floor: end + 0x4000
      {0x500000, 0x4f0000, 0x600000, makeFixnum(0x200000), 0x4e6000},
      {0x5000, 0x510000, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.esp << " " << c.limit << " " << c.base);
    threadWord(tr::kStackLimit) = c.limit;
    threadWord(tr::kStackBase) = c.base;
    threadWord(tr::kStackSize) = c.size;
    lisp::TrapRecord record{};
    record.context.esp = c.esp;
    record.context.edi = nil();
    EXPECT_EQ(syncsig1x(-0x65, nullptr, &record.context), addressOf(stack_ov));
    EXPECT_EQ(threadWord(tr::kStackLimit), c.expected);
    EXPECT_EQ(threadWord(tr::kTrapErrorDatum), c.limit);
  }
  threadWord(tr::kStackBase) = 0;
  threadWord(tr::kStackSize) = 0;
}

TEST_F(Traps, APendingInterruptReachesTheConditionFunctionUnlessDeferred) {
  const lispval deferral = symbol();
  global(kDeferralSymbol) = deferral;
  for (void (*routine)() : {trap_probe_signal_hit, trap_probe_signal_hit_int}) {
    global(kSignalPendingWord) = 0xffffffff;
    lisp::wordAt(deferral, -0x13) = nil();
    testing_support::resetRecorder(nil());
    call(probe(routine));
    EXPECT_EQ(recorded(), (std::vector<Signalled>{{nil(), t()}}));
    EXPECT_EQ(global(kSignalPendingWord), 0u);

    // Deferred: resumes at once, the word keeps all but its low byte.
    global(kSignalPendingWord) = 0xffffffff;
    lisp::wordAt(deferral, -0x13) = t();
    testing_support::resetRecorder(nil());
    const LispCallResult result = call(probe(routine));
    EXPECT_EQ(lisp_recorder_log.count, 0u);
    EXPECT_EQ(global(kSignalPendingWord), 0xffffff00u);
    EXPECT_EQ(result.esi, kCallerFunction);
  }
}

// The saved x87 registers ordered by sign, then significand (reversed when
// both are negative); the compare's ModRM names ST(i), one less when it pops.
TEST(UnorderedCompare, TheFlagsTellBelowEqualOrAbove) {
  constexpr uint32_t kIn = 0x8d5;  // OF SF ZF AF PF CF
  constexpr uint32_t kBelow = (kIn & ~0x45u) | 0x01, kEqual = (kIn & ~0x45u) | 0x40,
                     kAbove = kIn & ~0x45u;
  const struct {
    bool aNegative;
    uint64_t a;
    bool bNegative;
    uint64_t b;
    uint8_t opcode, modrm;
    uint32_t flags;
  } cases[] = {
      {false, 1, false, 2, 0xd8, 0xd1, kBelow},
      {false, 2, false, 1, 0xd8, 0xd1, kAbove},
      {true, 9, false, 1, 0xd8, 0xd1, kBelow},
      {false, 1, true, 9, 0xd8, 0xd1, kAbove},
      {true, 1, true, 2, 0xd8, 0xd1, kAbove},
      {false, 5, false, 5, 0xd8, 0xd1, kEqual},
      {false, 1ull << 40, false, 2, 0xd8, 0xd1, kAbove},
      {false, 1, false, 2, 0xd8, 0xd9, kEqual},  // popped: ST(0) against itself
      {false, 1, false, 2, 0xd8, 0xda, kBelow},  // popped: ST(1)
      {false, 1, false, 2, 0xdc, 0xd1, kIn},     // not D8: unchanged
      {false, 1, false, 2, 0xd8, 0xc1, kIn},     // not a register compare
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.a << " " << c.b << " " << +c.modrm);
    alignas(16) uint8_t image[512] = {};
    std::memcpy(image + 32, &c.a, 8);
    image[32 + 9] = c.aNegative ? 0x80 : 0;
    std::memcpy(image + 48, &c.b, 8);
    image[48 + 9] = c.bNegative ? 0x80 : 0;
    const uint8_t compare[2] = {c.opcode, c.modrm};
    EXPECT_EQ(unordered_flags(image, addressOf(compare), kIn), c.flags);
  }
}

TEST_F(Traps, TheUrgentInterruptRaisesError20AndReturnsToTheInterruptedCode) {
  testing_support::resetRecorder(nil());
  const LispCallResult result = runCode(redirectTo(urgent_interrupt), 0x100, 0x200, 0x300);
  EXPECT_EQ(recorded(), (std::vector<Signalled>{error(20, makeFixnum(5))}));
  EXPECT_EQ(trap_probe_registers[0], 0x100u);
  EXPECT_EQ(trap_probe_registers[1], 0x200u);
  EXPECT_EQ(trap_probe_registers[2], 0x300u);
  EXPECT_EQ(result.esi, kCallerFunction);
}

// While native code runs (word 1 of the foreign-call head is 0), or a leaf
// native call is in progress, the report runs from a native entry frame and
// the native code goes on with its registers.
TEST_F(Traps, ASignalInNativeCodeReachesTheConditionFunctionAndReturns) {
  alignas(8) uint32_t head[tr::kClinkRecordWords] = {tr::kEmptyClinkChain, 0};
  alignas(8) uint32_t leafRecord[tr::kClinkRecordWords] = {};
  const uint32_t kLeafFrame = 0x7654320;
  for (bool leaf : {false, true}) {
    SCOPED_TRACE(leaf ? "leaf call" : "native code");
    threadWord(tr::kClinkHead) = addressOf(head);
    head[1] = leaf ? 0x1230 : 0;
    if (leaf) {
      threadWord(tr::kLeafCallStack) = addressOf(leafRecord);
      threadWord(tr::kLeafCallFrame) = kLeafFrame;
    }
    threadWord(tr::kTrapHandlerKind) = makeFixnum(11);
    uint32_t nativeFrame = 0;
    testing_support::resetRecorder(nil());
    runCode(redirectTo(leaf ? handle_sig_from_c_leaf : handle_sig_from_c), 0x100, 0x200, 0x300);
    EXPECT_EQ(recorded(), (std::vector<Signalled>{{makeFixnum(11), t()}}));
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    EXPECT_EQ(lisp_recorder_log.calls[0].callerFrame[frameIndex(4)],
              lisp::nil_block::marker::kNativeEntry);
    nativeFrame = leaf ? leafRecord[1] : 0;
    EXPECT_EQ(trap_probe_registers[0], 0x100u);
    EXPECT_EQ(trap_probe_registers[1], 0x200u);
    EXPECT_EQ(trap_probe_registers[2], 0x300u);
    EXPECT_EQ(head[1], leaf ? 0x1230u : 0u);
    EXPECT_EQ(threadWord(tr::kClinkHead), addressOf(head));
    if (leaf) {
      EXPECT_EQ(threadWord(tr::kLeafCallStack), addressOf(leafRecord));
      EXPECT_EQ(leafRecord[0], addressOf(head));
      EXPECT_NE(nativeFrame, 0u);
      EXPECT_EQ(leafRecord[2], kLeafFrame);
    }
    threadWord(tr::kLeafCallStack) = nil();
  }
  threadWord(tr::kClinkHead) = tr::kEmptyClinkChain;
}

TEST_F(Traps, AFaultInNativeCodeGoesToTheConditionFunction) {
  alignas(8) uint32_t head[tr::kClinkRecordWords] = {tr::kEmptyClinkChain, 0};
  threadWord(tr::kClinkHead) = addressOf(head);
  endChildFrom(kConditionSymbol);
  *report_ = {};
  EXPECT_EXIT(runCode({0x8b, 0x41, 0x00}, 0, 0x10), testing::ExitedWithCode(0), "");
  threadWord(tr::kClinkHead) = tr::kEmptyClinkChain;
  EXPECT_EQ(report_->called, 1u);
  EXPECT_EQ(report_->eax, makeFixnum(11));
  EXPECT_EQ(report_->edx, t());
}

TEST_F(Traps, GetSignalTakesPostedSignalsInSlotOrder) {
  constexpr int32_t kGetSignal = 0xdf;
  std::fill(std::begin(lsignals), std::end(lsignals), 0);
  lsignals[2] = 7;
  lsignals[5] = 3;
  uint32_t signalWord = 0;
  threadWord(tr::kSignalWordAddress) = addressOf(&signalWord);
  for (uint32_t expected : {7u, 3u, 0u}) {
    global(kSignalPendingWord) = 0xffffffff;
    EXPECT_EQ(call(setupFor(kGetSignal)).eax, makeFixnum(expected));
    EXPECT_EQ(global(kSignalPendingWord), 0u);
    EXPECT_EQ(signalWord, 100000u);
  }
  for (int slot : lsignals) EXPECT_EQ(slot, 0);
  threadWord(tr::kSignalWordAddress) = 0;
  EXPECT_EQ(call(setupFor(kGetSignal)).eax, 0u) << "no signal word";
}

TEST_F(Traps, TheInterruptCheckWordTakesFixnumsAndBignumsAndComesBackUnsigned) {
  constexpr int32_t kGintchk = 0x36b, kSintchk = 0x36f, kPostSig = 0x30f;
  call(setupFor(kSintchk, makeFixnum(1234)));
  EXPECT_EQ(call(setupFor(kGintchk)).eax, makeFixnum(1234));
  EXPECT_EQ(sy_gintchk(), 1234u);
  call(setupFor(kSintchk, makeFixnum(-5)));
  EXPECT_EQ(sy_gintchk(), 0xfffffffbu);
  EXPECT_EQ(threadWord(tr::kLeafCallStack), nil()) << "the leaf call is over";
  global(kSignalPendingWord) = 0xffffffff;
  EXPECT_EQ(call(setupFor(kPostSig)).eax, nil());
  EXPECT_EQ(global(kSignalPendingWord), 0u);
  EXPECT_EQ(interrupt_pending_p(), 0u);
  sy_sintchk(0);
}

// A function and its code vector laid out by hand in new space, just above
// what is allocated there (the heap's own walk never reaches them).
TEST_F(Traps, FuncSubsumesPcHoldsExactlyForTheFunctionsCode) {
  const uint32_t block = (global(gc::global::kNewOtherTop) + 0x107) & ~7u;
  const uint32_t codeBlock = block + 0x40;
  constexpr uint32_t kUnits = 0x20;  // 0x40 bytes of code
  gc_test::at(codeBlock) = (kUnits << 8) | lisp::type_code::CodeVector;
  const uint32_t code = codeBlock + 4, codeVector = codeBlock + 0x12;
  auto* function = reinterpret_cast<lisp::FunctionObject*>(static_cast<uintptr_t>(block));
  function->header = lisp::headerWord(lisp::type_code::Function);
  function->codeVector = codeVector;
  const lispval object = block + 0x12;
  const struct {
    uint32_t start;
    uint32_t address;
    bool inside;
  } cases[] = {
      {code, code, true},
      {code, code + 0x3f, true},
      {code, code + 0x40, false},
      {code + 8, code + 4, false},
      {addressOf(gt_fwrap_start), code, true},  // the code vector's code counts
      {addressOf(gt_fwrap_start), code + 0x40, false},
  };
  for (const auto& c : cases) {
    function->start = c.start;
    LispCallSetup setup = setupFor(0, object, c.address);
    setup.target = addressOf(func_subsumes_pc);
    EXPECT_EQ(call(setup).eax, c.inside ? t() : nil()) << std::hex << c.start << " " << c.address;
  }
  // Not a function, or not in the heap: nil.
  function->start = code;
  function->header = lisp::headerWord(lisp::type_code::Closure);
  LispCallSetup setup = setupFor(0, object, code);
  setup.target = addressOf(func_subsumes_pc);
  EXPECT_EQ(call(setup).eax, nil());
  setup.eax = objects_->makeFunction(code);
  EXPECT_EQ(call(setup).eax, nil());
}

// A function that traps before building its frame: the handler inserts a
// frame for it (function word = the function register), so the report's
// caller chain shows it, and it resumes past the int.
TEST_F(Traps, AnUnownedTrapShowsTheInsertedFrame) {
  const uint32_t block = (global(gc::global::kNewOtherTop) + 0x107) & ~7u;
  const uint32_t codeBlock = block + 0x40;
  gc_test::at(codeBlock) = (0x100u << 8) | lisp::type_code::CodeVector;
  auto* function = reinterpret_cast<lisp::FunctionObject*>(static_cast<uintptr_t>(block));
  function->header = lisp::headerWord(lisp::type_code::Function);
  function->codeVector = codeBlock + 0x12;
  function->start = addressOf(code_);
  const lispval object = block + 0x12;
  const uint8_t bytes[] = {0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0xcd, 0x63, 0xc3};
  std::memcpy(code_, bytes, sizeof bytes);
  trap_probe_code = addressOf(code_);
  trap_probe_registers[0] = 0x100;
  trap_probe_registers[1] = name_;
  trap_probe_registers[2] = 0x300;
  LispCallSetup setup = probe(trap_probe_run);
  setup.esi = object;
  testing_support::resetRecorder(nil());
  callCode(setup);
  EXPECT_EQ(threadWord(tr::kTrapFrameOwned), nil());
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(recorded()[0], error(kUnboundError, name_));
  EXPECT_EQ(lisp_recorder_log.calls[0].linkFrame[frameIndex(4)], object);
  EXPECT_EQ(lisp_recorder_log.calls[0].linkFrame[frameIndex(0x1c)], thread_);
  EXPECT_EQ(trap_probe_registers[0], 0x100u);
  EXPECT_EQ(trap_probe_registers[2], 0x300u);
}

// ffunbound: the resolver's result goes into ecx, its word +2 into the
// register compared with the unresolved marker; a result still unresolved
// goes to the foreign-address error function first.
TEST_F(Traps, AnUnresolvedForeignAddressIsResolvedIntoTheComparedRegister) {
  constexpr int32_t kResolver = -0x1b5, kAddressError = -0xf1, kUnresolved = -0x21;
  global(kResolver) = recorderSymbol_;
  global(kAddressError) = recorderSymbol_;
  const uint32_t marker = global(kUnresolved);
  const lispval entryName = symbol();
  for (bool resolved : {true, false}) {
    const lispval result = arenaObject({0, entryName, 0, 0, 0, resolved ? 0x4000u : marker});
    for (bool intForm : {false, true}) {
      SCOPED_TRACE(testing::Message()
                   << (resolved ? "resolved" : "unresolved") << (intForm ? " int" : " call"));
      std::vector<uint8_t> bytes{0x3b, 0x57, 0xdf, 0x75};  // cmp edx, [edi-0x21]; jne
      if (intForm) {
        for (uint8_t b : {0x02, 0xcd, 0x66}) bytes.push_back(b);
      } else {
        for (uint8_t b : {0x06, 0xff, 0x97, 0x7f, 0xff, 0xff, 0xff}) bytes.push_back(b);
      }
      testing_support::resetRecorder(result);
      runCode(bytes, 0x100, name_, marker);
      EXPECT_EQ(trap_probe_registers[1], result);
      EXPECT_EQ(trap_probe_registers[2], resolved ? 0x4000u : marker);
      EXPECT_EQ(trap_probe_registers[0], 0x100u);
      std::vector<Signalled> expected{{name_, 0}};
      if (!resolved) expected.push_back({entryName, t()});
      EXPECT_EQ(recorded(), expected);
    }
  }
}

// ffunbound with a result still unresolved: the foreign-address error
// function runs a scavenge (the collector's entry, from the nesting stand-in
// function), which moves the result (a vector in new space); the resumed
// code gets it at its new place in ecx, and its word +2 in the compared
// register.
TEST_F(Traps, AnUnresolvedForeignAddressResumesWithTheResultTheCollectionMoved) {
  constexpr int32_t kResolver = -0x1b5, kAddressError = -0xf1, kUnresolved = -0x21;
  constexpr int32_t kNewSimpleVector = 0x17f;
  global(kResolver) = recorderSymbol_;
  global(kAddressError) = symbol(objects_->makeFunction(addressOf(trap_probe_nesting_entry)));
  const uint32_t marker = global(kUnresolved);
  // push nil (two home slots); mov eax, edi; call [edi+0x13b]; add esp, 8; ret
  const uint8_t scavenge[] = {0x57, 0x57, 0x89, 0xf8, 0xff, 0x97, 0x3b,
                              0x01, 0x00, 0x00, 0x83, 0xc4, 0x08, 0xc3};
  constexpr size_t kScavengeAt = kCodeBytes / 2;
  std::memcpy(code_ + kScavengeAt, scavenge, sizeof scavenge);
  for (bool intForm : {false, true}) {
    SCOPED_TRACE(intForm ? "int" : "call");
    const lispval result = call(setupFor(kNewSimpleVector, makeFixnum(5), makeFixnum(0))).eax;
    lisp::wordAt(result, 2) = marker;
    lisp::wordAt(result, -6) = makeFixnum(61);
    std::vector<uint8_t> bytes{0x3b, 0x57, 0xdf, 0x75};  // cmp edx, [edi-0x21]; jne
    if (intForm) {
      for (uint8_t b : {0x02, 0xcd, 0x66}) bytes.push_back(b);
    } else {
      for (uint8_t b : {0x06, 0xff, 0x97, 0x7f, 0xff, 0xff, 0xff}) bytes.push_back(b);
    }
    std::memcpy(code_, bytes.data(), bytes.size());
    code_[bytes.size()] = 0xc3;
    trap_probe_code = addressOf(code_);
    trap_probe_registers[0] = 0x100;
    trap_probe_registers[1] = name_;
    trap_probe_registers[2] = marker;
    LispCallSetup setup = probe(trap_probe_run);
    setup.frame[frameIndex(4)] = lisp::nil_block::marker::kRuntimeRoutine;
    testing_support::resetRecorder(result);
    trap_probe_inner_code = addressOf(code_ + kScavengeAt);
    const uint32_t scavenges = ScavengeCt;
    callCode(setup);
    EXPECT_EQ(ScavengeCt, scavenges + 1);
    const lispval resumed = trap_probe_registers[1];
    EXPECT_NE(resumed, result) << "the result moved";
    EXPECT_EQ(lisp::wordAt(resumed, -6), makeFixnum(61)) << std::hex << resumed;
    EXPECT_EQ(trap_probe_registers[2], marker);
    EXPECT_EQ(trap_probe_registers[0], 0x100u);
  }
}

// A trap inside the Lisp code a trap handler runs, of the other form (call
// inside int, int inside call): each handler resumes its own trapping code
// past its own trap, with the value it was given. The outer code counts in
// eax after its trap (two incs); the inner trap is an unbound variable
// compared in edx, run by the first Lisp function the outer handler calls.
TEST_F(Traps, ANestedTrapOfTheOtherFormLeavesTheOuterTrapsResumePoint) {
  constexpr int32_t kResolver = -0x1b5, kAddressError = -0xf1, kUnresolved = -0x21;
  constexpr int32_t kArgumentCountReporter = -0x4cd;
  const lispval nesting = symbol(objects_->makeFunction(addressOf(trap_probe_nesting_entry)));
  for (int32_t offset : {kContinuableErrorSymbol, kConditionSymbol, kResolver, kAddressError,
                         kArgumentCountReporter, lisp::nil_block::global::kErrorSymbol,
                         lisp::nil_block::global::kErrorSymbolWithDatum})
    global(offset) = nesting;
  const lispval deferral = symbol();
  lisp::wordAt(deferral, -0x13) = nil();
  global(kDeferralSymbol) = deferral;
  const uint32_t unresolved = global(kUnresolved);
  const lispval answer = arenaObject({0, symbol(), 0, 0, 0, 0x4000});

  using Bytes = std::vector<uint8_t>;
  const Bytes compareEdxUnbound{0x3b, 0x57, 0xd7}, compareEdxUnresolved{0x3b, 0x57, 0xdf};
  const struct {
    const char* what;
    Bytes before;  // the compare the handler looks for, or nothing
    Bytes callForm, intForm;
    uint32_t edx, edxAfter;  // edx given, and edx once resumed
    uint32_t outerCalls;     // Lisp calls the outer handler makes
  } cases[] = {
      {"argerr", {}, {0xff, 0x57, 0x8b}, {0xcd, 0x61}, 0x300, 0x300, 2},
      {"undefined function", {}, {0xff, 0x97, 0x57, 0x03, 0, 0}, {0xcd, 0x62}, 0x300, 0x300, 1},
      {"unbound", compareEdxUnbound, {0xff, 0x57, 0x83}, {0xcd, 0x63}, unboundMarker_, answer, 1},
      {"signal hit", {}, {0xff, 0x57, 0x87}, {0xcd, 0x64}, 0x300, 0x300, 1},
      {"stack overflow", {}, {0xff, 0x57, 0x43}, {0xcd, 0x65}, 0x300, 0x300, 1},
      {"unresolved foreign address", compareEdxUnresolved, {0xff, 0x97, 0x7f, 0xff, 0xff, 0xff},
       {0xcd, 0x66}, unresolved, 0x4000, 1},
  };
  const auto withJump = [](const Bytes& compare, const Bytes& trap) {
    Bytes bytes = compare;
    if (!compare.empty()) {
      bytes.push_back(0x75);  // jne past the trap
      bytes.push_back(static_cast<uint8_t>(trap.size()));
    }
    bytes.insert(bytes.end(), trap.begin(), trap.end());
    return bytes;
  };
  constexpr size_t kInnerAt = kCodeBytes / 2;
  for (const auto& c : cases) {
    for (bool outerInt : {false, true}) {
      SCOPED_TRACE(testing::Message() << c.what << (outerInt ? ": int, call inside"
                                                             : ": call, int inside"));
      Bytes outer = withJump(c.before, outerInt ? c.intForm : c.callForm);
      for (uint8_t b : {0x40, 0x40, 0xc3}) outer.push_back(b);  // inc eax; inc eax; ret
      Bytes inner = withJump(compareEdxUnbound, outerInt ? Bytes{0xff, 0x57, 0x83} : Bytes{0xcd, 0x63});
      inner.push_back(0xc3);
      std::memcpy(code_, outer.data(), outer.size());
      std::memcpy(code_ + kInnerAt, inner.data(), inner.size());
      trap_probe_code = addressOf(code_);
      trap_probe_inner_code = addressOf(code_ + kInnerAt);
      trap_probe_registers[0] = 0x100;
      trap_probe_registers[1] = name_;
      trap_probe_registers[2] = c.edx;
      trap_probe_inner_registers[0] = 0;
      trap_probe_inner_registers[1] = name_;
      trap_probe_inner_registers[2] = unboundMarker_;
      threadWord(tr::kStackLimit) = 0xffffffff;
      global(kSignalPendingWord) = 0xffffffff;
      testing_support::resetRecorder(answer);
      const LispCallResult result = callCode(probe(trap_probe_run));
      EXPECT_EQ(trap_probe_inner_code, 0u) << "the inner trap ran";
      EXPECT_EQ(trap_probe_inner_registers[2], answer) << "the inner trap's value";
      EXPECT_EQ(trap_probe_registers[0], 0x102u) << "resumed just past the outer trap";
      EXPECT_EQ(trap_probe_registers[2], c.edxAfter);
      EXPECT_EQ(lisp_recorder_log.count, 1 + c.outerCalls) << "each trap handled once";
      EXPECT_EQ(result.esi, kCallerFunction);
    }
  }
  trap_probe_inner_code = 0;
  global(kSignalPendingWord) = 0;
}

// Unbound-variable and undefined-function traps, call and int form, with
// their symbol in ecx (a new-space symbol, tagged or as a raw address) and
// an error function that collects: the code resumes with ecx at the
// symbol's new place, in the form it had.
TEST_F(Traps, TheSymbolInEcxResumesWhereTheCollectionMovedIt) {
  constexpr int32_t kNewSymbol = 0x127, kSymbolValue = -0x13;
  const lispval scavenging = symbol(objects_->makeFunction(addressOf(scavenging_start)));
  global(kContinuableErrorSymbol) = scavenging;
  global(lisp::nil_block::global::kErrorSymbolWithDatum) = scavenging;
  const struct {
    const char* what;
    std::vector<uint8_t> code;
    uint32_t error;
  } traps[] = {
      {"unbound, call", {0xff, 0x57, 0x83}, kUnboundError},
      {"unbound, int", {0xcd, 0x63}, kUnboundError},
      {"undefined function, call", {0xff, 0x97, 0x57, 0x03, 0, 0}, kUndefinedFunctionError},
      {"undefined function, int", {0xcd, 0x62}, kUndefinedFunctionError},
  };
  for (const auto& trap : traps) {
    for (uint32_t rawness : {0u, 7u}) {
      SCOPED_TRACE(testing::Message() << trap.what << (rawness ? ", raw address" : ", tagged"));
      const lispval name =
          CallingProtocolHeap::call(setupFor(kNewSymbol, nil(), makeFixnum(0), 2)).eax;
      lisp::wordAt(name, kSymbolValue) = makeFixnum(6062);
      testing_support::resetRecorder(makeFixnum(77));
      const uint32_t scavenges = ScavengeCt;
      std::vector<uint8_t> bytes = trap.code;
      bytes.push_back(0x90);  // nop: the call form's unbound resume skip lands here
      runCode(bytes, 0x100, name - rawness, 0x200);
      EXPECT_EQ(ScavengeCt, scavenges + 1);
      ASSERT_EQ(lisp_recorder_log.count, 1u);
      EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(trap.error));
      const lispval resumed = trap_probe_registers[1] + rawness;
      EXPECT_NE(resumed, name) << "the symbol moved";
      EXPECT_EQ(resumed & 7, name & 7);
      EXPECT_EQ(lisp::wordAt(resumed, kSymbolValue), makeFixnum(6062)) << std::hex << resumed;
      EXPECT_EQ(trap_probe_registers[0], 0x100u);
      EXPECT_EQ(trap_probe_registers[2], 0x200u);
    }
  }
}

// The urgent interrupt landing at each instruction from the return of a
// leaf native call (gintchk's) until the call is over: that is the
// runtime's code, not compiled Lisp code, so the interrupt is held for the
// next safe point (the counter stays at 4, the pending word set) and gintchk
// answers. In a child process: the trap flag and the step handler stay
// there.
TEST_F(Traps, AnUrgentInterruptAnywhereAfterALeafCallReturnsKeepsItsReturn) {
  const uint32_t call = callSite(gintchk, reinterpret_cast<void (*)()>(sy_gintchk));
  ASSERT_NE(call, 0u);
  const uint32_t afterCall = call + 5;
  landingPrepared();
  sy_sintchk(321);
  for (int landing = 0; landing < 4; ++landing) {
    SCOPED_TRACE(testing::Message() << landing << " instructions after the return");
    const auto run = [&] {
      landed = {afterCall, landing, false, false};
      global(lisp::nil_block::global::kInterruptCounter) = makeFixnum(4);
      testing_support::resetRecorder(nil());
      LispCallResult result{};
      const LispCallSetup setup = setupFor(0x36b);
      stepping([&] { result = testing_support::callWithLispConventions(setup); });
      if (!landed.landed) _exit(2);
      if (result.eax != makeFixnum(321)) _exit(3);
      if (lisp_recorder_log.count != 0) _exit(4);
      if (global(lisp::nil_block::global::kInterruptCounter) != makeFixnum(4) ||
          global(kSignalPendingWord) != 0xffffffff)
        _exit(7);
      if (threadWord(tr::kLeafCallStack) != nil()) _exit(5);
      if (threadWord(tr::kClinkHead) != tr::kEmptyClinkChain) _exit(6);
      _exit(0);
    };
    EXPECT_EXIT(run(), testing::ExitedWithCode(0), "");
  }
  sy_sintchk(0);
}

// The urgent interrupt landing at each instruction of a leaf native call's
// entry (gintchk's, from its record room up to the call), with a collection
// in error 20's Lisp and a new-space symbol in a slot of gintchk's caller
// that the walk visits. The thread's leaf frame word starts as nil (as at
// thread start). A redirect builds its foreign-call record from the leaf
// words, which must name this call's frame by then, over room that holds
// no stale words; a held interrupt collects nothing. Either way: no bad
// frame, and the caller's slot holds the symbol where it lives after. In
// child processes.
TEST_F(Traps, AnUrgentInterruptAnywhereInALeafCallsEntryFindsItsFrame) {
  constexpr int32_t kNewSymbol = 0x127, kSymbolValue = -0x13;
  const uint32_t entry = afterRuntimeFrame(gintchk);  // gintchk's leaf call begins there
  const uint32_t call = callSite(gintchk, reinterpret_cast<void (*)()>(sy_gintchk));
  ASSERT_NE(entry, 0u);
  ASSERT_GT(call, entry);
  global(lisp::nil_block::global::kErrorSymbolWithDatum) =
      symbol(objects_->makeFunction(addressOf(scavenging_start)));
  landingPrepared();
  sy_sintchk(321);
  auto* reached = static_cast<uint32_t*>(
      mmap(nullptr, 4, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(reached, MAP_FAILED);
  *reached = 0;
  for (int landing = 0; *reached != call && landing < 64; ++landing) {
    SCOPED_TRACE(testing::Message() << landing << " instructions into the entry");
    const auto run = [&] {
      alarm(60);
      const lispval name =
          testing_support::callWithLispConventions(setupFor(kNewSymbol, nil(), makeFixnum(0), 2))
              .eax;
      lisp::wordAt(name, kSymbolValue) = makeFixnum(6061);
      threadWord(tr::kLeafCallFrame) = nil();
      landed = {entry, landing, false, false};
      global(lisp::nil_block::global::kInterruptCounter) = makeFixnum(4);
      testing_support::resetRecorder(nil());
      LispCallSetup setup = setupFor(0x36b);
      setup.frame[frameIndex(4)] = lisp::nil_block::marker::kRuntimeRoutine;
      setup.frame[frameIndex(0x18)] = name;
      const uint32_t scavenges = ScavengeCt;
      LispCallResult result{};
      stepping([&] { result = testing_support::callAsWalkBase(setup, thread_); });
      *reached = landedEip;
      if (!landed.landed) _exit(2);
      if (result.eax != makeFixnum(321)) _exit(3);
      const lispval kept = result.frame[frameIndex(0x18)];
      if (ScavengeCt == scavenges) {  // held for the next safe point
        if (kept != name || lisp_recorder_log.count != 0) _exit(4);
      } else {
        if (lisp_recorder_log.count != 1 || lisp_recorder_log.calls[0].eax != makeFixnum(20))
          _exit(5);
        if (kept == name || (kept & 7) != (name & 7) ||
            lisp::wordAt(kept, kSymbolValue) != makeFixnum(6061))
          _exit(6);
      }
      if (threadWord(tr::kLeafCallStack) != nil()) _exit(7);
      _exit(0);
    };
    EXPECT_EXIT(run(), testing::ExitedWithCode(0), "");
  }
  EXPECT_EQ(*reached, call) << "the landings reached the call";
  munmap(reached, 4);
  sy_sintchk(0);
}

// The urgent interrupt landing while a trap's handler has not yet taken in
// the thread's trap words (its first instruction, inside the saving of the
// floating-point state): the trap is handled once and resumes past itself
// with its value; the urgent interrupt is held (the counter stays at 4, the
// pending word set) for the next request or the next safe point. In a child
// process, with an alarm in case the trap goes round for ever.
TEST_F(Traps, AnUrgentInterruptNeverTakesOverATrapItsHandlerHasNotTakenIn) {
  const uint8_t bytes[] = {0x3b, 0x57, 0xd7, 0x75, 0x03,  // cmp edx, [edi-0x29]; jne
                           0xff, 0x57, 0x83,              // call [edi-0x7d]
                           0x40, 0x40, 0xc3};             // inc eax; inc eax; ret
  std::memcpy(code_, bytes, sizeof bytes);
  landingPrepared();
  for (int landing : {0, 1, 40, 700}) {
    SCOPED_TRACE(testing::Message() << landing << " instructions into the handler");
    const auto run = [&] {
      alarm(60);
      landed = {addressOf(unbound), landing, false, false};
      global(lisp::nil_block::global::kInterruptCounter) = makeFixnum(4);
      trap_probe_code = addressOf(code_);
      trap_probe_registers[0] = 0x100;
      trap_probe_registers[1] = name_;
      trap_probe_registers[2] = unboundMarker_;
      testing_support::resetRecorder(makeFixnum(77));
      const LispCallSetup setup = probe(trap_probe_run);
      stepping([&] { testing_support::callWithLispConventions(setup); });
      if (!landed.landed) _exit(2);
      if (lisp_recorder_log.count != 1 || lisp_recorder_log.calls[0].eax != makeFixnum(5)) _exit(3);
      if (trap_probe_registers[0] != 0x102 || trap_probe_registers[2] != makeFixnum(77)) _exit(4);
      if (global(lisp::nil_block::global::kInterruptCounter) != makeFixnum(4)) _exit(5);
      if (global(kSignalPendingWord) != 0xffffffff) _exit(6);
      _exit(0);
    };
    EXPECT_EXIT(run(), testing::ExitedWithCode(0), "");
  }
}

// Interrupt requests from two threads at once: every one is counted (the
// counter wraps after 4).
// The two threads run in a child process: under the user-mode emulator a
// process that has run other threads no longer catches the faults of the
// children the later tests fork.
TEST_F(Traps, InterruptRequestsFromTwoThreadsAreAllCounted) {
  constexpr int kKicks = 1003;
  const auto countBothThreads = [this] {
    global(lisp::nil_block::global::kInterruptCounter) = makeFixnum(0);
    auto kick = [this] {
      platform::setThreadSlot(slot_, thread_);
      for (int i = 0; i < kKicks; ++i) gotsigkicker(2, nullptr);
    };
    std::thread first(kick), second(kick);
    first.join();
    second.join();
    const bool counted =
        global(lisp::nil_block::global::kInterruptCounter) == makeFixnum((2 * kKicks) % 5);
    _exit(counted ? 0 : 1);
  };
  EXPECT_EXIT(countBothThreads(), testing::ExitedWithCode(0), "");
}

// The dispatcher's choice by trap code (call form) and by int number: the
// handler, and the bytes skipped at the resume address.
TEST_F(Traps, TheDispatcherChoosesTheHandlerByTrapCode) {
  global(kDeferralSymbol) = nil();
  const struct {
    int32_t code;
    void (*handler)();
  } cases[] = {
      {0x61, argerr},
      {0x62, handle_saving_context},
      {0x63, unbound},
      {0x64, process_sig1},
      {0x65, stack_ov},
      {0x66, ffunbound},
      {0x67, handle_saving_context},
      {0x68, unordered},
      {0x69, handle_saving_context},
  };
  for (const auto& c : cases) {
    for (bool intForm : {false, true}) {
      SCOPED_TRACE(testing::Message() << std::hex << c.code << (intForm ? " int" : " call"));
      // int N (or nothing), then a field read the decoder accepts
      const uint8_t bytes[] = {0xcd, static_cast<uint8_t>(c.code), 0x8d, 0x40, 0xf0};
      lisp::TrapRecord record{};
      record.context.eip = addressOf(intForm ? bytes : bytes + 2);
      record.context.edi = nil();
      record.context.esp = 0x400000;
      record.context.ecx = name_;
      const uint32_t handler = syncsig1x(intForm ? 1 : -c.code, nullptr, &record.context);
      EXPECT_EQ(handler, addressOf(c.handler));
      EXPECT_EQ(record.context.eip, handler);
      EXPECT_EQ(threadWord(tr::kTrapAddress), addressOf(intForm ? bytes : bytes + 2));
      EXPECT_EQ(threadWord(tr::kTrapResumeSkip), intForm ? 2u : 0u);
      EXPECT_EQ(record.context.esp, 0x400000u) << "no frame: the stack stays";
    }
  }
  global(lisp::nil_block::global::kSignalPending) = 0;
}

// An int just before nil (the call stub) with nil in ebx is an undefined
// function, whatever its number.
TEST_F(Traps, AnIntInTheStubBeforeNilIsAnUndefinedFunction) {
  lisp::TrapRecord record{};
  record.context.eip = nil() - 3;
  record.context.ebx = nil();
  record.context.edi = nil();
  record.context.ecx = name_;
  EXPECT_EQ(syncsig1x(1, nullptr, &record.context), addressOf(handle_saving_context));
  EXPECT_EQ(threadWord(tr::kTrapErrorCode), makeFixnum(25));
  EXPECT_EQ(threadWord(tr::kTrapErrorDatum), name_);
}

// ---- real faults, in child processes ----

TEST_F(Traps, ALoadFromALowAddressIsAListErrorByItsDisplacement) {
  endChildFrom(lisp::nil_block::global::kErrorSymbolWithDatum);
  const struct {
    int8_t displacement;
    uint32_t code;
  } cases[] = {{-0xd, 2}, {-0x10, 1}};
  for (const auto& c : cases) {
    const uint32_t ecx = static_cast<uint32_t>(0x10 - c.displacement);
    *report_ = {};
    EXPECT_EXIT(runCode({0x8b, 0x41, static_cast<uint8_t>(c.displacement)}, 0, ecx),
                testing::ExitedWithCode(0), "");
    EXPECT_EQ(report_->called, 1u);
    EXPECT_EQ(report_->eax, makeFixnum(c.code));
    EXPECT_EQ(report_->edx, ecx);
  }
}

TEST_F(Traps, HltCallsTheBreakpointFunctionWithTheFrameAndTheAddress) {
  endChildFrom(kBreakpointSymbol);
  *report_ = {};
  EXPECT_EXIT(runCode({0xf4}), testing::ExitedWithCode(0), "");
  const uint32_t at = addressOf(code_);
  EXPECT_EQ(report_->count, 3u);
  EXPECT_EQ(report_->edx, makeFixnum(at & 0xffff));
  EXPECT_EQ(report_->third, makeFixnum(at >> 16));
}

// hlt inside a function's code, from the function's own frame: the
// breakpoint function gets the function and the offset of the hlt.
TEST_F(Traps, HltInAFunctionCallsTheBreakpointFunctionWithTheOffset) {
  const uint32_t block = (global(gc::global::kNewOtherTop) + 0x107) & ~7u;
  const uint32_t codeBlock = block + 0x40;
  gc_test::at(codeBlock) = (0x100u << 8) | lisp::type_code::CodeVector;
  auto* function = reinterpret_cast<lisp::FunctionObject*>(static_cast<uintptr_t>(block));
  function->header = lisp::headerWord(lisp::type_code::Function);
  function->codeVector = codeBlock + 0x12;
  function->start = addressOf(code_);
  const lispval object = block + 0x12;
  std::vector<uint8_t> bytes{0x55, 0x89, 0xe5, 0x68};  // push ebp; mov ebp, esp; push F
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(object >> (8 * i)));
  for (uint8_t b : {0x83, 0xec, 0x18, 0x89, 0x5d, 0xe4, 0xf4, 0xc9}) bytes.push_back(b);
  endChildFrom(kBreakpointSymbol);
  *report_ = {};
  EXPECT_EXIT(runCode(bytes), testing::ExitedWithCode(0), "");
  EXPECT_EQ(report_->count, 2u);
  EXPECT_EQ(report_->eax, object);
  EXPECT_EQ(report_->edx, makeFixnum(14));
}

TEST_F(Traps, AnotherIntNumberIsCondition4) {
  endChildFrom(kConditionSymbol);
  *report_ = {};
  EXPECT_EXIT(runCode({0xcd, 0x6a}), testing::ExitedWithCode(0), "");
  EXPECT_EQ(report_->eax, makeFixnum(4));
}

TEST_F(Traps, AJumpToAnUnmappedAddressIsHandledWithTheAddress) {
  endChildFrom(kConditionSymbol);
  *report_ = {};
  // mov eax, 0x1000; call eax
  EXPECT_EXIT(runCode({0xb8, 0x00, 0x10, 0x00, 0x00, 0xff, 0xd0}), testing::ExitedWithCode(0), "");
  EXPECT_EQ(report_->called, 1u);
  EXPECT_EQ(report_->eax, makeFixnum(11));
  EXPECT_EQ(report_->edx, makeFixnum(0x1000));
}

TEST_F(Traps, FaultsThatAreNotTheRuntimesEndTheProcessWithTheirSignal) {
  EXPECT_EXIT(runCode({0x31, 0xc9, 0xf7, 0xf1}), testing::KilledBySignal(SIGFPE), "");
  EXPECT_EXIT(runCode({0x0f, 0x0b}), testing::KilledBySignal(SIGILL), "");
  EXPECT_EXIT(runCode({0xcc}), testing::KilledBySignal(SIGTRAP), "");
}

}  // namespace
}  // namespace calling_protocol_test
