// Special variables: per-thread symbol values and the binding stack
// (assembly, Lisp register conventions; see dynamic_binding.S).
#pragma once

extern "C" {
// Reading and setting a symbol's value for the current thread.
void qsymeval();
void symeval();
void qsetq();
void qsymloc();
void qsetloc();

// Binding and unbinding.
void bind_one_spec();
void bind_specs();
void unbind_one_spec();
void unbind_count();
void unbind_to();

// Growth steps the binders call.
void extend_symbol_value_vector();
void bnp_overflow();

// Native: a binding stack that cannot grow; writes the message and ends
// the process with status 1.
[[noreturn]] void binding_stack_exhausted();
}

namespace lisp::dynamic_binding {
inline constexpr const char* kBindingStackExhausted =
    "The binding stack cannot grow: a special binding cannot be made.\n";
}  // namespace lisp::dynamic_binding
