// mathlib's table: service code to native operation. The libm functions
// are the platform's; the others are the runtime's own (float_functions).

#include "runtime/rs/math_dispatch.h"

#include <cmath>
#include <cstring>

#include "runtime/rs/float_functions.h"
#include "runtime/rs/object_layout.h"

namespace lisp::math_dispatch {

namespace {
constexpr NoCase none{};
}  // namespace

constexpr MathRows kMathRows = {{
    OfDouble{::acos},               // 0
    OfDouble{::asin},               // 1
    OfDouble{::atan},               // 2
    OfTwoDoubles{::atan2},          // 3
    OfDouble{::sin},                // 4
    OfDouble{::cos},                // 5
    OfDouble{::tan},                // 6
    OfSingle{rs_sqrtf},             // 7
    OfTwoDoubles{::hypot},          // 8
    none,                           // 9
    OfDouble{lisp_exp},             // 10
    none,                           // 11
    OfDouble{lisp_log},             // 12
    OfDouble{::log10},              // 13
    OfDouble{rs_log1p},             // 14
    OfTwoDoubles{lisp_pow},         // 15
    none,                           // 16
    none,                           // 17
    none,                           // 18
    OfDouble{rs_asinh},             // 19
    OfDouble{rs_acosh},             // 20
    OfDouble{rs_atanh},             // 21
    none,                           // 22
    none,                           // 23
    none,                           // 24
    OfDouble{::sqrt},               // 25
    none,                           // 26
    none,                           // 27
    OfDouble{lisp_logb},            // 28
    OfDoubleAndFixnum{lisp_scalb},  // 29
}};

const MathRows* activeMathRows = &kMathRows;

}  // namespace lisp::math_dispatch

namespace {

namespace md = lisp::math_dispatch;

double doubleOf(lisp::lispval word) {
  return lisp::objectOf<lisp::DoubleFloatObject>(word)->value;
}
float singleOf(lisp::lispval word) {
  return lisp::objectOf<lisp::SingleFloatObject>(word)->value;
}

template <class T>
uint32_t store(void* result, T value, MathAnswer answer) {
  std::memcpy(result, &value, sizeof value);
  return answer;
}

bool isFloatOf(lisp::lispval word, uint8_t typeCode) {
  return lisp::isOther(word) && lisp::typeCodeOf(lisp::wordAt(word, lisp::kHeaderOffset)) == typeCode;
}
bool isDouble(lisp::lispval word) {
  return isFloatOf(word, lisp::type_code::DoubleFloat);
}

// One visitor per shape: converts the arguments, calls, stores. An argument
// of another kind than the shape names would be read as a float it is not.
// Decision: such a call is refused with runtime error 22, as a code without
// a case is, and no operation runs.
struct Run {
  lisp::lispval a1, a2;
  void* result;
  uint32_t operator()(md::NoCase) const { return kMathNoCase; }
  uint32_t operator()(md::OfDouble f) const {
    if (!isDouble(a1)) return kMathNoCase;
    return store(result, f(doubleOf(a1)), kMathDouble);
  }
  uint32_t operator()(md::OfTwoDoubles f) const {
    if (!isDouble(a1) || !isDouble(a2)) return kMathNoCase;
    return store(result, f(doubleOf(a1), doubleOf(a2)), kMathDouble);
  }
  uint32_t operator()(md::OfSingle f) const {
    if (!isFloatOf(a1, lisp::type_code::SingleFloat)) return kMathNoCase;
    return store(result, f(singleOf(a1)), kMathSingle);
  }
  uint32_t operator()(md::OfDoubleAndFixnum f) const {
    if (!isDouble(a1) || !lisp::isFixnum(a2)) return kMathNoCase;
    return store(result, f(doubleOf(a1), lisp::fixnumValue(a2)), kMathDouble);
  }
};

}  // namespace

extern "C" uint32_t mathlib_operation(uint32_t code, lisp::lispval a1, lisp::lispval a2,
                                      void* result) {
  if (code >= md::kCodeCount) return kMathNoCase;
  return std::visit(Run{a1, a2, result}, (*md::activeMathRows)[code]);
}
