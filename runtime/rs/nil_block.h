// The block around nil: runtime global words below nil, the call stub at nil,
// the runtime entry table above it.
//
// Compiled code keeps nil in edi and reaches everything here by constant
// offsets from it, so every offset is part of the image and fasl formats.
// The global at nil+d is also globreg word (d + 0x15) / 4.
#pragma once

#include <array>
#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp::nil_block {

// ---- place of nil inside the block ----

inline constexpr uint32_t kNilDistance = 0x579;  // nil is at least this far above the start
inline constexpr uint32_t kNilLowByte = 0x85;
inline constexpr int32_t kLowestGlobal = -0x575;
inline constexpr int32_t kFirstEntrySlot = 0x23;
inline constexpr int32_t kLastEntrySlot = 0x37f;
inline constexpr int32_t kBlockEnd = 0x383;  // first byte after the entry table

constexpr uint32_t nilForBlockStart(uint32_t start) {
  return ((start + kNilDistance + 0xff) & ~uint32_t{0xff}) + kNilLowByte;
}
static_assert(nilForBlockStart(0x20000000) == 0x20000685);

// Runtime global N is the word at nil - 4N - 0x15 (the globals table).
constexpr int32_t runtimeGlobalOffset(uint32_t n) {
  return -4 * static_cast<int32_t>(n) - 0x15;
}

// ---- the code at nil ----

inline constexpr int32_t kCountPrefix = -6;  // 16-bit 0xb900, then the 32-bit word 2
inline constexpr uint16_t kCountPrefixHalf = 0xb900;
inline constexpr uint32_t kCountPrefixWord = 2;

// mov ecx, 2 (from nil-5), then the call stub from nil.
inline constexpr std::array<uint8_t, 30> kCallStub = {
    0x83, 0xe1, 0x7f,        // and ecx, 0x7f            count to 7 bits
    0x8b, 0x73, 0xf5,        // mov esi, [ebx-0xb]       function cell of the symbol
    0x89, 0x5d, 0xe8,        // mov [ebp-0x18], ebx      symbol into the frame
    0x89, 0x4d, 0xf0,        // mov [ebp-0x10], ecx      count into the frame
    0x8b, 0x5d, 0xe4,        // mov ebx, [ebp-0x1c]      thread back into ebx
    0x89, 0x44, 0x24, 0x04,  // mov [esp+4], eax         home slot of argument 1
    0x89, 0x54, 0x24, 0x08,  // mov [esp+8], edx         home slot of argument 2
    0xf7, 0x55, 0xf0,        // not dword [ebp-0x10]     complemented count
    0xff, 0x66, 0xf2,        // jmp [esi-0xe]            the function's start word
    0x90,                    // nop
};

// Entry points into the stub, as offsets from nil.
inline constexpr int32_t kStubCallSymbol = 0;          // count masked to 7 bits
inline constexpr int32_t kStubCallSymbolTwoArgs = -5;  // count 2
inline constexpr int32_t kStubCallSymbolUnmasked = 3;  // count as given
inline constexpr int32_t kStubCallFunction = 6;        // function already in esi

// ---- frame conventions of runtime code ----

namespace frame {
inline constexpr int32_t kFunction = -4;  // function object or marker
inline constexpr int32_t kCount = -0x10;  // nil, or the complemented count of a stub call
inline constexpr int32_t kClosure = -0x14;
inline constexpr int32_t kSymbol = -0x18;
inline constexpr int32_t kThread = -0x1c;
}  // namespace frame

namespace marker {
inline constexpr uint32_t kRuntimeRoutine = 6;
inline constexpr uint32_t kFloatBoxing = 0x206;
inline constexpr uint32_t kMathLibrary = 0x1406;
inline constexpr uint32_t kNativeEntry = 0x506;
inline constexpr uint32_t kTrapHandler = 0xe36;
inline constexpr uint32_t kTrapHandlerAlternate = 0xe46;
}  // namespace marker

// ---- global words (offsets from nil) ----

namespace global {
inline constexpr int32_t kFloatControlWord = -0x9;  // 16 bits, see kFreshFloatControlWord
inline constexpr int32_t kNilCdr = -0xd;
inline constexpr int32_t kNilCar = -0x11;
inline constexpr int32_t kThreadSlotIndex = -0x15;  // byte index of the thread-record slot
inline constexpr int32_t kUnboundMarker = -0x29;
inline constexpr int32_t kConsingMode = -0x31;
inline constexpr int32_t kSignalPending = -0x35;  // all ones when a signal arrived
inline constexpr int32_t kAnnotatingSymbol = -0x59;
inline constexpr int32_t kScratchBignum1 = -0xd1;
inline constexpr int32_t kScratchBignum2 = -0xd5;
inline constexpr int32_t kDivisorScratch = -0x121;
inline constexpr int32_t kArraySerial = -0x13d;
inline constexpr int32_t kNewSpaceBoundary = -0x179;
inline constexpr int32_t kGlobsAddress = -0x17d;
inline constexpr int32_t kFirstHeapPage = -0x191;
inline constexpr int32_t kCallCountTable = -0x1a5;
inline constexpr int32_t kCallCountOverflows = -0x1a9;
inline constexpr int32_t kClosureEntryForNew = -0x1b9;
inline constexpr int32_t kTrampolineAreaStart = -0x1c1;
inline constexpr int32_t kTrampolineAreaEnd = -0x1dd;
inline constexpr int32_t kConsFill = -0x211;
inline constexpr int32_t kConsLimit = -0x20d;
inline constexpr int32_t kRemoteObjectSerial = -0x305;
inline constexpr int32_t kNewSpaceFree = -0x351;
inline constexpr int32_t kNewSpaceNext = -0x36d;
inline constexpr int32_t kAllocationStamp = -0x371;
inline constexpr int32_t kInterruptCounter = -0x409;  // fixnum 0 to 4
inline constexpr int32_t kErrorSymbol = -0x4d5;           // one argument: fixnum code
inline constexpr int32_t kErrorSymbolWithDatum = -0x4d9;  // two arguments: code, datum
inline constexpr int32_t kInitialFunction = -0x4dd;
inline constexpr int32_t kFunctionSerial = -0x4ed;
}  // namespace global

// The x87 control word a fresh block starts with (an image brings its own):
// every exception masked, 53-bit precision, rounding to nearest. Every native
// call loads the word, so 0 here would unmask every x87 exception.
inline constexpr uint16_t kFreshFloatControlWord = 0x27f;

// Words that setupglobs sets to nil or 0 in a fresh block.
enum class StartValue : uint8_t { Nil, Zero };
struct GlobalStartValue {
  int32_t offset;
  StartValue value;
};
inline constexpr GlobalStartValue kStartValues[] = {
    {-0x101, StartValue::Zero}, {-0x181, StartValue::Nil},  {-0x1a5, StartValue::Nil},
    {-0x1a9, StartValue::Zero}, {-0x4a1, StartValue::Nil},  {-0x4a5, StartValue::Nil},
    {-0x4a9, StartValue::Nil},  {-0x4ad, StartValue::Nil},  {-0x4b1, StartValue::Zero},
    {-0x4b5, StartValue::Zero}, {-0x4b9, StartValue::Zero}, {-0x4c5, StartValue::Zero},
    {-0x539, StartValue::Nil},  {-0x53d, StartValue::Nil},  {-0x541, StartValue::Nil},
    {-0x545, StartValue::Nil},  {-0x549, StartValue::Nil},  {-0x54d, StartValue::Nil},
    {-0x551, StartValue::Nil},  {-0x555, StartValue::Nil},  {-0x559, StartValue::Nil},
    {-0x55d, StartValue::Nil},  {-0x561, StartValue::Nil},  {-0x565, StartValue::Nil},
    {-0x571, StartValue::Nil},  {-0x575, StartValue::Nil},
};

// ---- the trampoline area ----

// The closure entry and the five start trampolines, copied into the block so
// that function objects point into the heap rather than into the library.
inline constexpr uint32_t kTrampolineStretchBytes = 53;
struct TrampolineCopy {
  int32_t global;  // receives the address of the copy
  uint32_t offsetInStretch;
};
inline constexpr TrampolineCopy kTrampolineCopies[] = {
    {-0x1c5, 3},   // closure_start
    {-0x1cd, 15},  // gt_undeffunc
    {-0x1d5, 23},  // gt_illeg_macro_or_spec_call
    {-0x1d9, 31},  // gt_comp_to_interp
    {-0x4c9, 39},  // gt_comp_to_byte
    {-0x47d, 47},  // gt_fwrap_start
};

// ---- t ----

// t is the symbol whose word is nil - 0x3e itself; its 32 bytes lie at
// nil - 0x55, so the word stored at nil - 0x3e is a piece of t's own fields,
// never t. Every caller takes t from here.
// No offset constant is given out, so that nothing reads memory there.
constexpr lispval tFor(lispval nil) {
  return nil - 0x3e;
}
static_assert(tFor(0x20000685) == 0x20000647);

// ---- access ----

inline uint32_t& word(lispval nil, int32_t offset) {
  return wordAt(nil, offset);
}

constexpr uint32_t align8(uint32_t address) {
  return (address + 7) & ~uint32_t{7};
}

}  // namespace lisp::nil_block
