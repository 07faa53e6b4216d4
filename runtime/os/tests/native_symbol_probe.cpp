// A library of the runtime's objects with the native symbol table filled in,
// as the runtime library is, and one more export: the library name that
// lisp_init would have kept.

#include "runtime/load/startup.h"

extern "C" __attribute__((visibility("default"))) void probe_set_library_name(const char* name) {
  lisp_shared_library_name = name;
}
