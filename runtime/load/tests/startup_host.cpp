// A host for black-box start-up tests: loads the runtime library, hands it a
// host record whose console is this program's standard output, then calls
// lisp_init the way a launcher would.
//
//   startup_host [options] -- argv0 arguments...
//     --home DIR          home directory argument
//     --default-image N   default image name argument
//     --win32app N        window-application flag
//     --exit-callback windows | none
//     --allocator failing (a slot allocator that returns -1)
//     --env NAME=VALUE    set in the environment before the call
//     --no-arguments      argument count 0 (the vector holds only its null)
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "launcher/host_record.h"
#include "testing/console_host_record.h"

extern char** environ;

namespace {

using exit_function = void (*)(int);
using slot_allocator = int32_t (*)();
using lisp_init_function = int (*)(int, char**, char**, exit_function, const char*, const char*,
                                   void*, const char*, slot_allocator, int, void*, const uint32_t*);

int32_t failingAllocator() {
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* home = nullptr;
  const char* defaultImage = nullptr;
  int win32app = 0;
  bool windowsExit = false;
  slot_allocator allocator = nullptr;
  bool noArguments = false;
  int first = argc;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--") {
      first = i + 1;
      break;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (option == "--home")
      home = value;
    else if (option == "--default-image")
      defaultImage = value;
    else if (option == "--win32app")
      win32app = std::atoi(value);
    else if (option == "--exit-callback")
      windowsExit = std::strcmp(value, "windows") == 0;
    else if (option == "--allocator")
      allocator = failingAllocator;
    else if (option == "--env")
      putenv(argv[i + 1]);
    else if (option == "--no-arguments") {
      noArguments = true;
      continue;
    } else {
      std::fprintf(stderr, "startup_host: unknown option %s\n", option.c_str());
      return 120;
    }
    ++i;
  }

  void* library = dlopen(KORVANE_PATH, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    std::fprintf(stderr, "startup_host: %s\n", dlerror());
    return 121;
  }
  auto lispInit = reinterpret_cast<lisp_init_function>(dlsym(library, "lisp_init"));
  auto lispExit = reinterpret_cast<exit_function>(dlsym(library, "windows_lisp_exit"));
  using setup_redir_function = host::HostRecord* (*)(host::HostRecord*);
  auto setupRedir = reinterpret_cast<setup_redir_function>(dlsym(library, "setup_redir"));
  if (!lispInit || !lispExit || !setupRedir) return 122;
  setupRedir(&testing_support::consoleHostRecord());

  std::vector<char*> arguments(argv + first, argv + argc);
  if (noArguments) arguments.clear();
  arguments.push_back(nullptr);
  const int result = lispInit(static_cast<int>(arguments.size() - 1), arguments.data(), environ,
                              windowsExit ? lispExit : nullptr, home, "libkorvane.so", library,
                              defaultImage, allocator, win32app, nullptr, nullptr);
  std::fprintf(stderr, "startup_host: lisp_init returned %d\n", result);
  return 123;
}
