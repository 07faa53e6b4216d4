// Callbacks from native code into Lisp: the machine-code stubs that native
// callers call, the native entry points that run a registered Lisp callback,
// and the hooks that give a foreign-callable Lisp function native arguments.
//
// A stub moves its convention's register arguments onto the stack in front of
// the stack arguments, so the Lisp side always sees one contiguous argument
// block, and ends in _callback_to_lisp with eax = callback index and ecx =
// the block. Only the words X (callback index), N (argument bytes to pop)
// and T (address of _callback_to_lisp) vary between stubs of a convention.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp::foreign_callback {

// ---- stub templates ----

enum class Convention : uint8_t { Cdecl, Stdcall, Thiscall, Fastcall };
inline constexpr uint32_t kConventionCount = 4;

inline constexpr size_t kLongestStub = 35;
inline constexpr uint8_t kNoWord = 0xff;  // the stub has no such word

struct StubTemplate {
  uint8_t size;
  uint8_t indexAt;   // X
  uint8_t popAt;     // N, or kNoWord (cdecl: the caller pops)
  uint8_t targetAt;  // T
  // fastcall prefixes push both register words, so at least that many bytes
  // are popped however few arguments the function takes
  uint8_t leastPop;
  std::array<uint8_t, kLongestStub> bytes;  // X, N and T as 0
};

// clang-format off
inline constexpr std::array<StubTemplate, kConventionCount> kStubTemplates = {{
    {16, 5, kNoWord, 0xa, 0, {
        0x8d, 0x4c, 0x24, 0x04,  // lea ecx, [esp+4]     the argument block
        0xb8, 0, 0, 0, 0,        // mov eax, X
        0xba, 0, 0, 0, 0,        // mov edx, T
        0xff, 0xe2}},            // jmp edx
    {30, 5, 0xa, 0x10, 0, {
        0x8d, 0x4c, 0x24, 0x04,  // lea ecx, [esp+4]
        0xb8, 0, 0, 0, 0,        // mov eax, X
        0xba, 0, 0, 0, 0,        // mov edx, N
        0x52,                    // push edx
        0xba, 0, 0, 0, 0,        // mov edx, T
        0xff, 0xd2,              // call edx
        0x5a,                    // pop edx              N
        0x03, 0xd4,              // add edx, esp
        0x8f, 0x02,              // pop [edx]            return address above the arguments
        0x8b, 0xe2,              // mov esp, edx
        0xc3}},                  // ret
    {34, 9, 0xe, 0x14, 0, {
        0x87, 0x0c, 0x24,        // xchg ecx, [esp]      this in place of the return address
        0x51,                    // push ecx             return address back on top
        0x8d, 0x4c, 0x24, 0x04, 0xb8, 0, 0, 0, 0, 0xba, 0, 0, 0, 0, 0x52,
        0xba, 0, 0, 0, 0, 0xff, 0xd2, 0x5a, 0x03, 0xd4, 0x8f, 0x02, 0x8b, 0xe2, 0xc3}},
    {35, 0xa, 0xf, 0x15, 8, {
        0x87, 0x14, 0x24,        // xchg edx, [esp]      second argument in place of the return address
        0x51,                    // push ecx             first argument in front of it
        0x52,                    // push edx             return address back on top
        0x8d, 0x4c, 0x24, 0x04, 0xb8, 0, 0, 0, 0, 0xba, 0, 0, 0, 0, 0x52,
        0xba, 0, 0, 0, 0, 0xff, 0xd2, 0x5a, 0x03, 0xd4, 0x8f, 0x02, 0x8b, 0xe2, 0xc3}},
}};
// clang-format on

// The thiscall and fastcall stubs end in the stdcall stub.
constexpr bool endsInStdcallStub(const StubTemplate& stub) {
  const StubTemplate& tail = kStubTemplates[1];
  const size_t prefix = stub.size - tail.size;
  for (size_t i = 0; i < tail.size; ++i)
    if (stub.bytes[prefix + i] != tail.bytes[i]) return false;
  return stub.indexAt == tail.indexAt + prefix && stub.popAt == tail.popAt + prefix &&
         stub.targetAt == tail.targetAt + prefix;
}
static_assert(endsInStdcallStub(kStubTemplates[2]) && endsInStdcallStub(kStubTemplates[3]));
static_assert(kStubTemplates[0].targetAt == 0xa && kStubTemplates[1].targetAt == 0x10 &&
              kStubTemplates[2].targetAt == 0x14 && kStubTemplates[3].targetAt == 0x15);

// The pop count a stub is written with.
constexpr uint32_t popBytes(const StubTemplate& stub, uint32_t argumentBytes) {
  return argumentBytes > stub.leastPop ? argumentBytes : stub.leastPop;
}

// ---- Lisp-side words ----

// Global words (offsets from nil).
inline constexpr int32_t kCallbackVectorSymbol = -0x111;  // value: the callback vector
inline constexpr int32_t kExportedValuesSymbol = -0x10d;  // value: what lisp_value reads
inline constexpr int32_t kMissingCallbackSymbol = -0x19d;
inline constexpr int32_t kStringToNativeSymbol = -0x489;
inline constexpr int32_t kStringToNativeArgument = -0x48d;

// Runtime errors through the second error function.
inline constexpr int32_t kErrorBadIndex = 41;            // with the index
inline constexpr int32_t kErrorNotForeignCallable = 42;  // with the object

// A foreign-callable function: type 8 with this bit in header byte 1; its
// code starts with a prologue of this many bytes that jumps to a hook, and
// its body (native argument form) follows it.
inline constexpr uint8_t kForeignCallableBit = 0x10;
inline constexpr uint32_t kPrologueBytes = 6;
// immed_arg_hook's descriptor: a fixnum in the raw word at p+0xa.
inline constexpr int32_t kDescriptorOffset = 0xa;

// How a Lisp object is passed or returned in native form.
enum class NativeForm : uint8_t { Word, SingleFloat, DoubleFloat };
struct NativeValue {
  NativeForm form;
  uint32_t low;
  uint32_t high;  // the upper half of a double-float
};
// fixnum, character, single- and double-float, bignum; any other object is
// its own word.
NativeValue nativeValueOf(lispval object);

}  // namespace lisp::foreign_callback

extern "C" {
// Runtime routines (Lisp register conventions).
void new_foreign_callback();       // eax = index, edx = convention, arg 3 = N -> address or nil
void relocate_foreign_callback();  // eax = stub address, edx = convention -> nil
void lisp_internal_call();         // eax = index, edx = block (raw), ecx = 2
void in_lisp_s_to_n();             // eax = string, edx = buffer (raw)
void immed_arg_hook();             // from a foreign-callable function's prologue
void foreign_callable_hook();
void breakpoint();            // -> nil, nothing changed
void throw_over_c_return1();  // ebx = a native entry frame: return from it with eax

// Reached from the stubs: eax = index (raw), ecx = the argument block.
void callback_to_lisp();
void _callback_to_lisp();

// Native entries (cdecl).
uint32_t lisp_addr_call(uint32_t block, int32_t index);
lisp::lispval lisp_value(int32_t index);
uint32_t lisp_missing_callback();
lisp::lispval inlisp_string_to_native(lisp::lispval string, uint32_t buffer);

// The native entry of every callback (runtime/os/thread_start.h): takes the
// heap around lisp_addr_call, registering a native thread on its first call.
uint32_t acquire_heap_around_lisp_call(uint32_t block, int32_t index);

// The C++ halves of the routines above.
uint32_t foreign_callback_new(int32_t convention, int32_t index, int32_t argumentBytes);
void foreign_callback_relocate(lisp::lispval address, lisp::lispval convention);
uint32_t foreign_callback_layout(const lisp::lispval* arguments, uint32_t count,
                                 uint32_t descriptor, uint32_t* area);
uint32_t foreign_callable_layout(const lisp::lispval* arguments, uint32_t count, uint32_t* area);
}
