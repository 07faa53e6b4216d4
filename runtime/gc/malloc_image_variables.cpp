// The native heap's free lists, counts and water marks saved with the heap
// image, in the order of its own table.

#include "runtime/gc/native_heap.h"
#include "runtime/load/native_variables.h"

extern "C" void malloc_v_marsh(marsh_context* context) {
  for (const native_heap::SavedVariable& variable : native_heap::kSavedVariables)
    marsh(context, variable.address, variable.bytes);
}
