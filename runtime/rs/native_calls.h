// Calls from Lisp into native code: the foreign-call record (`clink`), the
// named native function (`entry-vec`, type 111) and the routines that call
// through them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "runtime/rs/clink_layout.h"
#include "runtime/rs/lisp_value.h"
#include "runtime/rs/thread_record.h"

namespace lisp {

// The record CALL_NATIVE (runtime_frame.inc) pushes and links at the thread's
// +0xb6: it lies directly above the outgoing native arguments.
struct Clink {
  uint32_t previous;      // the chain head before this record (all ones: none)
  uint32_t nativeFrame;   // 0; a native entry into Lisp stores its frame pointer here
  uint32_t frame;         // ebp of the routine that made the call
  lispval continuation;   // nil, or the code address a throw resumes at
  lispval callee;         // the entry-vec called; a throw's tag
  lispval throwValues;    // kept free for a throw's values vector
};
static_assert(offsetof(Clink, previous) == CLINK_PREVIOUS);
static_assert(offsetof(Clink, nativeFrame) == CLINK_NATIVE_FRAME);
static_assert(offsetof(Clink, frame) == CLINK_FRAME);
static_assert(offsetof(Clink, continuation) == CLINK_CONTINUATION);
static_assert(offsetof(Clink, callee) == CLINK_CALLEE);
static_assert(offsetof(Clink, throwValues) == CLINK_THROW_VALUES);
static_assert(sizeof(Clink) == CLINK_BYTES);
static_assert(sizeof(Clink) == 4 * thread_record::kClinkRecordWords);
static_assert(thread_record::kClinkHead == THREAD_CLINK_HEAD);
static_assert(thread_record::kLeafCallStack == THREAD_LEAF_STACK);
static_assert(thread_record::kLeafCallFrame == THREAD_LEAF_FRAME);

// ---- entry-vec ----

namespace entry_vec {

// The six data words, from the tagged word.
inline constexpr int32_t kName = ENTRY_VEC_NAME;                    // Lisp string
inline constexpr int32_t kCallAddress = ENTRY_VEC_CALL_ADDRESS;     // where callers jump
inline constexpr int32_t kHandle = ENTRY_VEC_HANDLE;                // raw module handle or 0
inline constexpr int32_t kFlags = ENTRY_VEC_FLAGS;                  // raw bit field
inline constexpr int32_t kTarget = ENTRY_VEC_TARGET;                // function or method offset
inline constexpr int32_t kArgumentBytes = ENTRY_VEC_ARGUMENT_BYTES;  // raw
inline constexpr uint32_t kDataWords = 6;
static_assert(kArgumentBytes - kName == 4 * (kDataWords - 1));

// Flag word bits.
inline constexpr uint32_t kSemiDirect = 0x1;
inline constexpr uint32_t kReleaseOrReport = 0x4;
inline constexpr uint32_t kReleaseWhenAllowed = 0x8;
inline constexpr uint32_t kCallKindMask = 0x70;
inline constexpr uint32_t kCallKindShift = 4;
inline constexpr uint32_t kResolveByName = 0x100;
inline constexpr uint32_t kConversionHook = 0x200;
inline constexpr uint32_t kCaptureMask = 0x3000;
inline constexpr uint32_t kCaptureShift = 12;
inline constexpr uint32_t kCaptureErrno = 1;
inline constexpr uint32_t kCaptureLastErrorBit = 2;  // captures 2 and 3

constexpr uint32_t callKindOf(uint32_t flags) {
  return (flags & kCallKindMask) >> kCallKindShift;
}
constexpr uint32_t captureOf(uint32_t flags) {
  return (flags & kCaptureMask) >> kCaptureShift;
}

// How a semi-direct or method entry reaches its target.
enum class CallKind : uint8_t {
  Plain,           // jump to the target, stack unchanged (cdecl, stdcall)
  FirstArgMethod,  // object = first argument word; jump to [[object] + target]
  ThiscallMethod,  // first argument word into ecx; jump to [[ecx] + target]
  Fastcall,        // first two argument words into ecx, edx; jump to the target
  FastcallMethod,  // as Fastcall (ecx always loaded); jump to [[ecx] + target]
};
struct CallKindRow {
  CallKind kind;
  bool throughFunctionTable;  // the target is an offset into the object's function table
  uint8_t registerArguments;  // argument words moved into ecx (and edx)
  bool alwaysLoadsEcx;        // even with no argument words
};
inline constexpr std::array<CallKindRow, 5> kCallKinds = {{
    {CallKind::Plain, false, 0, false},
    {CallKind::FirstArgMethod, true, 0, false},
    {CallKind::ThiscallMethod, true, 1, true},
    {CallKind::Fastcall, false, 2, false},
    {CallKind::FastcallMethod, true, 2, true},
}};
// Kinds 5 to 7 name no way of calling: such entries resolve to the missing stub.
inline constexpr uint32_t kCallKindCount = kCallKinds.size();
static_assert(static_cast<uint32_t>(kCallKinds[4].kind) == 4);
static_assert(callKindOf(0x40) == 4 && captureOf(0x3000) == 3);

}  // namespace entry_vec

// Runtime errors of foreign_address_to_mi.
namespace foreign_address_error {
inline constexpr uint32_t kNoElementSize = 22;     // array over a vector type without a size
inline constexpr uint32_t kNotAnAddress = 54;      // with the object
}  // namespace foreign_address_error

}  // namespace lisp

extern "C" {
// Runtime routines (Lisp register conventions).
void call_direct();            // ecx = entry-vec, clink pushed, native arguments stacked
void foreign_address_to_mi();  // eax = object -> eax = the raw word it stands for
void do_c_funcall();           // eax = native function, edx = its one argument
void do_c_funcall0();          // eax = native function, no argument
void method_tramp1();          // ebx = entry-vec, ecx = argument words: call kinds 1-4
void method_tramp2();
void method_tramp3();
void method_tramp4();
void do_quicksym();            // eax = module handle, edx = name -> address or nil
void rs_update_entry_vec();    // eax = entry-vec, ecx = 1 -> the entry, resolved
// ebx = entry-vec, ecx = argument words: heap release, call kind, error capture.
void call_semidirect();
void call_semidirect_old();
// Return points of a native call that call_semidirect redirected.
void semidirect_tail();
void semidirect_tail_errno();
void semidirect_tail_errno_nr();
void semidirect_tail_lasterr();
void semidirect_tail_lasterr_nr();
void semidirect_tail_old();
void semidirect_tail_errno_old();
void semidirect_tail_errno_nr_old();
// ebx = entry-vec: resolves the entry on its first call, then calls it.
void bind_and_call();
// ebx = entry-vec of a name no library has: records it, goes on in _x.
void lisp_missing_stub();
// Native entries (cdecl).
uint32_t lisp_missing_stub_x();  // the function of the symbol at nil-0xf1 on the entry
lisp::lispval update_entry_vec(lisp::lispval entry);
lisp::lispval heap_release_error(lisp::lispval entry);

// The error number the last capturing semi-direct call left (raw), exported
// under this internal name: an ELF export named errno would clash with the C
// library's.
extern int32_t lisp_errno;
void machine_code();           // -> fixnum 1029
void rfrnote();                // -> nil

// The C++ half of foreign_address_to_mi: low word 0 and the raw word in the
// high one, or low word 1 with the fixnum error code (2: with the object).
uint64_t foreign_address_locate(lisp::lispval object);

// The C++ half of rs_update_entry_vec: `libraries` is the current value of
// the symbol at nil-0x299.
lisp::lispval entry_vec_resolve(lisp::lispval entry, lisp::lispval libraries);
}
