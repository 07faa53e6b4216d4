// The native half of filesys: one row per service code naming the native
// operation, how each Lisp argument becomes a native word, how the result
// becomes a Lisp value, and whether filesys then looks at cl_error. Called
// from the assembly inside a foreign-call record; nothing here allocates.
#pragma once

#include <array>
#include <cstdint>

#include "runtime/rs/lisp_value.h"

namespace lisp::file_dispatch {

inline constexpr uint32_t kCodeCount = 30;  // codes 0 .. 29

// How a Lisp argument becomes a native word (Argument::index 1 .. 5 names
// a1 .. a5).
enum class From : uint8_t {
  Unused,
  Int,          // fixnum value; a bignum's digits 0 and 1, negated for sign byte 0x80
  Fix,          // fixnum value, no bignums
  Data,         // address of the object's first data word
  Len,          // element count of a vector
  Raw,          // the Lisp word itself
  DataPlusFix,  // Data of a(index) plus Fix of a(index + 1): a byte position
};
struct Argument {
  From from = From::Unused;
  uint8_t index = 0;
};

// How the operation's result r becomes filesys's answer.
enum class Result : uint8_t {
  Word,             // r as it is (a Lisp value)
  TOrNil,           // t when r is not 0, else nil
  PositionOrErrno,  // r = -1: nil and fixnum errno_value(); else r boxed signed
  Transfer,         // r >= 0: fixnum r; else nil and fixnum (-10 - r)
  SelectTransfer,   // r = -1: nil; else as Transfer
  NilOrA2,          // nil when r is nil, else a2
  Signed,           // r boxed by fixnum_or_bignum
  Unsigned,         // r boxed by unsigned_fixnum_or_bignum
  TOrErrno,         // r = -1: nil and fixnum errno_value(); else t
  Nil,              // nil
  Fixnum,           // fixnum r
};

using NativeWords = std::array<uint32_t, 4>;
using FileOperation = uint32_t (*)(const NativeWords&);

struct FileRow {
  FileOperation operation;  // nullptr: no case (runtime error 22)
  std::array<Argument, 4> arguments;
  Result result;
  bool testsClError;  // filesys answers nil and cl_error when it is set
};
using FileRows = std::array<FileRow, kCodeCount>;

// The rows filesys dispatches on: the built-in table, or a test's probe rows.
extern const FileRows* activeFileRows;

}  // namespace lisp::file_dispatch

extern "C" {

// What the assembly does with filesys_operation's answer (low byte of the
// low half; the high half is the payload).
enum FileAction : uint32_t {
  kFileValue = 0,             // the payload is the Lisp value
  kFileSigned = 1,            // box the payload by fixnum_or_bignum
  kFileUnsigned = 2,          // box it by unsigned_fixnum_or_bignum
  kFileNilAnd = 3,            // two values: nil and the payload
  kFileError = 4,             // signal the payload (a fixnum error code)
  kFileTestsClError = 0x100,  // flag: then nil and cl_error when cl_error is set
};

// Runs the service the `count` words from `arguments` upward name (code,
// a1 .. a5; the words past count read as nil).
uint64_t filesys_operation(const lisp::lispval* arguments, uint32_t count, lisp::lispval nil);
}
