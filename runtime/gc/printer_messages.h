// Every text the native object printer and the frame walker write.
#pragma once

namespace printer_messages {

// Values.
inline constexpr char kBadObject[] = "<bad object: 0x%lx>";
inline constexpr char kBadObjectTag[] = "<bad object tag: 0x%lx>";
inline constexpr char kFixnum[] = "%ld";
inline constexpr char kNil[] = "nil";
inline constexpr char kLocative[] = "<locative>";
inline constexpr char kFunctionPrefix[] = "#'";
inline constexpr char kClosure[] = "<closure: 0x%lx>";
inline constexpr char kHashTable[] = "<hash-table: 0x%lx>";
inline constexpr char kReadtable[] = "<readtable: 0x%lx>";
inline constexpr char kStream[] = "<stream: 0x%lx>";
inline constexpr char kForeignPointer[] = "<foreign-pointer: 0x%lx>";
inline constexpr char kStandardInstance[] = "<standard-instance: 0x%lx>";
inline constexpr char kSysvector[] = "<sysvector: 0x%lx>";
inline constexpr char kRemoteObject[] = "<remote object: 0x%lx>";
inline constexpr char kSingleFloat[] = "<single-float: %f @ 0x%lx>";
inline constexpr char kDoubleFloat[] = "<double-float: %f 0x%lx>";
inline constexpr char kBignum[] = "<bignum: 0x%lx>";
inline constexpr char kRatio[] = "<ratio: 0x%lx>";
inline constexpr char kComplex[] = "<complex: 0x%lx>";
inline constexpr char kArrayType[] = "<array type 0x%x: 0x%lx>";
inline constexpr char kVectorType[] = "<vector type 0x%x: 0x%lx>";
inline constexpr char kInstance[] = "<instance: 0x%lx>";
inline constexpr char kValuesVector[] = "<values vector: 0x%lx>";
inline constexpr char kTrellonUpi[] = "<trellon upi: 0x%lx>";
inline constexpr char kTrellonTriple[] = "<trellon triple: 0x%lx>";

// Lists, structures and entry vectors.
inline constexpr char kTooDeep[] = "#";
inline constexpr char kOpen[] = "(";
inline constexpr char kClose[] = ")";
inline constexpr char kSeparator[] = " ";
inline constexpr char kDot[] = ". ";
inline constexpr char kCutFirst[] = "...";
inline constexpr char kCut[] = " ...";
inline constexpr char kStructOpen[] = "#S(";
inline constexpr char kStructAddress[] = ":0x%lx";
inline constexpr char kEntryVectorOpen[] = "<entry-vec: ";
inline constexpr char kEntryVectorClose[] = " 0x%lx>";
inline constexpr char kQuote[] = "\"";
inline constexpr char kNewline[] = "\n";

// Frames.
inline constexpr char kFrameAddress[] = "0x%lx: ";
inline constexpr char kUnknownCName[] = "<unknown C name>\n";
inline constexpr char kIncomplete[] = "incomplete: ";
inline constexpr char kRuntimeFrame[] = "rs: ";
inline constexpr char kFuncall[] = "(funcall ";
inline constexpr char kTerminatingEarly[] =
    "\nTerminating frame 0x%lx early for direction: 0x%lx\n";
inline constexpr char kEndOfFrames[] = "=========\n";
inline constexpr char kCannotGoUp[] = "Can't go up %d - going up %d\n";
inline constexpr char kCannotGoDown[] = "Can't go down %d - going down %d\n";

}  // namespace printer_messages
