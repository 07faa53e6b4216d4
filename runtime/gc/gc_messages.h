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
inline constexpr char kPointsIntoTargetHalf[] =
    "Object already pointing to target newspace half: 0x%lx";
inline constexpr char kCouldntGetBytes[] = "Couldn't get %ld bytes from operating system";
inline constexpr char kToSpaceOverflow[] =
    "Scavenger ran out of target newspace (0x%lx bytes needed)";
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

// The global collection: pass titles and closing texts (standard output),
// reports (the collector's error box, the collection goes on).
inline constexpr char kGlobalRecovered[] = "global gc recovered %d bytes of old space.\n";
inline constexpr char kMarkPass[] = "Mark Pass...";
inline constexpr char kMarkPassDone[] =
    ", marked %d objects, overflows = %d, max depth (minus ovflow) = %d.\n";
inline constexpr char kWeakPass[] = "Weak-vector Pass...";
inline constexpr char kConsSwap[] = "Cons-cell swap...";
inline constexpr char kConsSwapDone[] = ", %d cons cells moved\n";
inline constexpr char kBreakChain[] = "Oldarea break chain...";
inline constexpr char kBreakChainDone[] = ", %d holes totalling %d bytes\n";
inline constexpr char kPageData[] = "Page-compaction data...";
inline constexpr char kAdjust[] = "Address adjustment...";
inline constexpr char kBreakVectorMapped[] = "[%d mapped, %d-pass]...";
inline constexpr char kBreakVectorOnStack[] = "[%d on stack,%d-pass]...";
inline constexpr char kCompactOthers[] = "Compacting other objects...";
inline constexpr char kCompactPages[] = "Page compaction...";
inline constexpr char kCompactPagesDone[] = ", %d pages moved\n";
inline constexpr char kNewRootset[] = "New rootset...";
inline constexpr char kNewRootsetDone[] = ", %d rootset entries\n";
inline constexpr char kNewPagemap[] = "Building new pagemap...";
inline constexpr char kMergeEmpties[] = "Merging empty oldspaces...";
inline constexpr char kMergeEmptiesDone[] = "done, %d oldspaces merged.\n";
inline constexpr char kPassEnd[] = ".\n";
inline constexpr char kPassDone[] = "done";
inline constexpr char kUserTime1[] = "(%d+";
inline constexpr char kUserTime2[] = "(%d,%03d+";
inline constexpr char kUserTime3[] = "(%d,%03d,%03d+";
inline constexpr char kSystemTime1[] = "%d)";
inline constexpr char kSystemTime2[] = "%d,%03d)";
inline constexpr char kSystemTime3[] = "%d,%03d,%03d)";
inline constexpr char kValueVectorTooSmall[] = "Warning: value vector too small";
inline constexpr char kSysvectorInOldSpaceFound[] = "Found a sysvector in old space (%lx)";
inline constexpr char kUnexpectedPageType[] = "Unexpected page type at %lx";

// Heap packing before an image save (standard output, flag p).
inline constexpr char kPackPrepare[] = "scavenge to prepare for packing...";
inline constexpr char kPackDiscardArea[] =
    " discarding empty old area: %d bytes to be squeezed out\n";
inline constexpr char kPackCannotCompact[] = " cannot compact old area\n";
inline constexpr char kPackOldArea[] = " packing old area: %d bytes to be squeezed out\n";
inline constexpr char kPackAdjust[] = " Address adjustment...";
inline constexpr char kPackAdjustDone[] = "done\n";
inline constexpr char kPackPacking[] = " packing";
inline constexpr char kPackMoving[] = " moving";
inline constexpr char kPackAndPacking[] = " and packing";
inline constexpr char kPackNewArea[] = " new area";
inline constexpr char kPackSqueezed[] = ": %d bytes to be squeezed out\n";

// Heap relocation after an image restore (standard error).
inline constexpr char kRelocationRangesOverlap[] =
    "heap relocation: the moved range overlaps the pure library at 0x%lx\n";
inline constexpr char kRelocationMisaligned[] =
    "heap relocation: a move of %ld bytes is not a whole number of pages\n";

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

// Progress text for standard output, through the console printer.
void print(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Warning or error text for standard error, through the console printer.
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace gc_messages
