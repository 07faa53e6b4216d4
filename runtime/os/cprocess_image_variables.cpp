// The child-process module's place in the heap image's native-variable
// block: it saves nothing, but has its table like every module.

#include "runtime/load/native_variables.h"

extern "C" void cprocess_v_marsh(marsh_context*) {}
