#include "runtime/os/system_messages.h"

#include <cstdio>
#include <cstring>

#include "runtime/gc/collector_errors.h"
#include "runtime/gc/gc_state.h"
#include "runtime/load/small_services.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/console_printing.h"
#include "runtime/rs/object_layout.h"

namespace {

namespace text {
constexpr const char* kUnknownArgument = ";;; Warning: unknown command line argument: %s\n";
constexpr const char* kPatchProblem = ";;; Error: problem loading patch:\n %s\n";
constexpr const char* kPatchInstalled = ";;; Installing %s patch, version %d\n";
constexpr const char* kEarlyError =
    "\nAn error occurred before the condition system (the :cond module) was loaded\n";
constexpr const char* kErrorMessage = "Error message:\n %s\n";
constexpr const char* kPartialMessage = "Partial error message:\n %s\n";
constexpr const char* kFormatArglist = "Error format arglist: 0x%lx\n";
constexpr const char* kDefaultResults = "results: 0x%lx 0x%lx";
constexpr const char* kNoText = "(null)";
}  // namespace text

bool isCharacterString(lisp::lispval object) {
  if (!lisp::isOther(object)) return false;
  const lisp::VectorType* type =
      lisp::vectorType(lisp::typeCodeOf(lisp::wordAt(object, lisp::kHeaderOffset)));
  return type && type->element == lisp::ElementKind::Character;
}

const char* shown(const char* text) {
  return text ? text : text::kNoText;
}

}  // namespace

extern "C" {

lisp::lispval sy_argerr(const char* argument) {
  vxmprintf(text::kUnknownArgument, shown(argument));
  std::fflush(stdout);
  return nilval;
}

void sy_patcherr(const char* text) {
  vxmprintf(text::kPatchProblem, shown(text));
  std::fflush(stdout);
  lisp_exit(1);
}

lisp::lispval sy_patchmsg(const char* name, int32_t version) {
  vxmprintf(text::kPatchInstalled, shown(name), version);
  std::fflush(stdout);
  return nilval;
}

void sy_err(lisp::lispval arglist) {
  vxmprintf("%s", text::kEarlyError);
  if (isCharacterString(arglist)) {
    strtobuf(arglist);
    vxmprintf(text::kErrorMessage, strbuf);
  } else if (lisp::isCons(arglist) && isCharacterString(lisp::car(arglist))) {
    strtobuf(lisp::car(arglist));
    vxmprintf(text::kPartialMessage, strbuf);
  } else {
    vxmprintf(text::kFormatArglist, static_cast<unsigned long>(arglist));
  }
  std::fflush(stdout);
  vxmabort();
}

lisp::lispval sy_eprintf(const char* format, uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                         uint32_t e) {
  const char* used = format && lisp::os::isWordOnlyFormat(format) ? format : text::kDefaultResults;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  vxmfprintf(stderr, used, a, b, c, d, e);
#pragma GCC diagnostic pop
  vxmfprintf(stderr, "\n");
  std::fflush(stderr);
  return nilval;
}

}  // extern "C"

namespace lisp::os {

bool isWordOnlyFormat(const char* format) {
  int conversions = 0;
  for (const char* p = format; *p; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '%') continue;
    while (*p && std::strchr("-+ #0", *p)) ++p;
    while (*p >= '0' && *p <= '9') ++p;
    if (*p == '.') {
      ++p;
      while (*p >= '0' && *p <= '9') ++p;
    }
    if (*p == 'l') {
      ++p;  // one l: a word on this target; two would read a double word
    } else {
      while (*p == 'h') ++p;
    }
    if (!*p || !std::strchr("diuxXoc", *p)) return false;
    if (++conversions > 5) return false;  // five words are all there are
  }
  return true;
}

}  // namespace lisp::os
