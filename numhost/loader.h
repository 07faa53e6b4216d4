// Opens a plug-in shared object and calls its entry point the way the host
// does: results come back owned by the caller, a raised error as its text.
#pragma once

#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "numhost/host.h"

namespace numhost {

// The plug-in could not be opened or lacks `zyxFunction`.
class NUMHOST_API LoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CallOutcome {
  // One slot per result asked for (at least one); empty where the plug-in set
  // none. All slots are empty when the call raised an error.
  std::vector<ArrayPtr> results;
  std::optional<std::string> error;  // the text given to zyxErrMsgTxt
};

class NUMHOST_API Plugin {
 public:
  // Opens the shared object at `path` (a bare name searches the library path).
  explicit Plugin(const std::string& path);
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  // The text of `zyxVersion`, when the plug-in exports one.
  std::optional<std::string> version() const;

  // Calls `zyxFunction` with `resultCount` results asked for.
  CallOutcome call(int resultCount, std::span<const zyArray* const> arguments) const;
  CallOutcome call(int resultCount, std::initializer_list<const zyArray*> arguments) const {
    return call(resultCount, std::span<const zyArray* const>(arguments.begin(), arguments.size()));
  }

 private:
  void* handle_;
  ZyxFunction function_;
  ZyxVersion versionFunction_;
};

}  // namespace numhost
