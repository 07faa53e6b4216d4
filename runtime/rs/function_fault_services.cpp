#include "runtime/rs/function_fault_services.h"

#include "runtime/gc/gc_state.h"
#include "runtime/gc/jetcode.h"
#include "runtime/rs/object_layout.h"

using lisp::lispval;

extern "C" {

lispval (*code_vector_page_in)(uint32_t, uint32_t) = pageinfcn;

uint32_t dump_code_vectors_native(lispval integer, lispval firstFlag, lispval secondFlag) {
  int32_t limit = 0;
  if (lisp::isFixnum(integer)) {
    limit = lisp::fixnumValue(integer);
  } else if (lisp::isOther(integer) &&
             lisp::typeCodeOf(lisp::wordAt(integer, lisp::kHeaderOffset)) ==
                 lisp::type_code::Bignum) {
    const uint32_t header = lisp::wordAt(integer, lisp::kHeaderOffset);
    const auto* digits = reinterpret_cast<const uint16_t*>(static_cast<uintptr_t>(integer - 0xe));
    const uint32_t count = lisp::bignumDigitCount(header);
    uint32_t low = count > 0 ? digits[0] : 0;
    if (count > 1) low |= uint32_t{digits[1]} << 16;
    if (((header >> 8) & 0xff) != 0) low = 0u - low;
    limit = static_cast<int32_t>(low);
  }
  // The integer is the address of the code file's path (0: a temporary file).
  const auto* path = reinterpret_cast<const char*>(static_cast<uintptr_t>(limit));
  return jettisoncode(path, firstFlag != nilval, secondFlag != nilval);
}

}  // extern "C"
