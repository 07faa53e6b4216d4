// The pure library's code-vector and string cache: a fasl loader looks each
// code vector and constant string up in the library's two hash tables and,
// on a hit, uses the library's read-only object instead of making one.
//
// A table is an array of 8-byte entries sorted by ascending hash: a 32-bit
// offset from the table's base to the object's header word, then the 32-bit
// hash; an entry with offset 0 ends it. The code-vector table lies at
// vxm_cvsh..vxm_cvsp, the string table at vxm_strh..vxm_strp.
#pragma once

#include <cstdint>

#include "runtime/load/fasl_format.h"
#include "runtime/load/lisp_object_maker.h"
#include "runtime/rs/lisp_value.h"

extern "C" {
// Match state of the last code-vector lookup: code bytes not yet read from
// the file, bytes in the comparison buffer, the library object matched so
// far (its header's address, 0 for none) and the bytes matched in it.
extern uint32_t faslbsize;
extern uint32_t faslbufl;
extern uint32_t faslmatchp;
extern uint32_t faslmatchl;
// Hits counted since start-up.
extern uint32_t fasl_cache_hits;
extern uint32_t string_cache_hits;

// The entry (its address) from which a forward scan finds every entry with
// that hash: the table's start for a hash below 3 or an empty table, else a
// binary search over the entries before the last one.
uint32_t bsearch_pure_hash(uint32_t tableBase, uint32_t tableEnd, uint32_t hash);

// The library's string of exactly these 16-bit characters, or nil.
lisp::lispval find_cached_string(const uint16_t* characters, uint32_t count);

// The library's code vector equal to an existing code vector, or nil (also
// for anything that is not a code vector).
lisp::lispval find_cached_codevec(lisp::lispval codeVector);
}

namespace lisp::fasl {

inline constexpr uint32_t kCodeChunkBytes = 512;
inline constexpr uint32_t kFirstCodeChunkBytes = 508;  // after the 4-byte header word

// The library's code vector equal to the one being loaded, or nil. The code
// size in bytes is taken from faslbsize. With a stream, `buffer` (at least
// 512 bytes) receives the header word the vector would have and the code
// read chunk by chunk; without one, `buffer` is an existing object's first
// byte. Each code byte is read from the stream once.
lispval get_cached_codevec(uint8_t* buffer, uint32_t hash, FaslReader* stream, bool pure);

// The library's code vector, or a new one (type 99 for the pure kind, else
// 108) of `size` code bytes read from the stream, made through `make`; with
// `swap` the two bytes of every 16-bit unit are exchanged. Nil, and nothing
// made, when the stream ends first.
lispval cached_or_new_codevec(uint32_t size, uint32_t hash, bool pure, FaslReader& stream,
                              bool swap, ObjectMaker make);

}  // namespace lisp::fasl
