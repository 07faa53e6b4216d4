// The boot symbol table: while the runtime is built from fasl files, symbols
// are interned here, in an open-addressing table of symbol words, instead of
// in Lisp packages. Each symbol keeps its package number in the 16-bit field
// after its type and flags bytes.

#include <cstdio>
#include <cstring>
#include <vector>

#include "runtime/gc/collector_errors.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/load/build_from_scratch.h"
#include "runtime/load/fasl_loader.h"
#include "runtime/load/small_services.h"
#include "runtime/load/string_characters.h"
#include "runtime/load/symbol_name_hash.h"
#include "runtime/load/symbol_names.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/object_routines.h"

extern "C" {
extern lisp::lispval tval;
lisp::lispval* oblist = nullptr;
uint32_t ob_size = 0;
uint32_t items = 0;
uint32_t probes = 0;
uint32_t collis = 0;
}

namespace {

using namespace lisp;
namespace msg = lisp::fasl::messages;

using Characters = StringCharacters;

Characters charactersOf(lispval string) {
  return stringCharacters(string);
}

SymbolObject* symbolOf(lispval symbol) {
  return objectOf<SymbolObject>(symbol);
}

bool isBootSymbol(lispval word) {
  return isSymbolTagged(word) && symbolOf(word)->typeByte == kSymbolTypeByte;
}

bool sameName(lispval symbol, const Characters& name) {
  const lispval entryName = symbolOf(symbol)->name;
  if (!isOther(entryName)) return false;
  const Characters entry = charactersOf(entryName);
  return entry.count == name.count &&
         std::memcmp(entry.data, name.data, 2 * static_cast<size_t>(name.count)) == 0;
}

// Package 1 satisfies any request but keywords; package 3 is never found.
bool packageMatches(uint32_t entryPackage, uint32_t wanted) {
  return entryPackage == wanted ||
         (entryPackage == fasl::kBasePackage && wanted != fasl::kKeywordPackage);
}

bool tracing() {
  return dbg != 0 || dbgsym != 0;
}

bool isAsciiName(const Characters& name, const char* text) {
  const size_t length = std::strlen(text);
  if (name.count != length) return false;
  for (size_t i = 0; i < length; ++i)
    if (name.data[i] != static_cast<uint8_t>(text[i])) return false;
  return true;
}

// Bytes below 32, 127, and (taken as signed) every byte from 0x80 up.
void reportBogusBytes(const char* text, uint32_t length, const char* format) {
  for (uint32_t i = 0; i < length; ++i) {
    const signed char c = static_cast<signed char>(text[i]);
    if (c < 32 || c == 127) std::fprintf(stderr, format, text);
  }
}

}  // namespace

extern "C" lispval addob(lispval name, uint32_t length, uint32_t package) {
  const Characters characters{charactersOf(name).data, length};
  if (tracing()) {
    std::fputs(msg::kHashing, stdout);
    fstrpr(name, stdout);
    std::printf(msg::kHashingPackage, package);
  }
  if (isAsciiName(characters, "nil")) return nilval;
  if (package == fasl::kBasePackage && isAsciiName(characters, "t")) return tval;
  const uint32_t hash = sshash(characters.data, length);
  ++probes;
  uint32_t index = ob_size == 0 ? 0 : hash % ob_size;
  // The table never grows: a walk that has seen every slot stops.
  for (uint32_t seen = 0;; ++seen, index = index + 1 == ob_size ? 0 : index + 1) {
    if (seen >= ob_size) {
      std::fprintf(stderr, msg::kTableFull, ob_size);
      std::fflush(stderr);
      vxmabort();
    }
    const lispval entry = oblist[index];
    if (entry == 0) break;
    if (entry == nilval) continue;
    if (!isBootSymbol(entry)) {
      std::printf(msg::kBadSymbol, entry, index,
                  static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&oblist[index])));
      continue;
    }
    if (package != fasl::kUninternedPackage && sameName(entry, characters) &&
        packageMatches(symbolOf(entry)->zero, package)) {
      if (tracing()) faslshowsymbol("found", entry);
      return entry;
    }
    ++collis;
  }
  // The constructor may collect: the name is read back from the new symbol.
  const lispval symbol = new_lisp_obj(kSymbolTypeByte, name, hash);
  symbolOf(symbol)->zero = static_cast<uint16_t>(package);
  if (package == fasl::kKeywordPackage) symbolOf(symbol)->globalValue = symbol;
  oblist[index] = symbol;
  fasl_protect(
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&oblist[index])));  // the table may be old
  ++items;
  if (tracing()) faslshowsymbol("added", symbol);
  return symbol;
}

extern "C" lispval make_spec_sym(const char* lowerName, const char* upperName, uint32_t length,
                                 uint32_t package) {
  reportBogusBytes(lowerName, length, msg::kBogusLowerName);
  reportBogusBytes(upperName, length, msg::kBogusUpperName);
  const char* text = init_case_mode == 3 ? upperName : lowerName;
  const fasl::DecodedString name = fasl::buftostr(reinterpret_cast<const uint8_t*>(text), length, 1,
                                                  true, fasl::kKeepCase, new_lisp_obj);
  // Native text that is not valid UTF-8 is taken byte by byte.
  if (name.fault) {
    std::vector<uint8_t> latin(text, text + length);
    const lispval string = new_lisp_obj(type_code::SimpleString, length, 0);
    uint16_t* data = const_cast<uint16_t*>(charactersOf(string).data);
    for (uint32_t i = 0; i < length; ++i) data[i] = latin[i];
    return addob(string, length, package);
  }
  return addob(name.string, charactersOf(name.string).count, package);
}

extern "C" void faslshowsymbol(const char* label, lispval symbol) {
  std::printf(msg::kShowSymbol, label, static_cast<unsigned long>(symbol));
  symprint(symbol, stdout);
  std::printf(msg::kShowPackage, isBootSymbol(symbol) ? symbolOf(symbol)->zero : 0);
  std::fflush(stdout);
}
