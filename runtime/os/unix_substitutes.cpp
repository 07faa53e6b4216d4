#include "runtime/os/unix_substitutes.h"

#include "runtime/gc/gc_state.h"

extern "C" {

uint32_t lisp_dlopen(const char*, int32_t) {
  return 0;
}
int32_t lisp_dlclose(uint32_t) {
  return 1;
}
uint32_t lisp_dlsym(uint32_t, const char*) {
  return 0;
}
int32_t lisp_lstat(const char*, void*) {
  return -1;
}
uint32_t lisp_getuid() {
  return 0;
}
int32_t lisp_times(void*) {
  return 0;
}
void lisp_fcntl() {}
void lisp_sleep() {}
lisp::lispval sysdlerror() {
  return nilval;
}
uint32_t sysuhd(int32_t) {
  return 0;
}
uint32_t sysuname(lisp::lispval) {
  return 0;
}
int32_t read_object_symbols(lisp::lispval, int32_t, uint32_t, int32_t) {
  return 0;
}
void c_set_nihprog() {}

}  // extern "C"
