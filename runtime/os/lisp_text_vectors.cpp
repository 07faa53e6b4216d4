#include "runtime/os/lisp_text_vectors.h"

#include <cstring>

#include "runtime/rs/object_layout.h"

namespace lisp::os {

namespace {

constexpr int32_t kLengthWordOffset = -0xe;

bool holdsText(ElementKind kind) {
  switch (kind) {
    case ElementKind::Unsigned8:
    case ElementKind::Signed8:
    case ElementKind::Character:
    case ElementKind::Unsigned16:
    case ElementKind::Signed16:
      return true;
    default:
      return false;
  }
}

void putElement(const TextVector& v, uint32_t index, uint8_t byte) {
  if (v.elementBytes == 1) {
    v.data[index] = byte;
  } else {
    const uint16_t unit = byte;
    std::memcpy(v.data + 2 * index, &unit, 2);
  }
}

uint16_t elementAt(const TextVector& v, uint32_t index) {
  if (v.elementBytes == 1) return v.data[index];
  uint16_t unit = 0;
  std::memcpy(&unit, v.data + 2 * index, 2);
  return unit;
}

// Bytes of one element in UTF-8 (8-bit elements are copied as they are).
size_t encodedBytes(const TextVector& v, uint16_t e) {
  if (v.elementBytes == 1 || e < 0x80) return 1;
  return e < 0x800 ? 2 : 3;
}

void encode(const TextVector& v, uint16_t e, char* out) {
  if (v.elementBytes == 1 || e < 0x80) {
    out[0] = static_cast<char>(e);
  } else if (e < 0x800) {
    out[0] = static_cast<char>(0xc0 | (e >> 6));
    out[1] = static_cast<char>(0x80 | (e & 0x3f));
  } else {
    out[0] = static_cast<char>(0xe0 | (e >> 12));
    out[1] = static_cast<char>(0x80 | ((e >> 6) & 0x3f));
    out[2] = static_cast<char>(0x80 | (e & 0x3f));
  }
}

void write(const TextVector& v, const char* text, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) putElement(v, i, static_cast<uint8_t>(text[i]));
  putElement(v, count, 0);
}

}  // namespace

std::optional<TextVector> textVectorOf(lispval object) {
  if (!isOther(object)) return std::nullopt;
  const uint32_t header = wordAt(object, kHeaderOffset);
  const VectorType* type = vectorType(typeCodeOf(header));
  if (!type || !holdsText(type->element)) return std::nullopt;
  uint32_t elements = headerLength(header);
  if (type->fixnumLength) {
    const lispval length = wordAt(object, kLengthWordOffset);
    if (!isFixnum(length) || fixnumValue(length) < 0) return std::nullopt;
    elements = static_cast<uint32_t>(fixnumValue(length));
  }
  auto* data = reinterpret_cast<uint8_t*>(
      static_cast<uintptr_t>(objectAddress(object) + vectorDataOffset(*type)));
  return TextVector{data, elements, type->widthBits / 8u};
}

bool putText(lispval object, const char* text) {
  const std::optional<TextVector> v = textVectorOf(object);
  if (!v || !text) return false;
  const size_t length = std::strlen(text);
  if (length >= v->elements) return false;
  write(*v, text, static_cast<uint32_t>(length));
  return true;
}

bool putTextCut(lispval object, const char* text) {
  const std::optional<TextVector> v = textVectorOf(object);
  if (!v || !text || v->elements == 0) return false;
  const size_t length = std::strlen(text);
  write(*v, text, static_cast<uint32_t>(length < v->elements ? length : v->elements - 1));
  return true;
}

bool takeText(lispval object, char* out, size_t size) {
  const std::optional<TextVector> v = textVectorOf(object);
  if (!v || size == 0) return false;
  size_t used = 0;
  for (uint32_t i = 0; i < v->elements; ++i) {
    const uint16_t e = elementAt(*v, i);
    if (e == 0) break;
    const size_t bytes = encodedBytes(*v, e);
    if (used + bytes >= size) return false;
    encode(*v, e, out + used);
    used += bytes;
  }
  out[used] = '\0';
  return true;
}

}  // namespace lisp::os
