// lisp_init, lisp_main and lisp_main_reborn: the one road from a host's call
// to the first Lisp thread.
//
// The road forks once: restore an image (restore_image_file, which continues
// in lisp_main_reborn) or build a heap (lisp_main_build). Every fatal error on
// the way prints one message on standard error and ends in lisp_exit.

#include "runtime/load/startup.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/message_box.h"
#include "platform/faults.h"
#include "platform/thread_block.h"
#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/jetcode.h"
#include "runtime/load/build_from_scratch.h"
#include "runtime/load/image_file.h"
#include "runtime/load/image_search.h"
#include "runtime/load/small_services.h"
#include "runtime/load/startup_messages.h"
#include "runtime/load/startup_services.h"
#include "runtime/load/image_dump.h"
#include "runtime/os/console_printing.h"
#include "runtime/os/profiler_timer.h"
#include "runtime/load/string_file.h"
#include "runtime/os/alarm_timer.h"
#include "runtime/os/exception_filter.h"
#include "runtime/os/exception_frame.h"
#include "runtime/os/early_entry_points.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/shared_libraries.h"
#include "runtime/os/sockets.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/lisp_presence.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/exports.h"

namespace text = startup::text;

extern "C" {

extern uint32_t globreg;  // base of the runtime globals table (nil block)

int sv_argc = 0;
char** sv_argv = nullptr;
char** sv_envp = nullptr;
int vxm_under_windows = 0;
char home_location[kHomeLocationBytes] = {};
const char* lisp_shared_library_name = nullptr;
void* lisp_shared_library_handle = nullptr;
const char* lisp_default_image_name = nullptr;
void* lisp_linked_shared_libraries = nullptr;
void* lisp_executable_handle = nullptr;

uint32_t lisp_console_handle = 0;
uint32_t lisp_disable_tray_exit = 0;
uint32_t lisp_disable_close_button = 0;
uint32_t lisp_ourhInstance = 0;
uint32_t start_lisp_tray_icon = 0;
uint32_t kill_lisp_tray_icon = 0;
uint32_t lisp_scriptfd = 0;
uint32_t lisp_minimize_state = 0;
uint32_t lisp_console_max = 0;
uint32_t lisp_console_shrink_slop = 0;
uint32_t lisp_running_on_win9x = 0;

int verbose_startup = 0;
int pass_on_unhandled_exceptions = 0;
int library_debug = 0;
char bu_fname[kBundleNameBytes] = "files.vxb";
char* bundlename = bu_fname;

void* as_setupstack = nullptr;
void* as_exception_filter = nullptr;

}  // extern "C"

namespace {

// The options record's words, in the order the record holds them.
uint32_t* const kOptionWords[kOptionWordCount] = {
    &lisp_console_handle,
    &lisp_disable_tray_exit,
    &lisp_disable_close_button,
    &lisp_ourhInstance,
    &start_lisp_tray_icon,
    &kill_lisp_tray_icon,
    &lisp_scriptfd,
    &lisp_minimize_state,
    &lisp_console_max,
    &lisp_console_shrink_slop,
    &lisp_running_on_win9x,
};

constexpr uint32_t kFreshThreadMark = 0xdeadbeef;  // the slot's value until the registry sets it
constexpr char kSlotDebugVariable[] = "VXMTLSINDEXDEBUG";
constexpr char kStartupDebugVariable[] = "VXM_STARTUP_DEBUG";
constexpr char kVerboseStartupVariable[] = "VXM_VERBOSE_STARTUP";
constexpr char kDebugProgramName[] = "vxmdebug";
// Decision: with an argument count of 0 the program is called by this name.
constexpr char kProgramNameWhenNone[] = "korvane";
constexpr unsigned kStartupLibraryWaitSeconds = 10;
constexpr int kStdioBufferBytes = 512;

char stdin_buffer[BUFSIZ];
char stdout_buffer[kStdioBufferBytes];
char stderr_buffer[kStdioBufferBytes];

[[noreturn]] void fail(int status, const char* message, const char* argument = nullptr) {
  lisp::os::printStartupFailure(message, argument);
  lisp_exit(status);
}

bool startsWith(const char* word, const char* prefix) {
  return word && std::strncmp(word, prefix, std::strlen(prefix)) == 0;
}

bool isImageOption(const char* word) {
  return startsWith(word, "-I");
}

// Removes argv[1]: later arguments and the terminating null move down one.
void removeSecondArgument(int& argc, char** argv) {
  for (int i = 1; i < argc; ++i) argv[i] = argv[i + 1];
  --argc;
}

int32_t allocateSlot(lisp_slot_allocator allocator) {
  const auto given = reinterpret_cast<uintptr_t>(allocator);
  if (given > 1) return allocator();
  if (std::getenv(kSlotDebugVariable)) return TlsAllocHighKey();
  return platform::allocateThreadSlot();
}

// The image name fallback of get_default_image_file for this kind of program.
image_name_fallback imageNameFallback() {
  return vxm_under_windows ? read_image_file_name : read_image_file_name_cmdline;
}

// Loads the -as library and takes its two entry points (a missing one stays null).
void loadStartupLibrary(const char* name) {
  void* library = dlopen(name, RTLD_NOW);
  if (!library) {
    char message[3 * kImageNameBytes];
    std::snprintf(message, sizeof message, text::kStartupLibraryMissing, name);
    sleep(kStartupLibraryWaitSeconds);
    platform::showMessageBox(nullptr, message);
    lisp_exit(1);
  }
  as_setupstack = dlsym(library, "as_setupstack");
  as_exception_filter = dlsym(library, "as_exception_filter");
}

// The bundle name becomes home_location, a separator and the bundle's own name.
void reborn_find_bundle_file() {
  char home_file[2 * kBundleNameBytes];
  const int length = std::snprintf(home_file, sizeof home_file, "%s/%s", home_location,
                                   startup::baseName(bu_fname));
  if (length < 0 || length >= kBundleNameBytes) fail(1, text::kNameTooLong, home_file);
  std::memcpy(bu_fname, home_file, static_cast<size_t>(length) + 1);
  bundlename = bu_fname;
}

}  // namespace

extern "C" {

KORVANE_EXPORT int lisp_init(int argc, char** argv, char** envp, lisp_exit_function exitCallback,
                             const char* homeDirectory, const char* libraryName,
                             void* libraryHandle, const char* defaultImageName,
                             lisp_slot_allocator slotAllocator, int win32app, void* linkedLibraries,
                             const uint32_t* optionsRecord) {
  sv_argv = argv;
  sv_argc = argc;
  sv_envp = envp;

  const int32_t slot = allocateSlot(slotAllocator);
  if (slot == platform::kNoThreadSlot) fail(1, text::kNoTlsIndex);
  platform::setThreadSlot(slot, kFreshThreadMark);
  lisp_tls_index = static_cast<uint32_t>(slot) * 4;
  // Faults reach the exception frames; a keyboard interrupt reaches the
  // filter too unless a console handler takes it later.
  platform::installFaultHandling();
  platform::routeKeyboardInterrupt();

  if (win32app != 0 && win32app != 1) fail(1, text::kBadWin32App);
  vxm_under_windows = win32app;

  if (exitCallback) lisp_exit_callback = exitCallback;
  if (libraryName) lisp_shared_library_name = libraryName;
  if (libraryHandle) lisp_shared_library_handle = libraryHandle;
  if (defaultImageName) lisp_default_image_name = defaultImageName;

  if (homeDirectory && homeDirectory != home_location) {
    if (std::strlen(homeDirectory) >= sizeof home_location)
      fail(1, text::kNameTooLong, homeDirectory);
    std::strcpy(home_location, homeDirectory);
  }

  lisp_linked_shared_libraries = linkedLibraries;
  lisp_executable_handle = sy_getproghandle();

  for (int i = 0; i < kOptionWordCount; ++i)
    *kOptionWords[i] = optionsRecord ? optionsRecord[i] : 0;

  initpgmname();
  lisp_heap_offset = 0;
  vxmmalloc_heap_offset = 0;
  prof_thread = 0;
  inhibitprof = 0;
  do_purify = 0;

  return lisp_main(argc, argv, envp);
}

KORVANE_EXPORT int lisp_main(int argc, char** argv, char** envp) {
  lisp::presence::setComing(true);  // a restore or a build brings one
  const int debug = std::getenv(kStartupDebugVariable) ? 1 : 0;
  if (std::getenv(kVerboseStartupVariable)) verbose_startup = 1;

  determine_host_os();
  ipc_pre_init();
  bundlename = bu_fname;
  initialize_vxmcommit_mutex();

  // A missing vector counts as an empty one.
  static char* noArguments[] = {nullptr};
  if (!argv) {
    argv = noArguments;
    argc = 0;
  }

  if (argc >= 2 && startsWith(argv[1], "-!")) {
    pass_on_unhandled_exceptions = 1;
    verbose_startup = 1;
    removeSecondArgument(argc, argv);
  }

  bool imageFound = false;
  if (argc < 2 || (!isImageOption(argv[1]) && std::strcmp(argv[1], "-build") != 0)) {
    // Mended: with no arguments at all the program name is supplied too, so
    // the new vector needs one slot more than count + 3.
    const int slots = (argc == 0 ? 1 : argc) + 3;
    auto** withImage = static_cast<char**>(std::malloc(sizeof(char*) * slots));
    if (!withImage) fail(1, text::kNoArgvMemory);
    const char* program = argc > 0 && argv[0] ? argv[0] : kProgramNameWhenNone;
    const char* image = get_default_image_file(home_location, startup::baseName(program),
                                               imageNameFallback(), debug);
    if (!image) fail(1, text::kNoImage);
    withImage[0] = const_cast<char*>(program);
    withImage[1] = const_cast<char*>("-I");
    withImage[2] = const_cast<char*>(image);
    // The old arguments from the second on, with the terminating null.
    for (int i = 1; i <= argc; ++i) withImage[i + 2] = argv[i];
    if (argc == 0) withImage[3] = nullptr;
    argc = (argc == 0 ? 1 : argc) + 2;
    argv = withImage;
    imageFound = true;
  } else if (std::strcmp(argv[1], "-build") == 0) {
    removeSecondArgument(argc, argv);
  }

  if (argc >= 2 && isImageOption(argv[1])) {
    // Mended: "-I" without a name used to fall through to the build.
    if (argc < 3) fail(1, text::kNoImage);
    char* image = imageFound ? argv[2] : find_image_file(argv[2], ".vxi", nullptr, debug);
    if (image) {
      restore_image_file(image, argc, argv, envp);
      lisp::os::printStartupFailure(text::kRestoreFailed, image);
    } else {
      lisp::os::printStartupFailure(text::kImageNotFound, argv[2]);
    }
    lisp_exit(-1);
  }

  return lisp_main_build(argc, argv, envp);
}

int lisp_main_reborn(int argc, char** argv, char** envp) {
  determine_host_os();
  ipc_pre_init();
  bundlename = bu_fname;
  sv_argv = argv;
  sv_argc = argc;
  sv_envp = envp;

  // "-cl" takes a number that start-up does not use; "-as" names the library.
  const char* startupLibrary = nullptr;
  for (int i = 0; i + 1 < argc; ++i)
    if (argv[i] && std::strcmp(argv[i], "-as") == 0) startupLibrary = argv[i + 1];

  std::setvbuf(stdin, stdin_buffer, _IOFBF, sizeof stdin_buffer);
  std::setvbuf(stdout, stdout_buffer, _IOLBF, sizeof stdout_buffer);
  std::setvbuf(stderr, stderr_buffer, _IOLBF, sizeof stderr_buffer);

  str_file = 0;
  str_file_size = 0;
  str_file_count = 0;
  jc_start();

  library_debug =
      argc > 0 && argv[0] && std::strcmp(startup::baseName(argv[0]), kDebugProgramName) == 0 ? 1
                                                                                             : 0;

  reborn_find_bundle_file();
  reset_signals_after_dumplisp();
  GsRebornInit();

  if (globreg) *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(globreg)) = lisp_tls_index;

  preset_early_entry_points();
  c_mpsetupalarm();

  if (startupLibrary) loadStartupLibrary(startupLibrary);

  initialize_thread_registry(1);
  setupstack_xhandler(-1);
  return 0;
}

KORVANE_EXPORT void windows_lisp_exit(int status) {
  constexpr int kExitHookWord = 11;
  c_mpalarmoff();
  if (redir && redir[kExitHookWord]) {
    auto hook = reinterpret_cast<void (*)(int)>(static_cast<uintptr_t>(redir[kExitHookWord]));
    hook(status);
  }
  platform::showMessageBox(text::kExitBoxCaption, text::kExitBoxText);
  std::exit(status);
}

KORVANE_EXPORT int32_t TlsAllocHighKey() {
  return platform::allocateHighThreadSlot();
}

}  // extern "C"
