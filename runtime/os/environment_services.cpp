#include "runtime/os/environment_services.h"

#include <locale.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "runtime/gc/gc_state.h"
#include "runtime/load/startup.h"
#include "runtime/os/lisp_text_vectors.h"
#include "runtime/os/thread_record_access.h"

namespace {

constexpr const char* kUnknownHost = "-unknown-";
constexpr const char* kUnknownLibrary = "unknown";
constexpr const char* kUnsupported = "unsupported";
constexpr size_t kHostNameBytes = 256;
constexpr size_t kPasswordRecordBytes = 4096;

// The C library's categories, by the numbers Lisp code uses.
constexpr int kLocaleCategories[] = {LC_ALL,      LC_COLLATE, LC_CTYPE,
                                     LC_MONETARY, LC_NUMERIC, LC_TIME};

}  // namespace

extern "C" {

char sy_bname[kBaseNameBytes] = {};

const char* sy_environ(const char* name) {
  return name ? std::getenv(name) : nullptr;
}

lisp::lispval sy_putenv(const char* text) {
  const char* equals = text ? std::strchr(text, '=') : nullptr;
  if (!equals || equals == text) return nilval;
  // putenv keeps the very text it is given: the copy is never freed.
  if (char* copy = strdup(text)) {
    if (putenv(copy) != 0) std::free(copy);
  }
  return nilval;
}

const char* sy_argv(lisp::lispval index) {
  if (!lisp::isFixnum(index) || !sv_argv) return nullptr;
  const int32_t i = lisp::fixnumValue(index);
  return i >= 0 && i < sv_argc ? sv_argv[i] : nullptr;
}

lisp::lispval sy_argc() {
  return lisp::makeFixnum(sv_argc);
}

char* sy_set_bname(const char* text) {
  if (!text) return sy_bname;
  const size_t length = std::strlen(text);
  if (length >= sizeof sy_bname) return nullptr;
  std::memcpy(sy_bname, text, length + 1);
  return sy_bname;
}

void win_syshost(char* buffer, int32_t size) {
  if (!buffer || size <= 0) return;
  char name[kHostNameBytes] = {};
  const char* text = gethostname(name, sizeof name - 1) == 0 && name[0] ? name : kUnknownHost;
  std::strncpy(buffer, text, static_cast<size_t>(size) - 1);
  buffer[size - 1] = '\0';
}

lisp::lispval syshost(lisp::lispval string) {
  char name[kHostNameBytes];
  win_syshost(name, sizeof name);
  return lisp::os::putText(string, name) ? string : nilval;
}

lisp::lispval get_user_name(lisp::lispval string, lisp::lispval size) {
  passwd record{};
  passwd* found = nullptr;
  char storage[kPasswordRecordBytes];
  if (getpwuid_r(geteuid(), &record, storage, sizeof storage, &found) != 0 || !found ||
      !found->pw_name)
    return nilval;
  const size_t reported = std::strlen(found->pw_name) + 1;
  const auto vector = lisp::os::textVectorOf(string);
  if (!vector || !lisp::isFixnum(size) || lisp::fixnumValue(size) < 0) return nilval;
  const size_t room =
      std::min<size_t>(vector->elements, static_cast<size_t>(lisp::fixnumValue(size)));
  if (reported > room || !lisp::os::putText(string, found->pw_name)) return nilval;
  return lisp::makeFixnum(static_cast<int32_t>(reported));
}

const char* sy_c_get_home() {
  return home_location;
}

const char* sy_c_get_shared_library_name() {
  if (uint32_t* extra = thread_mv_slots()) extra[0] = 0;
  return lisp_shared_library_name ? lisp_shared_library_name : kUnknownLibrary;
}

const char* sy_getservbyname(const char*, const char*) {
  return kUnsupported;
}

const char* sy_setlocale(int32_t category, const char* locale) {
  constexpr int32_t kCount = sizeof kLocaleCategories / sizeof kLocaleCategories[0];
  if (category < 0 || category >= kCount) return nullptr;
  return setlocale(kLocaleCategories[category], locale);
}

}  // extern "C"
