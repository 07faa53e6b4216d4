// A host for the end-to-end tests: a Lisp built from a start-up bundle,
// dumped, and restored from its image. It loads the runtime library, hands
// it a host record whose console is this program's standard output, puts the
// image path where the start-up code can name it, then calls lisp_init the
// way a launcher would.
//
//   x1_host [--home DIR] [--occupy-saved-heap IMAGE] -- argv0 arguments...
//
// The image path comes from the environment variable LISP_DUMP_PATH. It is
// written, zero-terminated, into one page mapped at kNamePage: the address is
// a fixnum, so hand-written Lisp code names the file without making a bignum,
// and it lies below every heap, so the dump's collection leaves it alone.
// --occupy-saved-heap reserves the first 64 KB of the Lisp heap range saved
// in IMAGE's header before lisp_init, which makes the restore move the heap.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

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

constexpr uintptr_t kNamePage = 0x10000000;
constexpr size_t kPageBytes = 0x1000;
constexpr char kImagePathVariable[] = "LISP_DUMP_PATH";
constexpr off_t kSavedLispHeapBase = 24;  // the header's Lisp heap descriptor, base first
constexpr size_t kOccupiedBytes = 0x10000;

using exit_function = void (*)(int);
using slot_allocator = int32_t (*)();
using lisp_init_function = int (*)(int, char**, char**, exit_function, const char*, const char*,
                                   void*, const char*, slot_allocator, int, void*, const uint32_t*);

int fail(const char* what) {
  std::fprintf(stderr, "x1_host: %s\n", what);
  return 120;
}

bool writeImagePath() {
  const char* path = std::getenv(kImagePathVariable);
  if (!path || std::strlen(path) >= kPageBytes) return false;
  void* page = mmap(reinterpret_cast<void*>(kNamePage), kPageBytes, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (page != reinterpret_cast<void*>(kNamePage)) return false;
  std::strcpy(static_cast<char*>(page), path);
  return true;
}

bool occupySavedHeap(const char* image) {
  const int file = open(image, O_RDONLY);
  if (file < 0) return false;
  uint32_t base = 0;
  const bool read = pread(file, &base, sizeof base, kSavedLispHeapBase) == sizeof base;
  close(file);
  if (!read) return false;
  void* at = mmap(reinterpret_cast<void*>(static_cast<uintptr_t>(base)), kOccupiedBytes, PROT_NONE,
                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
  return at == reinterpret_cast<void*>(static_cast<uintptr_t>(base));
}

}  // namespace

int main(int argc, char** argv) {
  const char* home = nullptr;
  const char* occupyFrom = nullptr;
  int first = argc;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--") {
      first = i + 1;
      break;
    }
    if (i + 1 >= argc) return fail("option without a value");
    if (option == "--home")
      home = argv[++i];
    else if (option == "--occupy-saved-heap")
      occupyFrom = argv[++i];
    else
      return fail("unknown option");
  }

  if (!writeImagePath()) return fail("cannot place the image path");
  if (occupyFrom && !occupySavedHeap(occupyFrom)) return fail("cannot occupy the saved heap");

  void* library = dlopen(KORVANE_PATH, RTLD_NOW | RTLD_LOCAL);
  if (!library) return fail(dlerror());
  auto lispInit = reinterpret_cast<lisp_init_function>(dlsym(library, "lisp_init"));
  using setup_redir_function = host::HostRecord* (*)(host::HostRecord*);
  auto setupRedir = reinterpret_cast<setup_redir_function>(dlsym(library, "setup_redir"));
  if (!lispInit || !setupRedir) return fail("missing library entries");
  setupRedir(&testing_support::consoleHostRecord());

  std::vector<char*> arguments(argv + first, argv + argc);
  arguments.push_back(nullptr);
  const int result =
      lispInit(static_cast<int>(arguments.size() - 1), arguments.data(), environ, nullptr, home,
               "libkorvane.so", library, nullptr, nullptr, 0, nullptr, nullptr);
  std::fprintf(stderr, "x1_host: lisp_init returned %d\n", result);
  return 123;
}
