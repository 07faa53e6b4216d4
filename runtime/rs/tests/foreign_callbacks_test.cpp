// Callbacks from native code into Lisp: stubs written into the native heap
// and called by real native callers of every convention, the native entry
// frame as the stack walk sees it, the conversions of a callback's result,
// and the hooks that give a foreign-callable function native arguments.

#include "runtime/rs/foreign_callbacks.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/memory.h"
#include "platform/thread_block.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/load/fasl_loader.h"
#include "runtime/load/small_services.h"
#include "runtime/load/startup.h"
#include "runtime/rs/native_calls.h"
#include "runtime/rs/object_layout.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/thread_record.h"
#include "testing/lisp_routine_heap.h"

namespace {

struct BodyLog {
  uint32_t count, eax, edx, ecx, esi, ebp, callerFrame, head, headNative, newFree, walk;
  uint32_t block[16];
  uint32_t stack[8];
  uint32_t callerMarker;
};
static_assert(sizeof(BodyLog) == 144);
struct BodySetup {
  uint32_t result;
  uint32_t floatKind;  // 1 single, 2 double into st(0)
  double floatValue;
  uint32_t walk;     // a native function the body calls through do_c_funcall
  uint32_t noBlock;  // eax holds no block address (immediate arguments)
};
static_assert(offsetof(BodySetup, walk) == 16);

}  // namespace

extern "C" {
uint32_t probe_native_call(uint32_t target, const uint32_t* words, uint32_t count, uint32_t ecx,
                           uint32_t edx, uint32_t* result);
void probe_callable_code();
void probe_immediate_code();
uint32_t probe_throw_over(uint32_t value);
extern BodyLog probe_body_log;
extern BodySetup probe_body_setup;
}

namespace {

using gc_test::at;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
namespace tr = lisp::thread_record;
namespace fc = lisp::foreign_callback;
namespace tc = lisp::type_code;

constexpr int32_t kNewForeignCallback = 0xaf;
constexpr int32_t kRelocateForeignCallback = 0x24f;
constexpr int32_t kBreakpointSlot = 0x8f;
constexpr uint32_t kBodyResult =
    0x5a5a5a50;  // fixnum-shaped, so it passes any conversion as a value

uint32_t addressOf(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}
uint32_t codeAddress(void (*code)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(code));
}

// The value of a Lisp integer that fits 32 bits.
int64_t integerValue(lispval word) {
  if (lisp::isFixnum(word)) return lisp::fixnumValue(word);
  const uint32_t header = lisp::wordAt(word, lisp::kHeaderOffset);
  EXPECT_EQ(lisp::typeCodeOf(header), tc::Bignum);
  const auto* digits = reinterpret_cast<const uint16_t*>(static_cast<uintptr_t>(word - 0xe));
  int64_t value = 0;
  for (uint32_t i = lisp::bignumDigitCount(header); i-- > 0;) value = (value << 16) | digits[i];
  return ((header >> 8) & 0xff) ? -value : value;
}

class ForeignCallbacks : public gc_test::LispRoutineHeap {
 protected:
  void SetUp() override {
    LispRoutineHeap::SetUp();
    // A record block as the registry makes it, with room for the save area.
    std::memcpy(record_, threadRecord_, sizeof threadRecord_);
    thread_ = lisp::pointerWord(addressOf(record_), lisp::Tag::Other);
    threadWord(tr::kLeafCallStack) = nil();
    ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
    // The test thread is the registry's only record and owns the heap, as a
    // Lisp thread whose native code calls back does.
    lisp::registry::forgetRegistry();
    threadWord(tr::kRegistryIndex) = 0;
    threadWord(tr::kOsThreadId) = identify_os_thread();
    threadWord(tr::kOsIdSlot) = makeFixnum(static_cast<int32_t>(identify_os_thread()));
    vxm_thread_control.registryTable[0] = reinterpret_cast<uint32_t*>(record_);
    vxm_thread_control.registryCount = 1;
    vxm_thread_control.heapOwnerIndex = vxm_thread_control.environmentIndex = 0;
    probe_body_log = {};
    probe_body_setup = {};
    probe_body_setup.result = kBodyResult;
    callable_ = callableFunction(codeAddress(probe_callable_code));
  }
  void TearDown() override {
    lisp::registry::forgetRegistry();
    LispRoutineHeap::TearDown();
  }

  // ---- test objects ----
  lispval simpleVector(const std::vector<lispval>& elements) {
    auto* words = static_cast<uint32_t*>(objects_->allocate(8 + 4 * elements.size()));
    words[0] = lisp::headerWord(tc::SimpleVector);
    words[1] = makeFixnum(static_cast<int32_t>(elements.size()));
    std::copy(elements.begin(), elements.end(), words + 2);
    return lisp::wordOf(words, lisp::Tag::Other);
  }
  lispval symbolWithValue(lispval value, lispval function = 0) {
    const lispval symbol = objects_->makeSymbol(function ? function : nil());
    auto* object = lisp::objectOf<lisp::SymbolObject>(symbol);
    object->globalValue = value;
    object->valueVector = simpleVector({});
    return symbol;
  }
  lispval callableFunction(uint32_t code, uint8_t type = tc::Function,
                           uint8_t byte1 = fc::kForeignCallableBit) {
    const lispval function = objects_->makeFunction(code);
    lisp::objectOf<lisp::FunctionObject>(function)->header = lisp::headerWord(type, byte1);
    return function;
  }
  lispval cons(lispval car, lispval cdr) {
    auto* cell = static_cast<lisp::ConsCell*>(objects_->allocate(sizeof(lisp::ConsCell)));
    cell->car = car;
    cell->cdr = cdr;
    return lisp::wordOf(cell, lisp::Tag::Cons);
  }
  lispval singleFloat(float value) {
    auto* object = static_cast<lisp::SingleFloatObject*>(objects_->allocate(8));
    object->header = lisp::headerWord(tc::SingleFloat);
    object->value = value;
    return lisp::wordOf(object, lisp::Tag::Other);
  }
  lispval doubleFloat(double value) {
    auto* object = static_cast<lisp::DoubleFloatObject*>(objects_->allocate(16));
    object->header = lisp::headerWord(tc::DoubleFloat);
    object->value = value;
    return lisp::wordOf(object, lisp::Tag::Other);
  }
  // A bignum of up to three digits, least significant first.
  lispval bignum(std::vector<uint16_t> digits, bool negative) {
    auto* object = static_cast<uint32_t*>(objects_->allocate(4 + 2 * digits.size() + 2));
    object[0] = lisp::bignumHeader(static_cast<uint32_t>(digits.size()), negative ? 0xff : 0);
    std::memcpy(object + 1, digits.data(), 2 * digits.size());
    return lisp::wordOf(object, lisp::Tag::Other);
  }
  // A vector of a type code with `words` data words after its header (and
  // a fixnum length word when the type has one).
  lispval vectorOfType(uint8_t type, uint32_t words) {
    auto* object = static_cast<uint32_t*>(objects_->allocate(8 + 4 * words));
    object[0] = lisp::headerWord(type);
    if (type & lisp::kFixnumLengthBit) object[1] = makeFixnum(static_cast<int32_t>(words));
    return lisp::wordOf(object, lisp::Tag::Other);
  }

  void registerCallbacks(const std::vector<lispval>& entries) {
    global(fc::kCallbackVectorSymbol) = symbolWithValue(simpleVector(entries));
  }

  // ---- calls ----
  LispCallResult newCallback(lispval index, lispval convention, lispval bytes) {
    LispCallSetup setup = setupFor(kNewForeignCallback, index, convention, 3);
    setup.stack[2] = bytes;
    return call(setup);
  }
  uint8_t* stubFor(int32_t index, int32_t convention, int32_t bytes) {
    const LispCallResult made =
        newCallback(makeFixnum(index), makeFixnum(convention), makeFixnum(bytes));
    EXPECT_NE(made.eax, nil());
    if (made.eax == nil()) return nullptr;
    return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(integerValue(made.eax)));
  }
  LispCallResult internalCall(int32_t index, uint32_t block) {
    LispCallSetup setup;
    setup.target = codeAddress(lisp_internal_call);
    setup.edi = nil();
    setup.ebx = thread_;
    setup.eax = static_cast<uint32_t>(index);
    setup.edx = block;
    setup.ecx = 2;
    setup.frame[testing_support::frameIndex(0x4)] = kCallerFunction;
    setup.frame[testing_support::frameIndex(0x1c)] = thread_;
    return call(setup);
  }

  alignas(8) uint8_t record_[tr::kRecordBlockBytes] = {};
  lispval callable_ = 0;
};

// ---- stubs ----

// The bytes of each convention's stub for X = 0x12345678 and N = 12, T
// patched in by the test.
struct GoldenStub {
  int32_t convention;
  std::vector<uint8_t> bytes;
  uint32_t targetAt;
};
const GoldenStub kGoldenStubs[] = {
    {0, {0x8d, 0x4c, 0x24, 0x04, 0xb8, 0x78, 0x56, 0x34, 0x12, 0xba, 0, 0, 0, 0, 0xff, 0xe2}, 0xa},
    {1,
     {0x8d, 0x4c, 0x24, 0x04, 0xb8, 0x78, 0x56, 0x34, 0x12, 0xba, 0x0c, 0,    0,    0,    0x52,
      0xba, 0,    0,    0,    0,    0xff, 0xd2, 0x5a, 0x03, 0xd4, 0x8f, 0x02, 0x8b, 0xe2, 0xc3},
     0x10},
    {2,
     {0x87, 0x0c, 0x24, 0x51, 0x8d, 0x4c, 0x24, 0x04, 0xb8, 0x78, 0x56, 0x34,
      0x12, 0xba, 0x0c, 0,    0,    0,    0x52, 0xba, 0,    0,    0,    0,
      0xff, 0xd2, 0x5a, 0x03, 0xd4, 0x8f, 0x02, 0x8b, 0xe2, 0xc3},
     0x14},
    {3,
     {0x87, 0x14, 0x24, 0x51, 0x52, 0x8d, 0x4c, 0x24, 0x04, 0xb8, 0x78, 0x56,
      0x34, 0x12, 0xba, 0x0c, 0,    0,    0,    0x52, 0xba, 0,    0,    0,
      0,    0xff, 0xd2, 0x5a, 0x03, 0xd4, 0x8f, 0x02, 0x8b, 0xe2, 0xc3},
     0x15},
};

TEST_F(ForeignCallbacks, StubsHoldTheirConventionsBytes) {
  const uint32_t target = codeAddress(_callback_to_lisp);
  for (const GoldenStub& golden : kGoldenStubs) {
    SCOPED_TRACE(golden.convention);
    const uint8_t* stub = stubFor(0x12345678, golden.convention, 12);
    ASSERT_NE(stub, nullptr);
    std::vector<uint8_t> expected = golden.bytes;
    std::memcpy(expected.data() + golden.targetAt, &target, 4);
    EXPECT_EQ(std::vector<uint8_t>(stub, stub + expected.size()), expected);
    EXPECT_GE(vxmmalloc_heap.brk, addressOf(stub) + expected.size());
    EXPECT_GE(addressOf(stub), vxmmalloc_heap.base);
  }
}

TEST_F(ForeignCallbacks, AFastcallStubPopsAtLeastItsTwoRegisterWords) {
  for (int32_t bytes : {0, 4, 8, 12}) {
    const uint8_t* stub = stubFor(1, 3, bytes);
    ASSERT_NE(stub, nullptr);
    uint32_t pop = 0;
    std::memcpy(&pop, stub + 0xf, 4);
    EXPECT_EQ(pop, static_cast<uint32_t>(std::max(bytes, 8))) << bytes;
  }
}

TEST_F(ForeignCallbacks, RefusedStubsAllocateNothing) {
  const std::vector<uint32_t> counts(nmalloc, nmalloc + native_heap::kClassCount);
  const uint32_t calls = malloccount;
  const struct {
    lispval index, convention, bytes;
  } refused[] = {
      {makeFixnum(1), makeFixnum(4), makeFixnum(8)},   // no such convention
      {makeFixnum(1), makeFixnum(-1), makeFixnum(8)},  // nor this
      {makeFixnum(1), nil(), makeFixnum(8)},           // a code that is no fixnum
      {nil(), makeFixnum(0), makeFixnum(8)},           // an index that is no fixnum
      {makeFixnum(1), makeFixnum(1), makeFixnum(-4)},  // a negative byte count
  };
  for (const auto& c : refused) EXPECT_EQ(newCallback(c.index, c.convention, c.bytes).eax, nil());
  EXPECT_EQ(std::vector<uint32_t>(nmalloc, nmalloc + native_heap::kClassCount), counts);
  EXPECT_EQ(malloccount, calls);
}

TEST_F(ForeignCallbacks, NoNativeMemoryGivesNil) {
  // Every free list empty and the break at the end of what is committed: a
  // refill needs a commit, and every commit fails.
  uint32_t freeLists[native_heap::kClassCount];
  std::memcpy(freeLists, nextf, sizeof nextf);
  std::memset(nextf, 0, sizeof nextf);
  const uint32_t brk = vxmmalloc_heap.brk;
  vxmmalloc_heap.brk = vxmmalloc_heap.committed_end;
  platform::setMemoryFaultHook([](platform::MemoryOperation operation, uintptr_t, size_t) {
    return operation == platform::MemoryOperation::Commit;
  });
  const LispCallResult made = newCallback(makeFixnum(1), makeFixnum(0), makeFixnum(0));
  platform::setMemoryFaultHook(nullptr);
  vxmmalloc_heap.brk = brk;
  std::memcpy(nextf, freeLists, sizeof nextf);
  EXPECT_EQ(made.eax, nil());
}

TEST_F(ForeignCallbacks, RelocationRewritesOnlyTheTargetOfAStubOfThatConvention) {
  for (const GoldenStub& golden : kGoldenStubs) {
    SCOPED_TRACE(golden.convention);
    uint8_t* stub = stubFor(7, golden.convention, 12);
    ASSERT_NE(stub, nullptr);
    const std::vector<uint8_t> made(stub, stub + golden.bytes.size());
    std::memset(stub + golden.targetAt, 0, 4);  // as after a move of the library
    const std::vector<uint8_t> moved(stub, stub + golden.bytes.size());
    const lispval stubInteger =
        call(setupFor(0x87, addressOf(stub), 0, 1)).eax;  // fixnum_or_bignum
    LispCallSetup setup = setupFor(kRelocateForeignCallback, 0, 0, 2);
    // Address 0, a code outside 0-3 or of another convention change nothing.
    const std::pair<lispval, lispval> ignored[] = {
        {makeFixnum(0), makeFixnum(golden.convention)},         {stubInteger, makeFixnum(5)},
        {stubInteger, makeFixnum((golden.convention + 1) % 4)}, {stubInteger, nil()},
        {makeFixnum(0x1000), makeFixnum(golden.convention)},  // outside the native heap
    };
    for (const auto& [address, code] : ignored) {
      setup.eax = address;
      setup.edx = code;
      EXPECT_EQ(call(setup).eax, nil());
      EXPECT_EQ(std::vector<uint8_t>(stub, stub + moved.size()), moved);
    }
    setup.eax = stubInteger;
    setup.edx = makeFixnum(golden.convention);
    EXPECT_EQ(call(setup).eax, nil());
    EXPECT_EQ(std::vector<uint8_t>(stub, stub + made.size()), made);
  }
}

// ---- native callers of every convention ----

struct ConventionCase {
  const char* name;
  int32_t convention;
  int32_t bytes;                // N
  std::vector<uint32_t> stack;  // what the caller pushes
  uint32_t ecx, edx;            // register arguments
  std::vector<uint32_t> block;  // what the callback sees
  uint32_t poppedByCallee;
};

class ForeignCallbackConventions : public ForeignCallbacks,
                                   public ::testing::WithParamInterface<ConventionCase> {};

TEST_P(ForeignCallbackConventions, TheCallbackSeesOneBlockAndTheStackBalances) {
  const ConventionCase& c = GetParam();
  registerCallbacks({nil(), callable_});
  const uint8_t* stub = stubFor(1, c.convention, c.bytes);
  ASSERT_NE(stub, nullptr);
  uint32_t result = 0;
  const uint32_t popped =
      probe_native_call(addressOf(stub), c.stack.data(), static_cast<uint32_t>(c.stack.size()),
                        c.ecx, c.edx, &result);
  EXPECT_EQ(popped, c.poppedByCallee);
  EXPECT_EQ(result, kBodyResult);
  ASSERT_EQ(probe_body_log.count, 1u);
  EXPECT_EQ(probe_body_log.ecx, 1u);
  EXPECT_EQ(probe_body_log.esi, callable_);
  EXPECT_EQ(std::vector<uint32_t>(probe_body_log.block, probe_body_log.block + c.block.size()),
            c.block);
  EXPECT_EQ(threadWord(tr::kClinkHead), tr::kEmptyClinkChain);
}

INSTANTIATE_TEST_SUITE_P(
    Conventions, ForeignCallbackConventions,
    ::testing::Values(ConventionCase{"cdecl", 0, 8, {11, 22}, 0, 0, {11, 22}, 0},
                      ConventionCase{"stdcall", 1, 12, {1, 2, 3}, 0, 0, {1, 2, 3}, 12},
                      ConventionCase{"thiscall", 2, 12, {5, 6}, 0x7777, 0, {0x7777, 5, 6}, 8},
                      ConventionCase{"fastcall0", 3, 0, {}, 0xc1, 0xd2, {0xc1, 0xd2}, 0},
                      ConventionCase{"fastcall1", 3, 4, {}, 0xc1, 0xd2, {0xc1, 0xd2}, 0},
                      ConventionCase{"fastcall2", 3, 8, {}, 0xc1, 0xd2, {0xc1, 0xd2}, 0},
                      ConventionCase{
                          "fastcall3", 3, 12, {0x33}, 0xc1, 0xd2, {0xc1, 0xd2, 0x33}, 4}),
    [](const ::testing::TestParamInfo<ConventionCase>& info) { return info.param.name; });

using CdeclCallback = uint32_t (*)(uint32_t, uint32_t);
using StdcallCallback = uint32_t(__attribute__((stdcall)) *)(uint32_t, uint32_t, uint32_t);
using ThiscallCallback = uint32_t(__attribute__((thiscall)) *)(uint32_t, uint32_t, uint32_t);
using FastcallCallback = uint32_t(__attribute__((fastcall)) *)(uint32_t);

template <class Function>
Function as(const uint8_t* stub) {
  return reinterpret_cast<Function>(const_cast<uint8_t*>(stub));
}

TEST_F(ForeignCallbacks, CompiledCallersOfEveryConventionReachTheCallback) {
  registerCallbacks({callable_});
  const auto expectBlock = [](std::vector<uint32_t> block) {
    EXPECT_EQ(std::vector<uint32_t>(probe_body_log.block, probe_body_log.block + block.size()),
              block);
  };
  EXPECT_EQ(as<CdeclCallback>(stubFor(0, 0, 8))(10, 20), kBodyResult);
  expectBlock({10, 20});
  EXPECT_EQ(as<StdcallCallback>(stubFor(0, 1, 12))(1, 2, 3), kBodyResult);
  expectBlock({1, 2, 3});
  EXPECT_EQ(as<ThiscallCallback>(stubFor(0, 2, 12))(0x7777, 5, 6), kBodyResult);
  expectBlock({0x7777, 5, 6});
  EXPECT_EQ(as<FastcallCallback>(stubFor(0, 3, 4))(0xf1), kBodyResult);
  EXPECT_EQ(probe_body_log.block[0], 0xf1u);
  EXPECT_EQ(probe_body_log.count, 4u);
}

TEST_F(ForeignCallbacks, AFloatResultReachesTheNativeCallerInSt0) {
  registerCallbacks({cons(callable_, cons(makeFixnum(1), nil()))});
  using DoubleCallback = double (*)(uint32_t, uint32_t);
  using FloatCallback = float(__attribute__((stdcall))*)(uint32_t);
  probe_body_setup.result = doubleFloat(-2.25);
  EXPECT_EQ(as<DoubleCallback>(stubFor(0, 0, 8))(1, 2), -2.25);
  probe_body_setup.result = singleFloat(0.75f);
  EXPECT_EQ(as<FloatCallback>(stubFor(0, 1, 4))(3), 0.75f);
  EXPECT_EQ(probe_body_log.count, 2u);
}

TEST_F(ForeignCallbacks, IndexMinusOneReportsTheMissingEntryOfTheCurrentRecord) {
  constexpr int32_t kMissingFunctionSymbol = -0xf1;
  global(kMissingFunctionSymbol) =
      objects_->makeSymbol(objects_->makeFunction(testing_support::recorderAddress()));
  testing_support::resetRecorder(makeFixnum(66));
  const uint8_t* stub = stubFor(-1, 0, 4);
  ASSERT_NE(stub, nullptr);
  // A native call from Lisp (do_c_funcall) whose function is the stub.
  LispCallSetup setup;
  setup.target = codeAddress(do_c_funcall);
  setup.edi = nil();
  setup.ebx = thread_;
  setup.eax = addressOf(stub);
  setup.edx = 5;
  setup.ecx = 2;
  setup.frame[testing_support::frameIndex(0x4)] = kCallerFunction;
  setup.frame[testing_support::frameIndex(0x1c)] = thread_;
  EXPECT_EQ(call(setup).eax, makeFixnum(66));
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, 0u) << "the callee word of do_c_funcall's record";
  EXPECT_EQ(probe_body_log.count, 0u);
}

// ---- lisp_internal_call ----

TEST_F(ForeignCallbacks, ResultsComeBackInNativeFormWhenTheEntryAsksForIt) {
  const lispval t = makeFixnum(1);
  registerCallbacks({cons(callable_, cons(t, nil()))});
  const struct {
    const char* name;
    lispval result;
    uint32_t eax;   // when no float
    int floatKind;  // the result lies in st(0)
    double floatValue;
  } cases[] = {
      {"fixnum", makeFixnum(-5), static_cast<uint32_t>(-5), 0, 0},
      {"character", lisp::makeCharacter(0x1e9), static_cast<uint32_t>(-23), 0, 0},
      {"positive bignum", bignum({0x9abc, 0x5678, 0x1234}, false), 0x56789abc, 0, 0},
      {"negative bignum", bignum({0x9abc, 0x5678, 0x1234}, true), 0u - 0x56789abc, 0, 0},
      {"one-digit bignum", bignum({0x8001}, true), 0u - 0x8001, 0, 0},
      {"single-float", singleFloat(1.5f), 0, 1, 1.5},
      {"double-float", doubleFloat(-2.25), 0, 2, -2.25},
      {"other", cons(nil(), nil()), 0, 0, 0},
  };
  uint32_t block[16] = {0x11, 0x22};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    probe_body_setup.result = c.result;
    const LispCallResult result = internalCall(0, addressOf(block));
    EXPECT_EQ(probe_body_log.eax, addressOf(block));
    if (c.floatKind) {
      ASSERT_EQ(result.x87Depth, 1u);
      EXPECT_EQ(result.x87Top, c.floatValue);
    } else {
      EXPECT_EQ(result.x87Depth, 0u);
      EXPECT_EQ(result.eax, std::strcmp(c.name, "other") ? c.eax : c.result);
    }
  }
}

TEST_F(ForeignCallbacks, WithoutAConvertFlagTheLispWordComesBack) {
  const lispval symbol = objects_->makeSymbol(callable_);
  registerCallbacks({callable_, cons(callable_, nil()), cons(symbol, cons(nil(), nil())), symbol});
  probe_body_setup.result = makeFixnum(-5);
  uint32_t block[16] = {};
  for (int32_t index = 0; index < 4; ++index) {
    const LispCallResult result = internalCall(index, addressOf(block));
    EXPECT_EQ(result.eax, makeFixnum(-5)) << index;
    EXPECT_EQ(probe_body_log.esi, callable_) << index;
  }
  EXPECT_EQ(probe_body_log.count, 4u);
}

TEST_F(ForeignCallbacks, BadIndicesAndDesignatorsCallTheErrorFunctionAndEnterNoBody) {
  const lispval closure = callableFunction(codeAddress(probe_callable_code), tc::Closure);
  const lispval plain = callableFunction(codeAddress(probe_callable_code), tc::Function, 0);
  registerCallbacks({objects_->makeSymbol(closure), plain, makeFixnum(3), cons(nil(), nil())});
  const struct {
    int32_t index;
    lispval code, datum;
  } cases[] = {
      {-1, makeFixnum(fc::kErrorBadIndex), makeFixnum(-1)},
      {4, makeFixnum(fc::kErrorBadIndex), makeFixnum(4)},
      {0x7fffffff, makeFixnum(fc::kErrorBadIndex), 0},  // a bignum datum
      {0, makeFixnum(fc::kErrorNotForeignCallable), closure},
      {1, makeFixnum(fc::kErrorNotForeignCallable), plain},
      {2, makeFixnum(fc::kErrorNotForeignCallable), makeFixnum(3)},
      {3, makeFixnum(fc::kErrorNotForeignCallable), nil()},
  };
  uint32_t block[16] = {};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    testing_support::resetRecorder(makeFixnum(99));
    const LispCallResult result = internalCall(c.index, addressOf(block));
    EXPECT_EQ(result.eax, makeFixnum(99));
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    EXPECT_EQ(lisp_recorder_log.calls[0].eax, c.code);
    if (c.datum)
      EXPECT_EQ(lisp_recorder_log.calls[0].edx, c.datum);
    else
      EXPECT_EQ(integerValue(lisp_recorder_log.calls[0].edx), 0x7fffffff);
  }
  EXPECT_EQ(probe_body_log.count, 0u);
}

TEST_F(ForeignCallbacks, WithoutACallbackVectorEveryIndexIsBad) {
  testing_support::resetRecorder(makeFixnum(5));
  global(fc::kCallbackVectorSymbol) = symbolWithValue(nil());
  EXPECT_EQ(internalCall(0, 0).eax, makeFixnum(5));
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(fc::kErrorBadIndex));
}

// ---- lisp_addr_call and the foreign-call records ----

uint32_t g_nestedCallbacks = 0;
uint32_t g_walks = 0, g_badWalks = 0;
lispval g_nil = 0, g_thread = 0;
std::vector<uint32_t> g_visitedSlots;

// Words a native entry frame may show the collector: Lisp values the frame
// itself holds (0, nil, fixnums, its marker, the thread) -- never a raw word.
bool nativeEntryFrameHoldsOnlyLispValues() {
  g_visitedSlots.clear();
  scan_activestack([](uint32_t slot) { g_visitedSlots.push_back(slot); }, [](uint32_t) {});
  bool clean = true;
  for (uint32_t record : gc::currentForeignCallRecords(0)) {
    const uint32_t frame = at(record + gc::kClinkNativeFrame);
    if (frame == 0) continue;
    for (uint32_t slot : g_visitedSlots) {
      if (slot >= frame || slot < frame - 0x60) continue;
      const uint32_t word = at(slot);
      const bool lispShaped =
          lisp::isFixnum(word) || word == g_nil || word == g_thread || lisp::isCharacter(word);
      if (!lispShaped) {
        ADD_FAILURE() << std::hex << "raw word 0x" << word << " at ebp-0x" << frame - slot;
        clean = false;
      }
    }
  }
  return clean;
}

// Called by the body through do_c_funcall: a callback inside the callback
// while nesting is asked for, then the stack walk over everything.
extern "C" uint32_t walkFromInsideTheCallback(uint32_t) {
  if (g_nestedCallbacks > 0) {
    --g_nestedCallbacks;
    uint32_t block[16] = {0x99};
    lisp_addr_call(addressOf(block), 0);
  }
  ++g_walks;
  if (prelink_activestack() != 0 || !nativeEntryFrameHoldsOnlyLispValues()) ++g_badWalks;
  return 1;
}

TEST_F(ForeignCallbacks, TheOutermostCallbackLinksTheSpareRecordAndGivesItBack) {
  registerCallbacks({callable_});
  alignas(8) uint32_t spare[tr::kClinkRecordWords] = {1, 2, 3, 4, 5, 6};
  threadWord(tr::kLeafCallStack) = addressOf(spare);
  threadWord(tr::kLeafCallFrame) = 0xabc0;
  uint32_t block[16] = {7};
  EXPECT_EQ(lisp_addr_call(addressOf(block), 0), kBodyResult);
  EXPECT_EQ(probe_body_log.head, addressOf(spare));
  EXPECT_EQ(probe_body_log.headNative, probe_body_log.callerFrame);
  EXPECT_EQ(probe_body_log.callerMarker, lisp::nil_block::marker::kNativeEntry);
  EXPECT_EQ(threadWord(tr::kClinkHead), tr::kEmptyClinkChain);
  EXPECT_EQ(threadWord(tr::kLeafCallStack), addressOf(spare));
  EXPECT_EQ(spare[0], tr::kEmptyClinkChain);
  EXPECT_EQ(spare[1], 0u);
  EXPECT_EQ(spare[2], 0xabc0u);
  EXPECT_EQ(spare[3], nil());
}

TEST_F(ForeignCallbacks, ACallbackUnderACurrentRecordMarksItAndLeavesTheSpareAlone) {
  registerCallbacks({callable_});
  alignas(8)
      uint32_t current[tr::kClinkRecordWords] = {tr::kEmptyClinkChain, 0, 0x2000, nil(), 0, 0};
  threadWord(tr::kClinkHead) = addressOf(current);
  uint32_t block[16] = {7};
  EXPECT_EQ(lisp_addr_call(addressOf(block), 0), kBodyResult);
  EXPECT_EQ(probe_body_log.head, addressOf(current));
  EXPECT_EQ(probe_body_log.headNative, probe_body_log.callerFrame);
  EXPECT_EQ(current[1], 0u);
  EXPECT_EQ(threadWord(tr::kClinkHead), addressOf(current));
  EXPECT_EQ(threadWord(tr::kLeafCallStack), nil());
  threadWord(tr::kClinkHead) = tr::kEmptyClinkChain;
}

TEST_F(ForeignCallbacks, NestedCallbacksAndANativeCallBetweenThemWalkCleanly) {
  registerCallbacks({callable_});
  alignas(8) uint32_t spare[tr::kClinkRecordWords] = {};
  threadWord(tr::kLeafCallStack) = addressOf(spare);
  threadWord(tr::kLeafCallFrame) = 0;
  probe_body_setup.walk = reinterpret_cast<uintptr_t>(&walkFromInsideTheCallback);
  g_nestedCallbacks = 1;
  g_walks = g_badWalks = 0;
  g_nil = nil();
  g_thread = thread_;
  uint32_t block[16] = {7};
  EXPECT_EQ(lisp_addr_call(addressOf(block), 0), kBodyResult);
  EXPECT_EQ(probe_body_log.count, 2u);
  EXPECT_EQ(probe_body_log.walk, 1u);
  EXPECT_EQ(g_walks, 2u);
  EXPECT_EQ(g_badWalks, 0u) << "a frame the walk could not pass";
  EXPECT_EQ(threadWord(tr::kClinkHead), tr::kEmptyClinkChain);
  EXPECT_EQ(threadWord(tr::kLeafCallStack), addressOf(spare));
}

// ---- the hooks of foreign-callable functions, called from Lisp ----

uint32_t floatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  return bits;
}
uint32_t doubleHalf(double value, int half) {
  uint32_t words[2];
  std::memcpy(words, &value, 8);
  return words[half];
}

class ForeignCallableHooks : public ForeignCallbacks {
 protected:
  // A call of `function` (its start code: the prologue into a hook) with
  // these Lisp arguments.
  LispCallResult callFunction(lispval function, const std::vector<lispval>& arguments) {
    LispCallSetup setup;
    setup.target = lisp::wordAt(function, -0xe);
    setup.edi = nil();
    setup.ebx = thread_;
    setup.esi = function;
    setup.ecx = static_cast<uint32_t>(arguments.size());
    setup.eax = arguments.size() > 0 ? arguments[0] : nil();
    setup.edx = arguments.size() > 1 ? arguments[1] : nil();
    for (size_t i = 2; i < arguments.size(); ++i) setup.stack[i] = arguments[i];
    setup.frame[testing_support::frameIndex(0x4)] = kCallerFunction;
    setup.frame[testing_support::frameIndex(0x1c)] = thread_;
    return call(setup);
  }
  lispval immediateFunction(uint32_t descriptor) {
    probe_body_setup.noBlock = 1;
    const lispval function = callableFunction(codeAddress(probe_immediate_code));
    lisp::objectOf<lisp::FunctionObject>(function)->raw[1] =
        makeFixnum(static_cast<int32_t>(descriptor));
    return function;
  }
  std::vector<uint32_t> bodyStack(uint32_t words) const {
    return {probe_body_log.stack, probe_body_log.stack + words};
  }
};

// Descriptor bits that convert the arguments whose positions are listed.
uint32_t converting(std::initializer_list<uint32_t> positions, uint32_t resultKind = 0) {
  uint32_t descriptor = resultKind;
  for (uint32_t j : positions) descriptor |= 1u << (2 * j + 2);
  return descriptor;
}

TEST_F(ForeignCallableHooks, ImmediateArgumentsFollowTheDescriptor) {
  const lispval big = bignum({0x9abc, 0x5678, 0x1234}, true);
  const lispval other = cons(nil(), nil());
  const std::vector<lispval> arguments = {
      makeFixnum(5), lisp::makeCharacter(0x1e9), singleFloat(1.5f), doubleFloat(2.25), big, other};
  const uint32_t nativeWords[] = {
      5u,   0xffffffe9, floatBits(1.5f), doubleHalf(2.25, 0), doubleHalf(2.25, 1), 0u - 0x56789abc,
      other};
  const struct {
    const char* name;
    uint32_t descriptor;
    std::vector<uint32_t> words;
  } cases[] = {
      {"all converted", converting({0, 1, 2, 3, 4, 5}), {nativeWords, nativeWords + 7}},
      {"none converted", 0, {arguments.begin(), arguments.end()}},
      {"every other converted",
       converting({1, 3, 5}),
       {arguments[0], nativeWords[1], arguments[2], nativeWords[3], nativeWords[4], arguments[4],
        nativeWords[6]}},
      {"other nonzero bit pairs convert too",
       (3u << 2) | (2u << 4),
       {nativeWords[0], nativeWords[1], arguments[2], arguments[3], arguments[4], arguments[5]}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    probe_body_log = {};
    const LispCallResult result = callFunction(immediateFunction(c.descriptor), arguments);
    EXPECT_EQ(result.eax, kBodyResult);
    ASSERT_EQ(probe_body_log.count, 1u);
    EXPECT_EQ(probe_body_log.ecx, c.words.size());
    EXPECT_EQ(probe_body_log.eax, c.words[0]);
    EXPECT_EQ(probe_body_log.edx, c.words[1]);
    EXPECT_EQ(bodyStack(static_cast<uint32_t>(c.words.size())), c.words);
  }
}

TEST_F(ForeignCallableHooks, ImmediateResultsAreBoxedWithoutAllocatingAfterTheBody) {
  const struct {
    const char* name;
    uint32_t kind;
    uint32_t bodyResult;
    int floatKind;
    double floatValue;
  } cases[] = {
      {"lisp value", 0, kBodyResult, 0, 0},   {"single-float", 1, 0, 1, 1.5},
      {"double-float", 2, 0, 2, -2.25},       {"small integer", 3, 5, 0, 0},
      {"large integer", 3, 0x7fffffff, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    probe_body_log = {};
    probe_body_setup.result = c.bodyResult;
    probe_body_setup.floatKind = static_cast<uint32_t>(c.floatKind);
    probe_body_setup.floatValue = c.floatValue;
    if (c.floatKind == 1) {
      const uint32_t bits = floatBits(static_cast<float>(c.floatValue));
      std::memcpy(&probe_body_setup.floatValue, &bits, 4);
    }
    const LispCallResult result = callFunction(immediateFunction(c.kind), {makeFixnum(1)});
    ASSERT_EQ(probe_body_log.count, 1u);
    EXPECT_EQ(result.x87Depth, 0u);
    EXPECT_EQ(result.carry, 0u);
    switch (c.kind) {
      case 0:
        EXPECT_EQ(result.eax, kBodyResult);
        break;
      case 1:
        ASSERT_EQ(lisp::typeCodeOf(lisp::wordAt(result.eax, lisp::kHeaderOffset)), tc::SingleFloat);
        EXPECT_EQ(lisp::objectOf<lisp::SingleFloatObject>(result.eax)->value, 1.5f);
        break;
      case 2:
        ASSERT_EQ(lisp::typeCodeOf(lisp::wordAt(result.eax, lisp::kHeaderOffset)), tc::DoubleFloat);
        EXPECT_EQ(lisp::objectOf<lisp::DoubleFloatObject>(result.eax)->value, -2.25);
        break;
      default:
        EXPECT_EQ(integerValue(result.eax), static_cast<int32_t>(c.bodyResult));
    }
    if (c.bodyResult != 0x7fffffff) {
      EXPECT_EQ(global(gc::global::kNewFree), probe_body_log.newFree) << "allocated after the body";
    }
  }
}

TEST_F(ForeignCallableHooks, TheCallableHookStopsAtTheBreakpointThenPassesOneBlock) {
  global(kBreakpointSlot) = testing_support::recorderAddress();
  testing_support::resetRecorder(nil());
  const lispval v96 = vectorOfType(96, 2), v112 = vectorOfType(112, 2), v103 = vectorOfType(103, 4),
                v110 = vectorOfType(110, 4), v111 = vectorOfType(111, 6),
                bytes = vectorOfType(98, 2);
  auto* header =
      static_cast<lisp::ArrayHeaderObject*>(objects_->allocate(sizeof(lisp::ArrayHeaderObject)));
  header->header = lisp::headerWord(lisp::arrayTypeForVector(98));
  header->words[1] = cons(nil(), bytes);  // p-0xa: the data
  header->words[2] = makeFixnum(3);       // p-6: the displacement
  const lispval array = lisp::wordOf(header, lisp::Tag::Other);
  const lispval other = cons(nil(), nil());
  const std::vector<lispval> arguments = {makeFixnum(-3),
                                          lisp::makeCharacter(0x1e9),
                                          singleFloat(1.5f),
                                          doubleFloat(2.25),
                                          bignum({0x9abc, 0x5678, 0x1234}, false),
                                          v96,
                                          v112,
                                          v103,
                                          v110,
                                          v111,
                                          array,
                                          other};
  const std::vector<uint32_t> block = {static_cast<uint32_t>(-3),
                                       0xffffffe9,
                                       floatBits(1.5f),
                                       doubleHalf(2.25, 0),
                                       doubleHalf(2.25, 1),
                                       0x56789abc,
                                       v96 - 0xe,
                                       v112 - 0xa,
                                       v103 - 0xa,
                                       v110 - 0xa,
                                       v111 - 0xa,
                                       bytes - 0xe + 3,
                                       other};
  const LispCallResult result = callFunction(callable_, arguments);
  EXPECT_EQ(result.eax, kBodyResult);
  EXPECT_EQ(result.carry, 0u);
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(12));
  ASSERT_EQ(probe_body_log.count, 1u);
  EXPECT_EQ(probe_body_log.ecx, 1u);
  EXPECT_EQ(probe_body_log.stack[0], probe_body_log.eax) << "the word in front of the block";
  EXPECT_EQ(std::vector<uint32_t>(probe_body_log.block, probe_body_log.block + block.size()),
            block);
}

uint32_t g_rawWordsSeen = 0;

// Called by the body through do_c_funcall: counts visited slots that hold
// the native form of the character 0x1e9, which only the argument area has.
extern "C" uint32_t countRawArgumentsSeen(uint32_t) {
  g_visitedSlots.clear();
  scan_activestack([](uint32_t slot) { g_visitedSlots.push_back(slot); }, [](uint32_t) {});
  for (uint32_t slot : g_visitedSlots)
    if (at(slot) == 0xffffffe9) ++g_rawWordsSeen;
  return 1;
}

TEST_F(ForeignCallableHooks, TheCollectorDoesNotReadTheNativeArgumentArea) {
  const lispval character = lisp::makeCharacter(0x1e9);
  probe_body_setup.walk = reinterpret_cast<uintptr_t>(&countRawArgumentsSeen);
  for (const lispval function : {immediateFunction(converting({0, 1, 2, 3})), callable_}) {
    g_rawWordsSeen = 0;
    probe_body_log = {};
    probe_body_setup.noBlock = function != callable_;
    callFunction(function, {character, character, character, character});
    ASSERT_EQ(probe_body_log.count, 1u);
    EXPECT_EQ(probe_body_log.walk, 1u);
    EXPECT_EQ(probe_body_log.stack[function == callable_ ? 1 : 0], 0xffffffe9);
    EXPECT_EQ(g_rawWordsSeen, 0u);
  }
}

// ---- the other native entries ----

TEST_F(ForeignCallbacks, LispValueReadsTheExportedValuesVector) {
  global(fc::kExportedValuesSymbol) =
      symbolWithValue(simpleVector({makeFixnum(7), nil(), makeFixnum(9)}));
  EXPECT_EQ(lisp_value(0), makeFixnum(7));
  EXPECT_EQ(lisp_value(2), makeFixnum(9));
  for (int32_t index : {-1, 3}) {
    testing_support::resetRecorder(makeFixnum(41));
    EXPECT_EQ(lisp_value(index), makeFixnum(41)) << index;
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(fc::kErrorBadIndex));
    EXPECT_EQ(lisp_recorder_log.calls[0].edx, makeFixnum(index));
  }
}

TEST_F(ForeignCallbacks, TheMissingCallbackCallsItsLispFunction) {
  global(fc::kMissingCallbackSymbol) =
      objects_->makeSymbol(objects_->makeFunction(testing_support::recorderAddress()));
  testing_support::resetRecorder(makeFixnum(77));
  EXPECT_EQ(lisp_missing_callback(), makeFixnum(77));
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].ecx, 0u);
}

// String conversions into native text: the recorder as the Lisp world's
// conversion function, which must see the string, the global's word and
// the buffer address boxed.
class StringConversion : public ForeignCallbacks {
 protected:
  void SetUp() override {
    ForeignCallbacks::SetUp();
    global(fc::kStringToNativeSymbol) =
        objects_->makeSymbol(objects_->makeFunction(testing_support::recorderAddress()));
    global(fc::kStringToNativeArgument) = makeFixnum(1252);
    testing_support::resetRecorder(makeFixnum(3));
  }
  void expectConverted(lispval string, uint32_t buffer) {
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const testing_support::RecordedCall& recorded = lisp_recorder_log.calls[0];
    EXPECT_EQ(recorded.ecx, 3u);
    EXPECT_EQ(recorded.eax, string);
    EXPECT_EQ(recorded.edx, makeFixnum(1252));
    EXPECT_EQ(integerValue(recorded.stack[2]), int64_t{buffer});
  }
};

TEST_F(StringConversion, PassesTheStringTheGlobalAndTheBoxedBuffer) {
  const lispval string = cons(nil(), nil());
  EXPECT_EQ(inlisp_string_to_native(string, 0x80001234), makeFixnum(3));
  expectConverted(string, 0x80001234);
}

// File names for Lisp: the Lisp world's conversion writes into strbuf.
TEST_F(StringConversion, FilenameStringsConvertThroughTheLispWorldIntoStrbuf) {
  const lispval string = cons(nil(), nil());
  EXPECT_EQ(FLC_filename_string(string), strbuf);
  expectConverted(string, addressOf(strbuf));
  // 0 stands for the bundle file; nothing converts.
  testing_support::resetRecorder(makeFixnum(3));
  EXPECT_EQ(FLC_filename_string(0), bundlename);
  EXPECT_EQ(lisp_recorder_log.count, 0u);
}

TEST_F(ForeignCallbacks, ThrowOverCReturnLeavesTheNativeEntryFrame) {
  const uint32_t value = 0x4242;
  uint32_t result = 0;
  EXPECT_EQ(probe_native_call(codeAddress(reinterpret_cast<void (*)()>(probe_throw_over)), &value,
                              1, 0, 0, &result),
            0u);
  EXPECT_EQ(result, value);
}

TEST(ForeignCallbackExports, LispValueIsExportedByName) {
  void* library = dlopen(KORVANE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  EXPECT_NE(dlsym(library, "lisp_value"), nullptr);
  for (const char* name : {"lisp_addr_call", "callback_to_lisp", "lisp_internal_call"})
    EXPECT_EQ(dlsym(library, name), nullptr) << name;
  dlclose(library);
}

}  // namespace
