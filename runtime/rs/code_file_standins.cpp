#include "runtime/rs/code_file_standins.h"

extern "C" lisp::lispval pageinfcn(uint32_t, uint32_t) {
  return lisp::code_file_standin::kPageInFailure;
}

extern "C" uint32_t jettisoncode(int32_t, int32_t, int32_t) {
  return lisp::code_file_standin::kJettisonNotAvailable;
}
