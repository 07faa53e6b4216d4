// The runtime's entry road: lisp_init and lisp_main choose between restoring
// an image and building a heap, lisp_main_reborn continues after a restore,
// and windows_lisp_exit is the exit callback a launcher hands to lisp_init.
// None of the start-up functions returns while the Lisp runs.
#pragma once

#include <cstdint>

#include "runtime/load/startup_services.h"

extern "C" {

inline constexpr int kHomeLocationBytes = 512;
inline constexpr int kBundleNameBytes = 512;

// ---- what lisp_init and lisp_main were given ----
extern int sv_argc;
extern char** sv_argv;
extern char** sv_envp;
extern int vxm_under_windows;  // window-application flag, 0 or 1
extern char home_location[kHomeLocationBytes];
extern const char* lisp_shared_library_name;
extern void* lisp_shared_library_handle;
extern const char* lisp_default_image_name;
extern void* lisp_linked_shared_libraries;
extern void* lisp_executable_handle;

// ---- the launcher's options record, word by word ----
extern uint32_t lisp_console_handle;
extern uint32_t lisp_disable_tray_exit;
extern uint32_t lisp_disable_close_button;
extern uint32_t lisp_ourhInstance;
extern uint32_t start_lisp_tray_icon;
extern uint32_t kill_lisp_tray_icon;
extern uint32_t lisp_scriptfd;
extern uint32_t lisp_minimize_state;
extern uint32_t lisp_console_max;
extern uint32_t lisp_console_shrink_slop;
extern uint32_t lisp_running_on_win9x;
inline constexpr int kOptionWordCount = 11;

// ---- start-up switches ----
extern int verbose_startup;
extern int pass_on_unhandled_exceptions;
extern int library_debug;  // 1 when the program's base name is "vxmdebug"
extern char* bundlename;   // always bu_fname
extern char bu_fname[kBundleNameBytes];

// ---- the optional start-up library of -as ----
extern void* as_setupstack;
extern void* as_exception_filter;

// A slot allocator handed to lisp_init; the values 0 and 1 mean none.
using lisp_slot_allocator = int32_t (*)();

int lisp_init(int argc, char** argv, char** envp, lisp_exit_function exitCallback,
              const char* homeDirectory, const char* libraryName, void* libraryHandle,
              const char* defaultImageName, lisp_slot_allocator slotAllocator, int win32app,
              void* linkedLibraries, const uint32_t* optionsRecord);
int lisp_main(int argc, char** argv, char** envp);
int lisp_main_reborn(int argc, char** argv, char** envp);
[[noreturn]] void windows_lisp_exit(int status);

// A thread-local slot index of 64 or more; every lower index taken on the way
// is free again afterwards. -1 when no slot is left.
int32_t TlsAllocHighKey();
}
