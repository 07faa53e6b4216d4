// Error texts of the host layer.
#pragma once

namespace numhost::detail {

inline constexpr char kOutOfMemory[] = "numhost: out of memory";
inline constexpr char kComplexArray[] = "zyCreateDoubleMatrix_700: only real arrays are supported";
inline constexpr char kRowsBeyondData[] = "zySetM_700: row count exceeds the array's data";
inline constexpr char kSetRowsOfStruct[] = "zySetM_700: not a double array";
inline constexpr char kDestroyForeign[] = "zyDestroyArray: array was not created during this call";
inline constexpr char kCallocOutsideCall[] = "zyCalloc: no plug-in call is running";
inline constexpr char kForeignResult[] = "numhost: a result array was not created during the call";
inline constexpr char kNoEntryPoint[] = "numhost: plug-in exports no zyxFunction: ";
inline constexpr char kCannotOpen[] = "numhost: cannot open plug-in: ";

}  // namespace numhost::detail
