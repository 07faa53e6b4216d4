// Every text the heap layout, allocation and root-set code prints.
#pragma once

namespace gc_messages {

// Start-up arguments (standard error).
inline constexpr char kSpreadTooSmall[] = "-t parameter (%d) must be at least 1\n";
inline constexpr char kOldSpaceTooSmall[] = "-o: old space must be at least 256K\n";
inline constexpr char kNewSpaceTooSmall[] = "-n: new space must be at least 256K\n";
inline constexpr char kUnknownFlagLetter[] = "ignoring unrecognized -fg option: %c\n";

// Progress of the heap layout (standard output).
inline constexpr char kInitialSpread[] = "Initial generation spread = %d\n";
inline constexpr char kAllocatedSpace[] = "Allocated %d bytes for %s space\n";
inline constexpr char kAllocatedNewSpace[] = "Allocated %d bytes for new space\n";
inline constexpr char kOldSpaceName[] = "old";

// Fatal collector errors (gserror).
inline constexpr char kClosedOldArea[] = "Tried to allocate old object into closed old area: 0x%lx";
inline constexpr char kSysvectorInOldSpace[] = "Found a sysvector in old space at (0x%lx)";
inline constexpr char kUnknownObjectType[] = "Unknown object type at (0x%lx)";
inline constexpr char kNoScavenger[] =
    "New space is exhausted (0x%lx bytes needed) and this runtime has no scavenger";
inline constexpr char kErrorTitle[] = "Vexmora CL: System Error (gsgc)";

// Progress text on standard output (the console printer's stand-in).
void print(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Warning or error text on standard error.
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace gc_messages
