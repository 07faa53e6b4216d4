// The callback wrappers (window_callbacks.h).
//
// Decision: the Lisp function behind a handle is called with the C
// convention. The wrappers exist to give the system a fixed callee-pops
// address; what stands behind them is Lisp's own callable, whose convention
// Lisp code chooses when it makes the callable.

#include "runtime/os/window_callbacks.h"

#include "runtime/os/lisp_guarded_region.h"

namespace {

using Callback = uint32_t (*)(uint32_t, uint32_t, uint32_t, uint32_t);

// A handle word that was never filled calls nothing (wrapper 3 then answers 0).
uint32_t callHandle(uint32_t handle, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  if (handle == 0) return 0;
  return reinterpret_cast<Callback>(handle)(a, b, c, d);
}

// A window procedure that calls Lisp runs inside the runtime's guarded
// region, whose filter is the Lisp exception filter; 0 when the region
// handled an exception (the filter never asks for that).
struct HandleCall {
  uint32_t handle, a, b, c, d;
};

uint32_t callInsideLispExceptionRegion(uint32_t handle, uint32_t a, uint32_t b, uint32_t c,
                                       uint32_t d) {
  HandleCall call{handle, a, b, c, d};
  return lisp::os::runInLispExceptionFrame(
      [](void* argument) {
        const HandleCall& made = *static_cast<HandleCall*>(argument);
        return callHandle(made.handle, made.a, made.b, made.c, made.d);
      },
      &call);
}

}  // namespace

extern "C" {

uint32_t WProcHandle1 = 0;
uint32_t WProcHandle2 = 0;
uint32_t WProcHandle3 = 0;
uint32_t WProcResult1 = 0;
uint32_t WProcResult2 = 0;
uint32_t WFontHandle1 = 0;
uint32_t WFontHandle2 = 0;
uint32_t WFontHandle3 = 0;
uint32_t WFontResult1 = 0;
uint32_t WFontResult2 = 0;
uint32_t WFontResult3 = 0;

uint32_t ZV_CALLEE_POPS WProcWrapper1(uint32_t window, uint32_t message, uint32_t wParam,
                                      uint32_t lParam) {
  callHandle(WProcHandle1, window, message, wParam, lParam);
  return WProcResult1;
}

uint32_t ZV_CALLEE_POPS WProcWrapper2(uint32_t window, uint32_t message, uint32_t wParam,
                                      uint32_t lParam) {
  callHandle(WProcHandle2, window, message, wParam, lParam);
  return WProcResult2;
}

uint32_t ZV_CALLEE_POPS WProcWrapper3(uint32_t window, uint32_t message, uint32_t wParam,
                                      uint32_t lParam) {
  return callInsideLispExceptionRegion(WProcHandle3, window, message, wParam, lParam);
}

uint32_t ZV_CALLEE_POPS WFontWrapper1(uint32_t font, uint32_t metrics, uint32_t kind,
                                      uint32_t word) {
  callHandle(WFontHandle1, font, metrics, kind, word);
  return WFontResult1;
}

uint32_t ZV_CALLEE_POPS WFontWrapper2(uint32_t font, uint32_t metrics, uint32_t kind,
                                      uint32_t word) {
  callHandle(WFontHandle2, font, metrics, kind, word);
  return WFontResult2;
}

uint32_t ZV_CALLEE_POPS WFontWrapper3(uint32_t font, uint32_t metrics, uint32_t kind,
                                      uint32_t word) {
  callHandle(WFontHandle3, font, metrics, kind, word);
  return WFontResult3;
}

}  // extern "C"
