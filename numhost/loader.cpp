#include "numhost/loader.h"

#include <dlfcn.h>

#include <algorithm>

#include "numhost/call_scope.h"
#include "numhost/messages.h"

namespace numhost {

Plugin::Plugin(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) throw LoadError(std::string(detail::kCannotOpen) + dlerror());
  function_ = reinterpret_cast<ZyxFunction>(dlsym(handle_, "zyxFunction"));
  versionFunction_ = reinterpret_cast<ZyxVersion>(dlsym(handle_, "zyxVersion"));
  if (function_ == nullptr) {
    dlclose(handle_);
    throw LoadError(detail::kNoEntryPoint + path);
  }
}

Plugin::~Plugin() {
  dlclose(handle_);
}

std::optional<std::string> Plugin::version() const {
  if (versionFunction_ == nullptr) return std::nullopt;
  return std::string(versionFunction_());
}

CallOutcome Plugin::call(int resultCount, std::span<const zyArray* const> arguments) const {
  // The host always offers at least one result slot.
  std::vector<zyArray*> slots(static_cast<std::size_t>(std::max(resultCount, 1)), nullptr);
  std::vector<const zyArray*> argumentList(arguments.begin(), arguments.end());
  CallOutcome outcome;

  detail::CallScope scope;  // frees whatever the call leaves behind
  try {
    function_(resultCount, slots.data(), static_cast<int>(argumentList.size()),
              argumentList.data());
  } catch (const detail::HostError& error) {
    outcome.error = error.message();
    return outcome;
  }

  outcome.results.resize(slots.size());
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i] == nullptr) continue;
    outcome.results[i] = scope.release(slots[i]);
    if (outcome.results[i] == nullptr) {
      outcome.results.clear();
      outcome.error = detail::kForeignResult;
      return outcome;
    }
  }
  return outcome;
}

}  // namespace numhost
