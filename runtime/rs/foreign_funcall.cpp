// The C++ half of ff_funcall: checking and storing the native argument words
// of its pairs and reading its result description. Reads Lisp objects only;
// never allocates and never calls Lisp.

#include "runtime/rs/foreign_funcall.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "runtime/gc/gc_state.h"
#include "runtime/rs/native_calls.h"
#include "runtime/rs/object_layout.h"

namespace {

using lisp::lispval;
namespace ff = lisp::foreign_funcall;
namespace tc = lisp::type_code;

constexpr int32_t kSingleValue = -0xe;  // a single-float's 4 bytes
constexpr int32_t kDoubleValue = -0xa;  // a double-float's 8 bytes, 8-aligned

enum class Form { Word, Single, Double, None };

lispval global(int32_t offset) {
  return lisp::wordAt(nilval, offset);
}

Form formOf(lispval description) {
  if (description == nilval || description == global(ff::kSignedType) ||
      description == global(ff::kUnsignedType))
    return Form::Word;
  if (description == global(ff::kSingleType)) return Form::Single;
  if (description == global(ff::kDoubleType)) return Form::Double;
  return Form::None;
}

uint8_t typeOf(lispval object) {
  return lisp::isOther(object) ? lisp::typeCodeOf(lisp::wordAt(object, lisp::kHeaderOffset)) : 0;
}

// A single-float, double-float or fixnum as a double; false for anything else.
bool floatValue(lispval value, double& out) {
  if (lisp::isFixnum(value)) {
    out = lisp::fixnumValue(value);
    return true;
  }
  switch (typeOf(value)) {
    case tc::SingleFloat: {
      float f;
      std::memcpy(&f, &lisp::wordAt(value, kSingleValue), sizeof f);
      out = f;
      return true;
    }
    case tc::DoubleFloat:
      std::memcpy(&out, &lisp::wordAt(value, kDoubleValue), sizeof out);
      return true;
    default:
      return false;
  }
}

// A double rounded to single precision; finite values beyond its range
// become infinities of their sign rather than an undefined conversion.
float asSingle(double d) {
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
    return d > 0 ? kInfinity : -kInfinity;
  return static_cast<float>(d);
}

// foreign_address_locate's answer: low word 0 when found, the word in the high one.
bool nativeWord(lispval value, uint32_t& out) {
  const uint64_t located = foreign_address_locate(value);
  out = static_cast<uint32_t>(located >> 32);
  return static_cast<uint32_t>(located) == 0;
}

}  // namespace

int32_t ff_argument_words(lispval description, lispval value) {
  double ignored;
  uint32_t word;
  switch (formOf(description)) {
    case Form::Word:
      return nativeWord(value, word) ? 1 : ff::kValueRefused;
    case Form::Single:
      return floatValue(value, ignored) ? 1 : ff::kValueRefused;
    case Form::Double:
      return floatValue(value, ignored) ? 2 : ff::kValueRefused;
    case Form::None:
      break;
  }
  return ff::kDescriptionRefused;
}

void ff_store_arguments(uint32_t* area, const uint32_t* firstPair, uint32_t pairs) {
  for (uint32_t i = 0; i < pairs; ++i) {
    const lispval description = firstPair[-2 * static_cast<int32_t>(i)];
    const lispval value = firstPair[-2 * static_cast<int32_t>(i) - 1];
    double d = 0;
    switch (formOf(description)) {
      case Form::Word:
        nativeWord(value, *area++);
        break;
      case Form::Single: {
        floatValue(value, d);
        const float f = asSingle(d);
        std::memcpy(area++, &f, sizeof f);
        break;
      }
      case Form::Double:
        floatValue(value, d);
        std::memcpy(area, &d, sizeof d);
        area += 2;
        break;
      case Form::None:  // refused before the area is made
        break;
    }
  }
}

uint32_t ff_result_kind(lispval resultDescription) {
  if (!lisp::isCons(resultDescription)) return static_cast<uint32_t>(ff::ResultKind::None);
  const lispval type = lisp::car(resultDescription);
  if (type == nilval) return static_cast<uint32_t>(ff::ResultKind::None);
  constexpr struct {
    int32_t global;
    ff::ResultKind kind;
  } kRows[] = {{ff::kSignedType, ff::ResultKind::Signed},
               {ff::kUnsignedType, ff::ResultKind::Unsigned},
               {ff::kSingleType, ff::ResultKind::Single},
               {ff::kDoubleType, ff::ResultKind::Double}};
  for (const auto& row : kRows)
    if (type == global(row.global)) return static_cast<uint32_t>(row.kind);
  return static_cast<uint32_t>(ff::ResultKind::None);
}
