// The call glue through its entry slots on a real heap: funcall_check of
// every kind of object, qcar/qcdr of lists and non-lists, the wrapper
// readers, stack rest lists, short_vector, exit breakpoints, and the
// volatile save area.

#include "runtime/rs/call_glue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <thread>

#include "platform/thread_block.h"
#include "runtime/rs/object_layout.h"
#include "testing/lisp_constructor_heap.h"

extern "C" {
void restify_stack_probe();
void exit_breakpoint_probe();
void edx_clobbering_start();
void free_list_reading_start();
extern int32_t free_list_probe_offset;
extern uint32_t free_list_seen;
void volatile_round_trip(void* area, const double* in, double* out, uint32_t* edxOut);
extern uint32_t exit_probe_entry, exit_probe_carry;
extern uint32_t restify_probe_esp_before, restify_probe_esp_after, restify_probe_carry;
extern uint32_t restify_probe_esi, restify_probe_length;
extern uint32_t restify_probe_cars[8], restify_probe_cells[8];
}

namespace {

using namespace gc_test;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::frameIndex;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
namespace tc = lisp::type_code;

constexpr int32_t kQcar = 0x57;
constexpr int32_t kQcdr = 0x5b;
constexpr int32_t kQWrapper = 0x93;
constexpr int32_t kQWrapperStd = 0x97;
constexpr int32_t kQWrapperSlotsStd = 0xa3;
constexpr int32_t kShortVector = 0xf7;
constexpr int32_t kFlavSend = 0xdb;
constexpr int32_t kFuncallCheck = 0x2f7;
constexpr int32_t kCompToInterp = -0x1f1;
constexpr int32_t kClosureEntryCopy = -0x1c5;
constexpr int32_t kWrapperFallbackSymbol = -0x189;
constexpr int32_t kExitBreakpointSymbol = -0x2a1;
constexpr uint32_t kTooLong = 56;

uint32_t addressOf(const void* p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}
uint32_t addressOf(void (*f)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(f));
}

class CallGlue : public LispConstructorHeap {
 protected:
  void SetUp() override {
    LispConstructorHeap::SetUp();
    recorderFunction_ = objects_->makeFunction(testing_support::recorderAddress());
  }

  // Raw words laid out as an object in the test arena (tag 2).
  lispval arenaObject(std::initializer_list<uint32_t> words) {
    auto* storage = static_cast<uint32_t*>(objects_->allocate(64));
    uint32_t i = 0;
    for (uint32_t word : words) storage[i++] = word;
    return lisp::wordOf(storage, lisp::Tag::Other);
  }
  lispval cons(lispval car, lispval cdr) {
    auto* cell = static_cast<lisp::ConsCell*>(objects_->allocate(8));
    cell->car = car;
    cell->cdr = cdr;
    return lisp::wordOf(cell, lisp::Tag::Cons);
  }
  lispval closureOver(lispval templateFunction) {
    return arenaObject({tc::Closure, global(kClosureEntryCopy), templateFunction, nil()});
  }
  lispval standardInstance(uint32_t wrapper, uint32_t slots) {
    return arenaObject({tc::StandardInstance, wrapper, slots});
  }
  lispval funcallableInstance(uint32_t wrapper, uint32_t slots, bool marked = true) {
    auto* storage = static_cast<uint32_t*>(objects_->allocate(64));
    storage[0] = lisp::headerWord(tc::Function, marked ? 1 : 0x80, 0);
    storage[1 + 9] = wrapper;
    storage[1 + 10] = slots;
    return lisp::wordOf(storage, lisp::Tag::Other);
  }
  // A structure whose word 0 is a cons whose cdr's data word 1 is an object
  // holding `wrapper` in its word 8.
  lispval structureWithWrapper(uint32_t wrapper) {
    const lispval classObject =
        arenaObject({tc::LispVector | (9u << 8), 0, 0, 0, 0, 0, 0, 0, 0, wrapper});
    const lispval holder = arenaObject({tc::LispVector | (2u << 8), nil(), classObject});
    return arenaObject({tc::Structure | (2u << 8), cons(nil(), holder), nil()});
  }

  LispCallSetup funcallOf(lispval object, uint32_t count, uint32_t a, uint32_t b) {
    LispCallSetup setup = setupFor(kFuncallCheck, a, b, count);
    setup.esi = object;
    setup.ebx = 0x1234;  // funcall_check must not need the thread in ebx
    return setup;
  }

  lispval recorderFunction_ = 0;
};

// ---- funcall_check ----

TEST_F(CallGlue, FuncallCheckCallsFunctionsClosuresSymbolsAndLists) {
  const lispval f = recorderFunction_;
  const lispval closure = closureOver(f);
  const lispval symbol = objects_->makeSymbol(f);
  const lispval list = cons(nil(), nil());
  global(kCompToInterp) = testing_support::recorderAddress();
  const struct {
    const char* name;
    lispval object;
    uint32_t esi, ebx, symbolSlot, closureSlot;
  } cases[] = {
      {"function", f, f, thread_, nil(), 0},
      {"closure", closure, f, thread_, nil(), closure},
      {"symbol", symbol, f, thread_, symbol, 0},
      {"cons", list, list, thread_, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::resetRecorder(makeFixnum(5));
    LispCallSetup setup = funcallOf(c.object, 3, makeFixnum(1), makeFixnum(2));
    setup.stack[2] = makeFixnum(3);
    const LispCallResult result = call(setup);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const testing_support::RecordedCall& callee = lisp_recorder_log.calls[0];
    EXPECT_EQ(callee.esi, c.esi);
    EXPECT_EQ(callee.ebx, c.ebx);
    EXPECT_EQ(callee.ecx, 3u);
    EXPECT_EQ(callee.eax, makeFixnum(1));
    EXPECT_EQ(callee.edx, makeFixnum(2));
    EXPECT_EQ(callee.stack[2], makeFixnum(3));
    EXPECT_EQ(callee.callerFrame[frameIndex(0x18)], c.symbolSlot);
    EXPECT_EQ(callee.callerFrame[frameIndex(0x14)], c.closureSlot);
    EXPECT_EQ(result.eax, makeFixnum(5));
    EXPECT_EQ(result.esi, kCallerFunction);
  }
}

TEST_F(CallGlue, FuncallCheckSendsAnythingElseWithTheObjectFirst) {
  global(kFlavSend) = testing_support::recorderAddress();
  const lispval instance = standardInstance(nil(), nil());
  const struct {
    lispval object;
    uint32_t count;
  } cases[] = {{instance, 2}, {instance, 4}, {makeFixnum(9), 0}, {makeFixnum(9), 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    testing_support::resetRecorder(makeFixnum(5));
    LispCallSetup setup = funcallOf(c.object, c.count, makeFixnum(1), makeFixnum(2));
    setup.frame[frameIndex(0x14)] = 0x5550;
    for (uint32_t i = 2; i < 6; ++i) setup.stack[i] = makeFixnum(i + 1);
    const LispCallResult result = call(setup);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const testing_support::RecordedCall& send = lisp_recorder_log.calls[0];
    EXPECT_EQ(send.ecx, c.count + 1);
    EXPECT_EQ(send.eax, c.object);
    EXPECT_EQ(send.ebx, thread_);
    EXPECT_EQ(send.stack[0], c.object);
    for (uint32_t i = 1; i <= c.count; ++i) EXPECT_EQ(send.stack[i], makeFixnum(i)) << i;
    if (c.count >= 1) {
      EXPECT_EQ(send.edx, makeFixnum(1));
    }
    EXPECT_EQ(send.callerFrame[frameIndex(0x14)], 0x5550u);  // passed on to flav_send
    EXPECT_EQ(result.eax, makeFixnum(5));
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.esi, kCallerFunction);
    // The caller's area: its home slots hold its arguments, nothing above them moved.
    EXPECT_EQ(result.stack[0], makeFixnum(1));
    EXPECT_EQ(result.stack[1], makeFixnum(2));
    for (uint32_t i = 2; i < 6; ++i) EXPECT_EQ(result.stack[i], makeFixnum(i + 1)) << i;
  }
}

TEST_F(CallGlue, FunctionFaultEntriesJumpThroughTheirSlotsWithTheCallUnchanged) {
  const struct {
    void (*entry)();
    int32_t slot;
  } cases[] = {{functionfault, 0x1f7}, {functionfault_2, 0x1fb}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.slot);
    global(0x1f7) = global(0x1fb) = 0;
    global(c.slot) = testing_support::recorderAddress();
    testing_support::resetRecorder(makeFixnum(5));
    LispCallSetup setup = setupFor(0, makeFixnum(1), makeFixnum(2), 2);
    setup.target = addressOf(c.entry);
    setup.esi = recorderFunction_;
    const LispCallResult result = call(setup);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const testing_support::RecordedCall& callee = lisp_recorder_log.calls[0];
    EXPECT_EQ(callee.eax, makeFixnum(1));
    EXPECT_EQ(callee.edx, makeFixnum(2));
    EXPECT_EQ(callee.ecx, 2u);
    EXPECT_EQ(callee.esi, recorderFunction_);
    EXPECT_EQ(callee.ebx, thread_);
    EXPECT_EQ(result.eax, makeFixnum(5));
  }
}

// ---- qcar, qcdr ----

TEST_F(CallGlue, QcarAndQcdrOfListsReadTheCellWithoutAFrame) {
  const lispval list = cons(makeFixnum(10), makeFixnum(20));
  const struct {
    int32_t slot;
    lispval object, expected;
  } cases[] = {{kQcar, nil(), nil()},
               {kQcdr, nil(), nil()},
               {kQcar, list, makeFixnum(10)},
               {kQcdr, list, makeFixnum(20)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.slot);
    LispCallSetup setup = setupFor(c.slot, c.object, 0x77, 0x66);
    setup.esi = 0x3456;
    const LispCallResult result = call(setup);
    EXPECT_EQ(result.eax, c.expected);
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.edx, 0x77u);
    EXPECT_EQ(result.ecx, 0x66u);
    EXPECT_EQ(result.esi, 0x3456u);
    EXPECT_EQ(result.frame[frameIndex(0x10)], 0u);
    EXPECT_EQ(lisp_recorder_log.count, 0u);
  }
}

TEST_F(CallGlue, QcarOfANonListTrapsOnceAndAnswersTheErrorsValueWithoutReadingThroughIt) {
  // 0x6 + 1 would fault if it were read through. The list-required trap
  // signals error 1 (car) or 2 (cdr) with the object; its dispatcher finds
  // the thread through the thread's slot. What the error function returns
  // is the answer, as for qsymeval's trap through the same handler.
  platform::setThreadSlot(slot_, thread_);
  for (int32_t slot : {kQcar, kQcdr}) {
    for (lispval object :
         {makeFixnum(3), lispval{0x6}, lisp::pointerWord(0x10, lisp::Tag::Other)}) {
      SCOPED_TRACE(object);
      testing_support::resetRecorder(makeFixnum(77));
      const LispCallResult result = call(setupFor(slot, object));
      EXPECT_EQ(result.eax, makeFixnum(77));
      EXPECT_EQ(result.carry, 0u);
      EXPECT_EQ(result.esi, kCallerFunction);
      EXPECT_EQ(result.frame[frameIndex(0x10)], 0xffffffffu);
      ASSERT_EQ(lisp_recorder_log.count, 1u);
      EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(slot == kQcar ? 1 : 2));
      EXPECT_EQ(lisp_recorder_log.calls[0].edx, object);
    }
  }
}

// The trap handler finds the field from the instruction after the trap call:
// ModRM 0x40 with displacement -0x10 for the car, -0xc for the cdr.
TEST_F(CallGlue, TheInstructionAfterTheTrapCallEncodesTheField) {
  const struct {
    void (*routine)();
    uint8_t displacement;
  } cases[] = {{qcar, 0xf0}, {qcdr, 0xf4}};
  for (const auto& c : cases) {
    const auto* code = reinterpret_cast<const uint8_t*>(c.routine);
    int found = 0;
    for (int i = 0; i < 64; ++i) {
      if (code[i] != 0xe8) continue;
      int32_t relative;
      std::memcpy(&relative, code + i + 1, 4);
      if (addressOf(code + i + 5) + static_cast<uint32_t>(relative) != addressOf(trap_cons))
        continue;
      ++found;
      EXPECT_EQ(code[i + 6], 0x40);
      EXPECT_EQ(code[i + 7], c.displacement);
    }
    EXPECT_EQ(found, 1);
  }
}

// ---- the wrapper readers ----

TEST_F(CallGlue, WrapperReadersAnswerEachKindOfObject) {
  const lispval fallback = objects_->makeSymbol(recorderFunction_);
  global(kWrapperFallbackSymbol) = fallback;
  constexpr uint32_t W = makeFixnum(100), S = makeFixnum(200), kFallback = makeFixnum(55);
  constexpr uint32_t kEdx = 0x9990;
  const struct {
    const char* name;
    lispval object;
    uint32_t wrapper;  // q_wrapper's answer (kFallback: the fallback ran)
    uint32_t stdWrapper, slotsEax, slotsEdx;
  } cases[] = {
      {"standard instance", standardInstance(W, S), W, W, W, S},
      {"funcallable instance", funcallableInstance(W, S), W, W, W, S},
      {"plain function", funcallableInstance(W, S, false), kFallback, 0, 0, kEdx},
      {"structure", structureWithWrapper(W), W, 0, 0, kEdx},
      {"structure without a cons", arenaObject({tc::Structure | (1u << 8), nil()}), kFallback, 0, 0,
       kEdx},
      {"structure with a bare cons", arenaObject({tc::Structure | (1u << 8), cons(nil(), nil())}),
       kFallback, 0, 0, kEdx},
      {"fixnum", makeFixnum(7), kFallback, 0, 0, kEdx},
      {"nil", nil(), kFallback, 0, 0, kEdx},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::resetRecorder(kFallback);
    LispCallResult result = call(setupFor(kQWrapper, c.object, kEdx, 1));
    EXPECT_EQ(result.eax, c.wrapper);
    EXPECT_EQ(result.carry, 0u);
    if (c.wrapper == kFallback) {
      ASSERT_EQ(lisp_recorder_log.count, 1u);
      const testing_support::RecordedCall& callee = lisp_recorder_log.calls[0];
      EXPECT_EQ(callee.eax, c.object);
      EXPECT_EQ(callee.edx, kEdx);
      EXPECT_EQ(callee.ecx, 1u);
      EXPECT_EQ(callee.esi, recorderFunction_);
      EXPECT_EQ(callee.callerFrame[frameIndex(0x18)], fallback);
    } else {
      EXPECT_EQ(lisp_recorder_log.count, 0u);
      EXPECT_EQ(result.esi, kCallerFunction);
    }
    testing_support::resetRecorder(kFallback);
    result = call(setupFor(kQWrapperStd, c.object, kEdx, 1));
    EXPECT_EQ(result.eax, c.stdWrapper);
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.esi, kCallerFunction);
    result = call(setupFor(kQWrapperSlotsStd, c.object, kEdx, 1));
    EXPECT_EQ(result.eax, c.slotsEax);
    EXPECT_EQ(result.edx, c.slotsEdx);
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.esi, kCallerFunction);
    EXPECT_EQ(lisp_recorder_log.count, 0u);
  }
}

// ---- stack rest lists ----

TEST_F(CallGlue, StRestifyPushesOneCellPerRestArgument) {
  const uint32_t words[] = {makeFixnum(1), makeFixnum(2), makeFixnum(3), makeFixnum(4)};
  for (uint32_t k : {0u, 1u, 3u, 4u}) {
    for (uint32_t tagBit : {0u, 4u}) {
      SCOPED_TRACE(k);
      LispCallSetup setup = setupFor(0, addressOf(words), tagBit, 8 * (k + 1));
      setup.target = addressOf(restify_stack_probe);
      const LispCallResult result = call(setup);
      EXPECT_EQ(restify_probe_carry & 0xff, 0u);
      EXPECT_EQ(restify_probe_esi, kCallerFunction);
      EXPECT_EQ(restify_probe_esp_after, restify_probe_esp_before - 8 * k);
      ASSERT_EQ(restify_probe_length, k);
      for (uint32_t i = 0; i < k; ++i) {
        EXPECT_EQ(restify_probe_cars[i], words[i]) << i;
        // element i lies in the cell 8(k - i) bytes below the old esp
        EXPECT_EQ(restify_probe_cells[i], restify_probe_esp_before - 8 * (k - i) + 0x11) << i;
      }
      EXPECT_EQ(result.eax, k ? restify_probe_cells[0] : nil());
    }
  }
}

TEST_F(CallGlue, St2RestifyFillsTheCellsItIsGiven) {
  const uint32_t words[] = {makeFixnum(1), makeFixnum(2), makeFixnum(3)};
  alignas(8) uint32_t area[8] = {};
  const uint32_t top = addressOf(&area[6]) + 0x15;  // the highest cell, tag-5 form
  for (uint32_t k : {0u, 3u}) {
    SCOPED_TRACE(k);
    LispCallSetup setup = setupFor(0, addressOf(words), top, 8 * (k + 1));
    setup.target = addressOf(st2_restify);
    const LispCallResult result = call(setup);
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.esi, kCallerFunction);
    EXPECT_EQ(result.ebx, thread_);
    if (k == 0) {
      EXPECT_EQ(result.eax, nil());
      continue;
    }
    EXPECT_EQ(result.eax, addressOf(&area[2]) + 0x11);
    for (uint32_t i = 0; i < 3; ++i) {
      EXPECT_EQ(area[2 + 2 * i], words[i]) << i;
      EXPECT_EQ(area[3 + 2 * i], i == 2 ? nil() : addressOf(&area[4 + 2 * i]) + 0x11) << i;
    }
    EXPECT_EQ(area[0], 0u);
    EXPECT_EQ(area[1], 0u);
  }
}

// ---- short_vector ----

TEST_F(CallGlue, ShortVectorHoldsItsArgumentsInOrder) {
  for (uint32_t n : {0u, 1u, 3u, 5u}) {
    SCOPED_TRACE(n);
    LispCallSetup setup = setupFor(kShortVector, makeFixnum(1), makeFixnum(2), n);
    for (uint32_t i = 2; i < n; ++i) setup.stack[i] = makeFixnum(i + 1);
    const lispval vector = make(setup);
    EXPECT_EQ(header(vector), (n << 8) | tc::LispVector);
    for (uint32_t i = 0; i < n; ++i) EXPECT_EQ(at(vector - 0xe + 4 * i), makeFixnum(i + 1)) << i;
  }
  EXPECT_TRUE(newSpaceWalksCleanly());
}

TEST_F(CallGlue, ShortVectorRefusesCountsBeyondTheHeader) {
  EXPECT_EQ(refused(setupFor(kShortVector, 0, 0, 0x1000000), kTooLong), makeFixnum(0x1000000));
  EXPECT_EQ(refused(setupFor(kShortVector, 0, 0, 0xffffffff), kTooLong), 0xfffffffcu);
}

// ---- exit breakpoints ----

TEST_F(CallGlue, ExitBreakpointsRunTheBreakpointFunctionAndKeepTheValues) {
  // The breakpoint function changes eax, edx and ecx before it returns.
  const lispval breakpointSymbol =
      objects_->makeSymbol(objects_->makeFunction(addressOf(edx_clobbering_start)));
  global(kExitBreakpointSymbol) = breakpointSymbol;
  const lispval freeList = cons(nil(), nil());
  const struct {
    uint32_t count, carry;   // as the function returns
    uint32_t eax, edx, ecx;  // as the breakpoint returns
  } returns[] = {
      {7, 0, makeFixnum(42), nil(), 1},  // one value: ecx and edx are no values
      {3, 1, makeFixnum(42), makeFixnum(43), 3}, {2, 1, makeFixnum(42), makeFixnum(43), 2},
      {1, 1, makeFixnum(42), nil(), 1},          {0, 1, nil(), nil(), 0},
  };
  for (void (*entry)() : {break_on_exit_return_only, break_on_exit_or_throw}) {
    for (const auto& r : returns) {
      SCOPED_TRACE(r.count);
      exit_probe_entry = addressOf(entry);
      exit_probe_carry = r.carry;
      threadWord(lisp::thread_record::kValuesVectors) = freeList;
      testing_support::resetRecorder(makeFixnum(66));
      LispCallSetup setup = setupFor(0, makeFixnum(42), makeFixnum(43), r.count);
      setup.target = addressOf(exit_breakpoint_probe);
      const LispCallResult result = call(setup);
      EXPECT_EQ(result.eax, r.eax);
      EXPECT_EQ(result.edx, r.edx);
      EXPECT_EQ(result.ecx, r.ecx);
      EXPECT_EQ(result.carry, r.ecx == 1 ? 0u : 1u);
      EXPECT_EQ(result.esi, kCallerFunction);
      EXPECT_EQ(result.ebx, thread_);
      EXPECT_EQ(threadWord(lisp::thread_record::kValuesVectors), freeList);
      ASSERT_EQ(lisp_recorder_log.count, 1u);
      const testing_support::RecordedCall& breakpoint = lisp_recorder_log.calls[0];
      EXPECT_EQ(breakpoint.eax, makeFixnum(52));
      EXPECT_EQ(breakpoint.ecx, 1u);
      EXPECT_EQ(breakpoint.callerFrame[frameIndex(0x18)], breakpointSymbol);
      EXPECT_EQ(breakpoint.callerFrame[frameIndex(0x1c)], thread_);
      EXPECT_EQ(breakpoint.callerFrame[frameIndex(0x20)], r.eax);
    }
  }
}

// A breakpoint function that ran while the values were parked sees the
// thread's free list of values vectors empty, so it cannot reuse the vector.
TEST_F(CallGlue, ExitBreakpointsHideTheFreeListWhileTheFunctionRuns) {
  global(kExitBreakpointSymbol) =
      objects_->makeSymbol(objects_->makeFunction(addressOf(free_list_reading_start)));
  free_list_probe_offset = lisp::thread_record::kValuesVectors;
  threadWord(lisp::thread_record::kValuesVectors) = cons(nil(), nil());
  exit_probe_entry = addressOf(break_on_exit_return_only);
  exit_probe_carry = 0;
  LispCallSetup setup = setupFor(0, makeFixnum(42), 0, 1);
  setup.target = addressOf(exit_breakpoint_probe);
  call(setup);
  EXPECT_EQ(free_list_seen, nil());
}

// ---- thread record and volatile area ----

TEST_F(CallGlue, SetTrampFromTlsLoadsEachThreadsOwnRecord) {
  const uint32_t own = platform::threadSlot(slot_);
  auto loaded = [this](uint32_t record) {
    EXPECT_TRUE(platform::setThreadSlot(slot_, record));
    LispCallSetup setup = setupFor(0, 0x111, 0x222, 0x333);
    setup.target = addressOf(set_tramp_from_tls);
    setup.ebx = 0;
    const LispCallResult result = testing_support::callWithLispConventions(setup);
    EXPECT_EQ(result.espDelta, 0);
    EXPECT_EQ(result.eax, 0x111u);
    EXPECT_EQ(result.frame[frameIndex(0x1c)], result.ebx);
    return result.ebx;
  };
  EXPECT_EQ(loaded(thread_), thread_);
  uint32_t other = 0;
  std::thread([&] { other = loaded(thread_ + 0x1000); }).join();
  EXPECT_EQ(other, thread_ + 0x1000);
  EXPECT_EQ(loaded(thread_), thread_);
  platform::setThreadSlot(slot_, own);
}

TEST(VolatileArea, RoundTripsTheX87StateAndEdxAtTheAlignedAddress) {
  alignas(8) uint8_t buffer[lisp::volatile_area::kBytes + 16];
  std::memset(buffer, 0xcc, sizeof buffer);
  uint8_t* area = buffer + 3;
  uint8_t* aligned = buffer + 8;
  const double in[2] = {1.5, -2.25};
  double out[2] = {};
  uint32_t edx = 0;
  volatile_round_trip(area, in, out, &edx);
  EXPECT_EQ(out[0], 1.5);
  EXPECT_EQ(out[1], -2.25);
  EXPECT_EQ(edx, 0x5aa5c33cu);
  uint32_t savedEdx;
  std::memcpy(&savedEdx, aligned + lisp::volatile_area::kSavedEdx, 4);
  EXPECT_EQ(savedEdx, 0x5aa5c33cu);
  // st(0) of the image: 1.5 as an 80-bit value, after the 28-byte environment.
  const uint8_t top[10] = {0, 0, 0, 0, 0, 0, 0, 0xc0, 0xff, 0x3f};
  EXPECT_EQ(std::memcmp(aligned + 28, top, 10), 0);
  for (uint8_t* p = buffer; p < aligned; ++p) EXPECT_EQ(*p, 0xcc);
  for (uint8_t* p = aligned + lisp::volatile_area::kBytes; p < buffer + sizeof buffer; ++p)
    EXPECT_EQ(*p, 0xcc);
}

}  // namespace
