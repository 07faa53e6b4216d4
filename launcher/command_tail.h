// The command tail a host program hands to StartLisp, made from its own
// arguments so that the launcher's split gives every one of them back whole
// and in order.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace launcher {

// Each argument in the first of three forms that the launcher's split and
// quote stripping turn back into exactly that argument, separate from what
// follows: as it is, in double quotes, in single quotes. Arguments are
// joined by one blank. Nothing when an argument fits none of the forms (it
// holds both kinds of quote so that any form leaves a quoted stretch open
// or loses a quote); `refused` then names it.
std::optional<std::string> commandTailFor(const std::vector<std::string>& arguments,
                                          std::string* refused = nullptr);

}  // namespace launcher
