// Calls through entry-vec objects into the two test libraries: semi-direct
// calls with heap release and error capture, the missing-function stub,
// first calls through bind_and_call, and the general foreign call
// ff_funcall / ff_apply.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "platform/thread_block.h"
#include "runtime/gc/scavenger.h"
#include "runtime/os/mp_log.h"
#include "runtime/rs/foreign_funcall.h"
#include "runtime/rs/native_calls.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/runtime_routines.h"
#include "runtime/rs/tests/collection_probes.h"
#include "runtime/rs/tests/hostile_hook.h"
#include "testing/hand_made_objects.h"
#include "testing/lisp_routine_heap.h"

extern "C" {
void entry_call_probe();
void register_setting_callee();
uint32_t entry_call_after[2];  // flags and edx right after the call
double callee_double = 2.5;
void callee_sets_errno();
uint32_t heap_wraps_seen();
}

namespace {

using namespace gc_test;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
namespace tr = lisp::thread_record;
namespace ev = lisp::entry_vec;
namespace ff = lisp::foreign_funcall;
namespace nbg = lisp::nil_block::global;

constexpr int32_t kLibrariesGlobal = -0x299;
constexpr int32_t kReleaseForbiddenGlobal = -0xa9;
constexpr int32_t kMissingFunctionGlobal = -0xf1;
constexpr int32_t kReleaseErrorGlobal = -0x195;
constexpr int32_t kFfFuncallSlot = 0x287;
constexpr int32_t kSyscallSlot = 0x17b;
constexpr int32_t kValuesSlot = 0x9f;
constexpr int32_t kFfApplySlot = 0x28b;
constexpr int32_t kNewOtherSlot = 0x263;
// What vxm_wrap_release_heap (value 0) and vxm_wrap_reacquire_heap (1) log.
constexpr uint32_t kHeapWrapEvent = 0x106;
constexpr uint32_t kHandlerResult = 0x7770;
constexpr int32_t kEnotemptyForLisp = 41;
constexpr uint32_t kErrnoSentinel = 0x5555;

uint32_t addressOf(const void* p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

uint32_t g_logStart;
int g_errnoToSet;

// Heap-wrap events logged since g_logStart: value 0 or 1, in order.
std::vector<uint32_t> heapWrapsSince(uint32_t start) {
  std::vector<uint32_t> values;
  for (uint32_t s = start; s < mplog_sequence; ++s)
    for (const auto& e : std::span(vxm_mplog, mplog_size))
      if (e.sequence == s && e.code == kHeapWrapEvent) values.push_back(e.value);
  return values;
}

}  // namespace

extern "C" __attribute__((force_align_arg_pointer)) void callee_sets_errno() {
  errno = g_errnoToSet;
}

// Releases seen times 16 plus retakes seen, while the native function runs.
extern "C" __attribute__((force_align_arg_pointer)) uint32_t heap_wraps_seen() {
  uint32_t releases = 0, retakes = 0;
  for (uint32_t value : heapWrapsSince(g_logStart)) (value == 0 ? releases : retakes)++;
  return releases * 16 + retakes;
}

namespace {

struct MethodSaw {
  uint32_t first, second, third;
};
MethodSaw g_method;

__attribute__((force_align_arg_pointer, fastcall)) uint32_t fastcallFunction(uint32_t a, uint32_t b,
                                                                             uint32_t c) {
  g_method = {a, b, c};
  errno = ENOTEMPTY;
  return 103;
}
struct FakeObject {
  const uint32_t* table;
};
__attribute__((force_align_arg_pointer, thiscall)) uint32_t thiscallMethod(FakeObject* self,
                                                                           uint32_t a) {
  g_method = {addressOf(self), a, 0};
  return 102;
}

class ForeignCalls : public LispRoutineHeap {
 protected:
  void SetUp() override {
    LispRoutineHeap::SetUp();
    ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
    at<uint16_t>(nil() + nbg::kFloatControlWord) = 0x27f;
    libraryA_ = dlopen(FOREIGN_LIBRARY_A, RTLD_NOW | RTLD_LOCAL);
    libraryB_ = dlopen(FOREIGN_LIBRARY_B, RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(libraryA_ && libraryB_) << dlerror();
    threadWord(tr::kBindingIndex) = makeFixnum(0);
    libraries_ =
        symbolWithValue(objects.cons(library(libraryA_), objects.cons(library(libraryB_), nil())));
    global(kLibrariesGlobal) = libraries_;
    releaseForbidden_ = symbolWithValue(nil());
    global(kReleaseForbiddenGlobal) = releaseForbidden_;
    handler_ = global(nbg::kErrorSymbol);  // a symbol whose function is the recorder
    global(kMissingFunctionGlobal) = handler_;
    global(kReleaseErrorGlobal) = handler_;
    testing_support::resetRecorder(kHandlerResult);
    lisp::mp_log::setUp();
    mp_logging = static_cast<int>(makeFixnum(1));
    g_logStart = mplog_sequence;
    g_errnoToSet = ENOTEMPTY;
    g_method = {};
    lisp_errno = kErrnoSentinel;
  }
  void TearDown() override {
    mp_logging = 0;
    if (libraryA_) dlclose(libraryA_);
    if (libraryB_) dlclose(libraryB_);
    LispRoutineHeap::TearDown();
  }

  // A symbol whose value for this thread (binding index 0) is its global value.
  lispval symbolWithValue(lispval value) {
    const lispval symbol = objects_->makeSymbol(nil());
    lisp::wordAt(symbol, -0x13) = value;
    lisp::wordAt(symbol, 1) = objects.other(
        lisp::headerWithLength(lisp::type_code::SimpleVector, 1), {makeFixnum(1), symbol});
    return symbol;
  }
  void setValue(lispval symbol, lispval value) { lisp::wordAt(symbol, -0x13) = value; }
  // A library object: its word 2 holds the module handle as a fixnum or bignum.
  lispval library(void* handle) {
    const uint32_t h = addressOf(handle);
    const lispval integer = lisp::fitsFixnum(h) ? makeFixnum(static_cast<int32_t>(h))
                                                : objects.other(lisp::bignumHeader(2), {h});
    return objects.other(lisp::headerWithLength(15, 3), {nil(), nil(), integer});
  }
  struct EntryWords {
    const char16_t* name = u"";
    uint32_t callAddress = 0;
    uint32_t flags = 0;
    uint32_t target = 0;
    uint32_t handle = 0;
    uint32_t argumentBytes = 0;
  };
  lispval entry(const EntryWords& w) {
    return objects.other(
        lisp::headerWithLength(lisp::type_code::EntryVector, 6),
        {objects.string(w.name), w.callAddress, w.handle, w.flags, w.target, w.argumentBytes});
  }
  lispval semiDirect(uint32_t target, uint32_t flags) {
    return entry({.callAddress = routineAddress(call_semidirect),
                  .flags = ev::kSemiDirect | flags,
                  .target = target});
  }
  uint32_t inA(const char* name) { return addressOf(dlsym(libraryA_, name)); }
  uint32_t inB(const char* name) { return addressOf(dlsym(libraryB_, name)); }

  // Calls the entry's call address with these native argument words.
  LispCallResult callEntry(lispval entry, std::initializer_list<uint32_t> words) {
    std::copy(words.begin(), words.end(), words_);
    LispCallSetup setup =
        setupFor(0, entry, addressOf(words_), static_cast<uint32_t>(words.size()));
    setup.target = routineAddress(entry_call_probe);
    setup.stack[0] = static_cast<uint32_t>(words.size());
    return call(setup);
  }
  uint32_t word(lispval entry, int32_t offset) { return lisp::wordAt(entry, offset); }

  testing_support::HandMadeObjects objects;
  void* libraryA_ = nullptr;
  void* libraryB_ = nullptr;
  lispval libraries_ = 0, releaseForbidden_ = 0, handler_ = 0;
  uint32_t words_[4] = {};
};

// ---- call_semidirect: heap release and error capture ----

TEST_F(ForeignCalls, TheHeapIsReleasedAsTheFlagsAndTheForbiddingSymbolSay) {
  struct Case {
    bool forbidden;
    uint32_t flags;
    bool released, reported;
  };
  for (const Case c :
       {Case{false, 0x4, true, false}, Case{false, 0x8, true, false}, Case{true, 0x4, false, true},
        Case{true, 0x8, false, false}, Case{false, 0, false, false}, Case{true, 0, false, false}}) {
    SCOPED_TRACE("forbidden " + std::to_string(c.forbidden) + " flags " + std::to_string(c.flags));
    setValue(releaseForbidden_, c.forbidden ? makeFixnum(1) : nil());
    testing_support::resetRecorder(kHandlerResult);
    g_logStart = mplog_sequence;
    const lispval e = semiDirect(addressOf(reinterpret_cast<void*>(&heap_wraps_seen)), c.flags);
    const LispCallResult result = callEntry(e, {});
    EXPECT_EQ(result.eax, c.released ? 0x10u : 0u) << "released, not yet retaken, during the call";
    const std::vector<uint32_t> expected =
        c.released ? std::vector<uint32_t>{0, 1} : std::vector<uint32_t>{};
    EXPECT_EQ(heapWrapsSince(g_logStart), expected);
    ASSERT_EQ(lisp_recorder_log.count, c.reported ? 1u : 0u);
    if (c.reported) {
      EXPECT_EQ(lisp_recorder_log.calls[0].eax, e);
      EXPECT_EQ(lisp_recorder_log.calls[0].ecx, 1u);
    }
    EXPECT_EQ(lisp_errno, static_cast<int32_t>(kErrnoSentinel)) << "no capture asked";
  }
}

TEST_F(ForeignCalls, TheCaptureBitsStoreErrnoOrTheLastErrorAfterTheCall) {
  struct Case {
    uint32_t capture;
    int32_t stored;
  };
  for (const uint32_t release : {0u, 0x8u}) {
    for (const Case c : {Case{0, static_cast<int32_t>(kErrnoSentinel)},
                         Case{0x1000, kEnotemptyForLisp}, Case{0x2000, 145}, Case{0x3000, 145}}) {
      SCOPED_TRACE("capture " + std::to_string(c.capture) + " release " + std::to_string(release));
      lisp_errno = kErrnoSentinel;
      g_logStart = mplog_sequence;
      const LispCallResult result =
          callEntry(semiDirect(inA("fta_fail_with"), c.capture | release), {ENOTEMPTY});
      EXPECT_EQ(result.eax, 0xffffffffu);
      EXPECT_EQ(lisp_errno, c.stored);
      EXPECT_EQ(heapWrapsSince(g_logStart).size(), release ? 2u : 0u);
    }
  }
}

TEST_F(ForeignCalls, TheTailsKeepTheResultRegistersFlagsAndX87Stack) {
  for (const uint32_t flags : {0u, 0x1000u | 0x8u, 0x2000u, 0x8u, 0x1000u}) {
    SCOPED_TRACE("flags " + std::to_string(flags));
    const LispCallResult result =
        callEntry(semiDirect(routineAddress(register_setting_callee), flags), {});
    EXPECT_EQ(result.eax, 0x1234u);
    EXPECT_EQ(entry_call_after[1], 0x5678u);
    EXPECT_EQ(entry_call_after[0] & 0x41u, 0x41u) << "carry and zero flags";
    ASSERT_EQ(result.x87Depth, 1u);
    EXPECT_EQ(result.x87Top, 2.5);
  }
}

TEST_F(ForeignCalls, SemiDirectCallKindsMoveTheirArgumentsAndStillCapture) {
  const lispval fastcall =
      semiDirect(addressOf(reinterpret_cast<void*>(&fastcallFunction)), (3u << 4) | 0x1000);
  EXPECT_EQ(callEntry(fastcall, {1, 2, 3}).eax, 103u);
  EXPECT_EQ(g_method.first, 1u);
  EXPECT_EQ(g_method.second, 2u);
  EXPECT_EQ(g_method.third, 3u);
  EXPECT_EQ(lisp_errno, kEnotemptyForLisp);

  uint32_t table[4] = {0, 0, addressOf(reinterpret_cast<void*>(&thiscallMethod)), 0};
  FakeObject object{table};
  EXPECT_EQ(callEntry(semiDirect(8, (2u << 4) | 0x8), {addressOf(&object), 9}).eax, 102u);
  EXPECT_EQ(g_method.first, addressOf(&object));
  EXPECT_EQ(g_method.second, 9u);
  EXPECT_EQ(heapWrapsSince(g_logStart).size(), 2u);
}

TEST_F(ForeignCalls, OldNamesBehaveAsTheUnsuffixedOnes) {
  const lispval e = entry({.callAddress = routineAddress(call_semidirect_old),
                           .flags = ev::kSemiDirect | 0x1000 | 0x8,
                           .target = inA("fta_fail_with")});
  EXPECT_EQ(callEntry(e, {ENOTEMPTY}).eax, 0xffffffffu);
  EXPECT_EQ(lisp_errno, kEnotemptyForLisp);
  EXPECT_EQ(routineAddress(semidirect_tail_old), routineAddress(semidirect_tail));
  EXPECT_EQ(routineAddress(semidirect_tail_errno_old), routineAddress(semidirect_tail_errno));
  EXPECT_EQ(routineAddress(semidirect_tail_errno_nr_old), routineAddress(semidirect_tail_errno_nr));
}

// ---- the missing stub ----

TEST_F(ForeignCalls, AMissingFunctionCallsTheHandlerWithTheEntryAndReturnsItsValue) {
  const uint32_t missing = routineAddress(lisp_missing_stub);
  const lispval direct = entry({.callAddress = missing});
  const lispval semi = semiDirect(missing, 0x1000 | 0x8);
  const lispval badKind = semiDirect(inA("fta_add"), 5u << 4);
  for (const lispval e : {direct, semi, badKind}) {
    testing_support::resetRecorder(kHandlerResult);
    g_logStart = mplog_sequence;
    const LispCallResult result = callEntry(e, {1, 2});
    EXPECT_EQ(result.eax, kHandlerResult);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    EXPECT_EQ(lisp_recorder_log.calls[0].eax, e);
    EXPECT_EQ(lisp_recorder_log.calls[0].ecx, 1u);
    EXPECT_TRUE(heapWrapsSince(g_logStart).empty());
  }
  EXPECT_EQ(lisp_errno, static_cast<int32_t>(kErrnoSentinel));
}

// A handler of the refused release that collects: call_semidirect goes on
// with the entry where the collector moved it, and the missing-function
// handler gets that same entry.
TEST_F(ForeignCalls, AReleaseErrorHandlerThatCollectsLeavesTheCallWithTheMovedEntry) {
  const LispCallResult made = call(setupFor(kNewOtherSlot, 4 * 7));
  const lispval e = made.eax;
  const uint32_t words[] = {lisp::headerWithLength(lisp::type_code::EntryVector, 6),
                            nil(),
                            routineAddress(call_semidirect),
                            0,
                            ev::kSemiDirect | 0x4,
                            routineAddress(lisp_missing_stub),
                            0};
  for (uint32_t i = 0; i < 7; ++i) lisp::wordAt(e, lisp::kHeaderOffset + 4 * i) = words[i];
  setValue(releaseForbidden_, makeFixnum(1));
  global(kReleaseErrorGlobal) =
      objects_->makeSymbol(objects_->makeFunction(addressOf(reinterpret_cast<void*>(&scavenging_start))));
  testing_support::resetRecorder(kHandlerResult);
  const uint32_t scavenges = ScavengeCt;
  const LispCallResult result = callEntry(e, {1, 2});
  EXPECT_EQ(ScavengeCt, scavenges + 1);
  EXPECT_EQ(result.eax, kHandlerResult);
  ASSERT_EQ(lisp_recorder_log.count, 2u);
  const lispval moved = lisp_recorder_log.calls[0].eax;
  EXPECT_NE(moved, e);
  EXPECT_EQ(word(moved, ev::kFlags), ev::kSemiDirect | 0x4);
  EXPECT_EQ(lisp_recorder_log.calls[1].eax, moved) << "the missing-function handler's entry";
}

// ---- resolution on the first call ----

TEST_F(ForeignCalls, BindAndCallResolvesOnTheFirstCallThenCallsDirectly) {
  const lispval e = entry({.name = u"ftb_times7", .callAddress = routineAddress(bind_and_call)});
  EXPECT_EQ(callEntry(e, {6}).eax, 42u);
  EXPECT_EQ(word(e, ev::kCallAddress), inB("ftb_times7"));
  EXPECT_EQ(word(e, ev::kHandle), addressOf(libraryB_));
  EXPECT_EQ(callEntry(e, {5}).eax, 35u);

  const lispval first =
      entry({.name = u"ft_in_both", .callAddress = routineAddress(bind_and_call)});
  EXPECT_EQ(callEntry(first, {}).eax, 1u) << "the first library of the list wins";
}

TEST_F(ForeignCalls, BindAndCallLooksInTheKnownLibraryFirst) {
  setValue(libraries_, nil());  // only the entry's own handle can find the name
  const lispval e = entry({.name = u"fta_add",
                           .callAddress = routineAddress(bind_and_call),
                           .handle = addressOf(libraryA_)});
  EXPECT_EQ(callEntry(e, {2, 3}).eax, 5u);
  EXPECT_EQ(word(e, ev::kCallAddress), inA("fta_add"));
  EXPECT_EQ(lisp_recorder_log.count, 0u);

  setValue(libraries_, objects.cons(library(libraryA_), objects.cons(library(libraryB_), nil())));
  const lispval elsewhere = entry({.name = u"ftb_times7",
                                   .callAddress = routineAddress(bind_and_call),
                                   .handle = addressOf(libraryA_)});
  EXPECT_EQ(callEntry(elsewhere, {3}).eax, 21u) << "not in that library: resolved from the list";
  EXPECT_EQ(word(elsewhere, ev::kHandle), addressOf(libraryB_));
}

TEST_F(ForeignCalls, BindAndCallGoesOnThroughASemiDirectEntryOrTheMissingStub) {
  const lispval semi = entry({.name = u"fta_fail_with",
                              .callAddress = routineAddress(bind_and_call),
                              .flags = ev::kSemiDirect | 0x1000});
  EXPECT_EQ(callEntry(semi, {ENOTEMPTY}).eax, 0xffffffffu);
  EXPECT_EQ(word(semi, ev::kCallAddress), routineAddress(call_semidirect));
  EXPECT_EQ(lisp_errno, kEnotemptyForLisp);

  const lispval missing =
      entry({.name = u"ft_nowhere", .callAddress = routineAddress(bind_and_call)});
  EXPECT_EQ(callEntry(missing, {}).eax, kHandlerResult);
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, missing);
}

TEST_F(ForeignCalls, UpdateEntryVecResolvesFromNativeCode) {
  const lispval e = entry({.name = u"ftb_times7", .callAddress = 0x11});
  EXPECT_EQ(update_entry_vec(e), e);
  EXPECT_EQ(word(e, ev::kCallAddress), inB("ftb_times7"));
  EXPECT_EQ(word(e, ev::kHandle), addressOf(libraryB_));
  EXPECT_EQ(threadWord(tr::kClinkHead), tr::kEmptyClinkChain);
}

// ---- ff_funcall and ff_apply ----

class ForeignFuncall : public ForeignCalls {
 protected:
  void SetUp() override {
    ForeignCalls::SetUp();
    for (int32_t g : {ff::kSignedType, ff::kUnsignedType, ff::kSingleType, ff::kDoubleType,
                      ff::kWordConversion, ff::kSingleConversion, ff::kDoubleConversion})
      global(g) = objects_->makeSymbol(nil());
    global(ff::kHookTest) = handler_;
    global(ff::kHookConvert) = handler_;
  }
  lispval type(int32_t g) { return global(g); }
  lispval resultOf(int32_t g) { return objects.cons(type(g), nil()); }
  lispval doubleFloat(double d) {
    uint32_t w[2];
    std::memcpy(w, &d, sizeof d);
    return objects.other(lisp::headerWord(lisp::type_code::DoubleFloat), {0, w[0], w[1]});
  }
  static double doubleOf(lispval x) {
    double d;
    std::memcpy(&d, &lisp::wordAt(x, -0xa), sizeof d);
    return d;
  }
  // ff_funcall through its slot: the entry, the pairs, the result description.
  LispCallResult funcall(lispval e, std::vector<lispval> pairs, lispval result) {
    pairs.push_back(result);
    LispCallSetup setup =
        setupFor(kFfFuncallSlot, e, pairs[0], static_cast<uint32_t>(pairs.size() + 1));
    for (size_t i = 1; i < pairs.size(); ++i) setup.stack[i + 1] = pairs[i];
    return call(setup);
  }
  lispval direct(const char* name, uint32_t flags = 0) {
    return entry({.callAddress = inA(name), .flags = flags});
  }
};

TEST_F(ForeignFuncall, ResultsAreBoxedByTheResultDescription) {
  const lispval three = makeFixnum(3), seven = makeFixnum(7);
  const LispCallResult scaled = funcall(
      direct("fta_scale"), {type(ff::kSignedType), three, type(ff::kDoubleType), doubleFloat(2.5)},
      resultOf(ff::kDoubleType));
  ASSERT_EQ(lisp::typeCodeOf(lisp::wordAt(scaled.eax, lisp::kHeaderOffset)),
            lisp::type_code::DoubleFloat);
  EXPECT_EQ(doubleOf(scaled.eax), 7.5);
  EXPECT_EQ(scaled.carry, 0u);
  EXPECT_EQ(scaled.x87Depth, 0u);

  EXPECT_EQ(
      funcall(direct("fta_negate"), {type(ff::kSignedType), seven}, resultOf(ff::kSignedType)).eax,
      makeFixnum(-7));
  EXPECT_EQ(funcall(direct("fta_all_ones"), {}, resultOf(ff::kSignedType)).eax, makeFixnum(-1));
  const lispval big = funcall(direct("fta_all_ones"), {}, resultOf(ff::kUnsignedType)).eax;
  ASSERT_TRUE(lisp::isOther(big));
  EXPECT_EQ(lisp::wordAt(big, lisp::kHeaderOffset) & 0xffff, 18u) << "a positive bignum";
  EXPECT_EQ(lisp::wordAt(big, -0xe), 0xffffffffu);

  const lispval third = funcall(direct("fta_third"), {nil(), seven}, resultOf(ff::kSingleType)).eax;
  ASSERT_EQ(lisp::typeCodeOf(lisp::wordAt(third, lisp::kHeaderOffset)),
            lisp::type_code::SingleFloat);
  float f;
  std::memcpy(&f, &lisp::wordAt(third, -0xe), sizeof f);
  EXPECT_EQ(f, 7.0f / 3.0f);
  EXPECT_EQ(funcall(direct("fta_negate"), {nil(), seven}, nil()).eax, nil()) << "no result type";
}

TEST_F(ForeignFuncall, FloatArgumentsTakeTheFormTheirDescriptionNames) {
  float oneAndHalf = 1.5f;
  uint32_t bits;
  std::memcpy(&bits, &oneAndHalf, sizeof bits);
  const lispval single = objects.other(lisp::headerWord(lisp::type_code::SingleFloat), {bits});
  struct Case {
    lispval value;
    double widened;
  };
  for (const Case c : {Case{single, 1.5}, Case{doubleFloat(0.25), 0.25}, Case{makeFixnum(-3), -3.0},
                       Case{doubleFloat(1e300), HUGE_VAL}, Case{doubleFloat(-1e300), -HUGE_VAL}}) {
    const LispCallResult result =
        funcall(direct("fta_widen"), {type(ff::kSingleType), c.value}, resultOf(ff::kDoubleType));
    EXPECT_EQ(doubleOf(result.eax), c.widened);
  }
}

TEST_F(ForeignFuncall, ErrnoIsClearedWithoutCaptureAndReturnedAsSecondValueWithIt) {
  errno = EINTR;
  EXPECT_EQ(funcall(direct("fta_errno_seen"), {}, resultOf(ff::kSignedType)).eax, makeFixnum(0));
  errno = EINTR;
  EXPECT_EQ(funcall(direct("fta_errno_seen", 0x1000), {}, resultOf(ff::kSignedType)).eax,
            makeFixnum(EINTR))
      << "capturing entries keep errno as it was";

  const lispval e = entry({.callAddress = routineAddress(call_semidirect),
                           .flags = ev::kSemiDirect | 0x1000 | 0x8,
                           .target = inA("fta_fail_with")});
  const LispCallResult result =
      funcall(e, {type(ff::kSignedType), makeFixnum(ENOTEMPTY)}, resultOf(ff::kSignedType));
  EXPECT_EQ(result.eax, makeFixnum(-1));
  EXPECT_EQ(result.edx, makeFixnum(kEnotemptyForLisp));
  EXPECT_EQ(result.ecx, 2u);
  EXPECT_EQ(result.carry, 1u);
  EXPECT_EQ(heapWrapsSince(g_logStart).size(), 2u);
}

// The boxing of the answer (a bignum) collects, and the after-collection
// function makes a capturing call of its own, which sets errno to 9: the
// outer call still answers its own errno (41) as the second value.
TEST_F(ForeignFuncall, TheErrnoAnsweredIsTheCallsOwnThoughTheBoxingMakesACapturingCall) {
  const uint32_t capturing = ev::kSemiDirect | 0x1000 | 0x8;
  const lispval inner = entry({.callAddress = routineAddress(call_semidirect),
                               .flags = capturing,
                               .target = inA("fta_fail_with")});
  HostileCall nested{
      .target = global(kFfFuncallSlot), .eax = inner, .edx = type(ff::kSignedType), .ecx = 4};
  nested.stacked[0] = makeFixnum(EBADF);
  nested.stacked[1] = resultOf(ff::kSignedType);
  const testing_support::HostileAfterHook hook({nested});
  const lispval outer = entry({.callAddress = routineAddress(call_semidirect),
                               .flags = capturing,
                               .target = inA("fta_fail_with")});
  testing_support::useUpNewSpace();
  const uint32_t scavenges = ScavengeCt;
  const LispCallResult result =
      funcall(outer, {type(ff::kSignedType), makeFixnum(ENOTEMPTY)}, resultOf(ff::kUnsignedType));
  ASSERT_EQ(ScavengeCt, scavenges + 1);
  EXPECT_EQ(lisp_errno, 9) << "the nested call captured its own";
  EXPECT_EQ(lisp::wordAt(result.eax, -0xe), 0xffffffffu) << "-1 as an unsigned bignum";
  EXPECT_EQ(result.ecx, 2u);
  EXPECT_EQ(result.edx, makeFixnum(kEnotemptyForLisp));
}

// Each kind of boxed answer collects, and the after-collection function
// makes a capturing call of its own (errno 9), a system call and returns
// five values: the outer call still answers its own result and errno.
TEST_F(ForeignFuncall, EachBoxedAnswerKeepsItsOwnErrnoThoughTheBoxingRunsAHostileHook) {
  HostileCall nested{
      .target = global(kFfFuncallSlot), .eax = 0, .edx = type(ff::kSignedType), .ecx = 4};
  nested.stacked[0] = makeFixnum(EBADF);
  nested.stacked[1] = resultOf(ff::kSignedType);
  HostileCall five{
      .target = global(kValuesSlot), .eax = makeFixnum(101), .edx = makeFixnum(102), .ecx = 5};
  for (uint32_t k = 0; k < 3; ++k) five.stacked[k] = makeFixnum(103 + static_cast<int32_t>(k));
  const uint32_t capturing = ev::kSemiDirect | 0x1000 | 0x8;
  const auto capturingEntry = [&](const char* name) {
    return entry(
        {.callAddress = routineAddress(call_semidirect), .flags = capturing, .target = inA(name)});
  };
  nested.eax = capturingEntry("fta_fail_with");
  threadWord(tr::kValuesVectors) = nil();
  const testing_support::HostileAfterHook hook(
      {{.target = global(kSyscallSlot), .eax = makeFixnum(19), .edx = nil(), .ecx = 1},
       nested,
       five});
  const auto bignumWord = [](lispval x) { return lisp::wordAt(x, -0xe); };
  const auto singleOf = [](lispval x) {
    float f;
    std::memcpy(&f, &lisp::wordAt(x, -0xe), sizeof f);
    return f;
  };
  const struct {
    const char* function;
    int32_t result;
    std::function<bool(lispval)> holds;
  } cases[] = {
      {"fta_fail_with", ff::kUnsignedType, [&](lispval x) { return bignumWord(x) == 0xffffffffu; }},
      {"fta_fail_far", ff::kSignedType,
       [&](lispval x) {  // sign and magnitude
         return (lisp::wordAt(x, lisp::kHeaderOffset) & 0xff00) != 0 &&
                bignumWord(x) == 0x7fffff00u + ENOTEMPTY;
       }},
      {"fta_fail_halved", ff::kDoubleType,
       [](lispval x) { return doubleOf(x) == ENOTEMPTY * 0.5; }},
      {"fta_fail_halved", ff::kSingleType,
       [&](lispval x) { return singleOf(x) == ENOTEMPTY * 0.5f; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.function) + " kind " + std::to_string(c.result));
    const lispval outer = capturingEntry(c.function);
    const lispval description = resultOf(c.result);
    testing_support::useUpNewSpace();
    const uint32_t scavenges = ScavengeCt;
    const LispCallResult result =
        funcall(outer, {type(ff::kSignedType), makeFixnum(ENOTEMPTY)}, description);
    ASSERT_EQ(ScavengeCt, scavenges + 1);
    EXPECT_EQ(lisp_errno, 9) << "the nested call captured its own";
    EXPECT_TRUE(c.holds(result.eax));
    EXPECT_EQ(result.ecx, 2u);
    EXPECT_EQ(result.edx, makeFixnum(kEnotemptyForLisp));
  }
}

TEST_F(ForeignFuncall, ResolvesThroughBindAndCallAndReservesTheEntrysArgumentBytes) {
  const lispval e = entry({.name = u"ftb_fail_keeping",
                           .callAddress = routineAddress(bind_and_call),
                           .argumentBytes = 64});
  const LispCallResult result =
      funcall(e, {type(ff::kSignedType), makeFixnum(1), type(ff::kDoubleType), doubleFloat(-0.25)},
              resultOf(ff::kDoubleType));
  EXPECT_EQ(doubleOf(result.eax), -0.25);
  EXPECT_EQ(word(e, ev::kCallAddress), inB("ftb_fail_keeping"));
}

TEST_F(ForeignFuncall, AConversionFunctionGetsTheOperationTypeExtraAndValue) {
  const lispval extra = makeFixnum(99);
  const lispval conversion =
      objects.cons(handler_, objects.cons(type(ff::kSignedType), objects.cons(extra, nil())));
  testing_support::resetRecorder(makeFixnum(10));
  const LispCallResult result =
      funcall(direct("fta_negate"), {conversion, makeFixnum(4)}, resultOf(ff::kSignedType));
  EXPECT_EQ(result.eax, makeFixnum(-10));
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  const testing_support::RecordedCall& c = lisp_recorder_log.calls[0];
  EXPECT_EQ(c.ecx, 4u);
  EXPECT_EQ(c.eax, global(ff::kWordConversion));
  EXPECT_EQ(c.edx, type(ff::kSignedType));
  EXPECT_EQ(c.stack[2], extra);
  EXPECT_EQ(c.stack[3], makeFixnum(4));
}

TEST_F(ForeignFuncall, FlagBit9OffersPlainValuesToTheHooks) {
  testing_support::resetRecorder(makeFixnum(9));  // both hooks answer 9
  const LispCallResult result =
      funcall(direct("fta_negate", ev::kConversionHook), {type(ff::kSignedType), makeFixnum(3)},
              resultOf(ff::kSignedType));
  EXPECT_EQ(result.eax, makeFixnum(-9));
  ASSERT_EQ(lisp_recorder_log.count, 2u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(3));
  EXPECT_EQ(lisp_recorder_log.calls[1].eax, makeFixnum(3));

  testing_support::resetRecorder(nil());  // the test hook declines
  EXPECT_EQ(funcall(direct("fta_negate", ev::kConversionHook),
                    {type(ff::kSignedType), makeFixnum(3)}, resultOf(ff::kSignedType))
                .eax,
            makeFixnum(-3));
  EXPECT_EQ(lisp_recorder_log.count, 1u);
}

TEST_F(ForeignFuncall, ArgumentsThatCannotBePassedAreError54WithoutACall) {
  const lispval e = direct("fta_negate");
  const lispval aCons = objects.cons(nil(), nil());
  const lispval unknownType = objects_->makeSymbol(nil());
  const lispval noFunction =
      objects.cons(makeFixnum(5), nil());  // a conversion list without a symbol
  struct Case {
    std::vector<lispval> pairs;
    lispval datum;
  };
  for (const Case& c :
       {Case{{type(ff::kSignedType), aCons}, aCons}, Case{{type(ff::kDoubleType), aCons}, aCons},
        Case{{unknownType, makeFixnum(1)}, unknownType},
        Case{{noFunction, makeFixnum(1)}, noFunction}}) {
    testing_support::resetRecorder(kHandlerResult);
    const LispCallResult result = funcall(e, c.pairs, resultOf(ff::kSignedType));
    EXPECT_EQ(result.eax, kHandlerResult);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(54));
    EXPECT_EQ(lisp_recorder_log.calls[0].edx, c.datum);
  }
  // An odd count, and a first argument that is no entry-vec.
  testing_support::resetRecorder(kHandlerResult);
  LispCallSetup odd = setupFor(kFfFuncallSlot, e, type(ff::kSignedType), 3);
  odd.stack[2] = makeFixnum(1);
  EXPECT_EQ(call(odd).eax, kHandlerResult);
  EXPECT_EQ(lisp_recorder_log.calls[0].edx, makeFixnum(3));
  testing_support::resetRecorder(kHandlerResult);
  EXPECT_EQ(funcall(makeFixnum(1), {}, resultOf(ff::kSignedType)).eax, kHandlerResult);
  EXPECT_EQ(lisp_recorder_log.calls[0].edx, makeFixnum(1));
}

TEST_F(ForeignFuncall, ApplyLaysTheListsOutAsPairs) {
  LispCallSetup setup = setupFor(kFfApplySlot, direct("fta_scale"), resultOf(ff::kDoubleType), 4);
  setup.stack[2] = objects.cons(type(ff::kSignedType), objects.cons(type(ff::kDoubleType), nil()));
  setup.stack[3] = objects.cons(makeFixnum(4), objects.cons(doubleFloat(0.5), nil()));
  const LispCallResult result = call(setup);
  EXPECT_EQ(doubleOf(result.eax), 2.0);

  // Descriptions running out are nil: the value passes as a native word.
  LispCallSetup shortTypes =
      setupFor(kFfApplySlot, direct("fta_add"), resultOf(ff::kSignedType), 4);
  shortTypes.stack[2] = nil();
  shortTypes.stack[3] = objects.cons(makeFixnum(4), objects.cons(makeFixnum(5), nil()));
  EXPECT_EQ(call(shortTypes).eax, makeFixnum(9));

  // A circular values list is refused after 1024 elements, with the list.
  const lispval ring = objects.cons(makeFixnum(1), nil());
  lisp::cdr(ring) = ring;
  testing_support::resetRecorder(kHandlerResult);
  LispCallSetup endless = setupFor(kFfApplySlot, direct("fta_add"), resultOf(ff::kSignedType), 4);
  endless.stack[2] = nil();
  endless.stack[3] = ring;
  EXPECT_EQ(call(endless).eax, kHandlerResult);
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  EXPECT_EQ(lisp_recorder_log.calls[0].eax, makeFixnum(54));
  EXPECT_EQ(lisp_recorder_log.calls[0].edx, ring);
}

}  // namespace
