// Reading Lisp strings and symbols from native code: UTF-8 into strbuf, the
// debug printers, a symbol's current value cell, the Lisp-side table of
// call addresses, and Lisp's formatted output (which alone allocates).

#include <cstring>
#include <string>

#include "runtime/load/small_services.h"
#include "runtime/load/symbol_names.h"
#include "runtime/os/console_printing.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/foreign_callbacks.h"
#include "runtime/rs/lisp_world_services.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/object_routines.h"
#include "runtime/rs/thread_record.h"

namespace {

using lisp::lispval;

// A string's type byte and character data, as offsets from its tagged word.
constexpr int32_t kTypeByteOffset = -0x12;
constexpr int32_t kLengthWordOffset = -0xe;
constexpr int32_t kDataWithLengthWord = -0xa;
constexpr int32_t kDataWithoutLengthWord = -0xe;
constexpr int32_t kValueCellOffset = -0x13;  // of a symbol or a binding cell

struct StringView {
  const uint16_t* characters;
  uint32_t count;
};

StringView stringData(lispval string) {
  const uint8_t type = *reinterpret_cast<const uint8_t*>(string + kTypeByteOffset);
  const bool hasLengthWord = (type & lisp::kFixnumLengthBit) != 0;
  const uint32_t count =
      hasLengthWord
          ? static_cast<uint32_t>(lisp::fixnumValue(lisp::wordAt(string, kLengthWordOffset)))
          : lisp::headerLength(lisp::wordAt(string, kTypeByteOffset));
  const int32_t data = hasLengthWord ? kDataWithLengthWord : kDataWithoutLengthWord;
  return {reinterpret_cast<const uint16_t*>(static_cast<uintptr_t>(string + data)), count};
}

// Bytes of one 16-bit character in UTF-8.
uint32_t utf8Length(uint16_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
}

void putUtf8(uint16_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
  } else if (c < 0x800) {
    out[0] = static_cast<char>(0xc0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3f));
  } else {
    out[0] = static_cast<char>(0xe0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out[2] = static_cast<char>(0x80 | (c & 0x3f));
  }
}

// The elements of a word vector: simple vectors and the word vectors, by
// whether a length word follows the header.
struct WordVector {
  const uint32_t* data;
  uint32_t length;
};

bool wordVectorOf(lispval vector, WordVector& out) {
  if (!lisp::isOther(vector)) return false;
  const uint32_t header = lisp::wordAt(vector, lisp::kHeaderOffset);
  const lisp::VectorType* type = lisp::vectorType(lisp::typeCodeOf(header));
  if (!type || type->widthBits != 32) return false;
  out.length =
      type->fixnumLength
          ? static_cast<uint32_t>(lisp::fixnumValue(lisp::wordAt(vector, kLengthWordOffset)))
          : lisp::headerLength(header);
  out.data = &lisp::wordAt(
      vector, lisp::kHeaderOffset + static_cast<int32_t>(lisp::vectorDataOffset(*type)));
  return true;
}

}  // namespace

namespace lisp::small_services {

lispval* symbolLocativeAt(uint32_t bindingIndex, lispval symbol) {
  WordVector values{};
  if (wordVectorOf(objectOf<SymbolObject>(symbol)->valueVector, values) &&
      bindingIndex < values.length) {
    // The element is the symbol itself (no binding on this thread) or a
    // binding cell; both keep the value at the same place.
    const lispval cell = values.data[bindingIndex];
    if (tagOf(cell) == Tag::Symbol) return &wordAt(cell, kValueCellOffset);
  }
  return &wordAt(symbol, kValueCellOffset);
}

lispval* threadSymbolLocative(lispval thread, lispval symbol) {
  const lispval index = thread != 0 ? wordAt(thread, thread_record::kBindingIndex) : 0;
  const uint32_t element = isFixnum(index) ? static_cast<uint32_t>(fixnumValue(index)) : 0;
  return symbolLocativeAt(element, symbol);
}

lispval threadSymbolValue(lispval thread, lispval symbol) {
  return *threadSymbolLocative(thread, symbol);
}

}  // namespace lisp::small_services

extern "C" {

extern lispval nilval;

char strbuf[kStrbufBytes];

int strtobuf(lispval string) {
  const StringView view = stringData(string);
  uint32_t written = 0;
  for (uint32_t i = 0; i < view.count; ++i) {
    const uint16_t c = view.characters[i];
    // One byte stays for the terminating zero; a character that does not
    // fit whole ends the text before it.
    if (written + utf8Length(c) >= kStrbufBytes) break;
    putUtf8(c, strbuf + written);
    written += utf8Length(c);
  }
  strbuf[written] = '\0';
  return static_cast<int>(written);
}

// Decision: the printers print each character's low byte.
void strsizeprt(const uint16_t* characters, int count, std::FILE* stream) {
  for (int i = 0; i < count; ++i) std::fputc(characters[i] & 0xff, stream);
  std::fflush(stream);
}

void fstrpr(lispval string, std::FILE* stream) {
  const StringView view = stringData(string);
  strsizeprt(view.characters, static_cast<int>(view.count), stream);
}

void symprint(lispval symbol, std::FILE* stream) {
  const lispval name = lisp::objectOf<lisp::SymbolObject>(symbol)->name;
  if (lisp::isOther(name))
    fstrpr(name, stream);
  else
    std::fflush(stream);
}

void vxmputc(int character, std::FILE* stream) {
  std::fputc(character & 0xff, stream);
  std::fflush(stream);
}

lispval* symbol_locative(lispval symbol) {
  return lisp::small_services::symbolLocativeAt(current_thread_bix(), symbol);
}

uint32_t lisp_call_address(int32_t index) {
  // An index without a native entry gets the routine that calls the Lisp
  // side's missing-callback function.
  const auto fallback = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&lisp_missing_callback));
  if (!nilval) return fallback;
  constexpr int32_t kTableGlobal = lisp::small_services::kCallAddressTableGlobal;
  const lispval symbol = lisp::wordAt(nilval, lisp::nil_block::runtimeGlobalOffset(kTableGlobal));
  if (lisp::tagOf(symbol) != lisp::Tag::Symbol) return fallback;
  const lispval table = *symbol_locative(symbol);
  WordVector entries{};
  // The Lisp side numbers the entries by word of the vector object, its
  // header and length word first: entry `index` is data word index - 2.
  const int32_t position = index - 2;
  if (table == nilval || !wordVectorOf(table, entries) || position < 0 ||
      static_cast<uint32_t>(position) >= entries.length)
    return fallback;
  return entries.data[position] != 0 ? entries.data[position] : fallback;
}

void lisp_format(const char* text) {
  namespace world = lisp::lisp_world;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  const auto length = static_cast<uint32_t>(std::strlen(text));
  if (world::globalFunctionDefined(world::kFormattedOutputGlobal)) {
    const lisp::fasl::DecodedString made =
        lisp::fasl::buftostr(bytes, length, 1, false, lisp::fasl::kKeepCase, new_lisp_obj);
    if (!made.fault && lisp::isOther(made.string) && world::internal_lisp_format(made.string))
      return;
  }
  // The directives of the runtime's own control texts, applied here.
  std::string out;
  for (uint32_t i = 0; i < length; ++i) {
    const char next = i + 1 < length ? text[i + 1] : '\0';
    if (text[i] == '~' && (next == '%' || next == '~')) {
      out.push_back(next == '%' ? '\n' : '~');
      ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  vxmprintf("%s", out.c_str());
}

}  // extern "C"
