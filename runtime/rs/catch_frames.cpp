// The native end of the throw routines: a throw with nowhere to go.

#include "runtime/rs/catch_frames.h"

#include <cstdio>

#include "runtime/load/startup_services.h"
#include "runtime/os/console_printing.h"

extern "C" void throw_without_catcher() {
  vxmfprintf(stderr, "%s", lisp::catch_frames::kNoFrameToContinue);
  lisp_exit(1);
}
