// The native half of lisp_syscall, lisp_syscall_aux and lisp_syscall_aux2:
// one table per dispatcher, one row per listed service code, naming the
// native operation, how each Lisp argument becomes a native word and how
// the result becomes the Lisp answer. Called from the assembly inside a
// foreign-call record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp::system_call_dispatch {

inline constexpr uint32_t kMainCodes = 126;  // lisp_syscall: codes 0 .. 125
inline constexpr uint32_t kAuxCodes = 128;   // lisp_syscall_aux: codes 0 .. 127
inline constexpr uint32_t kAux2Codes = 119;  // lisp_syscall_aux2: codes 8 .. 126
inline constexpr uint32_t kAux2FirstCode = 8;

// How a Lisp argument becomes a native word (Argument::index 1 .. 8 names
// A1 .. A8).
enum class From : uint8_t {
  Unused,
  Raw,     // the Lisp word itself
  Fix,     // fixnum value
  Int,     // machine integer: fixnum value, or the low 32 bits of a bignum with its sign
  Data,    // address of a vector's first data word (tagged pointer - 0xa)
  NotNil,  // 1 when the argument is not nil, else 0
};
struct Argument {
  From from = From::Unused;
  uint8_t index = 0;
};

// How the operation's result r becomes the dispatcher's answer.
enum class Result : uint8_t {
  Word,             // r as it is (a Lisp value)
  Signed,           // r boxed by fixnum_or_bignum
  Unsigned,         // r boxed by unsigned_fixnum_or_bignum
  Nil,              // nil
  TOrNil,           // t when r is not 0, else nil
  RecordTimes,      // four values from A1's data: word 0 signed, words 1 .. 3 fixnums
  ClockTimes,       // s_utime signed, then s_stime, s_secs, s_days as fixnums
  ProcessTimes,     // s_utime, s_stime, s_gcutime, s_gcstime, each signed
  ProcessMicroTimes,  // the eight seconds and microseconds words as fixnums, then the
                      // four page-fault words as they are
  WordAndExtras,    // r, then the thread's four extra result words
  WordAndTwoExtras, // r, then the thread's first two extra result words
  UnsignedAndExtra, // r unsigned, then the thread's first extra result word
};

inline constexpr size_t kArgumentWords = 8;
using NativeWords = std::array<uint32_t, kArgumentWords>;
using Operation = uint32_t (*)(const NativeWords&);

// A row that is not served forwards the code to the next dispatcher (the
// last one signals error 22). Every served row names its operation.
struct Row {
  bool served = false;
  Operation operation = nullptr;
  std::array<Argument, kArgumentWords> arguments{};
  Result result = Result::Word;
  bool testsClError = false;  // then nil and cl_error when cl_error is set
};

struct Tables {
  std::array<Row, kMainCodes> main;
  std::array<Row, kAuxCodes> aux;
  std::array<Row, kAux2Codes> aux2;
};

// The tables the dispatchers use: the built-in ones, or a test's probe rows.
extern const Tables* activeTables;
const Tables& builtInTables();

}  // namespace lisp::system_call_dispatch

extern "C" {

// Debug switches stored by service 90; bit 0 makes the heap wraps around
// foreign calls report themselves.
extern uint32_t cl_debug_flags;

// What the assembly does with system_call_operation's answer (low byte of
// the low half; the high half is the payload).
enum SystemCallAction : uint32_t {
  kSystemCallValue = 0,         // the payload is the Lisp value
  kSystemCallSigned = 1,        // box the payload by fixnum_or_bignum
  kSystemCallUnsigned = 2,      // box it by unsigned_fixnum_or_bignum
  kSystemCallValues = 3,        // payload n: the n pending results, as several values
  kSystemCallError = 4,         // signal the payload (a fixnum error code)
  kSystemCallForward = 5,       // pass the code on to the next dispatcher
  kSystemCallTestsClError = 0x100,
};

// Results waiting to be boxed when the answer is kSystemCallValues: each a
// word and its SystemCallAction (value, signed or unsigned). They lie in the
// calling dispatcher's frame (raw words there), one set per call: boxing
// them may allocate, and whatever runs then may make a system call of its
// own.
struct PendingResult {
  uint32_t word;
  uint32_t action;
};
inline constexpr uint32_t kMostPendingResults = 12;
static_assert(sizeof(PendingResult) * kMostPendingResults == 0x60, "RESULT_BYTES of the dispatchers");

// Runs the service of `dispatcher` (0 lisp_syscall, 1 _aux, 2 _aux2) that the
// `count` words from `arguments` upward name (code, A1 .. A8; words past the
// count read as nil); `thread` is the calling thread's record. Several
// values go into `results`.
uint64_t system_call_operation(uint32_t dispatcher, const lisp::lispval* arguments, uint32_t count,
                               lisp::lispval nil, lisp::lispval thread, PendingResult* results);
}
