// Questions Lisp code asks about the whole heap, answered by walking it:
// who refers to a function, which objects of a type exist, which objects
// hold a value, how many objects of each type there are, and how much
// memory the process uses.
//
// Result vectors are simple vectors the caller made; each service receives
// the address of its first element. Element 0 holds the count (a fixnum),
// the results follow from element 1 on. Every match adds 1 to the count and
// is stored while the count stays within the vector; a count above the
// vector's room tells the caller to retry with a larger one. An argument
// that is not such a vector (or is too short) is refused: nothing is
// written and the answer is -1.
#pragma once

#include <cstdint>

#include "runtime/rs/exports.h"
#include "runtime/rs/lisp_value.h"

extern "C" {

// `entries`: the elements of a simple vector of entries, each a simple
// vector (target, count, results...). Adds each function holding a target
// among its constants to that target's entry; the walk sets every count.
// One entry whose count slot holds 0 asks for every defined function
// instead (whocalls_all_fncs). Returns the number of entries.
int32_t whocalls(uint32_t* entries);
// Every function whose entry differs from GlobUndefinedEntry, into `entry`
// (target, count, results...). Returns the count.
int32_t whocalls_all_fncs(uint32_t* entry);
// `numbers`: function numbers as fixnums, ascending; `output` receives at
// element i the function whose number is element i. Returns the functions
// found.
int32_t collect_selected_functions(uint32_t* numbers, uint32_t* output);
// Conses (type 1) or objects of header type `type` in the old areas the
// selector names (0 none, -1 closed, -2 open, else all) and, with
// includeNew, in new space. Returns the count.
int32_t getobjects(uint32_t* result, int32_t type, int32_t selector, int32_t includeNew);
// Conses whose car or cdr is `value` and objects with a slot holding it.
// Returns the count.
int32_t findaddress(uint32_t* result, lisp::lispval value);
// Objects and their bytes per type code into two tables of 256 words,
// conses at index 1; modes 0-6 (see heap_queries.cpp). -1 for another
// mode, tables untouched.
int32_t gcs_type_counts(uint32_t* counts, uint32_t* sizes, int32_t mode);

// The process's working set and page-file usage in bytes; 0 (and zeros)
// when they cannot be read, else 1.
KORVANE_EXPORT int get_mem_info(uint32_t* workingSet, uint32_t* pageFileUsage);
}

namespace gc {

inline constexpr uint32_t kTypeCountSlots = 256;
inline constexpr uint8_t kConsTypeSlot = 1;

}  // namespace gc
