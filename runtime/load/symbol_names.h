// Names and strings from fasl files: the conversion mode that the image's
// reader mode and the file's name mode give, the case-mode item, and the
// decoding of a text operand into a Lisp string (pure-string cache first).
#pragma once

#include <cstdint>
#include <optional>

#include "runtime/load/fasl_format.h"
#include "runtime/load/lisp_object_maker.h"
#include "runtime/rs/lisp_value.h"

namespace lisp::fasl {

// Conversion modes.
enum ConversionMode : uint32_t {
  kKeepCase = 0,
  kToLowerCase = 1,  // cvttolower
  kToUpperCase = 2,  // cvttoupper
};

// The conversion mode for an image mode and a file's name mode (0 to 3),
// after an override (1: image mode 0, 2: image mode 3); a nonzero required
// mode turns conversion off. The native loader's table; the runtime loader
// has its own (fasl_strcvt_mode).
uint32_t strcvt_mode(uint32_t imageMode, uint32_t fileMode, uint32_t override, uint32_t required);
// The shape of both: (image or read mode, file mode, override, required mode).
using ConversionRule = uint32_t (*)(uint32_t, uint32_t, uint32_t, uint32_t);

// Converts `count` characters in place by the mode.
void convertCase(uint16_t* characters, uint32_t count, uint32_t mode);

// The case state of one load: the override the case-mode items have set and
// the conversion mode names get. A load starts with the mode for file mode 0.
struct CaseModeState {
  uint32_t override = 0;
  uint32_t conversion = kKeepCase;
};
CaseModeState startingCaseMode(ConversionRule rule = strcvt_mode);

// The case-mode item (byte: required mode in the high nibble, file mode in
// the low one): switches the Lisp world to a required mode, signals a file
// whose names are upper case for an image that reads lower case, and
// recomputes the conversion mode.
void caseModeItem(uint8_t byte, CaseModeState& state, ConversionRule rule = strcvt_mode);

// Runtime globals the case-mode item reads.
inline constexpr uint32_t kCaseModeGlobals[3] = {28, 29, 30};
inline constexpr uint32_t kCurrentCaseModeSymbolGlobal = 327;

// The Lisp string of a text operand: decoded, converted by `mode`, taken from
// the pure-string cache when `useCache` and the encoding byte is nonzero,
// else made (type 117 for a nonzero encoding byte, 101 for 0) through
// `make`. A cut UTF-8 form, or a character above 0xFF for encoding 0,
// makes nothing and gives the fault.
struct DecodedString {
  lispval string = 0;
  std::optional<Fault> fault;
};
DecodedString buftostr(const uint8_t* bytes, uint32_t byteCount, uint8_t encoding, bool useCache,
                       uint32_t mode, ObjectMaker make);

}  // namespace lisp::fasl

extern "C" {
// The Lisp world's side of the case-mode item (runtime system).
int from_c_in_case_mode(int which);
lisp::lispval from_c_fasl_casemode_mismatch_error();
extern uint32_t curreadmode;
extern uint32_t bootmode;
}
