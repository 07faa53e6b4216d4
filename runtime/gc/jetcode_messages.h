// Every text the code jettison prints (standard output).
#pragma once

#include <cstdint>

namespace jetcode_messages {

inline constexpr char kDumped[] = "jetcode: dumped %d vectors (%d bytes) to %s\n";
inline constexpr char kReleased[] = "jetcode: released %d vectors (%d bytes)\n";
inline constexpr char kCreated[] = "Created codefile %s\n";
inline constexpr char kCannotExtend[] = "jetcode: cannot extend codefile %s\n";
inline constexpr char kFoundOnStacks[] = "jetcode: found %d codevector(s) on %d stack(s)\n";
inline constexpr char kTerminated[] = "Errors force termination of dump\n";
inline constexpr char kTemporaryName[] = "JC%d";
inline constexpr char kNameTooLong[] = "jetcode: codefile name longer than %d bytes: %s\n";

// The error bits of jc_errors and their texts, in printing order.
inline constexpr char kErrorsHead[] = "jetcode errors:";
inline constexpr char kErrorsEnd[] = "\n";
struct ErrorText {
  uint32_t bit;
  const char* text;
};
inline constexpr ErrorText kErrorTexts[] = {
    {0x1, " new codevectors after table alloc;"},
    {0x2, " code vector write failed;"},
    {0x4, " bad object in heap;"},
    {0x8, " open failed for swap output;"},
    {0x10, " position failure for swap output;"},
    {0x20, " initialization failure for swap output;"},
    {0x40, " timestamp mismatch for swap output;"},
};

// A reloaded code vector that is not one: three parts, the middle one only
// when the function's name is known.
inline constexpr char kCorruptAt[] = "\n**Attempting to load codevector from %s[%d]";
inline constexpr char kCorruptFor[] = " for %s";
inline constexpr char kCorruptEnd[] = " failed\n  the file or the function is corrupted\n";

}  // namespace jetcode_messages
