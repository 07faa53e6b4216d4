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
inline constexpr char kUnrecognizedRealSysvector[] = "Unrecognized type of real sysvector (0x%lx)";
inline constexpr char kUnrecognizedSysvector[] = "Unrecognized type of sysvector (0x%lx)";
inline constexpr char kBadStackFrame[] = "Bad stack frame on stack, addr = 0x%lx";
inline constexpr char kSysvectorChainNotIndirect[] = "Sysvec chain has non-indirect item at 0x%lx";
inline constexpr char kLispstaticBlockFailed[] =
    "Could not allocate lispstatic structure in vxmmalloc-heap";
inline constexpr char kLispstaticTableFailed[] =
    "Could not expand lispstatic structure array in vxmmalloc-heap";
inline constexpr char kErrorTitle[] = "Vexmora CL: System Error (gsgc)";
inline constexpr char kSystemErrorTitle[] = "Vexmora CL: System Error";

// Verification and debugging hooks (standard output).
inline constexpr char kVerifyTrace[] = "Verify 0x%lx -> 0x%lx = %d\n";
inline constexpr char kApparentFunction[] = "Apparent function address: 0x%lx\nLocation = %ld:\n";
inline constexpr char kPauseForDebugger[] = "\n\n** pause for gdb attachment.";
inline constexpr char kPauseTypeACharacter[] = " Type a character when ready\n";
inline constexpr char kPauseContinuing[] = " Continuing\n";
inline constexpr char kStackSegmentTrace[] = "sst: fp:%lx, clink: %lx offset: %lx start %lx\n";

// Statistics after a collection (flags p and s; long form under v).
inline constexpr char kEfficiencyLong[] =
    " eff: %d%%, new copy: %d + tenure: %d +  vxmmalloc free: %d = %d\n";
inline constexpr char kEfficiencyTerse[] = "E=%d%% N=%d T+=%d A-=%d";

// Progress text on standard output (the console printer's stand-in).
void print(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Warning or error text on standard error.
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace gc_messages
