// filesys's table: service code to file operation (the cl_* calls of the
// file-system module, reached through one-line adapters that give each
// native word its C type), argument conversions and result form.

#include "runtime/rs/file_dispatch.h"

#include <cstring>

#include "runtime/os/errno_values.h"
#include "runtime/os/file_calls.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"

namespace lisp::file_dispatch {

namespace {

constexpr int32_t kErrorNoCase = 22;

// ---- the operations, on native words ----

char* address(uint32_t word) {
  return reinterpret_cast<char*>(static_cast<uintptr_t>(word));
}
int32_t integer(uint32_t word) {
  return static_cast<int32_t>(word);
}
uint32_t word(int32_t value) {
  return static_cast<uint32_t>(value);
}
uint32_t word(const char* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

using W = NativeWords;
uint32_t fileExists(const W& w) {
  return word(cl_existsp(address(w[0])));
}
uint32_t openFile(const W& w) {
  return cl_open(address(w[0]), w[1], w[2], w[3]);
}
uint32_t closeFile(const W& w) {
  return cl_close(w[0]);
}
uint32_t seekFile(const W& w) {
  return word(cl_seek(integer(w[0]), integer(w[1]), integer(w[2])));
}
uint32_t writeFile(const W& w) {
  return word(cl_write(integer(w[0]), address(w[1]), integer(w[2]), integer(w[3])));
}
uint32_t readFile(const W& w) {
  return word(cl_read(integer(w[0]), address(w[1]), integer(w[2]), integer(w[3])));
}
uint32_t statFile(const W& w) {
  return cl_stat(address(w[0]), w[1], w[2]);
}
uint32_t statDescriptor(const W& w) {
  return cl_fnstat(w[0], w[1]);
}
uint32_t deleteFile(const W& w) {
  return cl_delete(address(w[0]));
}
uint32_t renameFile(const W& w) {
  return cl_rename(address(w[0]), address(w[1]));
}
uint32_t openListing(const W& w) {
  return word(cl_opendir(address(w[0])));
}
uint32_t nextInListing(const W& w) {
  return word(cl_readdir(integer(w[0])));
}
uint32_t closeListing(const W& w) {
  return cl_closedir(integer(w[0]));
}
uint32_t selectRead(const W& w) {
  return word(cl_select_read(integer(w[0]), address(w[1]), integer(w[2]), integer(w[3])));
}
uint32_t noDelay(const W& w) {
  return word(fcntl_ndelay(integer(w[0]), integer(w[1])));
}
uint32_t readLink(const W& w) {
  return word(cl_readlink(address(w[0]), address(w[1]), integer(w[2])));
}
uint32_t createFile(const W& w) {
  return cl_create_x(address(w[0]), integer(w[1]));
}
uint32_t copyFileTimes(const W& w) {
  return cl_set_time_from_file(address(w[0]), address(w[1]));
}
uint32_t changeMode(const W& w) {
  return cl_chmod(address(w[0]), integer(w[1]));
}

// Copies within or between vectors: the ranges may overlap.
uint32_t copyBytes(const W& w) {
  const int32_t count = integer(w[2]);
  if (count > 0)  // a negative count copies nothing
    std::memmove(address(w[0]), address(w[1]), static_cast<size_t>(count));
  return 0;
}

// ---- the table ----

constexpr Argument in(From from, uint8_t index) {
  return {from, index};
}
constexpr FileRow noCase{nullptr, {}, Result::Word, true};
using enum From;
using enum Result;

constexpr FileRows kFileRows = {{
    /* 0 */ {fileExists, {in(Int, 1)}, TOrNil, true},
    /* 1 */ {openFile, {in(Int, 1), in(Raw, 2), in(Raw, 3), in(Raw, 4)}, Word, true},
    /* 2 */ noCase,
    /* 3 */ {closeFile, {in(Raw, 1)}, Word, true},
    /* 4 */ noCase,
    /* 5 */ {seekFile, {in(Int, 1), in(Int, 2), in(Int, 3)}, PositionOrErrno, false},
    /* 6 */ noCase,
    /* 7 */ noCase,
    /* 8 */ {writeFile, {in(Fix, 1), in(Data, 2), in(Fix, 3), in(Fix, 4)}, Transfer, false},
    /* 9 */ {readFile, {in(Fix, 1), in(Data, 2), in(Fix, 3), in(Fix, 4)}, Transfer, false},
    /* 10 */ {statFile, {in(Int, 1), in(Raw, 2), in(Raw, 3)}, NilOrA2, true},
    /* 11 */ {statDescriptor, {in(Raw, 1), in(Raw, 2)}, NilOrA2, true},
    /* 12 */ {deleteFile, {in(Int, 1)}, Word, true},
    /* 13 */ {renameFile, {in(Int, 1), in(Int, 2)}, Word, true},
    /* 14 */ {openListing, {in(Int, 1)}, Signed, true},
    /* 15 */ {nextInListing, {in(Int, 1)}, Unsigned, true},
    /* 16 */ {closeListing, {in(Int, 1)}, Word, true},
    /* 17 */ noCase,
    /* 18 */ {selectRead, {in(Fix, 1), in(Data, 2), in(Fix, 3), in(Fix, 4)}, SelectTransfer, false},
    /* 19 */ noCase,
    /* 20 */ {noDelay, {in(Fix, 1), in(Fix, 2)}, TOrErrno, false},
    /* 21 */ noCase,
    /* 22 */ noCase,
    /* 23 */ {copyBytes, {in(DataPlusFix, 3), in(DataPlusFix, 1), in(Fix, 5)}, Nil, true},
    /* 24 */ {readLink, {in(Int, 1), in(Data, 2), in(Len, 2)}, Fixnum, false},
    /* 25 */ noCase,
    /* 26 */ {createFile, {in(Int, 1), in(Int, 2)}, Word, true},
    /* 27 */ {copyFileTimes, {in(Int, 1), in(Int, 2)}, Word, true},
    /* 28 */ noCase,
    /* 29 */ {changeMode, {in(Int, 1), in(Int, 2)}, Word, true},
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
  // Not an integer (a string, say, where a name's address belongs): no
  // machine word to give, rather than its header read as digits.
  if (!lisp::isOther(word) || lisp::typeCodeOf(headerOf(word)) != lisp::type_code::Bignum) return 0;
  const auto* bignum = lisp::objectOf<lisp::BignumObject>(word);
  const uint32_t digits = lisp::bignumDigitCount(bignum->header);
  // A one-digit bignum has no digit 1 (its second half-word is padding).
  uint32_t value = bignum->digits[0] | (digits >= 2 ? uint32_t{bignum->digits[1]} << 16 : 0);
  if (((bignum->header >> 8) & 0xff) == kNegativeSign) value = 0u - value;
  return value;
}
// The word after the length word, or after the header. Mend: the
// double-float vectors (types 103 and 110) keep an alignment word there, so
// their data start 8 bytes after the header as every reader of them expects;
// the plain rule would move data shifted by 4 bytes.
uint32_t dataOf(lispval word) {
  const uint8_t type = lisp::typeCodeOf(headerOf(word));
  const bool alignmentWord =
      type == lisp::type_code::DoubleFloatVector || type == lisp::type_code::ComplexDoubleVector;
  return lisp::objectAddress(word) + (hasLengthWord(word) || alignmentWord ? 8 : 4);
}
uint32_t lengthOf(lispval word) {
  if (hasLengthWord(word))
    return static_cast<uint32_t>(lisp::fixnumValue(lisp::wordAt(word, -0xe)));
  return lisp::headerLength(headerOf(word));
}

// A vector argument must be a vector, and what a call reads or writes must
// lie inside it: otherwise the file call would work on memory of no object.
// Decision: such a call is refused with error 22, as a code without a case
// is, and no file call runs. Negative offsets and counts are left to the
// calls, which refuse or ignore them.
struct VectorSpan {
  uint8_t code, data, offset, count;  // the row, and the arguments naming the span
};
constexpr VectorSpan kVectorSpans[] = {
    {8, 2, 3, 4}, {9, 2, 3, 4}, {18, 2, 3, 4},  // transfers: vector, start, count
    {23, 1, 2, 5}, {23, 3, 4, 5},               // copy: source and target
};

const lisp::VectorType* vectorTypeOf(lispval word) {
  return lisp::isOther(word) ? lisp::vectorType(lisp::typeCodeOf(headerOf(word))) : nullptr;
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

bool vectorArgumentsFit(uint32_t code, const fd::FileRow& row, const Call& call) {
  for (const fd::Argument& a : row.arguments)
    if ((a.from == fd::From::Data || a.from == fd::From::Len || a.from == fd::From::DataPlusFix) &&
        !vectorTypeOf(call.argument(a.index)))
      return false;
  for (const VectorSpan& span : kVectorSpans) {
    if (span.code != code) continue;
    const lispval vector = call.argument(span.data);
    const int64_t offset = lisp::fixnumValue(call.argument(span.offset));
    const int64_t count = lisp::fixnumValue(call.argument(span.count));
    if (offset < 0 || count <= 0) continue;
    const uint64_t bytes = lisp::vectorElementBytes(*vectorTypeOf(vector), lengthOf(vector));
    if (static_cast<uint64_t>(offset + count) > bytes) return false;
  }
  return true;
}

uint64_t resultOf(const fd::FileRow& row, uint32_t r, const Call& call) {
  const int32_t signedR = static_cast<int32_t>(r);
  const lispval t = lisp::nil_block::tFor(call.nil);
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
  if (!vectorArgumentsFit(code, row, call))
    return answer(kFileError, lisp::makeFixnum(fd::kErrorNoCase), true);
  fd::NativeWords words{};
  for (size_t i = 0; i < words.size(); ++i) words[i] = call.convert(row.arguments[i]);
  return resultOf(row, row.operation(words), call);
}
