// Ownership of what a plug-in allocates during one call. The host owns every
// array and zyCalloc block made while a call runs: results are handed to the
// caller when the call returns, everything else is freed when the scope ends,
// whether the call returned or raised an error.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "numhost/host.h"

namespace numhost::detail {

// What zyxErrMsgTxt throws; caught by the loader's call wrapper.
class HostError {
 public:
  explicit HostError(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

[[noreturn]] void raise(const char* message);

class CallScope {
 public:
  CallScope();
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

  // The scope of the call running on this thread, or null between calls.
  static CallScope* current();

  // Takes ownership of an array made during the call.
  zyArray* adopt(ArrayPtr array);
  // Frees a tracked array; false when the call did not make it.
  bool destroy(zyArray* array);
  // Hands a tracked array to the caller; null when the call did not make it.
  ArrayPtr release(zyArray* array);
  // Zeroed memory freed with the scope; null when out of memory.
  void* allocate(std::size_t count, std::size_t size);

 private:
  struct BlockFree {
    void operator()(void* block) const noexcept;
  };

  std::vector<ArrayPtr> arrays_;
  std::vector<std::unique_ptr<void, BlockFree>> blocks_;
  CallScope* previous_;
};

}  // namespace numhost::detail
