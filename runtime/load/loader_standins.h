// Services of the Lisp world that the native fasl loader calls outside boot
// mode and that no module offers yet. Each definition in
// loader_standins.cpp says what replaces it.
#pragma once

#include "runtime/rs/lisp_value.h"

extern "C" {
// The package of the name, made when absent; 0 when it cannot be had.
lisp::lispval fasl_fpackage(lisp::lispval name);
// An equal list whose conses may be shared.
lisp::lispval fasl_share_conses(lisp::lispval list);
}
