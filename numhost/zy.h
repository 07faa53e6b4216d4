// The numeric host's interface as plug-ins see it: an opaque array type, the
// array and memory functions the host exports, and the entry points a plug-in
// exports. Plug-ins include only this header and link against libnumhost.
#pragma once

#include <stddef.h>

#if defined(NUMHOST_BUILDING)
#define NUMHOST_API __attribute__((visibility("default")))
#else
#define NUMHOST_API
#endif

// Exported entry point of a plug-in (the only symbols a plug-in exports).
#define ZYX_ENTRY extern "C" __attribute__((visibility("default")))

// A host array: a real double matrix (column order) or a struct array.
struct zyArray;

extern "C" {

// Real data of a double array, in column order; null for a struct array.
NUMHOST_API double* zyGetPr(const zyArray* array);
NUMHOST_API size_t zyGetM(const zyArray* array);
NUMHOST_API size_t zyGetN(const zyArray* array);
// Field `name` of element `index` of a struct array; null when the array is
// not a struct, the index is past its elements, or the field is absent.
NUMHOST_API const zyArray* zyGetField_700(const zyArray* array, size_t index, const char* name);
// First element as a double; 0 for an empty or struct array.
NUMHOST_API double zyGetScalar(const zyArray* array);
// A rows-by-columns real matrix of zeros; `complexity` must be 0 (real).
NUMHOST_API zyArray* zyCreateDoubleMatrix_700(size_t rows, size_t columns, int complexity);
// Changes the row count of a double array within the data it was created with.
NUMHOST_API void zySetM_700(zyArray* array, size_t rows);
// Zeroed memory, freed by the host when the current call ends.
NUMHOST_API void* zyCalloc(size_t count, size_t size);
NUMHOST_API void zyDestroyArray(zyArray* array);
// Ends the current call with `message` as its error; does not return.
[[noreturn]] NUMHOST_API void zyxErrMsgTxt(const char* message);

}  // extern "C"

// The entry points a plug-in defines: zyxFunction is called with the count of
// results asked for, the slots that receive them, the count of arguments and
// the arguments; zyxVersion (optional) names the host version it was built for.
ZYX_ENTRY void zyxFunction(int nlhs, zyArray* plhs[], int nrhs, const zyArray* prhs[]);
ZYX_ENTRY const char* zyxVersion();

// Their signatures, as the loader finds them.
using ZyxFunction = decltype(&zyxFunction);
using ZyxVersion = decltype(&zyxVersion);
