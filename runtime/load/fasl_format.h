// The fasl file format that both fasl loaders read: the byte readers, the
// text decoder, the segment boundary, the item table, the small records, and
// the one layer of checks that refuses a malformed file.
//
// Invariant kept by every loader that goes through this module: no item reads
// or writes outside an object or below its segment's stack base. An item is
// acted on only after its operands were read whole (readItemOperands) and its
// stack passed checkItemStack; anything else ends the load with kMalformed
// and one line saying why (kMalformed with faultText).
//
// The module is pure C++ over bytes and value words: it makes no Lisp object
// and calls nothing of the runtime, so it can be fuzzed on its own.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <vector>

#include "runtime/rs/lisp_value.h"
#include "runtime/rs/nil_block.h"

namespace lisp::fasl {

// ---- bytes of the file layout ----

inline constexpr uint8_t kSegmentMarker = 0xf3;
inline constexpr uint8_t kEndByte = 0x1c;
inline constexpr uint8_t kCommentHash = '#';
inline constexpr uint8_t kCommentLetter = 'e';
inline constexpr uint8_t kBackslash = 0x5c;
inline constexpr uint8_t kNewline = 0x0a;
inline constexpr uint8_t kSwappedMachineKind = 3;
inline constexpr uint16_t kWordEscape = 0xffff;     // getwordor32bit: a 32-bit value follows
inline constexpr uint16_t kNegWordEscape = 0x8000;  // getnegwordor32bit: a 32-bit value follows

// Loader results.
enum Result : int {
  kClean = 0,
  kNotFasl = 1,
  kBadPackage = 2,
  kTruncated = 3,
  kFaslRelease = 4,
  kRuntimeRelease = 5,
  kMalformed = 7,  // also an undefined item code
  kCleanOlderRelease = 8,
  kMachineCodeFlags = 9,
};

// ---- byte sources ----

// A bounded, seekable byte stream.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual int next() = 0;  // the next byte 0..255, or -1 at the end
  virtual long tell() const = 0;
  virtual void seek(long position) = 0;  // a position past the end reads as the end
  virtual long length() const = 0;
  void skip(uint32_t count) { seek(tell() + static_cast<long>(count)); }
  long remaining() const;
};

// Bytes in memory (tests, fuzzing, and whatever is already read).
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  int next() override;
  long tell() const override { return position_; }
  void seek(long position) override;
  long length() const override { return static_cast<long>(bytes_.size()); }

 private:
  std::span<const uint8_t> bytes_;
  long position_ = 0;
};

// An open stdio stream; the length is the file's size when the source is made.
class StdioSource final : public ByteSource {
 public:
  explicit StdioSource(std::FILE* stream);
  int next() override;
  long tell() const override;
  void seek(long position) override;
  long length() const override { return length_; }

 private:
  std::FILE* stream_;
  long length_;
};

// ---- the operand readers ----

// Reads operands in the file's byte order. A read past the end returns 0 and
// makes ended() true; callers read a whole item, then test once.
class FaslReader {
 public:
  explicit FaslReader(ByteSource& source) : source_(source) {}

  uint32_t getbyte();
  uint32_t getword();  // 16-bit, unsigned
  uint32_t get32bit();
  uint32_t getnat();  // 32-bit little-endian, never swapped
  uint32_t getwordor32bit();
  int32_t getnegwordor32bit();  // 16-bit values zero-extended; the escaped value as signed
  bool readRaw(uint8_t* into, uint32_t count);

  void setSwapped(bool swapped) { swapped_ = swapped; }
  bool swapped() const { return swapped_; }
  bool ended() const { return ended_; }
  ByteSource& source() { return source_; }

 private:
  uint32_t nextByte();
  ByteSource& source_;
  bool swapped_ = false;
  bool ended_ = false;
};

// Code vectors of a byte-swapped file: exchange the two bytes of every 16-bit unit.
void swapCodeUnits(std::span<uint8_t> code);

// ---- text ----

// Decodes the fasl's UTF-8 (limited to 16 bits, lenient leads) into 16-bit
// characters; counts only when `into` is null. Returns the character count,
// or -1 when the count's end cuts a multi-byte form.
extern "C" int32_t utf8_to_unicode(const uint8_t* bytes, uint32_t count, uint16_t* into);

// Strings by encoding byte: nonzero, 16-bit characters (type 117); 0, a string
// of type 101 whose characters must all be at most 0xFF.
inline constexpr uint8_t kSixteenBitStringType = 117;
inline constexpr uint8_t kEightBitStringType = 101;
inline constexpr uint16_t kEightBitCharacterLimit = 0xff;
constexpr uint8_t stringTypeForEncoding(uint8_t encoding) {
  return encoding != 0 ? kSixteenBitStringType : kEightBitStringType;
}

// Skips one comment line: to a newline or the end, a backslash taking the next byte with it.
void skipCommentLine(ByteSource& source);

// What a byte (or the end, -1) means at a segment boundary.
enum class BoundaryByte { Comment, SegmentStart, EndOfFile, NotFasl };
BoundaryByte classifyBoundaryByte(int byte);

// ---- the item table ----

enum class Operand : uint8_t {
  None,
  Byte,
  Word,
  SignedWord,
  Long,
  Nat,
  WordOr32,
  NegWordOr32,
  Text,      // a string operand: count (getwordor32bit), encoding byte, the bytes
  TocWords,  // the n 32-bit words of a table of contents, n from operand 0
  Line,      // comment bytes to the end of the line
};

// How many raw bytes follow the operands (read into the object, or skipped).
enum class RawLength : uint8_t {
  None,
  Four,
  Eight,
  Operand0,       // code vectors, ff_patch
  TwiceOperand0,  // 16-bit digits, raw
  DigitWords,     // operand-0 16-bit digits read as words (swapped in a swapped file)
  Operand2,       // raw vector
};

// How operand 0 enters the stack effect.
enum class CountRule : uint8_t {
  None,
  PopsN,             // n more items are popped
  PopsNPushesIfAny,  // list*: n popped, one pushed unless n is 0
  PicksN,            // item n below the top is read
};

struct StackEffect {
  uint8_t pops = 0;  // besides the count rule's
  uint8_t pushes = 0;
  CountRule count = CountRule::None;
};

// What an item stores into, at a depth below the top (0 = the top).
enum class Want : uint8_t {
  Any,
  Symbol,
  Function,  // type code 8
  Callable,  // a function or a closure
  Closure,   // type code 9 (macros included)
  Macro,     // a closure marked as a macro
  CodeVectorOrNil,
  CodeVectorOrList,
  ArrayHeader,
  Cons,
  List,         // a cons or nil
  ValueVector,  // a vector of Lisp values
};

struct Expectation {
  uint8_t depth = 0;
  bool depthPlusN = false;  // depth + operand 0
  Want want = Want::Any;
  bool holdsN = false;  // the object must have at least operand-0 slots
};

struct ItemRow {
  const char* name = nullptr;  // nullptr: the code is not defined
  std::array<Operand, 4> operands{};
  RawLength raw = RawLength::None;
  bool actsAlways = false;  // acts while skipping and whatever the ICS flags
  // Fills its symtab slot even when not taken: 20 with nil, 65 with its
  // symbol, 76 (native loader) with the top. Decision: a 76 not taken while
  // nothing lies above the segment's base stores nil rather than read below it.
  bool fillsTableSlot = false;
  StackEffect stack{};
  std::array<Expectation, 2> expects{};
};

// Item 52's code vectors: the pure kind.
inline constexpr uint8_t kPureCodeVectorType = 99;

inline constexpr uint32_t kItemCodes = 102;  // 0..88, and 101 for the runtime loader
inline constexpr uint8_t kSecondCommentCode = 101;

enum class LoaderKind { Native, Runtime };

// The row of a code, or nullptr when that loader does not define it.
const ItemRow* itemRow(uint32_t code, LoaderKind loader);

// Whether an item acts: always-acting items do; others only at depth 0 and
// with ICS flags 0 or holding the bit of value 2.
inline constexpr uint8_t kSixteenBitImageFlag = 2;
constexpr bool itemActs(const ItemRow& row, int32_t depth, uint8_t icsFlags) {
  return row.actsAlways ||
         (depth == 0 && (icsFlags == 0 || (icsFlags & kSixteenBitImageFlag) != 0));
}

// The mark of the ICS flags' low two bits in the loaders' trace lines.
inline constexpr const char* kIcsFlagsMarks[4] = {" ", "-", "+", "?"};
constexpr const char* icsFlagsMark(uint8_t flags) {
  return kIcsFlagsMarks[flags & 3];
}

// ---- malformed files ----

enum class Fault : uint8_t {
  StackUnderflow,
  WantSymbol,
  WantFunction,
  WantCallable,
  WantClosure,
  WantMacro,
  WantCodeVectorOrNil,
  WantCodeVectorOrList,
  WantArrayHeader,
  WantCons,
  WantList,
  WantValueVector,
  TooFewSlots,
  RawPastStorage,
  BadDigitCount,
  PastHeapLimit,
  NoSuchVectorType,
  NotValueVectorType,
  NotRawVectorType,
  StringPastEnd,
  NegativeCount,
  IndexPastFill,
  TableFull,
  ShortTableOfContents,
  CutUtf8,
  WideCharacter,
  SeekNotForward,
  CircularList,
  NoSuchGlobal,
};

// The text that reportMalformed prints for a fault.
const char* faultText(Fault fault);

// Prints "fasl: malformed item %d at %ld: %s\n" on standard error; returns
// kMalformed. For tools that run without the runtime: the loaders print the
// same line through the console printer.
int reportMalformed(uint32_t code, long position, Fault fault);

// ---- reading an item's operands ----

struct ItemOperands {
  long position = 0;                // of the item's code byte
  std::array<uint32_t, 4> value{};  // in operand order; a Text slot holds its byte count
  uint8_t encoding = 0;             // of the Text operand
  std::vector<uint8_t> text;        // the Text operand's bytes
  uint32_t tocCount = 0;            // table of contents: n, and its first words
  std::array<uint32_t, 5> toc{};
  uint32_t rawBytes = 0;  // raw bytes that follow, not yet read

  int32_t signedValue(uint32_t i) const { return static_cast<int32_t>(value[i]); }
};

struct Limits {
  uint32_t maxObjectBytes;  // the heap's size limit
};

struct OperandsRead {
  enum class Status { Ok, Truncated, Malformed } status;
  Fault fault;  // meaningful when the status is Malformed
};

// Reads the operands of one item (the code byte already read), checking
// every count and size before anything is allocated or skipped. The raw
// bytes stay unread. A raw block that runs past the end of the file is
// truncation (result 3); a string operand that does is a malformed file.
OperandsRead readItemOperands(uint32_t code, const ItemRow& row, FaslReader& reader,
                              const Limits& limits, ItemOperands& operands);

// ---- the stack checks of an acting item ----

enum class Shape : uint8_t {
  Unknown,  // a model that cannot tell; satisfies every want
  Nil,
  Cons,
  Symbol,
  Function,
  Closure,
  Macro,
  CodeVector,
  ArrayHeader,
  ValueVector,
  Other,
};

struct ValueShape {
  Shape shape = Shape::Other;
  uint32_t slots = 0;  // constants, closure slots or vector elements
};

// What a value word is, reading its object's header.
ValueShape shapeOf(lispval nil, lispval word);

// The loader's stack as the checks see it: height above the segment base and
// the shape of the item at a depth below the top.
class StackView {
 public:
  virtual ~StackView() = default;
  virtual uint32_t height() const = 0;
  virtual ValueShape shapeAt(uint32_t depth) const = 0;
};

struct StackCount {
  uint64_t needs;  // items that must lie above the segment base
  uint64_t pops;
  uint64_t pushes;
};
StackCount stackCount(const ItemRow& row, const ItemOperands& operands);

// The depth and type checks of an acting item; nullopt when it may act.
std::optional<Fault> checkItemStack(const ItemRow& row, const ItemOperands& operands,
                                    const StackView& stack);

// ---- table checks ----

// An index into symtab or fsymtab (items 33, 60, negative package numbers).
std::optional<Fault> checkTableIndex(uint32_t index, uint32_t fill);
// A store at the fill count of a table that cannot grow (the runtime loader's symtab).
std::optional<Fault> checkTableStore(uint32_t fill, uint32_t capacity);
// Words 2 to 4 of a table of contents, asked for by a section key.
inline constexpr uint32_t kTocWordsWithSections = 5;
std::optional<Fault> checkTocHasSections(const ItemOperands& toc);
// The global that a begin symchk item reads (the native loader reads any of them).
std::optional<Fault> checkSymchkGlobal(uint32_t global);
// A seek that a skip or a section asks for must move past the current position.
std::optional<Fault> checkForwardSeek(long target, long current);
// Decodes a text operand into 16-bit characters (count pass, then decode),
// refusing a cut form and, for encoding 0, characters above 0xFF.
std::optional<Fault> decodeText(std::span<const uint8_t> bytes, uint8_t encoding,
                                std::vector<uint16_t>& characters);

// ---- records of the items ----

// The globals table ends at the nil block's lowest word.
using nil_block::runtimeGlobalOffset;
inline constexpr uint32_t kLastRuntimeGlobal = (-nil_block::kLowestGlobal - 0x15) / 4;
static_assert(runtimeGlobalOffset(kLastRuntimeGlobal) == nil_block::kLowestGlobal);

// Package numbers (items 3 and 7).
struct PackageRef {
  enum class Kind {
    CurrentPackage,  // the value of the symbol in runtime global 39
    Global,          // the package held in runtime global `value`
    SymtabEntry,     // symtab entry `value`
    BootNumber,      // boot mode: the number handed to the boot symbol table
    BootCurrent,  // boot mode other than 1: number 0, the package number in the value of global 39
    Bad,
  } kind;
  uint32_t value;
};
inline constexpr uint32_t kCurrentPackageGlobal = 39;
inline constexpr uint32_t kBootDefaultPackage = 7;
PackageRef decodePackageNumber(int32_t number, uint32_t bootmode);

// Machine-id item (42).
struct MachineId {
  uint8_t kind;
  uint16_t faslRelease;
  uint16_t runtimeRelease;
  uint16_t machineCode;
};
struct ReleaseBounds {
  uint32_t minFasl, fasl, minRuntime, runtime;
};
struct MachineVerdict {
  int result;         // kClean, kFaslRelease, kRuntimeRelease or kMachineCodeFlags
  bool olderRelease;  // accepted, but the load ends with 8 instead of 0
  bool swapped;       // kind 3: the rest of the file is byte-swapped
};
inline constexpr uint32_t kRuntimeVersionGlobal = 59;
MachineVerdict checkMachineId(const MachineId& id, const ReleaseBounds& bounds,
                              bool runtimeVersionSet);

// Version item (41): the file's text cut after its first ']'.
std::span<const uint16_t> cutVersionText(std::span<const uint16_t> text);
// Whether the cut text differs from the runtime's, compared up to and
// including the ']' (or the terminating zero when there is none).
bool versionTextDiffers(std::span<const uint16_t> cutText, std::span<const uint16_t> runtimeText);

// Character item (17).
inline constexpr uint32_t kCharacterFieldLimit = 31;
constexpr lispval characterValue(uint32_t bits, uint32_t font, uint32_t code) {
  return (font << 24) | (bits << 19) | (code << 3) | static_cast<uint32_t>(Tag::Character);
}
constexpr bool characterFitsImage(uint32_t bits, uint32_t font) {
  return bits <= kCharacterFieldLimit && font <= kCharacterFieldLimit;
}

// Function flags (item 48): low byte into the kind byte, high byte (plus 0x80
// when the low byte has 0x10) into the low byte of the hash word.
struct FunctionFlags {
  uint8_t kindBits;
  uint8_t hashBits;
};
constexpr FunctionFlags splitFunctionFlags(uint16_t word) {
  const uint8_t low = static_cast<uint8_t>(word);
  const uint8_t high = static_cast<uint8_t>(word >> 8);
  return {low, static_cast<uint8_t>(high | ((low & 0x10) != 0 ? 0x80 : 0))};
}

// Case-mode item (27): the mode the file requires (0 none, 1 global 29, 2 global 30) and its names'
// mode.
struct CaseModeByte {
  uint8_t required;
  uint8_t fileMode;
};
constexpr CaseModeByte splitCaseMode(uint8_t byte) {
  return {static_cast<uint8_t>(byte >> 4), static_cast<uint8_t>(byte & 0xf)};
}

// Global whose nil value makes begin symchk abandon the rest of the segment.
inline constexpr uint32_t kSkipSegmentGlobal = 124;

// Every text the loaders print about a file.
namespace messages {
inline constexpr char kMalformed[] = "fasl: malformed item %d at %ld: %s\n";
inline constexpr char kBadPackage[] = "bad package number %d, abort this fasl\n";
// A package item taken before the Lisp world has provided its package function.
inline constexpr char kNoPackageFunction[] =
    "package %s cannot be found or made yet (no package function), abort this fasl\n";
inline constexpr char kVersionMismatch[] =
    "Mismatched fasl version: \"%s ...\": Recompile recommended.\n";
inline constexpr char kCharacterIncompatible[] =
    "Attempt to build a character constant incompatible with this image:\n"
    " code 0x%x bits 0x%x font 0x%x\n";
inline constexpr char kNewPackageInBootMode[] = "Can't have new package: ";
inline constexpr char kInBootMode[] = " in bootmode\n";
}  // namespace messages

}  // namespace lisp::fasl
