#include "runtime/os/shared_libraries.h"

#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "runtime/load/startup.h"
#include "runtime/os/errno_values.h"
#include "runtime/os/file_call_errors.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/lisp_text_vectors.h"

namespace {

constexpr uintptr_t kLowestName = 0x10000;  // lower "names" are ordinals
constexpr size_t kModuleNameBytes = 4096;
constexpr int32_t kSystemLibraryAnswer = 4;
// Codes whose texts live in the network messages (none here).
constexpr int32_t kFirstNetworkCode = 2100, kLastNetworkCode = 2999;

uint32_t word(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}
void* pointer(uint32_t word) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(word));
}

void* executableHandle() {
  static void* const self = dlopen(nullptr, RTLD_NOW);
  return self;
}

// Whether the handle is one the dynamic linker gave out for a module loaded
// now: a handle names a module's link map, so it must be on the chain of
// loaded modules. Anything else (a stale or made-up number from Lisp code)
// would make the linker read memory of no module.
bool isLoadedModule(void* handle) {
  link_map* map = nullptr;
  if (dlinfo(executableHandle(), RTLD_DI_LINKMAP, &map) != 0 || !map) return false;
  while (map->l_prev) map = map->l_prev;
  for (; map; map = map->l_next)
    if (static_cast<void*>(map) == handle) return true;
  return false;
}

const lisp::os::LinkedLibrary* const* linkedLibraries() {
  return static_cast<const lisp::os::LinkedLibrary* const*>(lisp_linked_shared_libraries);
}
size_t g_nextLinked = 0;

const char* linkedName(size_t index) {
  const lisp::os::LinkedLibrary* const* table = linkedLibraries();
  if (!table) return nullptr;
  for (size_t i = 0; i <= index; ++i)
    if (!table[i]) return nullptr;
  return table[index]->name;
}

// The runtime's errno numbers agree with Linux's up to 34; of the ones the
// map gives, only 41 differs.
int linuxErrnoOf(int32_t runtimeErrno) {
  constexpr int32_t kRuntimeNotEmpty = 41;
  return runtimeErrno == kRuntimeNotEmpty ? ENOTEMPTY : runtimeErrno;
}

}  // namespace

extern "C" {

uint32_t sy_loadlibrary(const char* name) {
  void* handle = name ? dlopen(name, RTLD_NOW | RTLD_GLOBAL) : executableHandle();
  if (!handle) {
    lisp::fio::noteSystemError(lisp::os::kLoadFailedError);
    return 0;
  }
  cl_error = 0;
  return word(handle);
}

uint32_t sy_freelibrary(uint32_t handle) {
  if (handle == 0 || pointer(handle) == executableHandle()) return 1;
  if (!isLoadedModule(pointer(handle))) return 0;
  return dlclose(pointer(handle)) == 0 ? 1 : 0;
}

uint32_t sy_findsym(uint32_t handle, const char* name) {
  if (reinterpret_cast<uintptr_t>(name) < kLowestName) return 0;
  void* module = handle ? pointer(handle) : executableHandle();
  if (!isLoadedModule(module)) return 0;
  return word(dlsym(module, name));
}

uint32_t sy_getmodulehandle(const char* name) {
  if (!name) return word(executableHandle());
  void* handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
  if (!handle) return 0;
  dlclose(handle);  // the look-up took a load; the module stays loaded by its own
  return word(handle);
}

void* sy_getproghandle() {
  return nullptr;
}

lisp::lispval sy_getmodulefilename(lisp::lispval string, uint32_t module) {
  char name[kModuleNameBytes] = {};
  if (module == 0 || pointer(module) == executableHandle()) {
    const ssize_t length = readlink("/proc/self/exe", name, sizeof name - 1);
    if (length <= 0) return nilval;
    name[length] = '\0';
  } else {
    link_map* map = nullptr;
    if (!isLoadedModule(pointer(module)) || dlinfo(pointer(module), RTLD_DI_LINKMAP, &map) != 0 ||
        !map || !map->l_name)
      return nilval;
    std::strncpy(name, map->l_name, sizeof name - 1);
  }
  return lisp::os::putTextCut(string, name) ? string : nilval;
}

const char* sy_find_first_shared_library() {
  g_nextLinked = 0;
  return sy_find_next_shared_library();
}

const char* sy_find_next_shared_library() {
  const char* name = linkedName(g_nextLinked);
  if (name) ++g_nextLinked;
  return name;
}

int32_t sy_system_shared_library_p(const char* name) {
  const lisp::os::LinkedLibrary* const* table = linkedLibraries();
  if (!table || !name) return 0;
  // Decision: library names compare without regard to case, as the system's
  // own module names do.
  for (size_t i = 0; table[i]; ++i)
    if (table[i]->name && strcasecmp(table[i]->name, name) == 0 && table[i]->flags != 0)
      return kSystemLibraryAnswer;
  return 0;
}

// Decision: the text of a system error code is the C library's text of the
// errno that win_err_to_errno_map pairs with it; a code without a pair (and
// every code of the network messages) has none.
char* sy_winapi_error_to_string(int32_t code) {
  if (code >= kFirstNetworkCode && code <= kLastNetworkCode) return nullptr;
  for (const win_err_to_errno_pair* pair = win_err_to_errno_map; pair->systemError != -1; ++pair)
    if (pair->systemError == code) return strdup(strerror(linuxErrnoOf(pair->errnoValue)));
  return nullptr;
}

}  // extern "C"
