#include "numhost/call_scope.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

#include "numhost/array_record.h"
#include "numhost/messages.h"

namespace numhost::detail {

namespace {
thread_local CallScope* currentScope = nullptr;
std::atomic<std::size_t> liveBlocks{0};
}  // namespace

void raise(const char* message) {
  throw HostError(message != nullptr ? message : "");
}

CallScope::CallScope() : previous_(currentScope) {
  currentScope = this;
}

CallScope::~CallScope() {
  currentScope = previous_;
}

CallScope* CallScope::current() {
  return currentScope;
}

zyArray* CallScope::adopt(ArrayPtr array) {
  zyArray* raw = array.get();
  arrays_.push_back(std::move(array));  // on failure `array` still owns it
  return raw;
}

static auto findArray(std::vector<ArrayPtr>& arrays, const zyArray* array) {
  return std::find_if(arrays.begin(), arrays.end(),
                      [array](const ArrayPtr& owned) { return owned.get() == array; });
}

bool CallScope::destroy(zyArray* array) {
  auto found = findArray(arrays_, array);
  if (found == arrays_.end()) return false;
  arrays_.erase(found);
  return true;
}

ArrayPtr CallScope::release(zyArray* array) {
  auto found = findArray(arrays_, array);
  if (found == arrays_.end()) return nullptr;
  ArrayPtr owned = std::move(*found);
  arrays_.erase(found);
  return owned;
}

void* CallScope::allocate(std::size_t count, std::size_t size) {
  blocks_.reserve(blocks_.size() + 1);  // so the push below cannot throw
  // calloc rejects count * size overflow; an empty request still gets a block.
  void* block = (count == 0 || size == 0) ? std::calloc(1, 1) : std::calloc(count, size);
  if (block == nullptr) return nullptr;
  ++liveBlocks;
  blocks_.emplace_back(block);
  return block;
}

void CallScope::BlockFree::operator()(void* block) const noexcept {
  std::free(block);
  --liveBlocks;
}

}  // namespace numhost::detail

namespace numhost {
std::size_t liveBlockCount() {
  return detail::liveBlocks;
}
}  // namespace numhost

using numhost::detail::CallScope;
using numhost::detail::raise;

extern "C" void* zyCalloc(size_t count, size_t size) {
  CallScope* scope = CallScope::current();
  if (scope == nullptr) raise(numhost::detail::kCallocOutsideCall);
  void* block = nullptr;
  try {
    block = scope->allocate(count, size);
  } catch (const std::bad_alloc&) {
  }
  if (block == nullptr) raise(numhost::detail::kOutOfMemory);
  return block;
}

extern "C" void zyxErrMsgTxt(const char* message) {
  raise(message);
}
