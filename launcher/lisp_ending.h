// The console's side of the Lisp's start and end. While a Lisp runs or is on
// its way, a close goes to it as remote command 5 and an interrupt reaches
// it. From the moment it asks to exit (or its start ends at the image-name
// prompt) nothing of the console reaches it any more: an interrupt does
// nothing, and a close is kept until the console pauses, where it closes
// the window.
#pragma once

#include <cstdint>

#include "platform/waitable.h"

namespace launcher {

// A Lisp is being started: closes and interrupts go to it again.
void lispStarts();
// The Lisp asks to exit; returns once no interrupt is still on its way to it.
void lispEnds();

// signal_lisp with `signal` while a Lisp runs (word 14 of the console's host
// record names its thread); false when nothing was sent.
bool signalLispUnlessEnding(int32_t signal);

// A close that the close-button modes let through, from the frame's policy
// hook: handed to the Lisp, taken as the answer "no image" at the
// image-name prompt, or kept for the pause. False when the window is to
// close (no Lisp to ask, or the Lisp has not taken the last request yet).
bool routeClose();

// The console pauses after the Lisp's end: from now on a close closes the
// window; one that was kept is sent to `frame` now.
void consolePauses(platform::Handle frame);

}  // namespace launcher
