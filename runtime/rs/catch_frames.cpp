// The native end of the throw routines: a throw with nowhere to go.

#include "runtime/rs/catch_frames.h"

#include <cstdio>

#include "runtime/load/startup_services.h"

extern "C" void throw_without_catcher() {
  std::fputs(lisp::catch_frames::kNoFrameToContinue, stderr);
  std::fflush(stderr);
  lisp_exit(1);
}
