// Calls into native code: the foreign-call record as CALL_NATIVE lays it
// out, call_direct through its entry slot, and the native word an object
// stands for (foreign_address_to_mi).

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "runtime/rs/native_calls.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/runtime_routines.h"
#include "testing/hand_made_objects.h"
#include "testing/lisp_routine_heap.h"

extern "C" {
void call_direct_probe();
void direct_target_spy();
uint32_t direct_target_registers[3];  // ebx, esi, esp at the call address
uint32_t direct_callee(uint32_t argument);
void probe_throw_continuation();
void method_call_probe();
}

namespace {

using namespace gc_test;
using lisp::lispval;
using lisp::makeFixnum;
using testing_support::LispCallResult;
using testing_support::LispCallSetup;
namespace tr = lisp::thread_record;
namespace ev = lisp::entry_vec;
namespace nbg = lisp::nil_block::global;

constexpr int32_t kForeignAddressToMi = 0x33b;
constexpr uint32_t kErrorValue = 0x4440;

struct CalleeSaw {
  uint32_t head;
  lisp::Clink record;
  uint32_t argument;
  uint32_t argumentAddress;
};
CalleeSaw g_saw;
uint32_t g_thread;

uint32_t addressOf(const void* p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

}  // namespace

// Called from runtime code, which keeps only 4-byte stack alignment.
extern "C" __attribute__((force_align_arg_pointer)) uint32_t direct_callee(uint32_t argument) {
  g_saw.head = lisp::wordAt(g_thread, tr::kClinkHead);
  std::memcpy(&g_saw.record, reinterpret_cast<void*>(g_saw.head), sizeof g_saw.record);
  g_saw.argument = argument;
  g_saw.argumentAddress = addressOf(&argument);
  return argument * 3;
}

namespace {

// What a callee of do_c_funcall saw of the x87 unit and the chain.
struct FuncallSaw {
  uint16_t controlWord;
  bool st0To5Empty;
  uint32_t head;
  uint32_t argument;
};
FuncallSaw g_funcall;
uint32_t g_continuation;

void noteX87AndChain() {
  uint32_t environment[7];  // fnstenv image: control, status, tag words first
  __asm__ volatile("fnstenv %0\n\tfldcw %0" : "=m"(environment));
  g_funcall.controlWord = static_cast<uint16_t>(environment[0]);
  const uint32_t top = (environment[1] >> 11) & 7;
  g_funcall.st0To5Empty = true;
  for (uint32_t i = 0; i < 6; ++i)
    if (((environment[2] >> (2 * ((top + i) & 7))) & 3) != 3) g_funcall.st0To5Empty = false;
  g_funcall.head = lisp::wordAt(g_thread, tr::kClinkHead);
  if (g_continuation) reinterpret_cast<uint32_t*>(g_funcall.head)[3] = g_continuation;
}

__attribute__((force_align_arg_pointer)) uint32_t cdeclCallee(uint32_t argument) {
  noteX87AndChain();
  g_funcall.argument = argument;
  return argument + 1000;
}
__attribute__((force_align_arg_pointer, stdcall)) uint32_t stdcallCallee(uint32_t argument) {
  noteX87AndChain();
  g_funcall.argument = argument;
  return argument + 2000;
}
__attribute__((force_align_arg_pointer)) uint32_t noArgumentCallee() {
  noteX87AndChain();
  return 77;
}

class NativeCalls : public LispRoutineHeap {
 protected:
  void SetUp() override {
    LispRoutineHeap::SetUp();
    g_thread = thread_;
    g_saw = {};
    at<uint16_t>(nil() + nbg::kFloatControlWord) = 0x37f;
  }
  // An entry-vec whose words are given; flags and the rest 0.
  lispval entryVec(uint32_t callAddress, uint32_t flags = 0, uint32_t target = 0) {
    return objects.other(lisp::headerWithLength(lisp::type_code::EntryVector, 6),
                         {nil(), callAddress, 0, flags, target, 0});
  }
  lispval string(const std::u16string& text) { return objects.string(text); }
  testing_support::HandMadeObjects objects;
};

TEST_F(NativeCalls, TheRecordStructMatchesWhatTheCallSequencePushes) {
  const lispval entry = entryVec(addressOf(reinterpret_cast<void*>(&direct_target_spy)));
  threadWord(tr::kClinkHead) = 0x5678;  // an outer record
  LispCallSetup setup = setupFor(0, 14, entry);
  setup.target = routineAddress(call_direct_probe);
  const LispCallResult result = call(setup);
  EXPECT_EQ(result.eax, 42u);
  EXPECT_EQ(result.ebx, thread_);
  EXPECT_EQ(g_saw.argument, 14u);
  EXPECT_EQ(g_saw.head, g_saw.argumentAddress + 4);  // directly above the one argument
  EXPECT_EQ(g_saw.record.previous, 0x5678u);
  EXPECT_EQ(g_saw.record.nativeFrame, 0u);
  EXPECT_GT(g_saw.record.frame, g_saw.head);
  EXPECT_EQ(g_saw.record.continuation, nil());
  EXPECT_EQ(g_saw.record.callee, entry);  // stored by call_direct
  EXPECT_EQ(g_saw.record.throwValues, 0u);
  EXPECT_EQ(threadWord(tr::kClinkHead), 0x5678u);
  threadWord(tr::kClinkHead) = tr::kEmptyClinkChain;
}

TEST_F(NativeCalls, CallDirectHandsTheEntryInEbxAndTheReturnPlaceInEsi) {
  const lispval entry = entryVec(addressOf(reinterpret_cast<void*>(&direct_target_spy)));
  LispCallSetup setup = setupFor(0, 5, entry);
  setup.target = routineAddress(call_direct_probe);
  const LispCallResult result = call(setup);
  EXPECT_EQ(result.eax, 15u);
  EXPECT_EQ(direct_target_registers[0], entry);
  // esi points at the return address into the caller, which is on top at the target.
  EXPECT_EQ(direct_target_registers[1], direct_target_registers[2]);
  EXPECT_EQ(g_saw.argumentAddress, direct_target_registers[2] + 4);
}

// ---- do_c_funcall, do_c_funcall0, machine_code, rfrnote ----

class CFuncall : public NativeCalls {
 protected:
  void SetUp() override {
    NativeCalls::SetUp();
    g_funcall = {};
    g_continuation = 0;
  }
  LispCallResult funcall(uint32_t function, uint32_t argument) {
    LispCallSetup setup = setupFor(0, function, argument);
    setup.target = routineAddress(do_c_funcall);
    setup.x87Count = 2;
    setup.x87Values[0] = 1.5;
    setup.x87Values[1] = 2.5;
    return call(setup);
  }
};

TEST_F(CFuncall, PassesTheArgumentAndReturnsEaxInsideAResetX87AndARecord) {
  at<uint16_t>(nil() + nbg::kFloatControlWord) = 0x27f;
  const LispCallResult result = funcall(addressOf(reinterpret_cast<void*>(&cdeclCallee)), 5);
  EXPECT_EQ(result.eax, 1005u);
  EXPECT_EQ(result.carry, 0u);
  EXPECT_EQ(result.esi, kCallerFunction);
  EXPECT_EQ(g_funcall.argument, 5u);
  EXPECT_EQ(g_funcall.controlWord, 0x27f);
  EXPECT_TRUE(g_funcall.st0To5Empty);
  EXPECT_NE(g_funcall.head, tr::kEmptyClinkChain);
  EXPECT_EQ(threadWord(tr::kClinkHead), tr::kEmptyClinkChain);
}

TEST_F(CFuncall, ACalleeThatPopsItsArgumentLeavesTheChainWhole) {
  const LispCallResult result = funcall(addressOf(reinterpret_cast<void*>(&stdcallCallee)), 6);
  EXPECT_EQ(result.eax, 2006u);
  EXPECT_EQ(result.ebx, thread_);
  EXPECT_EQ(threadWord(tr::kClinkHead), tr::kEmptyClinkChain);
}

TEST_F(CFuncall, AContinuationPutInTheHeadRecordIsWhereItGoesOn) {
  g_continuation = routineAddress(probe_throw_continuation);
  const LispCallResult result = funcall(addressOf(reinterpret_cast<void*>(&cdeclCallee)), 1);
  EXPECT_EQ(result.eax, makeFixnum(-1));
  EXPECT_EQ(threadWord(tr::kClinkHead), tr::kEmptyClinkChain);
}

TEST_F(CFuncall, WithoutArgument) {
  LispCallSetup setup = setupFor(0, addressOf(reinterpret_cast<void*>(&noArgumentCallee)));
  setup.target = routineAddress(do_c_funcall0);
  EXPECT_EQ(call(setup).eax, 77u);
  EXPECT_TRUE(g_funcall.st0To5Empty);
}

TEST_F(CFuncall, MachineCodeAndRfrnoteAreConstants) {
  const LispCallResult code = call(setupFor(0x14b));
  EXPECT_EQ(code.eax, makeFixnum(1029));
  EXPECT_EQ(code.carry, 0u);
  LispCallSetup setup = setupFor(0);
  setup.target = routineAddress(rfrnote);
  EXPECT_EQ(call(setup).eax, nil());
}

// ---- call kinds through the method trampolines ----

// An object whose first word is its function table; methods sit at byte 8.
struct FakeObject {
  const uint32_t* table;
};
constexpr uint32_t kMethodOffset = 8;
struct MethodSaw {
  uint32_t first, second, third;
};
MethodSaw g_method;

__attribute__((force_align_arg_pointer)) uint32_t cdeclMethod(FakeObject* self, uint32_t a) {
  g_method = {addressOf(self), a, 0};
  return 101;
}
__attribute__((force_align_arg_pointer, thiscall)) uint32_t thiscallMethod(FakeObject* self,
                                                                           uint32_t a) {
  g_method = {addressOf(self), a, 0};
  return 102;
}
__attribute__((force_align_arg_pointer, fastcall)) uint32_t fastcallFunction(uint32_t a,
                                                                             uint32_t b,
                                                                             uint32_t c) {
  g_method = {a, b, c};
  return 103;
}
__attribute__((force_align_arg_pointer, fastcall)) uint32_t fastcallMethod(FakeObject* self,
                                                                           uint32_t b) {
  g_method = {addressOf(self), b, 0};
  return 104;
}

class CallKinds : public NativeCalls {
 protected:
  void SetUp() override {
    NativeCalls::SetUp();
    g_method = {};
  }
  // Pushes `words` and calls the entry with ecx = count.
  uint32_t callEntry(lispval entry, std::initializer_list<uint32_t> words, uint32_t count) {
    std::copy(words.begin(), words.end(), words_);
    LispCallSetup setup = setupFor(0, entry, addressOf(words_), static_cast<uint32_t>(words.size()));
    setup.target = routineAddress(method_call_probe);
    setup.stack[0] = count;
    return call(setup).eax;
  }
  lispval methodEntry(void (*trampoline)(), uint32_t target = kMethodOffset) {
    return entryVec(routineAddress(trampoline), 0, target);
  }
  FakeObject objectWith(void* method) {
    table_[kMethodOffset / 4] = addressOf(method);
    return FakeObject{table_};
  }
  uint32_t words_[4] = {};
  uint32_t table_[4] = {};
};

TEST_F(CallKinds, Kind1FindsTheMethodThroughTheFirstArgument) {
  FakeObject object = objectWith(reinterpret_cast<void*>(&cdeclMethod));
  EXPECT_EQ(callEntry(methodEntry(method_tramp1), {addressOf(&object), 7}, 2), 101u);
  EXPECT_EQ(g_method.first, addressOf(&object));
  EXPECT_EQ(g_method.second, 7u);
}

TEST_F(CallKinds, Kind2PutsTheObjectInEcxAndKeepsTheReturnAddressOnTop) {
  FakeObject object = objectWith(reinterpret_cast<void*>(&thiscallMethod));
  EXPECT_EQ(callEntry(methodEntry(method_tramp2), {addressOf(&object), 8}, 2), 102u);
  EXPECT_EQ(g_method.first, addressOf(&object));
  EXPECT_EQ(g_method.second, 8u);
}

TEST_F(CallKinds, Kind3MovesAsManyOfTwoWordsAsThereAre) {
  const uint32_t function = addressOf(reinterpret_cast<void*>(&fastcallFunction));
  EXPECT_EQ(callEntry(methodEntry(method_tramp3, function), {1, 2, 3}, 3), 103u);
  EXPECT_EQ(g_method.first, 1u);
  EXPECT_EQ(g_method.second, 2u);
  EXPECT_EQ(g_method.third, 3u);
  // One word: only ecx; edx still holds what the caller had there (the words' address).
  callEntry(methodEntry(method_tramp3, function), {9, 0x55}, 1);
  EXPECT_EQ(g_method.first, 9u);
  EXPECT_EQ(g_method.second, addressOf(words_));
  // None: ecx keeps the count.
  callEntry(methodEntry(method_tramp3, function), {0x66, 0x77}, 0);
  EXPECT_EQ(g_method.first, 0u);
  EXPECT_EQ(g_method.second, addressOf(words_));
}

TEST_F(CallKinds, Kind4AlwaysLoadsTheObjectIntoEcx) {
  FakeObject object = objectWith(reinterpret_cast<void*>(&fastcallMethod));
  EXPECT_EQ(callEntry(methodEntry(method_tramp4), {addressOf(&object), 5}, 2), 104u);
  EXPECT_EQ(g_method.first, addressOf(&object));
  EXPECT_EQ(g_method.second, 5u);
  EXPECT_EQ(callEntry(methodEntry(method_tramp4), {addressOf(&object)}, 0), 104u);
  EXPECT_EQ(g_method.first, addressOf(&object));
  EXPECT_EQ(g_method.second, addressOf(words_));
}

// ---- do_quicksym ----

class Quicksym : public NativeCalls {
 protected:
  void SetUp() override {
    NativeCalls::SetUp();
    module_ = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    if (module_) dlclose(module_);
    NativeCalls::TearDown();
  }
  uint32_t lookUp(lispval name) {
    return call(setupFor(0, addressOf(module_), name, 2)).eax;
  }
  LispCallSetup setupFor(int32_t, uint32_t eax, uint32_t edx, uint32_t ecx) {
    LispCallSetup setup = NativeCalls::setupFor(0, eax, edx, ecx);
    setup.target = routineAddress(do_quicksym);
    return setup;
  }
  void* module_ = nullptr;
};

TEST_F(Quicksym, FindsANameInTheModuleOrGivesNil) {
  EXPECT_EQ(lookUp(string(u"cos")), addressOf(dlsym(module_, "cos")));
  EXPECT_EQ(lookUp(string(u"no_such_function_here")), nil());
  EXPECT_EQ(lookUp(string(std::u16string(u"cos\0", 4))), nil());  // a NUL inside is no name
  EXPECT_EQ(lookUp(makeFixnum(3)), nil());
  EXPECT_EQ(lookUp(nil()), nil());
}

// ---- rs_update_entry_vec ----

// Two libraries in the search list: the C library first, then the maths
// library; "cos" is only in the second, "strlen" in the first.
class Resolution : public NativeCalls {
 protected:
  void SetUp() override {
    NativeCalls::SetUp();
    libc_ = dlopen("libc.so.6", RTLD_NOW | RTLD_LOCAL);
    libm_ = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(libc_ && libm_);
    const lispval list = objects.cons(library(libc_), objects.cons(library(libm_), nil()));
    const lispval symbol = objects_->makeSymbol(nil());
    lisp::wordAt(symbol, -0x13) = list;  // its global value
    // Value vector: element 0 is the symbol itself, so binding index 0 reads the global value.
    lisp::wordAt(symbol, 1) =
        objects.other(lisp::headerWithLength(lisp::type_code::SimpleVector, 1), {makeFixnum(1), symbol});
    threadWord(tr::kBindingIndex) = makeFixnum(0);
    global(-0x299) = symbol;
  }
  void TearDown() override {
    dlclose(libc_);
    dlclose(libm_);
    NativeCalls::TearDown();
  }
  // A library object: its word 2 holds the handle as a Lisp integer.
  lispval library(void* handle) {
    const uint32_t h = addressOf(handle);
    const lispval integer = lisp::fitsFixnum(h) ? makeFixnum(static_cast<int32_t>(h))
                                                : objects.other(lisp::bignumHeader(2), {h});
    return objects.other(lisp::headerWithLength(15, 3), {nil(), nil(), integer});
  }
  lispval resolved(const char16_t* name, uint32_t flags, uint32_t target = 0x44) {
    const lispval entry = objects.other(lisp::headerWithLength(lisp::type_code::EntryVector, 6),
                                        {string(name), 0x11, 0x22, flags, target, 0});
    EXPECT_EQ(call(setupFor(0, entry, 0, 1)).eax, entry);
    return entry;
  }
  LispCallSetup setupFor(int32_t, uint32_t eax, uint32_t edx, uint32_t ecx) {
    LispCallSetup setup = NativeCalls::setupFor(0, eax, edx, ecx);
    setup.target = routineAddress(rs_update_entry_vec);
    return setup;
  }
  struct Words {
    uint32_t call, handle, target;
  };
  static Words wordsOf(lispval entry) {
    return {lisp::wordAt(entry, ev::kCallAddress), lisp::wordAt(entry, ev::kHandle),
            lisp::wordAt(entry, ev::kTarget)};
  }
  void* libc_ = nullptr;
  void* libm_ = nullptr;
};

TEST_F(Resolution, ANameFoundInTheSecondLibraryTakesItsAddressAndHandle) {
  const uint32_t cos = addressOf(dlsym(libm_, "cos"));
  const uint32_t missing = routineAddress(lisp_missing_stub);
  struct Case {
    uint32_t flags;
    Words expected;
  };
  for (const Case c : {Case{0, {cos, addressOf(libm_), missing}},
                       Case{ev::kResolveByName, {cos, 0, missing}},
                       Case{ev::kSemiDirect, {routineAddress(call_semidirect), 0, cos}},
                       Case{ev::kSemiDirect | 0x3008, {routineAddress(call_semidirect), 0, cos}}}) {
    const Words got = wordsOf(resolved(u"cos", c.flags));
    EXPECT_EQ(got.call, c.expected.call) << "flags " << c.flags;
    EXPECT_EQ(got.handle, c.expected.handle) << "flags " << c.flags;
    EXPECT_EQ(got.target, c.expected.target) << "flags " << c.flags;
  }
  EXPECT_EQ(wordsOf(resolved(u"strlen", 0)).handle, addressOf(libc_));
}

TEST_F(Resolution, ANameInNoLibraryGoesToTheMissingStub) {
  const uint32_t missing = routineAddress(lisp_missing_stub);
  const Words direct = wordsOf(resolved(u"no_such_function_here", 0));
  EXPECT_EQ(direct.call, missing);
  EXPECT_EQ(direct.handle, 0u);
  const Words semi = wordsOf(resolved(u"no_such_function_here", ev::kSemiDirect));
  EXPECT_EQ(semi.call, routineAddress(call_semidirect));
  EXPECT_EQ(semi.target, missing);
}

TEST_F(Resolution, MethodEntriesTakeTheirTrampolineAndKeepTheirTarget) {
  void (*const trampolines[])() = {method_tramp1, method_tramp2, method_tramp3, method_tramp4};
  for (uint32_t kind = 1; kind <= 7; ++kind) {
    const Words got = wordsOf(resolved(u"cos", kind << ev::kCallKindShift, 0x18));
    const uint32_t expected =
        kind <= 4 ? routineAddress(trampolines[kind - 1]) : routineAddress(lisp_missing_stub);
    EXPECT_EQ(got.call, expected) << "kind " << kind;
    EXPECT_EQ(got.handle, 0u);
    EXPECT_EQ(got.target, 0x18u);
  }
  // Bit 8 looks the name up even for a method entry.
  EXPECT_EQ(wordsOf(resolved(u"cos", 0x100 | 0x10, 0x18)).call, addressOf(dlsym(libm_, "cos")));
}

// ---- foreign_address_to_mi ----

class ForeignAddress : public NativeCalls {
 protected:
  LispCallResult addressOfObject(lispval object) {
    testing_support::resetRecorder(kErrorValue);
    return call(setupFor(kForeignAddressToMi, object));
  }
  uint32_t found(lispval object) {
    const LispCallResult result = addressOfObject(object);
    EXPECT_EQ(lisp_recorder_log.count, 0u);
    return result.eax;
  }
  // The error code and datum (0 without one) of a refused object.
  void expectRefused(lispval object, uint32_t code, bool withObject) {
    const LispCallResult result = addressOfObject(object);
    EXPECT_EQ(result.eax, kErrorValue);
    ASSERT_EQ(lisp_recorder_log.count, 1u);
    const testing_support::RecordedCall& error = lisp_recorder_log.calls[0];
    EXPECT_EQ(error.eax, makeFixnum(static_cast<int32_t>(code)));
    if (withObject) {
      EXPECT_EQ(error.ecx, 2u);
      EXPECT_EQ(error.edx, object);
    } else {
      EXPECT_EQ(error.ecx, 1u);
    }
  }
  lispval vector(uint8_t type) { return objects.other(type | (4u << 8), {1, 2, 3, 4}); }
  // A one-dimensional array header over `data` (a cons or another header).
  lispval arrayHeader(lispval data, int32_t displacement) {
    return objects.other(lisp::headerWithLength(65, 1),
                         {nil(), data, makeFixnum(displacement), nil(), 0});
  }
};

TEST_F(ForeignAddress, NumbersStandForTheirLow32Bits) {
  EXPECT_EQ(found(makeFixnum(1234)), 1234u);
  EXPECT_EQ(found(makeFixnum(-5)), static_cast<uint32_t>(-5));
  const lispval positive = objects.other(lisp::bignumHeader(3), {0x12345678, 9});
  EXPECT_EQ(found(positive), 0x12345678u);
  const lispval negative = objects.other(lisp::bignumHeader(2, 1), {0x80000001});
  EXPECT_EQ(found(negative), 0x7fffffffu);
}

TEST_F(ForeignAddress, PointerObjectsStandForTheAddressTheyHoldOrAreAt) {
  const lispval pointer = objects.other(lisp::headerWord(12, 0x80), {nil(), nil(), 0xcafe0000});
  EXPECT_EQ(found(pointer), 0xcafe0000u);
  const lispval entry = entryVec(0x1000);
  EXPECT_EQ(found(entry), entry - 0xa);
}

TEST_F(ForeignAddress, VectorsStandForTheirFirstDataWord) {
  struct Case {
    uint8_t type;
    int32_t offset;
  };
  // 103 and 110 have an alignment word where others of their kind have a length word.
  for (const Case c : {Case{96, -0xe}, Case{97, -0xe}, Case{112, -0xa}, Case{117, -0xa},
                       Case{103, -0xa}, Case{110, -0xa}}) {
    const lispval v = vector(c.type);
    EXPECT_EQ(found(v), v + c.offset) << "type " << int{c.type};
  }
}

TEST_F(ForeignAddress, ArrayHeadersStandForTheirElementAlongTheDisplacementChain) {
  const lispval bits = vector(97);
  EXPECT_EQ(found(arrayHeader(objects.cons(nil(), bits), 16)), bits - 0xe + 2);
  const lispval doubles = vector(103);
  EXPECT_EQ(found(arrayHeader(objects.cons(nil(), doubles), 3)), doubles - 0xa + 24);
  const lispval strings = vector(117);
  const lispval inner = arrayHeader(objects.cons(nil(), strings), 5);
  EXPECT_EQ(found(arrayHeader(inner, 2)), strings - 0xa + 14);
}

TEST_F(ForeignAddress, AnArrayOverAVectorWithoutElementSizeIsError22) {
  expectRefused(arrayHeader(objects.cons(nil(), vector(119)), 0), 22, false);
}

TEST_F(ForeignAddress, ObjectsThatStandForNoAddressAreError54WithTheObject) {
  const lispval plainInstance = objects.other(lisp::headerWord(12), {nil(), nil(), 0x1000});
  const lispval ring = objects.other(lisp::headerWithLength(65, 1), {nil(), 0, 0, nil(), 0});
  lisp::wordAt(ring, -0xa) = ring;  // displaced onto itself
  for (const lispval object :
       {nil(), global(nbg::kErrorSymbol), objects.cons(nil(), nil()), lisp::makeCharacter('a'), plainInstance,
        objects.other(lisp::headerWord(lisp::type_code::DoubleFloat), {0, 0}), ring}) {
    expectRefused(object, 54, true);
  }
}

}  // namespace
