// The shared path buffer, for the file-name tests built without the runtime.
#include "runtime/load/small_services.h"

char strbuf[kStrbufBytes];
