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
inline constexpr char kUnrecognizedRealSysvector[] = "Unrecognized type of real sysvector (0x%lx)";
inline constexpr char kUnrecognizedSysvector[] = "Unrecognized type of sysvector (0x%lx)";
inline constexpr char kBadStackFrame[] = "Bad stack frame on stack, addr = 0x%lx";
inline constexpr char kSysvectorChainNotIndirect[] = "Sysvec chain has non-indirect item at 0x%lx";
inline constexpr char kLispstaticBlockFailed[] =
    "Could not allocate lispstatic structure in vxmmalloc-heap";
inline constexpr char kLispstaticTableFailed[] =
    "Could not expand lispstatic structure array in vxmmalloc-heap";
inline constexpr char kRecursiveScavenge[] = "Scavenger invoked itself recursively.";
inline constexpr char kAlreadyCopied[] = "Trying to copy pointer already copied (0x%lx)";
inline constexpr char kPointsIntoTargetHalf[] = "Object already pointing to target newspace half: 0x%lx";
inline constexpr char kCouldntGetBytes[] = "Couldn't get %ld bytes from operating system";
inline constexpr char kToSpaceOverflow[] = "Scavenger ran out of target newspace (0x%lx bytes needed)";
inline constexpr char kNoGlobalCollection[] = "global collection not available";
inline constexpr char kErrorTitle[] = "Vexmora CL: System Error (gsgc)";
inline constexpr char kSystemErrorTitle[] = "Vexmora CL: System Error";

// Progress of a scavenge and of area sizing (standard output).
inline constexpr char kScavengingLong[] = "scavenging...";
inline constexpr char kScavengingTerse[] = "gc: ";
inline constexpr char kDone[] = "done";
inline constexpr char kDoneLine[] = "done\n";
inline constexpr char kNewline[] = "\n";
inline constexpr char kForcingGlobalGc[] = "Forcing a global gc\n";
inline constexpr char kHidingNewSpace[] = "hiding %d bytes of newspace...";
inline constexpr char kRevealingNewSpace[] = "revealing %d bytes in newspace...";
inline constexpr char kExpandNewLong[] = "expanding new space...";
inline constexpr char kExpandNewTerse[] = "XN-";
inline constexpr char kExpandOldNewLong[] = "expanding old and new space...";
inline constexpr char kExpandOldNewTerse[] = "XOXN-";
inline constexpr char kExpandOldLong[] = "expanding old space...";
inline constexpr char kExpandOldTerse[] = "XO-";
inline constexpr char kMoveNewLong[] = "expanding and moving new space...";
inline constexpr char kMoveNewTerse[] = "XMN-";
inline constexpr char kMoveOldNewLong[] = "expanding old and new space, moving newspace...";
inline constexpr char kMoveOldNewTerse[] = "XOXMN-";
inline constexpr char kMoveOldLong[] = "expanding old space, moving newspace...";
inline constexpr char kMoveOldTerse[] = "XOMN-";

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
