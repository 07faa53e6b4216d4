#include "qmf_reader.h"

#include <fstream>
#include <iterator>

namespace qmf_test {

namespace {

// Element types and class ids as the format defines them.
enum : uint32_t {
  kInt8 = 1,
  kUint8 = 2,
  kInt16 = 3,
  kUint16 = 4,
  kInt32 = 5,
  kUint32 = 6,
  kSingle = 7,
  kDouble = 9,
  kInt64 = 12,
  kUint64 = 13,
  kMatrix = 14,
};
constexpr uint32_t kStructClass = 2;

uint32_t elementBytes(uint32_t type) {
  switch (type) {
    case kInt8:
    case kUint8:
      return 1;
    case kInt16:
    case kUint16:
      return 2;
    case kInt32:
    case kUint32:
    case kSingle:
      return 4;
    case kDouble:
    case kInt64:
    case kUint64:
      return 8;
  }
  throw QmfFormatError("unknown element type " + std::to_string(type));
}

struct Element {
  uint32_t type;
  std::vector<uint8_t> data;
};

class Cursor {
 public:
  Cursor(const std::vector<uint8_t>& bytes, std::size_t begin, std::size_t end)
      : bytes_(bytes), pos_(begin), end_(end) {}

  bool atEnd() const { return pos_ == end_; }
  std::size_t position() const { return pos_; }

  uint32_t word() {
    need(4);
    uint32_t value;
    std::memcpy(&value, &bytes_[pos_], 4);
    pos_ += 4;
    return value;
  }

  // One element: a small element (count in the upper half of the first word)
  // or a tag with its data and zero padding to a multiple of 8.
  Element element() {
    const uint32_t first = word();
    if ((first >> 16) != 0) {
      const uint32_t count = first >> 16;
      if (count > 4) throw QmfFormatError("small element with " + std::to_string(count) + " bytes");
      Element e{first & 0xFFFF, take(count)};
      zeros(4 - count);
      return e;
    }
    const uint32_t count = word();
    // A 0-byte small element reads the same as an empty tagged one.
    if (first != kMatrix && count >= 1 && count <= 4)
      throw QmfFormatError("element of " + std::to_string(count) + " bytes not written small");
    Element e{first, take(count)};
    zeros((8 - count % 8) % 8);
    return e;
  }

  std::vector<uint8_t> take(std::size_t count) {
    need(count);
    std::vector<uint8_t> out(bytes_.begin() + pos_, bytes_.begin() + pos_ + count);
    pos_ += count;
    return out;
  }

  void zeros(std::size_t count) {
    for (uint8_t b : take(count))
      if (b != 0) throw QmfFormatError("non-zero padding");
  }

 private:
  void need(std::size_t count) const {
    if (end_ - pos_ < count) throw QmfFormatError("element runs past its end");
  }
  const std::vector<uint8_t>& bytes_;
  std::size_t pos_;
  std::size_t end_;
};

std::vector<int32_t> int32s(const Element& e) {
  if (e.type != kInt32) throw QmfFormatError("expected int32 element");
  std::vector<int32_t> out(e.data.size() / 4);
  std::memcpy(out.data(), e.data.data(), out.size() * 4);
  return out;
}

QmfArray parseMatrixBody(const std::vector<uint8_t>& bytes, std::size_t begin, std::size_t end);

// A matrix element inside another: tag 14, then exactly its byte count.
QmfArray nestedMatrix(const std::vector<uint8_t>& bytes, Cursor& cursor) {
  const uint32_t type = cursor.word();
  if (type != kMatrix) throw QmfFormatError("expected a matrix element");
  const uint32_t count = cursor.word();
  const std::size_t begin = cursor.position();
  cursor.take(count);
  if (count % 8 != 0) throw QmfFormatError("matrix size not a multiple of 8");
  return parseMatrixBody(bytes, begin, begin + count);
}

QmfArray parseMatrixBody(const std::vector<uint8_t>& bytes, std::size_t begin, std::size_t end) {
  Cursor cursor(bytes, begin, end);
  QmfArray array;
  const Element flags = cursor.element();
  if (flags.type != kUint32 || flags.data.size() != 8) throw QmfFormatError("bad array flags");
  uint32_t flagWords[2];
  std::memcpy(flagWords, flags.data.data(), 8);
  array.classId = flagWords[0] & 0xFF;
  array.logical = (flagWords[0] & 0x200) != 0;
  array.complex = (flagWords[0] & 0x800) != 0;
  if ((flagWords[0] & ~0xAFFu) != 0 || flagWords[1] != 0) throw QmfFormatError("stray flag bits");

  array.dims = int32s(cursor.element());
  if (array.dims.size() < 2) throw QmfFormatError("fewer than two dimensions");
  std::size_t elements = 1;
  for (int32_t d : array.dims) {
    if (d < 0) throw QmfFormatError("negative dimension");
    elements *= static_cast<std::size_t>(d);
  }

  const Element name = cursor.element();
  if (name.type != kInt8) throw QmfFormatError("name is not int8");
  array.name.assign(name.data.begin(), name.data.end());

  if (array.classId == kStructClass) {
    const std::vector<int32_t> length = int32s(cursor.element());
    if (length.size() != 1 || length[0] <= 0) throw QmfFormatError("bad field-name length");
    const Element names = cursor.element();
    if (names.type != kInt8 || names.data.size() % length[0] != 0)
      throw QmfFormatError("bad field names");
    for (std::size_t at = 0; at < names.data.size(); at += length[0]) {
      const char* text = reinterpret_cast<const char*>(&names.data[at]);
      array.fieldNames.emplace_back(text, strnlen(text, length[0]));
    }
    for (std::size_t k = 0; k < elements * array.fieldNames.size(); ++k)
      array.fields.push_back(nestedMatrix(bytes, cursor));
  } else {
    const Element real = cursor.element();
    array.dataType = real.type;
    if (real.data.size() != elements * elementBytes(real.type))
      throw QmfFormatError("data of " + array.name + " does not match its dimensions");
    array.real = real.data;
    if (array.complex) {
      const Element imag = cursor.element();
      if (imag.type != real.type || imag.data.size() != real.data.size())
        throw QmfFormatError("imaginary part differs from the real part");
      array.imag = imag.data;
    }
  }
  if (!cursor.atEnd()) throw QmfFormatError("bytes left over in matrix " + array.name);
  return array;
}

}  // namespace

const QmfArray& QmfArray::field(std::size_t element, const std::string& fieldName) const {
  for (std::size_t f = 0; f < fieldNames.size(); ++f)
    if (fieldNames[f] == fieldName) return fields.at(element * fieldNames.size() + f);
  throw QmfFormatError("no field " + fieldName);
}

QmfFile parseQmfFile(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < 128) throw QmfFormatError("file shorter than its header");
  QmfFile file;
  file.header.assign(bytes.begin(), bytes.begin() + 128);
  Cursor cursor(bytes, 128, bytes.size());
  while (!cursor.atEnd()) file.variables.push_back(nestedMatrix(bytes, cursor));
  return file;
}

std::vector<uint8_t> readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw QmfFormatError("cannot open " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace qmf_test
