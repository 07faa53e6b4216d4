// lisp_main_build: an empty Lisp world from the command line's settings.
// It reads the options, reserves both heaps, lays out the heap and enters the
// first Lisp thread, which loads the start-up bundle.

#include "runtime/load/build_from_scratch.h"

#include <csignal>
#include <cstdio>

#include "runtime/gc/heap_areas.h"
#include "runtime/gc/heap_reservation.h"
#include "runtime/gc/jetcode.h"
#include "runtime/load/build_messages.h"
#include "runtime/load/fasl_loader.h"
#include "runtime/load/first_objects.h"
#include "runtime/load/native_variables.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/small_services.h"
#include "runtime/load/startup.h"
#include "runtime/load/string_file.h"
#include "runtime/os/exception_frame.h"
#include "runtime/os/thread_registry.h"

extern "C" {

uint32_t raz_start_argsave = 1;
uint32_t raz_start_xi = 1;
uint32_t raz_start_sfi = 1;
uint32_t raz_start_lni = 1;
uint32_t raz_start_sld = 0;
uint32_t raz_start_prof = 0;
char raz_sample_file[kProfileFileBytes] = "./samples";
char raz_size_file[kProfileFileBytes] = "./sizes";
uint32_t force_full_fasl2 = 0;
uint32_t save_force_full_fasl = 0;
uint32_t init_case_mode = 0;

}  // extern "C"

namespace build {
void (*settingsHook)(const Settings& settings) = nullptr;
}  // namespace build

namespace {

constexpr int kStdioBufferBytes = 512;

char stdin_buffer[BUFSIZ];
char stdout_buffer[kStdioBufferBytes];
char stderr_buffer[kStdioBufferBytes];

void bufferStandardStreams() {
  std::setvbuf(stdin, stdin_buffer, _IOFBF, sizeof stdin_buffer);
  std::setvbuf(stdout, stdout_buffer, _IOLBF, sizeof stdout_buffer);
  std::setvbuf(stderr, stderr_buffer, _IOLBF, sizeof stderr_buffer);
}

// The heaps must at least hold both spaces; a sum beyond 32 bits asks for
// all of the address space, which the reservation then refuses itself.
uint32_t bothSpaces(const build::Settings& settings) {
  const uint64_t sum = uint64_t{settings.newSpaceBytes} + settings.oldSpaceBytes;
  return sum > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(sum);
}

}  // namespace

extern "C" {

void gotsig_helper(int signal) {
  lisp_signal(signal, gotsig_helper);
  setsig(signal);
}

void setupsigs() {
  lisp_signal(SIGINT, gotsig_helper);
}

int lisp_main_build(int argc, char** argv, char** envp) {
  sv_argv = argv;
  sv_argc = argc;
  sv_envp = envp;
  // The concurrency limit of -cl is not used; readOptions only checks that
  // it is there.

  bufferStandardStreams();
  str_file = 0;  // no string file is open
  str_file_size = 0;
  str_file_count = 0;

  setupsigs();
  jc_start();
  faslinit();

  build::Settings settings;
  build::readOptions(argc, argv, settings);

  probe_executable_stack();
  if (!setup_heaps(settings.lispHeapStart, settings.lispHeapBytes, settings.nativeHeapStart,
                   settings.nativeHeapBytes, bothSpaces(settings), use_lso_file))
    lisp_exit(1);
  if (!use_lso_file) lsoinit_text();
  save_force_full_fasl = force_full_fasl;

  // Compared without wrapping: two sizes near 4 GB must not look small.
  if (uint64_t{settings.newSpaceBytes} + settings.oldSpaceBytes > maxheapsize) {
    std::fputs(build::text::kHeapAboveMaximum, stderr);
    std::fflush(stderr);
  }
  if (build::settingsHook) build::settingsHook(settings);

  GsInit(settings.oldSpaceBytes, settings.newSpaceBytes, settings.generationSpread,
         settings.reserveBytes);
  initialize_thread_registry(0);
  getstorage();
  setupstack_xhandler(-1);
  return 0;
}

}  // extern "C"
