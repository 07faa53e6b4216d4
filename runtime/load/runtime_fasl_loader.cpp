// The runtime loader's entries and small routines; see runtime_fasl_loader.h.

#include "runtime/load/runtime_fasl_loader.h"

#include <cstring>
#include <vector>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/load/build_from_scratch.h"
#include "runtime/load/cell_load_stack.h"
#include "runtime/load/fasl_bundles.h"
#include "runtime/load/fasl_segment.h"
#include "runtime/load/startup_services.h"
#include "runtime/load/symbol_names.h"
#include "runtime/os/console_printing.h"
#include "runtime/os/file_calls.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/object_routines.h"

extern "C" lisp::lispval tval;

namespace lisp::fasl {

// Defined with the shared item actions.
int runRuntimeLoader(FaslInputStream& stream, lispval* cell, const RuntimeLoad& load,
                     lispval thread);

namespace {

constexpr int32_t kCodeVectorHeaderBytes = 4;

// The runtime loader's conversion table: rows by class (1: row 0, 2: row 3)
// or else by read mode, columns by the file's name mode. Row 3 differs from
// the native loader's: an image reading upper case keeps names of file
// modes 0 and 2 as written.
constexpr uint32_t kRuntimeConversionRows = 4;
constexpr uint32_t kRuntimeConversion[kRuntimeConversionRows][kRuntimeConversionRows] = {
    {kKeepCase, kKeepCase, kToLowerCase, kToLowerCase},
    {kToLowerCase, kKeepCase, kToLowerCase, kToLowerCase},
    {kToUpperCase, kToUpperCase, kKeepCase, kKeepCase},
    {kKeepCase, kToUpperCase, kKeepCase, kKeepCase},
};
constexpr uint8_t kNegativeSign = 0x80;

lispval global(uint32_t n) {
  return wordAt(nilval, runtimeGlobalOffset(n));
}

// The section word the key selects; 0 for nil or any other object.
uint32_t sectionWordOf(lispval key) {
  if (key == nilval) return 0;
  for (uint32_t i = 0; i < 3; ++i)
    if (key == global(kSectionKeyGlobals[i])) return kFirstSectionWord + i;
  return 0;
}

// A 16-bit string laid out as the heap lays it out, for a call that only
// reads it: header, fixnum length, characters.
template <size_t N>
struct alignas(8) FrameString {
  explicit FrameString(const char (&text)[N]) {
    for (size_t i = 0; i + 1 < N; ++i) characters[i] = static_cast<uint8_t>(text[i]);
  }
  lispval word() const { return static_cast<lispval>(reinterpret_cast<uintptr_t>(this)) + 0x12; }
  uint32_t header = type_code::SimpleString;
  lispval length = makeFixnum(static_cast<int32_t>(N - 1));
  uint16_t characters[N] = {};
};

}  // namespace

uint32_t nativeAddressOf(lispval word) {
  if (isFixnum(word)) return static_cast<uint32_t>(fixnumValue(word));
  if (!isOther(word) || typeCodeOf(wordAt(word, kHeaderOffset)) != type_code::Bignum) return 0;
  const uint32_t header = wordAt(word, kHeaderOffset);
  const uint32_t digits = header >> 16;
  if (digits == 0 || digits > 2 || ((header >> 8) & 0xff) == kNegativeSign) return 0;
  const uint16_t* digit = reinterpret_cast<const uint16_t*>(static_cast<uintptr_t>(word - 0xe));
  return digit[0] | (digits == 2 ? uint32_t{digit[1]} << 16 : 0);
}

lispval cached_or_heap_codevec(uint32_t size, uint32_t, lispval cacheFlag, FaslReader* reader,
                               bool) {
  const bool pure = cacheFlag != nilval;
  const uint32_t units = (size + 1) / 2;
  const lispval vector =
      new_lisp_obj(pure ? kPureCodeVectorType : type_code::CodeVector, units, pure ? 1 : 0);
  const uint32_t header = wordAt(vector, kHeaderOffset);
  if (!isOther(vector) ||
      typeCodeOf(header) != (pure ? kPureCodeVectorType : type_code::CodeVector)) {
    reader->source().skip(size);  // the constructor refused: on to the next item
    return vector;
  }
  uint8_t* code = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(objectAddress(vector))) +
                  kCodeVectorHeaderBytes;
  return reader->readRaw(code, size) ? vector : nilval;
}

}  // namespace lisp::fasl

using namespace lisp;
using namespace lisp::fasl;

extern "C" {

int runtime_load_fasl(int32_t descriptor, lispval* cell, lispval sectionKey, lispval basePosition,
                      lispval traceFlag, lispval thread) {
  FaslInputStream stream;
  stream.descriptor = descriptor;
  stream.position = stream.count = 0;
  // Decision: a base position that is not a fixnum counts as nil.
  const long base = isFixnum(basePosition) ? fixnumValue(basePosition) : fasl_tell(&stream);
  const RuntimeLoad load{sectionWordOf(sectionKey), base, traceFlag != nilval};
  return runRuntimeLoader(stream, cell, load, thread);
}

int runtime_load_fasl_name(lispval name, lispval* cell, lispval sectionKey, lispval basePosition,
                           lispval traceFlag, lispval thread) {
  cl_error = 0;
  const uint32_t address = nativeAddressOf(name);
  const lispval descriptor = cl_open(reinterpret_cast<const char*>(static_cast<uintptr_t>(address)),
                                     tval, nilval, makeFixnum(0));
  if (cl_error != 0 || !isFixnum(descriptor)) return kNotFasl;
  const int result =
      runtime_load_fasl(fixnumValue(descriptor), cell, sectionKey, basePosition, traceFlag, thread);
  cl_close(descriptor);
  return result;
}

int start_fasl(lispval* segmentCell) {
  const FrameString directory("sys");
  const FrameString name("startup");
  raz_fasl = 1;
  const int result = bundfasl(segmentCell, directory.word(), name.word(), init_case_mode, 0, 1,
                              gc::currentThreadRecord());
  if (result != kClean && result != kCleanOlderRelease) {
    vxmprintf("%s", messages::kCouldNotStartBuild);
    lisp_exit(1);
  }
  raz_fasl = 0;
  return 0;
}

lispval fasl_ustr_to_str(const uint8_t* bytes, uint32_t length, uint32_t mode) {
  const DecodedString decoded = buftostr(bytes, length, 1, false, mode, new_lisp_obj);
  return decoded.fault ? 0 : decoded.string;
}

int32_t fasl_utf8_to_unicode(const uint8_t* bytes, uint32_t count, uint16_t* into) {
  return utf8_to_unicode(bytes, count, into);
}

uint32_t fasl_strcvt_mode(uint32_t readMode, uint32_t fileMode, uint32_t klass, uint32_t required) {
  if (required != 0) return kKeepCase;
  const uint32_t row = klass == 1 ? 0 : klass == 2 ? kRuntimeConversionRows - 1 : readMode;
  // Decision: a row or file mode outside the table converts nothing.
  if (row >= kRuntimeConversionRows || fileMode >= kRuntimeConversionRows) return kKeepCase;
  return kRuntimeConversion[row][fileMode];
}

lispval alloc_lsymtab(lispval* record, uint32_t element) {
  const auto table = [&] { return simpleVectorElement(*record, element); };
  const uint32_t oldLength = table() == nilval ? 0 : simpleVectorLength(table());
  const uint32_t length = oldLength == 0 ? kFirstTableLength : 2 * oldLength;
  const lispval fresh = new_lisp_obj(type_code::SimpleVector, length, 0);
  for (uint32_t i = 0; i < length; ++i)
    simpleVectorElement(fresh, i) =
        i < oldLength ? simpleVectorElement(table(), i) : global(kFillValueGlobal);
  return fresh;
}

void fasl_addob(lispval, uint32_t, uint32_t) {}
}
