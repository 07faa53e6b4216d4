// What the image search needs of the rest of start-up, for the sanitizer
// build that compiles the search alone.
#include <cstdlib>

#include "runtime/load/startup.h"
#include "runtime/os/pseudo_descriptors.h"

extern "C" {
char home_location[kHomeLocationBytes] = {};
const char* lisp_default_image_name = nullptr;
void lisp_exit(int status) {
  std::exit(status);
}
}

// No launcher: the image name is asked for on the process's own streams.
host::HostRecord* lisp::os::hostRecord() {
  return nullptr;
}
