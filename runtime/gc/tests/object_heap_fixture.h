// A fixture heap with makers for objects of every kind the printer and the
// frame walker read, laid out by hand in old space.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/gc/allocation.h"
#include "runtime/gc/object_extent.h"
#include "runtime/gc/tests/walk_fixture.h"
#include "runtime/rs/object_layout.h"

namespace gc_test {

inline std::string format(const char* text, ...) {
  char buffer[256];
  va_list arguments;
  va_start(arguments, text);
  std::vsnprintf(buffer, sizeof buffer, text, arguments);
  va_end(arguments);
  return buffer;
}

// Everything written to a temporary file by `print`.
template <class Print>
std::string captured(Print print) {
  FILE* file = std::tmpfile();
  print(file);
  std::fflush(file);
  std::string output(static_cast<size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  const size_t got = std::fread(output.data(), 1, output.size(), file);
  output.resize(got);
  std::fclose(file);
  return output;
}

class ObjectHeap : public WalkHeap {
 protected:
  using lispval = lisp::lispval;

  // An old-space object of the header's extent; every word after the
  // header nil, then `length` in word 1 when given.
  lispval other(uint32_t header, int32_t length = -1, bool old = true) {
    const uint32_t lengthWord = length >= 0 ? lisp::makeFixnum(length) : nil();
    const uint32_t bytes = gc::extentOf(header, lengthWord).bytes;
    EXPECT_GT(bytes, 0u) << "header 0x" << std::hex << header;
    const uint32_t object = old ? other_from_old_xsmp(bytes) : other_from_new_xsmp(bytes);
    at(object) = header;
    for (uint32_t word = 1; word < bytes / 4; ++word) at(object + 4 * word) = nil();
    at(object + 4) = lengthWord;
    return lisp::pointerWord(object, lisp::Tag::Other);
  }
  uint32_t& slot(lispval object, uint32_t word) {
    return at(lisp::objectAddress(object) + 4 * word);
  }
  lispval cons(lispval first, lispval rest) {
    const uint32_t cell = cons_from_old();
    at(cell) = first;
    at(cell + 4) = rest;
    return lisp::pointerWord(cell, lisp::Tag::Cons);
  }
  lispval list(const std::vector<lispval>& elements) {
    lispval result = nil();
    for (auto it = elements.rbegin(); it != elements.rend(); ++it) result = cons(*it, result);
    return result;
  }
  lispval string(const std::u16string& characters) {
    const lispval object =
        other(lisp::type_code::SimpleString, static_cast<int32_t>(characters.size()));
    std::memcpy(reinterpret_cast<void*>(lisp::objectAddress(object) + 8), characters.data(),
                2 * characters.size());
    return object;
  }
  lispval symbol(const std::u16string& name, uint8_t type = lisp::kSymbolTypeByte) {
    const uint32_t object = other_from_old_xsmp(sizeof(lisp::SymbolObject));
    at(object) = type;
    for (uint32_t word = 1; word < 8; ++word) at(object + 4 * word) = nil();
    at(object + offsetof(lisp::SymbolObject, name)) = string(name);
    return lisp::pointerWord(object, lisp::Tag::Symbol);
  }
  // A function whose entry is the start of its code vector of `units`.
  lispval function(uint32_t units = 8) {
    const lispval code = other(lisp::headerWithLength(lisp::type_code::CodeVector, units));
    const lispval function = other(lisp::headerWord(lisp::type_code::Function));
    lisp::FunctionObject* object = lisp::objectOf<lisp::FunctionObject>(function);
    object->start = lisp::objectAddress(code) + 4;
    object->codeVector = code;
    return function;
  }
  lispval structure(const std::vector<lispval>& slots) {
    const lispval object = other(lisp::headerWithLength(lisp::type_code::Structure, slots.size()));
    for (size_t i = 0; i < slots.size(); ++i) slot(object, 1 + i) = slots[i];
    return object;
  }
  lispval entryVector(uint32_t length, lispval first) {
    const lispval object = other(lisp::headerWithLength(lisp::type_code::EntryVector, length));
    slot(object, 1) = first;
    return object;
  }
  static lispval fixnum(int32_t n) { return lisp::makeFixnum(n); }
  std::vector<lispval> numbers(int32_t count) {
    std::vector<lispval> result;
    for (int32_t i = 1; i <= count; ++i) result.push_back(fixnum(i));
    return result;
  }
};

}  // namespace gc_test
