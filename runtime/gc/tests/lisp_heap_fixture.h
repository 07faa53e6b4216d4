// The Lisp heap fixture lives with the shared test helpers now.
#pragma once

#include "testing/lisp_heap_fixture.h"
