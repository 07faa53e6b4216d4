// The console's side of the Lisp's start and end. While a Lisp runs or is on
// its way, a close goes to it as remote command 5. Once its start ends at
// the image-name prompt, a close is kept until the console pauses, where it
// closes the window.
#pragma once

#include <cstdint>

#include "platform/waitable.h"

namespace launcher {

// A Lisp is being started: closes go to it again.
void lispStarts();
// No Lisp will come, or the one there is ending.
void lispEnds();

// A close that the close-button modes let through, from the frame's policy
// hook: handed to the Lisp, taken as the answer "no image" at the
// image-name prompt, or kept for the pause. False when the window is to
// close (no Lisp to ask, or the Lisp has not taken the last request yet).
bool routeClose();

// The console pauses after the Lisp's end: from now on a close closes the
// window; one that was kept is sent to `frame` now.
void consolePauses(platform::Handle frame);

}  // namespace launcher
