// Checks of the addresses a heap image's native-variable block and
// collector record bring back, before anything follows them. The image's
// only defence is a checksum that the writer leaves 0, so a damaged word
// would otherwise be followed into memory that is not there.
#pragma once

#include "runtime/gc/heap_reservation.h"

namespace image_file {

// Once the block is restored and the native heap read back (the Lisp heap
// not yet): the thread-record lists lie in the native heap, the words that
// name places of the Lisp heap lie in the saved one (a cons page at a
// page's start), and no aging area is named. False when any does not.
bool restoredWordsInside(const heap_descriptor& savedLisp, const heap_descriptor& native);

// Once the Lisp heap's areas are in place, `offset` bytes above where they
// were saved: the old areas form one chain inside the saved heap, oldest
// first, ending at the newest, and every word naming an area names one of
// the chain. False when they do not.
bool oldAreasInside(const heap_descriptor& savedLisp, uint32_t offset);

}  // namespace image_file
