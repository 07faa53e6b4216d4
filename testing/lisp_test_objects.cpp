#include "testing/lisp_test_objects.h"

#include <cstring>
#include <stdexcept>

namespace testing_support {

using lisp::lispval;

LispTestObjects::LispTestObjects(lispval nil, uint32_t bytes)
    : nil_(nil), storage_(new uint64_t[(bytes + 7) / 8]()), capacity_(bytes) {}

void* LispTestObjects::allocate(uint32_t bytes) {
  const uint32_t rounded = (bytes + 7) & ~7u;
  if (rounded > capacity_ - used_) throw std::length_error("test object arena is full");
  void* memory = reinterpret_cast<uint8_t*>(storage_.get()) + used_;
  used_ += rounded;
  std::memset(memory, 0, rounded);
  return memory;
}

bool LispTestObjects::contains(uint32_t address) const {
  const auto start = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(storage_.get()));
  return address >= start && address - start < capacity_;
}

lispval LispTestObjects::makeFunction(uint32_t start) {
  auto* function = static_cast<lisp::FunctionObject*>(allocate(lisp::functionObjectBytes(0)));
  function->header = lisp::headerWord(lisp::type_code::Function);
  function->start = start;
  function->lispSlot1 = nil_;
  function->codeVector = nil_;
  function->lispSlot2 = nil_;
  return lisp::wordOf(function, lisp::Tag::Other);
}

lispval LispTestObjects::makeSymbol(lispval function) {
  auto* symbol = static_cast<lisp::SymbolObject*>(allocate(sizeof(lisp::SymbolObject)));
  symbol->typeByte = lisp::kSymbolTypeByte;
  symbol->globalValue = nil_;
  symbol->hashWord = lisp::kSymbolTypeByte;
  symbol->function = function;
  symbol->name = nil_;
  symbol->propertyList = nil_;
  symbol->valueVector = nil_;
  symbol->lispSlot = nil_;
  return lisp::wordOf(symbol, lisp::Tag::Symbol);
}

}  // namespace testing_support
