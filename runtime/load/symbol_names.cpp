// Conversion of names from fasl files to the image's reader case, and the
// decoding of text operands into Lisp strings.

#include "runtime/load/symbol_names.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/gc/gc_state.h"
#include "runtime/gc/stack_walk.h"
#include "runtime/load/case_mapping.h"
#include "runtime/load/pure_cache.h"
#include "runtime/load/small_services.h"
#include "runtime/rs/object_layout.h"

namespace lisp::fasl {

namespace {

constexpr uint32_t kModes = 4;
constexpr uint32_t kOverrideToLower = 1;  // the image mode becomes 0
constexpr uint32_t kOverrideToUpper = 2;  // the image mode becomes 3
constexpr uint32_t kLowerImageMode = 0;
constexpr uint32_t kUpperImageMode = 3;
constexpr uint32_t kUpperFileMode = 3;

constexpr uint32_t K = kKeepCase, L = kToLowerCase, U = kToUpperCase;
// Rows: image mode; columns: the file's name mode.
constexpr uint32_t kConversion[kModes][kModes] = {
    {K, K, L, L},
    {L, K, L, L},
    {U, U, K, K},
    {U, U, U, K},
};

// Scratch for decoding: on the stack when it fits.
constexpr uint32_t kStackScratchBytes = 512;

lispval global(uint32_t n) {
  return wordAt(nilval, runtimeGlobalOffset(n));
}

// The current case mode: the loading thread's value of the symbol in
// global 327 (its binding when it has one).
lispval currentCaseMode() {
  const lispval symbol = global(kCurrentCaseModeSymbolGlobal);
  if (tagOf(symbol) != Tag::Symbol) return nilval;
  return small_services::threadSymbolValue(gc::currentThreadRecord(), symbol);
}

uint32_t stringDataOffset(uint8_t type) {
  return vectorDataOffset(*vectorType(type));
}

}  // namespace

uint32_t strcvt_mode(uint32_t imageMode, uint32_t fileMode, uint32_t override, uint32_t required) {
  if (required != 0) return kKeepCase;
  if (override == kOverrideToLower) imageMode = kLowerImageMode;
  if (override == kOverrideToUpper) imageMode = kUpperImageMode;
  // Decision: a mode outside 0 to 3 (a file's low nibble can be up to 15)
  // converts nothing.
  if (imageMode >= kModes || fileMode >= kModes) return kKeepCase;
  return kConversion[imageMode][fileMode];
}

void convertCase(uint16_t* characters, uint32_t count, uint32_t mode) {
  if (mode == kToLowerCase) cvttolower(characters, count);
  if (mode == kToUpperCase) cvttoupper(characters, count);
}

CaseModeState startingCaseMode(ConversionRule rule) {
  return {0, rule(curreadmode, 0, 0, 0)};
}

void caseModeItem(uint8_t byte, CaseModeState& state, ConversionRule rule) {
  const CaseModeByte split = splitCaseMode(byte);
  const bool lispWorld = bootmode == 0;
  const lispval current = lispWorld ? currentCaseMode() : nilval;
  if (split.required == 1 || split.required == 2) {
    state.override = split.required;
    if (lispWorld && current != global(kCaseModeGlobals[split.required]))
      from_c_in_case_mode(split.required);
  } else if (split.required == 0) {
    const bool otherMode = lispWorld && current != global(kCaseModeGlobals[0]);
    if (otherMode && current == global(kCaseModeGlobals[1])) {
      state.override = 1;
    } else if (otherMode && current == global(kCaseModeGlobals[2])) {
      state.override = 2;
    } else if (split.fileMode == kUpperFileMode && curreadmode == kLowerImageMode) {
      from_c_fasl_casemode_mismatch_error();
    }
  }
  state.conversion = rule(curreadmode, split.fileMode, state.override, split.required);
}

DecodedString buftostr(const uint8_t* bytes, uint32_t byteCount, uint8_t encoding, bool useCache,
                       uint32_t mode, ObjectMaker make) {
  const int32_t counted = utf8_to_unicode(bytes, byteCount, nullptr);
  // Mended: a cut multi-byte form makes no string; the file is malformed.
  if (counted < 0) return {0, Fault::CutUtf8};
  const uint32_t count = static_cast<uint32_t>(counted);

  // The characters are decoded once, into scratch when the cache is asked
  // (it needs them before any object exists), else straight into the string.
  uint16_t stackScratch[kStackScratchBytes / 2];
  uint16_t* scratch = nullptr;
  bool allocated = false;
  if (useCache && encoding != 0) {
    const uint64_t scratchBytes = 2ull * count + 2;
    if (scratchBytes < kStackScratchBytes) {
      scratch = stackScratch;
    } else {
      scratch = static_cast<uint16_t*>(std::malloc(scratchBytes));
      allocated = scratch != nullptr;
    }
  }
  struct ScratchRelease {
    uint16_t* area;
    bool allocated;
    ~ScratchRelease() {
      if (allocated) std::free(area);
    }
  } release{scratch, allocated};

  if (scratch != nullptr) {
    utf8_to_unicode(bytes, byteCount, scratch);
    scratch[count] = 0;
    convertCase(scratch, count, mode);
    const lispval cached = find_cached_string(scratch, count);
    if (cached != nilval) return {cached, std::nullopt};
  } else if (encoding == 0) {
    // An 8-bit string holds no character above 0xFF: checked before anything is made.
    std::vector<uint16_t> characters;
    if (std::optional<Fault> fault = decodeText({bytes, byteCount}, encoding, characters))
      return {0, fault};
  }

  const uint8_t type = stringTypeForEncoding(encoding);
  const lispval string = make(type, count, 0);
  if (tagOf(string) != Tag::Other || typeCodeOf(wordAt(string, kHeaderOffset)) != type)
    return {string, std::nullopt};  // the constructor refused and signalled
  auto* data = reinterpret_cast<uint16_t*>(
      static_cast<uintptr_t>(objectAddress(string) + stringDataOffset(type)));
  if (scratch != nullptr) {
    if (count != 0) std::memcpy(data, scratch, 2ull * count);
  } else {
    utf8_to_unicode(bytes, byteCount, data);
    convertCase(data, count, mode);
  }
  return {string, std::nullopt};
}

}  // namespace lisp::fasl
