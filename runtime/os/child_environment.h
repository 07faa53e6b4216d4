// The environment a child starts with: the entries Lisp code gives merged
// into the process's own. Both lists are in name order, and the merge keeps
// that order: names compare with ASCII letters folded to upper case, a name
// that ends where the other goes on comes first, and of two equal names the
// Lisp entry is kept and the process's dropped.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/rs/lisp_value.h"

namespace lisp::os {

// Below, equal to or above zero as the name of entry `a` ("name=value")
// sorts before, with or after the name of entry `b`.
int compareEnvironmentNames(std::string_view a, std::string_view b);

// The entries of a Lisp environment block: a vector of raw elements whose
// bytes are a 16-bit byte count (of the entries after it) and the entries,
// each ended by a NUL, the last one empty. The walk stays within the count
// and the vector; an entry cut off by either is dropped. Nothing when the
// object is not such a vector.
std::optional<std::vector<std::string>> lispEnvironmentEntries(lispval block);

// The merged list. The process's entries are sorted first: this system keeps
// them in no order.
std::vector<std::string> mergeEnvironments(const std::vector<std::string>& lispEntries,
                                           std::vector<std::string> processEntries);

// The calling process's entries, as the system holds them.
std::vector<std::string> processEnvironment();

}  // namespace lisp::os
