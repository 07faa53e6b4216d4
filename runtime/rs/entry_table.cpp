#include "runtime/rs/entry_table.h"

#include "runtime/gc/collector_entries.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/load/fasl_bundles.h"
#include "runtime/load/function_groups.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/startup_routines.h"
#include "runtime/load/runtime_fasl_loader.h"
#include "runtime/os/os_entry_routines.h"
#include "runtime/rs/allocation_routines.h"
#include "runtime/rs/bit_vector_operations.h"
#include "runtime/rs/call_glue.h"
#include "runtime/rs/calling_protocol.h"
#include "runtime/rs/dispatch_routines.h"
#include "runtime/rs/foreign_funcall.h"
#include "runtime/rs/integer_entries.h"
#include "runtime/rs/native_calls.h"
#include "runtime/rs/object_routines.h"
#include "runtime/rs/runtime_routines.h"
#include "runtime/rs/dynamic_binding.h"
#include "runtime/rs/foreign_callbacks.h"
#include "runtime/rs/trap_handlers.h"
#include "runtime/rs/multiple_values.h"
#include "runtime/rs/catch_frames.h"

namespace lisp::entry_table {

const std::array<RoutineSlot, kRoutineSlotCount> kRoutineSlots = {{
    {0x2b, "qcons", qcons},                          // cons allocation
    {0x2f, "lisp_list", lisp_list},                  // cons allocation
    {0x33, "bind_specs", bind_specs},                // special binding
    {0x37, "new_closure", new_closure},              // symbols, locatives, functions and closures
    {0x3b, "unbind_one_spec", unbind_one_spec},      // special binding
    {0x3f, "gc_setf_protect", gc_setf_protect},      // memory manager
    {0x43, "trap_stack_ovfl", trap_stack_ovfl},              // traps and signals
    {0x47, "bind_one_spec", bind_one_spec},          // special binding
    {0x4b, "box_to_new_bignum", box_to_new_bignum},  // bignums
    {0x4f, "kwdscan", kwdscan},                      // calling protocol and apply
    {0x53, "lisp_apply", lisp_apply},                   // calling protocol and apply
    {0x57, "qcar", qcar},                            // trampolines and call glue
    {0x5b, "qcdr", qcdr},                            // trampolines and call glue
    {0x5f, "list_nreverse", list_nreverse},          // native entries, frames and bit vectors
    {0x63, "qsymeval", qsymeval},                    // special binding
    {0x67, "count_call", count_call},                   // calling protocol and apply
    {0x6b, "throw", throw_routine},                        // catch and throw
    {0x6f, "unbind_count", unbind_count},            // special binding
    {0x73, "new_closure_vector", new_closure_vector},  // specialised vectors
    {0x77, "where_am_i", where_am_i},                   // start-up and loaders
    {0x7b, "where_am_i_2", where_am_i_2},                 // start-up and loaders
    {0x7f, "qsetq", qsetq},                          // special binding
    {0x83, "unsigned_fixnum_or_bignum", unsigned_fixnum_or_bignum},  // integer arithmetic
    {0x87, "fixnum_or_bignum", fixnum_or_bignum},    // heap object allocation
    {0x8b, "real_sysvector", real_sysvector},        // other constructors
    {0x8f, "breakpoint", breakpoint},                // traps and signals
    {0x93, "q_wrapper", q_wrapper},                  // trampolines and call glue
    {0x97, "q_wrapper_std", q_wrapper_std},          // trampolines and call glue
    {0x9b, "aref", aref},                            // arrays and element access
    {0x9f, "values", values},                       // multiple values
    {0xa3, "q_wrapper_slots_std", q_wrapper_slots_std},  // trampolines and call glue
    {0xa7, "fasl_bundle", fasl_bundle},              // start-up and loaders
    {0xab, "symeval", symeval},                      // special binding
    {0xaf, "new_foreign_callback", new_foreign_callback},  // callbacks from native code
    {0xb3, "set_fn_code", set_fn_code},              // memory manager
    {0xb7, "make_array_header", make_array_header},  // arrays and element access
    {0xbb, "gsgc_control", gsgc_control},            // memory manager
    {0xbf, "gsgc_build_map", gsgc_build_map},        // memory manager
    {0xc3, "mi_in_bignum", mi_in_bignum},            // bignums
    {0xc7, "copybig", copybig},                      // bignums
    {0xcb, "make_svector", make_svector},            // specialised vectors
    {0xcf, "one_bigit_div_in_place", one_bigit_div_in_place},  // bignums
    {0xd3, "rs_bit_equal", rs_bit_equal},            // native entries, frames and bit vectors
    {0xd7, "make_readtable", make_readtable},        // other constructors
    {0xdb, "flav_send", flav_send},                    // calling protocol and apply
    {0xdf, "get_signal", get_signal},                   // traps and signals
    {0xe3, "inv_s_aref", inv_s_aref},                // arrays and element access
    {0xe7, "unbind_to", unbind_to},                  // special binding
    {0xeb, "call_direct", call_direct},              // calls into native code
    {0xf3, "values_list", values_list},                  // multiple values
    {0xf7, "short_vector", short_vector},            // trampolines and call glue
    {0xfb, "new_function", new_function},            // symbols, locatives, functions and closures
    {0xff, "make_interp_function_obj", make_interp_function_obj},  // symbols, locatives, functions and closures
    {0x103, "make_macro_function_obj", make_macro_function_obj},  // symbols, locatives, functions and closures
    {0x107, "fd_stack_real", fd_stack_real},         // native entries, frames and bit vectors
    {0x10b, "fd_next_frame", fd_next_frame},         // threads and operating system
    {0x10f, "fd_stack_access", fd_stack_access},     // native entries, frames and bit vectors
    {0x113, "fd_stack_set", fd_stack_set},           // native entries, frames and bit vectors
    {0x117, "make_spec_function_obj", make_spec_function_obj},  // symbols, locatives, functions and closures
    {0x11b, "rs_bitop", rs_bitop},                   // native entries, frames and bit vectors
    {0x123, "new_hash_table", new_hash_table},       // other constructors
    {0x127, "new_symbol", new_symbol},               // symbols, locatives, functions and closures
    {0x12b, "new_ratio", new_ratio},                 // other constructors
    {0x12f, "make_complex", make_complex},           // other constructors
    {0x133, "gsgc_setf_protect_1", gsgc_setf_protect_1},  // memory manager
    {0x137, "new_simple_string", new_simple_string},  // heap object allocation
    {0x13b, "gc", gc_entry},                         // memory manager
    {0x13f, "lisp_cons", lisp_cons},                 // cons allocation
    {0x143, "filesys", filesys},                     // file-system and math dispatch
    {0x147, "mi_in_new_bignum", mi_in_new_bignum},   // bignums
    {0x14b, "machine_code", machine_code},           // calls into native code
    {0x14f, "dumplisp", dumplisp},                    // start-up and loaders
    {0x153, "rethrow_after_cret", rethrow_after_cret},          // catch and throw
    {0x157, "fasldesc", fasldesc},                   // start-up and loaders
    {0x15f, "scan_fasl_name", scan_fasl_name},              // start-up and loaders
    {0x163, "qsymloc", qsymloc},                     // special binding
    {0x167, "lispexit", lispexit},                    // start-up and loaders
    {0x16b, "newest_frame", newest_frame},           // threads and operating system
    {0x16f, "new_code_vector", new_code_vector},     // specialised vectors
    {0x173, "new_compiled_function", new_compiled_function},  // symbols, locatives, functions and closures
    {0x177, "applyn", applyn},                      // calling protocol and apply
    {0x17b, "lisp_syscall", lisp_syscall},           // system-call dispatch
    {0x17f, "new_simple_vector", new_simple_vector},  // heap object allocation
    {0x183, "set_boot_mode", set_boot_mode},               // start-up and loaders
    {0x187, "get_pure_string", get_pure_string},             // start-up and loaders
    {0x18b, "integer_add", integer_add},             // integer arithmetic
    {0x18f, "integer_subtract", integer_subtract},   // integer arithmetic
    {0x193, "integer_multiply", integer_multiply},   // integer arithmetic
    {0x197, "integer_divide", integer_divide},       // integer arithmetic
    {0x19b, "integer_compare", integer_compare},     // integer arithmetic
    {0x19f, "write_pure_string", write_pure_string},           // start-up and loaders
    {0x1a3, "purep", purep},                         // start-up and loaders
    {0x1a7, "shift_left", shift_left},               // integer arithmetic
    {0x1ab, "shift_right", shift_right},             // integer arithmetic
    {0x1af, "integer_length", integer_length},       // integer arithmetic
    {0x1b3, "ldb", ldb},                             // integer arithmetic
    {0x1b7, "logical_and", logical_and},             // integer arithmetic
    {0x1bb, "logical_or", logical_or},               // integer arithmetic
    {0x1bf, "logical_xor", logical_xor},             // integer arithmetic
    {0x1c3, "logical_not", logical_not},             // integer arithmetic
    {0x1c7, "shrink_svector", shrink_svector},       // specialised vectors
    {0x1cb, "fwrap_apply", fwrap_apply},              // calling protocol and apply
    {0x1cf, "intfloat_to_float", intfloat_to_float},  // floating point
    {0x1d3, "integer_truncate", integer_truncate},   // integer arithmetic
    {0x1d7, "integer_rem", integer_rem},             // integer arithmetic
    {0x1db, "mathlib", mathlib},                     // file-system and math dispatch
    {0x1df, "process_sig", process_sig},                 // traps and signals
    {0x1e3, "cvt_vector_to_instance", cvt_vector_to_instance},  // other constructors
    {0x1e7, "mpwaitsigio", mpwaitsigio},             // threads and operating system
    {0x1eb, "mpsetupalarm", mpsetupalarm},           // threads and operating system
    {0x1ef, "mpalarmon", mpalarmon},                 // threads and operating system
    {0x1f3, "mpwatchfor", mpwatchfor},               // threads and operating system
    {0x1f7, "function_fault_entry1", function_fault_entry1},       // calling protocol and apply
    {0x1fb, "function_fault_entry2", function_fault_entry2},       // calling protocol and apply
    {0x1ff, "scan_fasl", scan_fasl},                   // start-up and loaders
    {0x203, "vector", vector},                       // heap object allocation
    {0x207, "big_extract", big_extract},             // bignums
    {0x20b, "panify", panify},                       // memory manager
    {0x20f, "new_single_float", new_single_float},   // heap object allocation
    {0x213, "new_double_float", new_double_float},   // heap object allocation
    {0x217, "new_bignum", new_bignum},               // bignums
    {0x21b, "append_values", append_values},               // multiple values
    {0x21f, "close_values", close_values},                // multiple values
    {0x223, "m_v_list", m_v_list},                    // multiple values
    {0x227, "m_v_call", m_v_call},                    // multiple values
    {0x22b, "qsetloc", qsetloc},                     // special binding
    {0x22f, "new_byte_compiled_function", new_byte_compiled_function},  // symbols, locatives, functions and closures
    {0x233, "new_struct", new_struct},               // heap object allocation
    {0x237, "new_standard_instance", new_standard_instance},  // other constructors
    {0x23b, "new_remote_object", new_remote_object},  // other constructors
    {0x23f, "big_fix_prod", big_fix_prod},           // bignums
    {0x243, "tcons", tcons},                         // cons allocation
    {0x247, "closed_throw", closed_throw},                // catch and throw
    {0x24b, "special_throw", special_throw},               // catch and throw
    {0x24f, "relocate_foreign_callback", relocate_foreign_callback},  // callbacks from native code
    {0x253, "kwdscanb", kwdscanb},                    // calling protocol and apply
    {0x257, "new_special_closure", new_special_closure},  // symbols, locatives, functions and closures
    {0x25b, "gc_setf_protect_x", gc_setf_protect_x},  // memory manager
    {0x25f, "foreign_callable_hook", foreign_callable_hook},  // callbacks from native code
    {0x263, "new_other", new_other},                 // heap object allocation
    {0x267, "restify2", restify2},                   // calling protocol and apply
    {0x26b, "st_restify", st_restify},               // trampolines and call glue
    {0x26f, "gc_setf_protect_atomic", gc_setf_protect_atomic},  // memory manager
    {0x277, "function_constant", function_constant}, // native entries, frames and bit vectors
    {0x27b, "set_function_constant", set_function_constant}, // native entries, frames and bit vectors
    {0x27f, "new_locative", new_locative},           // symbols, locatives, functions and closures
    {0x283, "user_verify", user_verify},             // memory manager
    {0x287, "ff_funcall", ff_funcall},               // calls into native code
    {0x28b, "ff_apply", ff_apply},                   // calls into native code
    {0x28f, "make_trellon_triple", make_trellon_triple},  // other constructors
    {0x293, "make_trellon_upi", make_trellon_upi},   // other constructors
    {0x297, "mcons", mcons},                         // cons allocation
    {0x29b, "set_normal_consing", set_normal_consing},  // cons allocation
    {0x29f, "set_annotating_consing", set_annotating_consing},  // cons allocation
    {0x2a3, "load_fasl_name", load_fasl_name},              // start-up and loaders
    {0x2a7, "load_fasl", load_fasl},                   // start-up and loaders
    {0x2ab, "original_fcn_codevec", original_fcn_codevec},        // calling protocol and apply
    {0x2c3, "fd_arg_count", fd_arg_count},           // threads and operating system
    {0x2cf, "new_weak_key_vector", new_weak_key_vector},  // specialised vectors
    {0x2d7, "gsgc_totalloc", gsgc_totalloc},         // memory manager
    {0x2db, "dump_codevectors", dump_codevectors},            // calling protocol and apply
    {0x2df, "residentfunction", residentfunction},            // calling protocol and apply
    {0x2e7, "new_weak_vector", new_weak_vector},     // specialised vectors
    {0x2eb, "new_finalization", new_finalization},   // specialised vectors
    {0x2ef, "break_on_exit_control", break_on_exit_control},  // threads and operating system
    {0x2f3, "pointer_storage_type", pointer_storage_type}, // memory manager
    {0x2f7, "funcall_check", funcall_check},         // trampolines and call glue
    {0x2fb, "gc_set_protect", gc_set_protect},       // memory manager
    {0x303, "fixup_function_specs", fixup_function_specs},  // start-up and loaders
    {0x307, "bundle_lookup", bundle_lookup},         // start-up and loaders
    {0x30b, "bundle_load", bundle_load},             // start-up and loaders
    {0x30f, "post_sig", post_sig},                    // traps and signals
    {0x313, "bignum_rem", bignum_rem},               // bignums
    {0x317, "prunebig", prunebig},                   // bignums
    {0x31b, "pack_heap", pack_heap},                 // memory manager
    {0x323, "gsgc_type_counts", gsgc_type_counts},   // memory manager
    {0x327, "bundle_find_fd", bundle_find_fd},       // start-up and loaders
    {0x33b, "foreign_address_to_mi", foreign_address_to_mi}, // calls into native code
    {0x347, "immed_arg_hook", immed_arg_hook},       // callbacks from native code
    {0x34f, "throw_over_c_by_returning", throw_over_c_by_returning},   // catch and throw
    {0x353, "invalid_fun", invalid_fun},                 // calling protocol and apply
    {0x357, "trap_funbound", trap_funbound},               // traps and signals
    {0x363, "trap_sym_cons", trap_sym_cons},               // traps and signals
    {0x367, "trap_unordered", trap_unordered},              // traps and signals
    {0x36b, "gintchk", gintchk},                     // traps and signals
    {0x36f, "sintchk", sintchk},                     // traps and signals
    {0x373, "fasl_bundle2", fasl_bundle2},           // start-up and loaders
    {0x377, "thread_test", thread_test},             // threads and operating system
    {0x37b, "thread_kill", thread_kill},             // threads and operating system
    {0x37f, "thread_operation", thread_operation},   // threads and operating system
    {-0x75, "trap_wnaerr", trap_wnaerr},             // traps and signals
    {-0x79, "trap_signal_hit", trap_signal_hit},     // traps and signals
    {-0x7d, "trap_unbound", trap_unbound},           // traps and signals
    {-0x81, "trap_ffunbound", trap_ffunbound},       // traps and signals
    {-0x1e5, "undeffunc", undeffunc},                  // calling protocol and apply
    {-0x1ed, "illeg_macro_or_spec_call", illeg_macro_or_spec_call},   // calling protocol and apply
    {-0x1f1, "comp_to_interp", comp_to_interp},             // calling protocol and apply
    {-0x285, "comp_to_byte", comp_to_byte},               // calling protocol and apply
    {-0x479, "fwrap_start", fwrap_start},                // calling protocol and apply
}};

uint32_t routineFor(const RoutineSlot& slot) {
  return routineAddress(slot.routine);
}

}  // namespace lisp::entry_table
