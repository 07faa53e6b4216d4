// filesys's table: service code to file operation, argument conversions and
// result form. The cl_* operations are the file-system module's; a row whose
// operation has not landed yet holds notAvailableYet.

#include "runtime/rs/file_dispatch.h"

#include <cstring>

#include "runtime/os/errno_values.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"

namespace lisp::file_dispatch {

uint32_t notAvailableYet(const NativeWords&) {
  return 0;
}

namespace {

constexpr int32_t kErrorNoCase = 22;
constexpr int32_t kErrorNotAvailable = 63;  // runtime_error::kEntryNotAvailable

// Copies within or between vectors: the ranges may overlap.
uint32_t copyBytes(const NativeWords& w) {
  const int32_t count = static_cast<int32_t>(w[2]);
  if (count > 0)  // a negative count copies nothing
    std::memmove(reinterpret_cast<void*>(static_cast<uintptr_t>(w[0])),
                 reinterpret_cast<const void*>(static_cast<uintptr_t>(w[1])),
                 static_cast<size_t>(count));
  return 0;
}

constexpr Argument in(From from, uint8_t index) {
  return {from, index};
}
constexpr FileRow noCase{nullptr, {}, Result::Word, true};
using enum From;
using enum Result;

constexpr FileRows kFileRows = {{
    /* 0 cl_existsp */ {notAvailableYet, {in(Int, 1)}, TOrNil, true},
    /* 1 cl_open */ {notAvailableYet, {in(Int, 1), in(Raw, 2), in(Raw, 3), in(Raw, 4)}, Word, true},
    /* 2 */ noCase,
    /* 3 cl_close */ {notAvailableYet, {in(Raw, 1)}, Word, true},
    /* 4 */ noCase,
    /* 5 cl_seek */ {notAvailableYet, {in(Int, 1), in(Int, 2), in(Int, 3)}, PositionOrErrno, false},
    /* 6 */ noCase,
    /* 7 */ noCase,
    /* 8 cl_write */
    {notAvailableYet, {in(Fix, 1), in(Data, 2), in(Fix, 3), in(Fix, 4)}, Transfer, false},
    /* 9 cl_read */
    {notAvailableYet, {in(Fix, 1), in(Data, 2), in(Fix, 3), in(Fix, 4)}, Transfer, false},
    /* 10 cl_stat */ {notAvailableYet, {in(Int, 1), in(Raw, 2), in(Raw, 3)}, NilOrA2, true},
    /* 11 cl_fnstat */ {notAvailableYet, {in(Raw, 1), in(Raw, 2)}, NilOrA2, true},
    /* 12 cl_delete */ {notAvailableYet, {in(Int, 1)}, Word, true},
    /* 13 cl_rename */ {notAvailableYet, {in(Int, 1), in(Int, 2)}, Word, true},
    /* 14 cl_opendir */ {notAvailableYet, {in(Int, 1)}, Signed, true},
    /* 15 cl_readdir */ {notAvailableYet, {in(Int, 1)}, Unsigned, true},
    /* 16 cl_closedir */ {notAvailableYet, {in(Int, 1)}, Word, true},
    /* 17 */ noCase,
    /* 18 cl_select_read */
    {notAvailableYet, {in(Fix, 1), in(Data, 2), in(Fix, 3), in(Fix, 4)}, SelectTransfer, false},
    /* 19 */ noCase,
    /* 20 fcntl_ndelay */ {notAvailableYet, {in(Fix, 1), in(Fix, 2)}, TOrErrno, false},
    /* 21 */ noCase,
    /* 22 */ noCase,
    /* 23 copy */ {copyBytes, {in(DataPlusFix, 3), in(DataPlusFix, 1), in(Fix, 5)}, Nil, true},
    /* 24 cl_readlink */ {notAvailableYet, {in(Int, 1), in(Data, 2), in(Len, 2)}, Fixnum, false},
    /* 25 */ noCase,
    /* 26 cl_create_x */ {notAvailableYet, {in(Int, 1), in(Int, 2)}, Word, true},
    /* 27 cl_set_time_from_file */ {notAvailableYet, {in(Int, 1), in(Int, 2)}, Word, true},
    /* 28 */ noCase,
    /* 29 cl_chmod */ {notAvailableYet, {in(Int, 1), in(Int, 2)}, Word, true},
}};

}  // namespace

const FileRows* activeFileRows = &kFileRows;

}  // namespace lisp::file_dispatch

namespace {

namespace fd = lisp::file_dispatch;
using lisp::lispval;

constexpr uint8_t kLengthWordTypeBits = 0x70;  // vector types with a fixnum length word
constexpr uint8_t kNegativeSign = 0x80;
constexpr int32_t kEncodedErrorBase = -10;  // a transfer's error code e comes back as -10 - e

uint32_t headerOf(lispval word) {
  return lisp::wordAt(word, lisp::kHeaderOffset);
}
bool hasLengthWord(lispval word) {
  return (lisp::typeCodeOf(headerOf(word)) & kLengthWordTypeBits) == kLengthWordTypeBits;
}

uint32_t intOf(lispval word) {
  if (lisp::isFixnum(word)) return static_cast<uint32_t>(lisp::fixnumValue(word));
  const auto* bignum = lisp::objectOf<lisp::BignumObject>(word);
  const uint32_t digits = lisp::bignumDigitCount(bignum->header);
  // A one-digit bignum has no digit 1 (its second half-word is padding).
  uint32_t value = bignum->digits[0] | (digits >= 2 ? uint32_t{bignum->digits[1]} << 16 : 0);
  if (((bignum->header >> 8) & 0xff) == kNegativeSign) value = 0u - value;
  return value;
}
uint32_t dataOf(lispval word) {
  return lisp::objectAddress(word) + (hasLengthWord(word) ? 8 : 4);
}
uint32_t lengthOf(lispval word) {
  if (hasLengthWord(word))
    return static_cast<uint32_t>(lisp::fixnumValue(lisp::wordAt(word, -0xe)));
  return lisp::headerLength(headerOf(word));
}

struct Call {
  const lispval* arguments;
  uint32_t count;
  lispval nil;

  lispval argument(uint8_t index) const { return index < count ? arguments[index] : nil; }

  uint32_t convert(fd::Argument a) const {
    const lispval word = argument(a.index);
    switch (a.from) {
      case fd::From::Unused:
        return 0;
      case fd::From::Int:
        return intOf(word);
      case fd::From::Fix:
        return static_cast<uint32_t>(lisp::fixnumValue(word));
      case fd::From::Data:
        return dataOf(word);
      case fd::From::Len:
        return lengthOf(word);
      case fd::From::Raw:
        return word;
      case fd::From::DataPlusFix:
        return dataOf(word) + static_cast<uint32_t>(lisp::fixnumValue(argument(a.index + 1)));
    }
    return 0;
  }
};

uint64_t answer(uint32_t action, uint32_t payload, bool testsClError = false) {
  return uint64_t{action | (testsClError ? kFileTestsClError : 0u)} | (uint64_t{payload} << 32);
}

uint64_t resultOf(const fd::FileRow& row, uint32_t r, const Call& call) {
  const int32_t signedR = static_cast<int32_t>(r);
  const lispval t = lisp::wordAt(call.nil, lisp::nil_block::global::kT);
  const auto errnoFixnum = [] { return lisp::makeFixnum(errno_value()); };
  const auto transfer = [&] {
    if (signedR >= 0) return answer(kFileValue, lisp::makeFixnum(signedR));
    return answer(kFileNilAnd,
                  lisp::makeFixnum(static_cast<int32_t>(kEncodedErrorBase - int64_t{signedR})));
  };
  switch (row.result) {
    case fd::Result::Word:
      return answer(kFileValue, r, row.testsClError);
    case fd::Result::TOrNil:
      return answer(kFileValue, r != 0 ? t : call.nil, row.testsClError);
    case fd::Result::PositionOrErrno:
      if (signedR == -1) return answer(kFileNilAnd, errnoFixnum());
      return answer(kFileSigned, r, row.testsClError);
    case fd::Result::Transfer:
      return transfer();
    case fd::Result::SelectTransfer:
      if (signedR == -1) return answer(kFileValue, call.nil);
      return transfer();
    case fd::Result::NilOrA2:
      return answer(kFileValue, r == call.nil ? call.nil : call.argument(2), row.testsClError);
    case fd::Result::Signed:
      return answer(kFileSigned, r, row.testsClError);
    case fd::Result::Unsigned:
      return answer(kFileUnsigned, r, row.testsClError);
    case fd::Result::TOrErrno:
      if (signedR == -1) return answer(kFileNilAnd, errnoFixnum());
      return answer(kFileValue, t, row.testsClError);
    case fd::Result::Nil:
      return answer(kFileValue, call.nil, row.testsClError);
    case fd::Result::Fixnum:
      return answer(kFileValue, lisp::makeFixnum(signedR), row.testsClError);
  }
  return answer(kFileValue, call.nil, row.testsClError);
}

}  // namespace

extern "C" uint64_t filesys_operation(const lispval* arguments, uint32_t count, lispval nil) {
  const Call call{arguments, count, nil};
  const uint32_t code = static_cast<uint32_t>(lisp::fixnumValue(call.argument(0)));
  if (code >= fd::kCodeCount || (*fd::activeFileRows)[code].operation == nullptr)
    return answer(kFileError, lisp::makeFixnum(fd::kErrorNoCase), true);
  const fd::FileRow& row = (*fd::activeFileRows)[code];
  if (row.operation == fd::notAvailableYet)
    return answer(kFileError, lisp::makeFixnum(fd::kErrorNotAvailable), row.testsClError);
  fd::NativeWords words{};
  for (size_t i = 0; i < words.size(); ++i) words[i] = call.convert(row.arguments[i]);
  return resultOf(row, row.operation(words), call);
}
