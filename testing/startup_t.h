// t laid out in a fresh nil block by start-up's own step (placeT, which
// getstorage runs): its fixtures get t where and as the runtime has it, so
// an answer read from memory at nil - 0x3e (a piece of t's own fields)
// cannot pass for t.
#pragma once

#include "runtime/load/first_objects.h"
#include "runtime/rs/nil_block.h"

extern "C" lisp::lispval tval;

namespace testing_support {

// Places t on the fixture's heap (GsInit done) while it lives; puts tval
// back when it goes.
class StartupT {
 public:
  explicit StartupT(lisp::lispval nil) : savedTval_(tval), t_(lisp::nil_block::tFor(nil)) {
    startup::first_objects::placeT("t");
  }
  ~StartupT() { tval = savedTval_; }
  StartupT(const StartupT&) = delete;
  StartupT& operator=(const StartupT&) = delete;

  lisp::lispval word() const { return t_; }

 private:
  lisp::lispval savedTval_;
  lisp::lispval t_;
};

}  // namespace testing_support
