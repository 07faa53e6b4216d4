// The call glue, exit breakpoints and volatile-state routines (assembly).
#pragma once

#include <cstdint>

extern "C" {
// Runtime routines: Lisp register conventions.
void funcall_check();
void qcar();
void qcdr();
void q_wrapper();
void q_wrapper_std();
void q_wrapper_slots_std();
void st_restify();
void st2_restify();
void short_vector();
void functionfault();
void functionfault_2();
void set_tramp_from_tls();
void trap_cons();
void break_on_exit_return_only();
void break_on_exit_or_throw();

// Native entries (cdecl).
void save_volatile(void* area);
void restore_volatile(void* area);
void savefloat();
void restorefloat();
}

namespace lisp::volatile_area {
// The area's layout from its address brought up to 8.
inline constexpr uint32_t kFloatImageBytes = 108;
inline constexpr uint32_t kSavedEdx = 0x200;
inline constexpr uint32_t kBytes = 0x204;
}  // namespace lisp::volatile_area
