// Thin exported wrappers over window services, test stubs and the build
// identification, for Lisp code. Linux cannot end a user session or show
// dialog templates: those entries answer with the system's failure values.
#pragma once

#include <cstdint>

#include "runtime/rs/exports.h"

extern "C" {
// The window related to `window` as `command` asks: 0 topmost sibling, 1
// bottom sibling, 2 next below, 3 next above, 4 owner, 5 topmost child; 0
// when there is none.
KORVANE_EXPORT uint32_t vxm_getnextwindow_emu(uint32_t window, uint32_t command);
// Milliseconds of the monotonic clock, wrapping at 32 bits.
KORVANE_EXPORT uint32_t vxm_getcurrenttime_emu();
// 0: no session to end here.
KORVANE_EXPORT int32_t vxm_exitwindows_emu();
// -1 (modal) and 0 (modeless): no dialog templates here.
KORVANE_EXPORT int32_t vxm_dialogboxindirect_emu(uint32_t instance, const void* dialogTemplate,
                                                 uint32_t owner, uint32_t procedure);
KORVANE_EXPORT int32_t vxm_dialogbox_emu(uint32_t instance, const char* templateName,
                                         uint32_t owner, uint32_t procedure);
KORVANE_EXPORT uint32_t vxm_createdialogindirect_emu(uint32_t instance, const void* dialogTemplate,
                                                     uint32_t owner, uint32_t procedure);
// Converts the wide template name first, as the system's call wants it.
KORVANE_EXPORT uint32_t vxm_createdialog_emu(uint32_t instance, const uint16_t* wideTemplateName,
                                             uint32_t owner, uint32_t procedure);
// A window of a registered class (by name, or by atom below 0x10000) owned
// by the calling thread; 0 (last error set) when it cannot be made.
KORVANE_EXPORT uint32_t vxm_createwindow_emu(const char* windowClass, const char* windowName,
                                             uint32_t style, int32_t x, int32_t y, int32_t width,
                                             int32_t height, uint32_t parent, uint32_t menu,
                                             uint32_t instance, uint32_t parameter);

KORVANE_EXPORT int32_t vxm_ret0();
// Sleeps 5000 ms; 0.
KORVANE_EXPORT int32_t vxm_sleep5();
// Sleeps `milliseconds` when above 0, calls blartfcn five times per count and
// returns the sum of all seven arguments: a test entry for seven-argument calls.
KORVANE_EXPORT int32_t vxm_dummy_entry(int32_t count, int32_t milliseconds, int32_t a, int32_t b,
                                       int32_t c, int32_t d, int32_t e);
KORVANE_EXPORT void blartfcn();

// The build number, 593, and an empty function whose name carries it.
KORVANE_EXPORT int32_t VXM_ID_lisp_build();
KORVANE_EXPORT void VXMID_lisp_build_593();
}
