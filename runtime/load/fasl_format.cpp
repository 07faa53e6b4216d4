// The fasl byte format: readers, text, the item table and the checks that
// keep a loader inside its objects and above its segment's stack base.

#include "runtime/load/fasl_format.h"

#include <sys/stat.h>

#include <climits>

#include "runtime/rs/object_layout.h"

namespace lisp::fasl {

// ---- byte sources ----

long ByteSource::remaining() const {
  const long left = length() - tell();
  return left > 0 ? left : 0;
}

int MemorySource::next() {
  if (position_ >= static_cast<long>(bytes_.size())) return -1;
  return bytes_[position_++];
}

void MemorySource::seek(long position) {
  position_ = position < 0 ? 0 : position;
}

namespace {
// A stream that is not a regular file has no known length: nothing is refused for it.
// A regular file's size; else, for a seekable stream without one (a stream
// over memory), its end found by seeking; else unknown (LONG_MAX).
long streamLength(std::FILE* stream) {
  struct stat status;
  const int descriptor = fileno(stream);
  if (descriptor >= 0 && fstat(descriptor, &status) == 0)
    return S_ISREG(status.st_mode) ? static_cast<long>(status.st_size) : LONG_MAX;
  const long here = std::ftell(stream);
  if (here < 0 || std::fseek(stream, 0, SEEK_END) != 0) return LONG_MAX;
  const long end = std::ftell(stream);
  std::fseek(stream, here, SEEK_SET);
  return end < 0 ? LONG_MAX : end;
}
}  // namespace

StdioSource::StdioSource(std::FILE* stream) : stream_(stream), length_(streamLength(stream)) {}

int StdioSource::next() {
  const int byte = std::getc(stream_);
  return byte == EOF ? -1 : byte;
}

long StdioSource::tell() const {
  return std::ftell(stream_);
}

void StdioSource::seek(long position) {
  std::fseek(stream_, position < 0 ? 0 : position, SEEK_SET);
}

// ---- the operand readers ----

uint32_t FaslReader::nextByte() {
  const int byte = source_.next();
  if (byte < 0) {
    ended_ = true;
    return 0;
  }
  return static_cast<uint32_t>(byte);
}

uint32_t FaslReader::getbyte() {
  return nextByte();
}

uint32_t FaslReader::getword() {
  const uint32_t b0 = nextByte();
  const uint32_t b1 = nextByte();
  return swapped_ ? (b0 << 8) | b1 : b0 | (b1 << 8);
}

uint32_t FaslReader::get32bit() {
  const uint32_t first = getword();
  const uint32_t second = getword();
  return swapped_ ? (first << 16) | second : first | (second << 16);
}

uint32_t FaslReader::getnat() {
  uint32_t value = 0;
  for (uint32_t shift = 0; shift < 32; shift += 8) value |= nextByte() << shift;
  return value;
}

uint32_t FaslReader::getwordor32bit() {
  const uint32_t word = getword();
  return word == kWordEscape ? get32bit() : word;
}

int32_t FaslReader::getnegwordor32bit() {
  const uint32_t word = getword();
  return static_cast<int32_t>(word == kNegWordEscape ? get32bit() : word);
}

bool FaslReader::readRaw(uint8_t* into, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    const int byte = source_.next();
    if (byte < 0) {
      ended_ = true;
      return false;
    }
    into[i] = static_cast<uint8_t>(byte);
  }
  return true;
}

void swapCodeUnits(std::span<uint8_t> code) {
  for (size_t i = 0; i + 1 < code.size(); i += 2) std::swap(code[i], code[i + 1]);
}

// ---- text ----

extern "C" int32_t utf8_to_unicode(const uint8_t* bytes, uint32_t count, uint16_t* into) {
  int32_t characters = 0;
  uint32_t i = 0;
  while (i < count) {
    const uint32_t b0 = bytes[i];
    uint32_t character;
    if (b0 < 0x80) {
      character = b0;
      i += 1;
    } else if (b0 < 0xe0) {  // 0x80..0xbf are taken as leads too
      if (count - i < 2) return -1;
      character = ((b0 << 6) & 0x7ff) | (bytes[i + 1] & 0x3f);
      i += 2;
    } else {
      if (count - i < 3) return -1;
      character = ((b0 << 12) | ((bytes[i + 1] << 6) & 0xfff) | (bytes[i + 2] & 0x3f)) & 0xffff;
      i += 3;
    }
    if (into != nullptr) into[characters] = static_cast<uint16_t>(character);
    ++characters;
  }
  return characters;
}

void skipCommentLine(ByteSource& source) {
  for (;;) {
    const int byte = source.next();
    if (byte < 0 || byte == kNewline) return;
    if (byte == kBackslash && source.next() < 0) return;
  }
}

BoundaryByte classifyBoundaryByte(int byte) {
  if (byte < 0 || byte == kEndByte) return BoundaryByte::EndOfFile;
  if (byte == kCommentHash || byte == kCommentLetter) return BoundaryByte::Comment;
  if (byte == kSegmentMarker) return BoundaryByte::SegmentStart;
  return BoundaryByte::NotFasl;
}

// ---- the item table ----

namespace {

using O = Operand;

struct CodedRow {
  uint8_t code;
  ItemRow row;
};

constexpr StackEffect pushes1{.pushes = 1};
constexpr StackEffect replacesTop{.pops = 1, .pushes = 1};
constexpr Expectation top(Want want) {
  return {.depth = 0, .want = want};
}
constexpr Expectation below(Want want) {
  return {.depth = 1, .want = want};
}

// One row per defined code. Rows that store into an object name what they
// store into, so a file cannot make a loader write outside an object.
// Decision: begin symchk (50) acts while skipping as well, since its own rule
// counts nested sections there; end symchk (51) does the same.
constexpr CodedRow kRows[] = {
    {0, {.name = "nop"}},
    {1, {.name = "done", .actsAlways = true}},
    {2, {.name = "nil", .stack = pushes1}},
    {3, {.name = "symbol", .operands = {O::Text, O::NegWordOr32}, .stack = pushes1}},
    {4, {.name = "string", .operands = {O::Text}, .stack = pushes1}},
    {5, {.name = "list", .operands = {O::Byte}, .stack = {.pushes = 1, .count = CountRule::PopsN}}},
    {6, {.name = "list*", .operands = {O::Byte}, .stack = {.count = CountRule::PopsNPushesIfAny}}},
    {7,
     {.name = "symbol (argument name)",
      .operands = {O::Text, O::NegWordOr32, O::WordOr32},
      .stack = pushes1}},
    {8,
     {.name = "code vector",
      .operands = {O::Word, O::Long},
      .raw = RawLength::Operand0,
      .stack = pushes1}},
    {9, {.name = "ICS flags", .operands = {O::Byte}, .actsAlways = true}},
    {10, {.name = "restruct", .stack = replacesTop}},
    {11,
     {.name = "setcode",
      .stack = {.pops = 1},
      .expects = {top(Want::CodeVectorOrNil), below(Want::Function)}}},
    {12,
     {.name = "setd", .stack = {.pops = 2}, .expects = {top(Want::Callable), below(Want::Symbol)}}},
    {13,
     {.name = "setbcode",
      .stack = {.pops = 1},
      .expects = {top(Want::CodeVectorOrNil), below(Want::Function)}}},
    {15, {.name = "evalit", .stack = {.pops = 1}, .expects = {top(Want::Symbol)}}},
    {16, {.name = "setformals", .stack = {.pops = 1}, .expects = {below(Want::Function)}}},
    {17, {.name = "character", .operands = {O::Byte, O::Byte, O::Word}, .stack = pushes1}},
    {18, {.name = "double float", .raw = RawLength::Eight, .stack = pushes1}},
    {19, {.name = "setcframe_size", .stack = {.pops = 1}, .expects = {below(Want::Function)}}},
    {20, {.name = "package", .operands = {O::Text}, .fillsTableSlot = true}},
    {21, {.name = "single float", .raw = RawLength::Four, .stack = pushes1}},
    {22,
     {.name = "vector",
      .operands = {O::Long, O::Byte},
      .stack = {.pushes = 1, .count = CountRule::PopsN}}},
    {23,
     {.name = "bignum",
      .operands = {O::SignedWord, O::Byte},
      .raw = RawLength::TwiceOperand0,
      .stack = pushes1}},
    {24, {.name = "fixnum", .operands = {O::Nat}, .stack = pushes1}},
    {25, {.name = "ratio", .stack = {.pops = 2, .pushes = 1}}},
    {26, {.name = "complex", .stack = {.pops = 2, .pushes = 1}}},
    {27, {.name = "casemode", .operands = {O::Byte}, .actsAlways = true}},
    {29, {.name = "nconc", .stack = {.pops = 2, .pushes = 1}, .expects = {below(Want::List)}}},
    {30,
     {.name = "raw vector",
      .operands = {O::Byte, O::Long, O::Long},
      .raw = RawLength::Operand2,
      .stack = pushes1}},
    {33, {.name = "symget", .operands = {O::WordOr32}, .stack = pushes1}},
    {34, {.name = "evallispobj", .stack = replacesTop}},
    {35, {.name = "comment", .operands = {O::Line}, .actsAlways = true}},
    {36, {.name = "array header", .stack = {.pops = 7, .pushes = 1}}},
    {37,
     {.name = "code vector",
      .operands = {O::Long, O::Long},
      .raw = RawLength::Operand0,
      .stack = pushes1}},
    {38, {.name = "single float", .raw = RawLength::Four, .stack = pushes1}},
    {39, {.name = "makemacro", .stack = replacesTop, .expects = {top(Want::Callable)}}},
    {40,
     {.name = "new bfunction",
      .operands = {O::Word},
      .stack = {.pushes = 1, .count = CountRule::PopsN}}},
    {41, {.name = "cversion", .operands = {O::Text}, .actsAlways = true}},
    {42,
     {.name = "machine id", .operands = {O::Byte, O::Word, O::Word, O::Word}, .actsAlways = true}},
    {43, {.name = "setlocal_size", .stack = {.pops = 1}, .expects = {below(Want::Function)}}},
    {44, {.name = "table of contents", .operands = {O::Word, O::TocWords}, .actsAlways = true}},
    {45,
     {.name = "setdpl",
      .stack = {.pops = 2},
      .expects = {top(Want::Callable), below(Want::Symbol)}}},
    {47,
     {.name = "new wfunction",
      .operands = {O::Word},
      .stack = {.pushes = 1, .count = CountRule::PopsN}}},
    {48, {.name = "fcnflags", .operands = {O::Word}, .expects = {top(Want::Function)}}},
    {49, {.name = "double float", .raw = RawLength::Eight, .stack = pushes1}},
    {50, {.name = "begin symchk", .operands = {O::WordOr32}, .actsAlways = true}},
    {51, {.name = "end symchk", .actsAlways = true}},
    {52,
     {.name = "code vector",
      .operands = {O::Long, O::Long},
      .raw = RawLength::Operand0,
      .stack = pushes1}},
    {53,
     {.name = "setdtpl",
      .stack = {.pops = 2, .pushes = 1},
      .expects = {top(Want::Function), below(Want::Symbol)}}},
    {54, {.name = "funcallit", .stack = {.pops = 1}, .expects = {top(Want::Callable)}}},
    {59,
     {.name = "integer",
      .operands = {O::Word, O::Byte},
      .raw = RawLength::DigitWords,
      .stack = pushes1}},
    {60, {.name = "gensymget", .operands = {O::WordOr32}, .stack = pushes1}},
    {63, {.name = "cleargsyms", .actsAlways = true}},
    {64, {.name = "clearsyms", .actsAlways = true}},
    {65,
     {.name = "gensym symbol",
      .operands = {O::Text, O::WordOr32},
      .fillsTableSlot = true,
      .stack = pushes1}},
    {67, {.name = "wf prewfunction", .operands = {O::Word}, .stack = {.pops = 3, .pushes = 1}}},
    {68,
     {.name = "wf postwfunction",
      .operands = {O::Word},
      .stack = {.pops = 2, .pushes = 1, .count = CountRule::PopsN},
      .expects = {Expectation{.depth = 0, .want = Want::Function, .holdsN = true},
                  Expectation{.depth = 1, .depthPlusN = true, .want = Want::CodeVectorOrList}}}},
    {69, {.name = "wf_precons", .stack = pushes1}},
    {70, {.name = "wf_postcons", .stack = {.pops = 3, .pushes = 1}, .expects = {top(Want::Cons)}}},
    {71, {.name = "wf_cons", .stack = {.pops = 2, .pushes = 1}}},
    {72, {.name = "pre lisp vector", .operands = {O::Long, O::Byte}, .stack = pushes1}},
    {73,
     {.name = "post lisp vector",
      .operands = {O::Long},
      .stack = {.pops = 1, .pushes = 1, .count = CountRule::PopsN},
      .expects = {Expectation{.depth = 0, .want = Want::ValueVector, .holdsN = true}}}},
    {74,
     {.name = "wf_postarray",
      .stack = {.pops = 2, .pushes = 1},
      .expects = {top(Want::ArrayHeader)}}},
    {75,
     {.name = "wf_postmacro", .stack = {.pops = 2, .pushes = 1}, .expects = {top(Want::Macro)}}},
    // Stores the top without popping it: the top must exist.
    {76, {.name = "wf_defglobal", .fillsTableSlot = true, .stack = replacesTop}},
    {77, {.name = "wf_deflocal", .stack = replacesTop}},
    {78, {.name = "wf_pop", .stack = {.pops = 1}}},
    {79,
     {.name = "push_data",
      .actsAlways = true,
      .stack = {.pops = 2},
      .expects = {below(Want::Symbol)}}},
    {81, {.name = "function group", .stack = {.pops = 1}}},
    {82, {.name = "wf preclosure", .operands = {O::Word}, .stack = replacesTop}},
    {83,
     {.name = "wf postclosure",
      .operands = {O::Word},
      .stack = {.pops = 3, .pushes = 1, .count = CountRule::PopsN},
      .expects = {Expectation{.depth = 0, .want = Want::Closure, .holdsN = true}}}},
    {84,
     {.name = "pick stacked item",
      .operands = {O::WordOr32},
      .stack = {.pushes = 1, .count = CountRule::PicksN}}},
    {85, {.name = "setcount", .stack = {.pops = 1}, .expects = {below(Want::Function)}}},
    {87, {.name = "function group (no eval)", .stack = {.pops = 1}}},
    {88,
     {.name = "ff_patch",
      .operands = {O::SignedWord},
      .raw = RawLength::Operand0,
      .actsAlways = true}},
    {kSecondCommentCode, {.name = "comment", .operands = {O::Line}, .actsAlways = true}},
};

constexpr std::array<ItemRow, kItemCodes> kItemTable = [] {
  std::array<ItemRow, kItemCodes> table{};
  for (const CodedRow& coded : kRows) table[coded.code] = coded.row;
  return table;
}();

static_assert(kItemTable[14].name == nullptr && kItemTable[89].name == nullptr);
static_assert(kItemTable[88].name != nullptr && kItemTable[kSecondCommentCode].name != nullptr);

}  // namespace

const ItemRow* itemRow(uint32_t code, LoaderKind loader) {
  if (code >= kItemCodes) return nullptr;
  if (code == kSecondCommentCode && loader != LoaderKind::Runtime) return nullptr;
  const ItemRow& row = kItemTable[code];
  return row.name != nullptr ? &row : nullptr;
}

// ---- malformed files ----

namespace {
struct FaultText {
  Fault fault;
  const char* text;
};
constexpr FaultText kFaultTexts[] = {
    {Fault::StackUnderflow, "pops below the segment's stack base"},
    {Fault::WantSymbol, "expects a symbol"},
    {Fault::WantFunction, "expects a function"},
    {Fault::WantCallable, "expects a function or closure"},
    {Fault::WantClosure, "expects a closure"},
    {Fault::WantMacro, "expects a macro object"},
    {Fault::WantCodeVectorOrNil, "expects a code vector or nil"},
    {Fault::WantCodeVectorOrList, "expects a code vector or list"},
    {Fault::WantArrayHeader, "expects an array header"},
    {Fault::WantCons, "expects a cons"},
    {Fault::WantList, "expects a list"},
    {Fault::WantValueVector, "expects a vector of Lisp values"},
    {Fault::TooFewSlots, "count exceeds the object's slots"},
    {Fault::RawPastStorage, "byte count exceeds the object's storage"},
    {Fault::BadDigitCount, "digit count not in 1..65535"},
    {Fault::PastHeapLimit, "size exceeds the heap's limit"},
    {Fault::NoSuchVectorType, "type code names no vector type"},
    {Fault::NotValueVectorType, "type code names no vector of Lisp values"},
    {Fault::NotRawVectorType, "raw data cannot make Lisp values"},
    {Fault::StringPastEnd, "string runs past the end of the file"},
    {Fault::NegativeCount, "negative byte count"},
    {Fault::IndexPastFill, "table index at or past the fill count"},
    {Fault::TableFull, "table has no free slot"},
    {Fault::ShortTableOfContents, "table of contents too short"},
    {Fault::CutUtf8, "cut UTF-8 form"},
    {Fault::WideCharacter, "character above 0xFF in an 8-bit string"},
    {Fault::SeekNotForward, "skip does not move forward"},
    {Fault::CircularList, "list is circular"},
    {Fault::NoSuchGlobal, "global number outside the globals table"},
};
}  // namespace

const char* faultText(Fault fault) {
  for (const FaultText& entry : kFaultTexts)
    if (entry.fault == fault) return entry.text;
  return "?";
}

int reportMalformed(uint32_t code, long position, Fault fault) {
  std::fprintf(stderr, messages::kMalformed, static_cast<int>(code), position, faultText(fault));
  std::fflush(stderr);
  return kMalformed;
}

// ---- reading an item's operands ----

namespace {

constexpr uint32_t kTocLeadingWords = 2;  // segment length, symtab size
constexpr uint32_t kVectorItem = 22;
constexpr uint32_t kPreLispVectorItem = 72;
constexpr uint32_t kMachineIdItem = 42;

OperandsRead ok() {
  return {OperandsRead::Status::Ok, Fault::StackUnderflow};
}
OperandsRead truncated() {
  return {OperandsRead::Status::Truncated, Fault::StackUnderflow};
}
OperandsRead malformed(Fault fault) {
  return {OperandsRead::Status::Malformed, fault};
}

bool holdsLispValues(const VectorType& type) {
  return type.element == ElementKind::LispValue;
}

// Heap bytes of n elements of a vector type, or nullopt when no object can hold them.
std::optional<uint64_t> vectorBytes(const VectorType& type, uint64_t n, const Limits& limits) {
  if (!type.fixnumLength && n > kMaxHeaderLength) return std::nullopt;
  const uint64_t bytes = vectorObjectBytes(type, n);
  if (bytes > limits.maxObjectBytes) return std::nullopt;
  return bytes;
}

// A table of contents: its first words kept, the rest skipped.
OperandsRead readTocWords(FaslReader& reader, const Limits& limits, ItemOperands& operands) {
  const uint32_t n = operands.value[0];
  if (n < kTocLeadingWords) return malformed(Fault::ShortTableOfContents);
  operands.tocCount = n;
  const uint32_t kept = n < operands.toc.size() ? n : static_cast<uint32_t>(operands.toc.size());
  for (uint32_t i = 0; i < kept; ++i) operands.toc[i] = reader.get32bit();
  if (reader.ended()) return truncated();
  // Word 1 sizes a fresh symtab vector.
  if (!vectorBytes(*vectorType(type_code::SimpleVector), operands.toc[1], limits))
    return malformed(Fault::PastHeapLimit);
  const uint64_t rest = 4ull * (n - kept);
  if (rest > static_cast<uint64_t>(reader.source().remaining())) return truncated();
  reader.source().skip(static_cast<uint32_t>(rest));
  return ok();
}

OperandsRead readText(FaslReader& reader, ItemOperands& operands, uint32_t slot) {
  const uint32_t count = reader.getwordor32bit();
  operands.encoding = static_cast<uint8_t>(reader.getbyte());
  if (reader.ended()) return truncated();
  if (count > static_cast<uint64_t>(reader.source().remaining()))
    return malformed(Fault::StringPastEnd);
  operands.value[slot] = count;
  // In chunks: a stream of unknown length must not make a huge count allocate.
  constexpr uint32_t kChunk = 0x10000;
  operands.text.clear();
  for (uint32_t done = 0; done < count;) {
    const uint32_t part = count - done < kChunk ? count - done : kChunk;
    operands.text.resize(done + part);
    if (!reader.readRaw(operands.text.data() + done, part)) return truncated();
    done += part;
  }
  return ok();
}

OperandsRead readOperand(Operand operand, FaslReader& reader, const Limits& limits,
                         ItemOperands& operands, uint32_t slot) {
  uint32_t& value = operands.value[slot];
  switch (operand) {
    case Operand::None:
      break;
    case Operand::Byte:
      value = reader.getbyte();
      break;
    case Operand::Word:
      value = reader.getword();
      break;
    case Operand::SignedWord:
      value = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(reader.getword())));
      break;
    case Operand::Long:
      value = reader.get32bit();
      break;
    case Operand::Nat:
      value = reader.getnat();
      break;
    case Operand::WordOr32:
      value = reader.getwordor32bit();
      break;
    case Operand::NegWordOr32:
      value = static_cast<uint32_t>(reader.getnegwordor32bit());
      break;
    case Operand::Text:
      return readText(reader, operands, slot);
    case Operand::TocWords:
      return readTocWords(reader, limits, operands);
    case Operand::Line:
      skipCommentLine(reader.source());
      break;
  }
  return reader.ended() ? truncated() : ok();
}

// Counts of the objects items 22 and 72 make from popped values.
std::optional<Fault> checkValueVector(uint32_t typeCode, uint32_t count, const Limits& limits) {
  const VectorType* type = vectorType(static_cast<uint8_t>(typeCode));
  if (type == nullptr || !holdsLispValues(*type)) return Fault::NotValueVectorType;
  if (!vectorBytes(*type, count, limits)) return Fault::PastHeapLimit;
  return std::nullopt;
}

// Item 30: a vector type that holds no Lisp values, allocatable, with room for the bytes.
std::optional<Fault> checkRawVector(uint32_t typeCode, uint32_t count, uint32_t bytes,
                                    const Limits& limits) {
  const VectorType* type = vectorType(static_cast<uint8_t>(typeCode));
  if (type == nullptr) return Fault::NoSuchVectorType;
  if (holdsLispValues(*type)) return Fault::NotRawVectorType;
  const std::optional<uint64_t> objectBytes = vectorBytes(*type, count, limits);
  if (!objectBytes) return Fault::PastHeapLimit;
  if (bytes > *objectBytes - vectorDataOffset(*type)) return Fault::RawPastStorage;
  return std::nullopt;
}

// The raw bytes after the operands, or the fault that forbids reading them.
std::optional<Fault> rawByteCount(const ItemRow& row, const ItemOperands& operands,
                                  const Limits& limits, uint32_t& bytes) {
  switch (row.raw) {
    case RawLength::None:
      bytes = 0;
      break;
    case RawLength::Four:
      bytes = 4;
      break;
    case RawLength::Eight:
      bytes = 8;
      break;
    case RawLength::Operand0:
      if (row.operands[0] == Operand::SignedWord && operands.signedValue(0) < 0)
        return Fault::NegativeCount;
      if (operands.value[0] > limits.maxObjectBytes) return Fault::PastHeapLimit;
      bytes = operands.value[0];
      break;
    case RawLength::TwiceOperand0:
    case RawLength::DigitWords: {
      const int64_t digits =
          row.operands[0] == Operand::SignedWord ? operands.signedValue(0) : operands.value[0];
      if (digits < 1 || digits > kMaxBignumDigits) return Fault::BadDigitCount;
      bytes = static_cast<uint32_t>(2 * digits);
      break;
    }
    case RawLength::Operand2:
      if (std::optional<Fault> fault =
              checkRawVector(operands.value[0], operands.value[1], operands.value[2], limits))
        return fault;
      bytes = operands.value[2];
      break;
  }
  return std::nullopt;
}

}  // namespace

OperandsRead readItemOperands(uint32_t code, const ItemRow& row, FaslReader& reader,
                              const Limits& limits, ItemOperands& operands) {
  operands.position = reader.source().tell() - 1;
  operands.value = {};
  operands.encoding = 0;
  operands.text.clear();
  operands.tocCount = 0;
  operands.rawBytes = 0;
  for (uint32_t slot = 0; slot < row.operands.size() && row.operands[slot] != Operand::None;
       ++slot) {
    const OperandsRead read = readOperand(row.operands[slot], reader, limits, operands, slot);
    if (read.status != OperandsRead::Status::Ok) return read;
    // Decision: kind 3 swaps the machine-id item's own words too, since the
    // kind byte comes first; the swap is never undone.
    if (code == kMachineIdItem && slot == 0 && operands.value[0] == kSwappedMachineKind)
      reader.setSwapped(true);
  }
  if (code == kVectorItem || code == kPreLispVectorItem) {
    if (std::optional<Fault> fault = checkValueVector(operands.value[1], operands.value[0], limits))
      return malformed(*fault);
  }
  uint32_t raw = 0;
  if (std::optional<Fault> fault = rawByteCount(row, operands, limits, raw))
    return malformed(*fault);
  if (raw > static_cast<uint64_t>(reader.source().remaining())) return truncated();
  operands.rawBytes = raw;
  return ok();
}

// ---- the stack checks of an acting item ----

ValueShape shapeOf(lispval nil, lispval word) {
  if (word == nil) return {Shape::Nil};
  switch (tagOf(word)) {
    case Tag::Cons:
      return {Shape::Cons};
    case Tag::Symbol:
      return {wordAt(word, -0x17) % 256 == kSymbolTypeByte ? Shape::Symbol : Shape::Other};
    case Tag::Other:
      break;
    default:
      return {Shape::Other};
  }
  const uint32_t header = wordAt(word, kHeaderOffset);
  const uint8_t code = typeCodeOf(header);
  const uint32_t upper = header >> 16;
  switch (code) {
    case type_code::Function:
      return {Shape::Function, upper};
    case type_code::Closure: {
      constexpr uint32_t kMacroFlag = 0x20;
      const bool macro = ((header >> 8) & kMacroFlag) != 0;
      return {macro ? Shape::Macro : Shape::Closure, upper};
    }
    case type_code::CodeVector:
    case kPureCodeVectorType:
      return {Shape::CodeVector};
    case type_code::LispVector:
      return {Shape::ValueVector, headerLength(header)};
    case type_code::SimpleVector:
      return {Shape::ValueVector, static_cast<uint32_t>(fixnumValue(wordAt(word, -0xe)))};
    default:
      break;
  }
  const ObjectKind kind = kindOfTypeCode(code);
  if (kind == ObjectKind::ArrayHeader || kind == ObjectKind::FlaggedArrayHeader)
    return {Shape::ArrayHeader};
  return {Shape::Other};
}

StackCount stackCount(const ItemRow& row, const ItemOperands& operands) {
  const uint64_t n = operands.value[0];
  StackCount count{row.stack.pops, row.stack.pops, row.stack.pushes};
  switch (row.stack.count) {
    case CountRule::None:
      break;
    case CountRule::PopsN:
      count.pops += n;
      count.needs = count.pops;
      break;
    case CountRule::PopsNPushesIfAny:
      count = {n, n, n > 0 ? 1u : 0u};
      break;
    case CountRule::PicksN:
      count.needs = n + 1;
      break;
  }
  for (const Expectation& expect : row.expects) {
    if (expect.want == Want::Any) continue;
    const uint64_t depth = expect.depth + (expect.depthPlusN ? n : 0);
    if (depth + 1 > count.needs) count.needs = depth + 1;
  }
  return count;
}

namespace {

struct WantRule {
  Want want;
  Fault fault;
  std::array<Shape, 3> accepted;
};
constexpr WantRule kWantRules[] = {
    {Want::Symbol, Fault::WantSymbol, {Shape::Symbol, Shape::Symbol, Shape::Symbol}},
    {Want::Function, Fault::WantFunction, {Shape::Function, Shape::Function, Shape::Function}},
    {Want::Callable, Fault::WantCallable, {Shape::Function, Shape::Closure, Shape::Macro}},
    {Want::Closure, Fault::WantClosure, {Shape::Closure, Shape::Macro, Shape::Macro}},
    {Want::Macro, Fault::WantMacro, {Shape::Macro, Shape::Macro, Shape::Macro}},
    {Want::CodeVectorOrNil,
     Fault::WantCodeVectorOrNil,
     {Shape::CodeVector, Shape::Nil, Shape::Nil}},
    {Want::CodeVectorOrList,
     Fault::WantCodeVectorOrList,
     {Shape::CodeVector, Shape::Nil, Shape::Cons}},
    {Want::ArrayHeader,
     Fault::WantArrayHeader,
     {Shape::ArrayHeader, Shape::ArrayHeader, Shape::ArrayHeader}},
    {Want::Cons, Fault::WantCons, {Shape::Cons, Shape::Cons, Shape::Cons}},
    {Want::List, Fault::WantList, {Shape::Cons, Shape::Nil, Shape::Nil}},
    {Want::ValueVector,
     Fault::WantValueVector,
     {Shape::ValueVector, Shape::ValueVector, Shape::ValueVector}},
};

std::optional<Fault> checkShape(Want want, Shape shape) {
  if (shape == Shape::Unknown) return std::nullopt;
  for (const WantRule& rule : kWantRules) {
    if (rule.want != want) continue;
    for (Shape accepted : rule.accepted)
      if (accepted == shape) return std::nullopt;
    return rule.fault;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Fault> checkItemStack(const ItemRow& row, const ItemOperands& operands,
                                    const StackView& stack) {
  const StackCount count = stackCount(row, operands);
  if (count.needs > stack.height()) return Fault::StackUnderflow;
  const uint32_t n = operands.value[0];
  for (const Expectation& expect : row.expects) {
    if (expect.want == Want::Any) continue;
    const uint32_t depth = expect.depth + (expect.depthPlusN ? n : 0);
    const ValueShape value = stack.shapeAt(depth);
    if (std::optional<Fault> fault = checkShape(expect.want, value.shape)) return fault;
    if (expect.holdsN && value.shape != Shape::Unknown && value.slots < n)
      return Fault::TooFewSlots;
  }
  return std::nullopt;
}

// ---- table checks ----

std::optional<Fault> checkTableIndex(uint32_t index, uint32_t fill) {
  if (index >= fill) return Fault::IndexPastFill;
  return std::nullopt;
}

std::optional<Fault> checkTableStore(uint32_t fill, uint32_t capacity) {
  if (fill >= capacity) return Fault::TableFull;
  return std::nullopt;
}

std::optional<Fault> checkTocHasSections(const ItemOperands& toc) {
  if (toc.tocCount < kTocWordsWithSections) return Fault::ShortTableOfContents;
  return std::nullopt;
}

std::optional<Fault> checkSymchkGlobal(uint32_t global) {
  if (global > kLastRuntimeGlobal) return Fault::NoSuchGlobal;
  return std::nullopt;
}

std::optional<Fault> checkForwardSeek(long target, long current) {
  if (target <= current) return Fault::SeekNotForward;
  return std::nullopt;
}

std::optional<Fault> decodeText(std::span<const uint8_t> bytes, uint8_t encoding,
                                std::vector<uint16_t>& characters) {
  const uint32_t size = static_cast<uint32_t>(bytes.size());
  const int32_t count = utf8_to_unicode(bytes.data(), size, nullptr);
  characters.clear();
  if (count < 0) return Fault::CutUtf8;
  characters.resize(static_cast<size_t>(count));
  utf8_to_unicode(bytes.data(), size, characters.data());
  if (encoding == 0)
    for (uint16_t character : characters)
      if (character > kEightBitCharacterLimit) return Fault::WideCharacter;
  return std::nullopt;
}

// ---- records of the items ----

namespace {
struct FixedPackage {
  int32_t number;
  uint32_t global;
};
constexpr FixedPackage kFixedPackages[] = {
    {1, 216}, {2, 219}, {5, 236}, {7, 237}, {9, 249},
};
constexpr int32_t kFirstHighSymtabNumber = 0x8001;
constexpr int32_t kLastHighSymtabNumber = 0xffff;
}  // namespace

PackageRef decodePackageNumber(int32_t number, uint32_t bootmode) {
  using Kind = PackageRef::Kind;
  if (bootmode != 0) {
    if (number != 0) return {Kind::BootNumber, static_cast<uint32_t>(number)};
    return bootmode == 1 ? PackageRef{Kind::BootNumber, kBootDefaultPackage}
                         : PackageRef{Kind::BootCurrent, kCurrentPackageGlobal};
  }
  if (number < 0) return {Kind::SymtabEntry, static_cast<uint32_t>(-1 - number)};
  if (number >= kFirstHighSymtabNumber && number <= kLastHighSymtabNumber)
    return {Kind::SymtabEntry, static_cast<uint32_t>(kLastHighSymtabNumber - number)};
  if (number == 0) return {Kind::CurrentPackage, kCurrentPackageGlobal};
  for (const FixedPackage& fixed : kFixedPackages)
    if (fixed.number == number) return {Kind::Global, fixed.global};
  return {Kind::Bad, static_cast<uint32_t>(number)};
}

namespace {
constexpr uint32_t kMachineCodeMask = 0xfff;
constexpr uint32_t kMachineCodeOfThisRuntime = 0x405;
constexpr uint32_t kMachineFlagNeedingPartner = 0x1000;
constexpr uint32_t kMachineFlagPartner = 0x2000;
constexpr uint8_t kCheckedMachineKind = 0;
}  // namespace

MachineVerdict checkMachineId(const MachineId& id, const ReleaseBounds& bounds,
                              bool runtimeVersionSet) {
  MachineVerdict verdict{kClean, false, id.kind == kSwappedMachineKind};
  if (id.faslRelease < bounds.minFasl || id.faslRelease > bounds.fasl) {
    verdict.result = kFaslRelease;
    return verdict;
  }
  if (id.runtimeRelease < bounds.minRuntime || id.runtimeRelease > bounds.runtime) {
    verdict.result = kRuntimeRelease;
    return verdict;
  }
  verdict.olderRelease = id.faslRelease != bounds.fasl;
  if (id.kind != kCheckedMachineKind) return verdict;
  if (!runtimeVersionSet && (id.machineCode & kMachineCodeMask) != kMachineCodeOfThisRuntime)
    verdict.result = kFaslRelease;
  else if ((id.machineCode & kMachineFlagNeedingPartner) != 0 &&
           (id.machineCode & kMachineFlagPartner) == 0)
    verdict.result = kMachineCodeFlags;
  return verdict;
}

std::span<const uint16_t> cutVersionText(std::span<const uint16_t> text) {
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] == ']') return text.first(i + 1);
  return text;
}

bool versionTextDiffers(std::span<const uint16_t> cutText, std::span<const uint16_t> runtimeText) {
  const bool endsInBracket = !cutText.empty() && cutText.back() == ']';
  const size_t compared = endsInBracket ? cutText.size() : cutText.size() + 1;  // + the zero
  for (size_t i = 0; i < compared; ++i) {
    const uint16_t mine = i < cutText.size() ? cutText[i] : 0;
    const uint16_t theirs = i < runtimeText.size() ? runtimeText[i] : 0;
    if (mine != theirs) return true;
  }
  return false;
}

}  // namespace lisp::fasl
