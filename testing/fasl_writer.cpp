// Fasl bytes as the format describes them; see fasl_writer.h.

#include "testing/fasl_writer.h"

#include <array>

namespace testing_support {

namespace {
// Item codes, as the format numbers them.
enum : uint8_t {
  kNop = 0,
  kDone = 1,
  kNil = 2,
  kSymbol = 3,
  kString = 4,
  kList = 5,
  kListStar = 6,
  kArgumentSymbol = 7,
  kCodeVector16 = 8,
  kIcsFlags = 9,
  kCharacter = 17,
  kDoubleFloat = 18,
  kPackage = 20,
  kSingleFloat = 21,
  kVector = 22,
  kBignum = 23,
  kFixnum = 24,
  kCasemode = 27,
  kRawVector = 30,
  kSymget = 33,
  kCodeVector32 = 37,
  kMarkedSingleFloat = 38,
  kNewBfunction = 40,
  kCversion = 41,
  kMachineId = 42,
  kTableOfContents = 44,
  kNewWfunction = 47,
  kFcnflags = 48,
  kMarkedDoubleFloat = 49,
  kBeginSymchk = 50,
  kPureCodeVector = 52,
  kInteger = 59,
  kGensymget = 60,
  kGensymSymbol = 65,
  kPrewfunction = 67,
  kPostwfunction = 68,
  kPreLispVector = 72,
  kPostLispVector = 73,
  kPreclosure = 82,
  kPostclosure = 83,
  kPick = 84,
  kFfPatch = 88,
};

constexpr uint8_t kSegmentMarker = 0xf3;
constexpr uint8_t kEndByte = 0x1c;
constexpr uint8_t kNewline = 0x0a;
constexpr uint8_t kSwappedKind = 3;
constexpr uint16_t kWordEscape = 0xffff;
constexpr uint16_t kNegWordEscape = 0x8000;

std::span<const uint8_t> bytesOf(const void* data, size_t size) {
  return {static_cast<const uint8_t*>(data), size};
}
}  // namespace

std::vector<uint8_t> faslUtf8(std::u16string_view characters) {
  std::vector<uint8_t> bytes;
  for (char16_t c : characters) {
    if (c < 0x80) {
      bytes.push_back(static_cast<uint8_t>(c));
    } else if (c < 0x800) {
      bytes.push_back(static_cast<uint8_t>(0xc0 | (c >> 6)));
      bytes.push_back(static_cast<uint8_t>(0x80 | (c & 0x3f)));
    } else {
      bytes.push_back(static_cast<uint8_t>(0xe0 | (c >> 12)));
      bytes.push_back(static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3f)));
      bytes.push_back(static_cast<uint8_t>(0x80 | (c & 0x3f)));
    }
  }
  return bytes;
}

// ---- low level ----

void FaslWriter::putWord(uint16_t value) {
  if (swapped_) {
    put(static_cast<uint8_t>(value >> 8));
    put(static_cast<uint8_t>(value));
  } else {
    put(static_cast<uint8_t>(value));
    put(static_cast<uint8_t>(value >> 8));
  }
}

void FaslWriter::putLong(uint32_t value) {
  if (swapped_) {
    putWord(static_cast<uint16_t>(value >> 16));
    putWord(static_cast<uint16_t>(value));
  } else {
    putWord(static_cast<uint16_t>(value));
    putWord(static_cast<uint16_t>(value >> 16));
  }
}

void FaslWriter::putBlock(std::span<const uint8_t> bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

// ---- at a segment boundary ----

FaslWriter& FaslWriter::commentLine(std::string_view text, char lead) {
  put(static_cast<uint8_t>(lead));
  putBlock(bytesOf(text.data(), text.size()));
  put(kNewline);
  return *this;
}

FaslWriter& FaslWriter::segment(uint32_t timestamp) {
  put(kSegmentMarker);
  putLong(timestamp);
  return *this;
}

FaslWriter& FaslWriter::endByte() {
  put(kEndByte);
  return *this;
}

// ---- raw operands ----

FaslWriter& FaslWriter::byte(uint8_t value) {
  put(value);
  return *this;
}
FaslWriter& FaslWriter::word(uint16_t value) {
  putWord(value);
  return *this;
}
FaslWriter& FaslWriter::long32(uint32_t value) {
  putLong(value);
  return *this;
}
FaslWriter& FaslWriter::nat(uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) put(static_cast<uint8_t>(value >> shift));
  return *this;
}

FaslWriter& FaslWriter::wordOr32(uint32_t value, Width width) {
  if (width == Width::Short && value < kWordEscape) {
    putWord(static_cast<uint16_t>(value));
  } else {
    putWord(kWordEscape);
    putLong(value);
  }
  return *this;
}

FaslWriter& FaslWriter::negWordOr32(int32_t value, Width width) {
  if (width == Width::Short && value >= 0 && value <= 0xffff && value != kNegWordEscape) {
    putWord(static_cast<uint16_t>(value));
  } else {
    putWord(kNegWordEscape);
    putLong(static_cast<uint32_t>(value));
  }
  return *this;
}

FaslWriter& FaslWriter::textBytes(std::span<const uint8_t> bytes, uint8_t encoding, Width width) {
  wordOr32(static_cast<uint32_t>(bytes.size()), width);
  put(encoding);
  putBlock(bytes);
  return *this;
}

FaslWriter& FaslWriter::text(std::u16string_view characters, uint8_t encoding, Width width) {
  return textBytes(faslUtf8(characters), encoding, width);
}

FaslWriter& FaslWriter::rawBytes(std::span<const uint8_t> bytes) {
  putBlock(bytes);
  return *this;
}

// ---- items ----

FaslWriter& FaslWriter::code(uint8_t itemCode) {
  put(itemCode);
  return *this;
}

FaslWriter& FaslWriter::nop() {
  return code(kNop);
}

FaslWriter& FaslWriter::done() {
  put(kDone);
  const uint32_t length = static_cast<uint32_t>(bytes_.size() - segmentStart_);
  for (const PendingLength& pending : pendingSegmentLengths_) {
    const std::array<uint8_t, 4> little = {
        static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
        static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
    for (size_t i = 0; i < 4; ++i)
      bytes_[pending.position + i] = pending.swapped ? little[3 - i] : little[i];
  }
  pendingSegmentLengths_.clear();
  segmentStart_ = bytes_.size();
  return *this;
}

FaslWriter& FaslWriter::nil() {
  return code(kNil);
}

FaslWriter& FaslWriter::symbol(std::u16string_view name, int32_t package, Width width) {
  code(kSymbol).text(name);
  return negWordOr32(package, width);
}

FaslWriter& FaslWriter::string(std::u16string_view characters, uint8_t encoding) {
  return code(kString).text(characters, encoding);
}

FaslWriter& FaslWriter::list(uint8_t n) {
  return code(kList).byte(n);
}

FaslWriter& FaslWriter::listStar(uint8_t n) {
  return code(kListStar).byte(n);
}

FaslWriter& FaslWriter::argumentSymbol(std::u16string_view name, int32_t package,
                                       uint32_t argument) {
  code(kArgumentSymbol).text(name).negWordOr32(package);
  return wordOr32(argument);
}

namespace {
std::vector<uint8_t> codeBytesInFileOrder(std::span<const uint8_t> code, bool swapped) {
  std::vector<uint8_t> bytes(code.begin(), code.end());
  if (swapped)
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
  return bytes;
}
}  // namespace

FaslWriter& FaslWriter::codeVector16(std::span<const uint8_t> code, uint32_t hash) {
  this->code(kCodeVector16).word(static_cast<uint16_t>(code.size())).long32(hash);
  return rawBytes(codeBytesInFileOrder(code, swapped_));
}

FaslWriter& FaslWriter::icsFlags(uint8_t flags) {
  return code(kIcsFlags).byte(flags);
}

FaslWriter& FaslWriter::character(uint8_t bits, uint8_t font, uint16_t characterCode) {
  return code(kCharacter).byte(bits).byte(font).word(characterCode);
}

FaslWriter& FaslWriter::doubleFloat(double value, bool marked) {
  code(marked ? kMarkedDoubleFloat : kDoubleFloat);
  return rawBytes(bytesOf(&value, sizeof value));
}

FaslWriter& FaslWriter::package(std::u16string_view name) {
  return code(kPackage).text(name);
}

FaslWriter& FaslWriter::singleFloat(float value, bool marked) {
  code(marked ? kMarkedSingleFloat : kSingleFloat);
  return rawBytes(bytesOf(&value, sizeof value));
}

FaslWriter& FaslWriter::vector(uint32_t n, uint8_t typeCode) {
  return code(kVector).long32(n).byte(typeCode);
}

FaslWriter& FaslWriter::bignum(int16_t digitCount, uint8_t sign, std::span<const uint16_t> digits) {
  code(kBignum).word(static_cast<uint16_t>(digitCount)).byte(sign);
  return rawBytes(bytesOf(digits.data(), digits.size_bytes()));
}

FaslWriter& FaslWriter::fixnum(int32_t value) {
  return code(kFixnum).nat(static_cast<uint32_t>(value));
}

FaslWriter& FaslWriter::casemode(uint8_t modeByte) {
  return code(kCasemode).byte(modeByte);
}

FaslWriter& FaslWriter::rawVector(uint8_t typeCode, uint32_t elements,
                                  std::span<const uint8_t> bytes) {
  rawVectorHeader(typeCode, elements, static_cast<uint32_t>(bytes.size()));
  return rawBytes(bytes);
}

FaslWriter& FaslWriter::rawVectorHeader(uint8_t typeCode, uint32_t elements, uint32_t byteCount) {
  return code(kRawVector).byte(typeCode).long32(elements).long32(byteCount);
}

FaslWriter& FaslWriter::symget(uint32_t index, Width width) {
  return code(kSymget).wordOr32(index, width);
}

FaslWriter& FaslWriter::commentItem(std::string_view text, uint8_t itemCode) {
  code(itemCode);
  putBlock(bytesOf(text.data(), text.size()));
  put(kNewline);
  return *this;
}

FaslWriter& FaslWriter::codeVector32(std::span<const uint8_t> code, uint32_t hash, bool pure) {
  this->code(pure ? kPureCodeVector : kCodeVector32)
      .long32(static_cast<uint32_t>(code.size()))
      .long32(hash);
  return rawBytes(codeBytesInFileOrder(code, swapped_));
}

FaslWriter& FaslWriter::newBfunction(uint16_t constants) {
  return code(kNewBfunction).word(constants);
}

FaslWriter& FaslWriter::cversion(std::u16string_view versionText) {
  return code(kCversion).text(versionText);
}

FaslWriter& FaslWriter::machineId(uint8_t kind, uint16_t faslRelease, uint16_t runtimeRelease,
                                  uint16_t machineCode) {
  code(kMachineId).byte(kind);
  // The kind byte decides the order of the item's own words too.
  if (kind == kSwappedKind) swapped_ = true;
  return word(faslRelease).word(runtimeRelease).word(machineCode);
}

FaslWriter& FaslWriter::tableOfContents(uint32_t symtabSlots, std::span<const uint32_t> more) {
  code(kTableOfContents).word(static_cast<uint16_t>(2 + more.size()));
  pendingSegmentLengths_.push_back({bytes_.size(), swapped_});
  long32(0);
  long32(symtabSlots);
  for (uint32_t word : more) long32(word);
  return *this;
}

FaslWriter& FaslWriter::tableOfContentsWords(uint16_t count, std::span<const uint32_t> words) {
  code(kTableOfContents).word(count);
  for (uint32_t word : words) long32(word);
  return *this;
}

FaslWriter& FaslWriter::newWfunction(uint16_t constants) {
  return code(kNewWfunction).word(constants);
}

FaslWriter& FaslWriter::fcnflags(uint16_t flags) {
  return code(kFcnflags).word(flags);
}

FaslWriter& FaslWriter::beginSymchk(uint32_t global) {
  return code(kBeginSymchk).wordOr32(global);
}

FaslWriter& FaslWriter::integer(uint8_t sign, std::span<const uint16_t> digits) {
  integerHeader(static_cast<uint16_t>(digits.size()), sign);
  for (uint16_t digit : digits) word(digit);
  return *this;
}

FaslWriter& FaslWriter::integerHeader(uint16_t digitCount, uint8_t sign) {
  return code(kInteger).word(digitCount).byte(sign);
}

FaslWriter& FaslWriter::gensymget(uint32_t index, Width width) {
  return code(kGensymget).wordOr32(index, width);
}

FaslWriter& FaslWriter::gensymSymbol(std::u16string_view name, uint32_t index) {
  return code(kGensymSymbol).text(name).wordOr32(index);
}

FaslWriter& FaslWriter::prewfunction(uint16_t constants) {
  return code(kPrewfunction).word(constants);
}

FaslWriter& FaslWriter::postwfunction(uint16_t constants) {
  return code(kPostwfunction).word(constants);
}

FaslWriter& FaslWriter::preLispVector(uint32_t n, uint8_t typeCode) {
  return code(kPreLispVector).long32(n).byte(typeCode);
}

FaslWriter& FaslWriter::postLispVector(uint32_t n) {
  return code(kPostLispVector).long32(n);
}

FaslWriter& FaslWriter::preclosure(uint16_t slots) {
  return code(kPreclosure).word(slots);
}

FaslWriter& FaslWriter::postclosure(uint16_t slots) {
  return code(kPostclosure).word(slots);
}

FaslWriter& FaslWriter::pick(uint32_t k, Width width) {
  return code(kPick).wordOr32(k, width);
}

FaslWriter& FaslWriter::ffPatch(std::span<const uint8_t> blob) {
  ffPatchHeader(static_cast<int16_t>(blob.size()));
  return rawBytes(blob);
}

FaslWriter& FaslWriter::ffPatchHeader(int16_t count) {
  return code(kFfPatch).word(static_cast<uint16_t>(count));
}

}  // namespace testing_support
