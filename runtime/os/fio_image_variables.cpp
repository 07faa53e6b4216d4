// The file-I/O module's place in the heap image's native-variable block: it
// saves nothing, but has its table like every module.

#include "runtime/load/native_variables.h"

extern "C" void fio_v_marsh(marsh_context*) {}
