// The code jettison's variables saved with the heap image.

#include "runtime/gc/jetcode.h"
#include "runtime/load/native_variables.h"

extern "C" void jetcode_v_marsh(marsh_context* context) {
  native_variables::marshVariables(context, jetcode::kSavedVariables);
}
