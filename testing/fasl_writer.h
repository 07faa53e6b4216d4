// A writer of fasl files for tests, written from the format's description
// alone (it shares no code or header with the loaders), so a wrong row in a
// loader's table shows up as a disagreement with this writer.
//
// Calls append in file order. Multi-byte operands follow the file's byte
// order: little-endian until a machine-id item of kind 3, byte-swapped after
// it. Fixnum operands, float bytes, bignum digits and raw-vector bytes are
// never swapped; code vectors are swapped in 16-bit units.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

class FaslWriter {
 public:
  // How a 32-bit-capable count or index is written.
  enum class Width { Short, Escaped };  // Escaped: the escape and 32 bits even for a small value

  // ---- at a segment boundary ----
  FaslWriter& commentLine(std::string_view text, char lead = '#');  // text may hold "\\\n"
  FaslWriter& segment(uint32_t timestamp = 0);                      // 0xF3 and the timestamp
  FaslWriter& endByte();                                            // 0x1C

  // ---- raw operands ----
  FaslWriter& byte(uint8_t value);
  FaslWriter& word(uint16_t value);
  FaslWriter& long32(uint32_t value);
  FaslWriter& nat(uint32_t value);  // never swapped
  FaslWriter& wordOr32(uint32_t value, Width width = Width::Short);
  FaslWriter& negWordOr32(int32_t value, Width width = Width::Short);
  // A string operand: count, encoding byte, bytes as given.
  FaslWriter& textBytes(std::span<const uint8_t> bytes, uint8_t encoding = 1,
                        Width width = Width::Short);
  // A string operand of 16-bit characters, UTF-8 encoded (three-byte form from 0x800).
  FaslWriter& text(std::u16string_view characters, uint8_t encoding = 1,
                   Width width = Width::Short);
  FaslWriter& rawBytes(std::span<const uint8_t> bytes);

  // ---- items ----
  FaslWriter& code(uint8_t itemCode);  // an item code alone (items without operands)
  FaslWriter& nop();
  FaslWriter& done();  // also patches word 0 of this segment's table of contents
  FaslWriter& nil();
  FaslWriter& symbol(std::u16string_view name, int32_t package, Width width = Width::Short);
  FaslWriter& string(std::u16string_view characters, uint8_t encoding = 1);
  FaslWriter& list(uint8_t n);
  FaslWriter& listStar(uint8_t n);
  FaslWriter& argumentSymbol(std::u16string_view name, int32_t package, uint32_t argument);
  FaslWriter& codeVector16(std::span<const uint8_t> code, uint32_t hash = 0);  // item 8
  FaslWriter& icsFlags(uint8_t flags);
  FaslWriter& character(uint8_t bits, uint8_t font, uint16_t code);
  FaslWriter& doubleFloat(double value, bool marked = false);  // 18, or 49 when marked
  FaslWriter& package(std::u16string_view name);
  FaslWriter& singleFloat(float value, bool marked = false);  // 21, or 38 when marked
  FaslWriter& vector(uint32_t n, uint8_t typeCode);
  FaslWriter& bignum(int16_t digitCount, uint8_t sign, std::span<const uint16_t> digits);
  FaslWriter& fixnum(int32_t value);
  FaslWriter& casemode(uint8_t modeByte);
  FaslWriter& rawVector(uint8_t typeCode, uint32_t elements, std::span<const uint8_t> bytes);
  // Item 30 with a byte count that need not match the bytes that follow.
  FaslWriter& rawVectorHeader(uint8_t typeCode, uint32_t elements, uint32_t byteCount);
  FaslWriter& symget(uint32_t index, Width width = Width::Short);
  FaslWriter& commentItem(std::string_view text, uint8_t itemCode = 35);  // 35, or 101
  FaslWriter& codeVector32(std::span<const uint8_t> code, uint32_t hash = 0, bool pure = false);
  FaslWriter& newBfunction(uint16_t constants);
  FaslWriter& cversion(std::u16string_view text);
  // Item 42; kind 3 makes every later operand byte-swapped.
  FaslWriter& machineId(uint8_t kind, uint16_t faslRelease, uint16_t runtimeRelease,
                        uint16_t machineCode);
  // Item 44 with words 0 (patched by done()), 1 = symtabSlots, then `more`.
  FaslWriter& tableOfContents(uint32_t symtabSlots, std::span<const uint32_t> more = {});
  // Item 44 exactly as given (count and words).
  FaslWriter& tableOfContentsWords(uint16_t count, std::span<const uint32_t> words);
  FaslWriter& newWfunction(uint16_t constants);
  FaslWriter& fcnflags(uint16_t flags);
  FaslWriter& beginSymchk(uint32_t global);
  FaslWriter& integer(uint8_t sign, std::span<const uint16_t> digitsMostSignificantFirst);
  // Item 59 with a digit count that need not match the digits that follow.
  FaslWriter& integerHeader(uint16_t digitCount, uint8_t sign);
  FaslWriter& gensymget(uint32_t index, Width width = Width::Short);
  FaslWriter& gensymSymbol(std::u16string_view name, uint32_t index);
  FaslWriter& prewfunction(uint16_t constants);
  FaslWriter& postwfunction(uint16_t constants);
  FaslWriter& preLispVector(uint32_t n, uint8_t typeCode);
  FaslWriter& postLispVector(uint32_t n);
  FaslWriter& preclosure(uint16_t slots);
  FaslWriter& postclosure(uint16_t slots);
  FaslWriter& pick(uint32_t k, Width width = Width::Short);
  FaslWriter& ffPatch(std::span<const uint8_t> blob);
  FaslWriter& ffPatchHeader(int16_t count);  // item 88 with a count alone

  // ---- the result ----
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }
  bool swapped() const { return swapped_; }

 private:
  void put(uint8_t value) { bytes_.push_back(value); }
  void putWord(uint16_t value);
  void putLong(uint32_t value);
  void putBlock(std::span<const uint8_t> bytes);

  std::vector<uint8_t> bytes_;
  bool swapped_ = false;
  size_t segmentStart_ = 0;  // after the previous done, or the file's start
  struct PendingLength {
    size_t position;  // of a table of contents' word 0, waiting for done()
    bool swapped;
  };
  std::vector<PendingLength> pendingSegmentLengths_;
};

// The fasl's UTF-8 for 16-bit characters: one byte below 0x80, two below 0x800, else three.
std::vector<uint8_t> faslUtf8(std::u16string_view characters);

}  // namespace testing_support
