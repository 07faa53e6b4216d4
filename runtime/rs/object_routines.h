// Element access, array headers, the native constructor dispatch and the
// constructors of the remaining object kinds (assembly). All but the native
// entries follow the Lisp register conventions.
#pragma once

#include <array>
#include <cstdint>

#include "runtime/rs/lisp_value.h"

extern "C" {
// Arrays and element access (array_access.S).
void aref();
void inv_s_aref();
void make_array_header();

// Other constructors (other_constructors.S).
void new_hash_table();
void new_ratio();
void make_complex();
void make_readtable();
void make_trellon_upi();
void make_trellon_triple();
void new_standard_instance();
void new_remote_object();
void cvt_vector_to_instance();
void real_sysvector();
void new_direct_sysvector_pvec();  // ecx = 0 on return when the sysvector was made

// Native entries (cdecl).
lisp::lispval narheader(lisp::lispval rank, lisp::lispval word1, lisp::lispval data,
                        lisp::lispval displacement, lisp::lispval dimensions, lisp::lispval sixth,
                        lisp::lispval seventh);
lisp::lispval new_lisp_obj(uint32_t type, uint32_t a, uint32_t b);
lisp::lispval grow_fasl_stack(int32_t increment);
lisp::lispval restructurify(lisp::lispval x);

// cvt_vector_to_instance's check: 1 when the header of a type-96 vector,
// given the type code `type` (a fixnum), would be sized and scanned by the
// collector as before; else 0.
uint32_t instance_type_keeps_extent(uint32_t header, lisp::lispval type);

// What new_lisp_obj does for each type code (lisp::new_lisp_obj_action).
extern const std::array<uint8_t, 256> new_lisp_obj_actions;
}

namespace lisp::new_lisp_obj_action {
inline constexpr uint8_t kRefuse = 0;  // runtime error 22
inline constexpr uint8_t kCons = 1;
inline constexpr uint8_t kSymbol = 2;
inline constexpr uint8_t kFunction = 3;
inline constexpr uint8_t kClosure = 4;
inline constexpr uint8_t kFilledVector = 5;  // make_svector filled from the global at nil-0x1d
inline constexpr uint8_t kStructure = 6;     // the same as type 15
inline constexpr uint8_t kSingleFloat = 7;
inline constexpr uint8_t kDoubleFloat = 8;
inline constexpr uint8_t kBignum = 9;
inline constexpr uint8_t kTwoPart = 10;  // ratio or complex, both words nil
inline constexpr uint8_t kUnsigned16 = 11;
inline constexpr uint8_t kCodeVector = 12;
inline constexpr uint8_t kVector = 13;  // make_svector, not filled
}  // namespace lisp::new_lisp_obj_action
