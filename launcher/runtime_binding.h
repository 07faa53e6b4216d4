// The runtime library as the launcher sees it: the 24 exports it binds by
// name (all required), the table of libraries it hands to lisp_init, and the
// options record through which Lisp code reaches the console's settings.
#pragma once

#include <cstdint>

#include "launcher/host_record.h"

namespace launcher {

// The interface version the launcher requires of the runtime.
inline constexpr int32_t kRuntimeInterfaceVersion = 3;

using SlotAllocator = int32_t (*)();
using LispInit = int (*)(int argc, char** argv, char** envp, host::ExitHook exitCallback,
                         const char* homeDirectory, const char* libraryName, void* libraryHandle,
                         const char* defaultImageName, SlotAllocator slotAllocator, int win32app,
                         void* linkedLibraries, const uint32_t* optionsRecord);
using LispMain = int (*)(int argc, char** argv, char** envp);
using SetupRedir = host::HostRecord* (*)(host::HostRecord* record);
using SignalLisp = int32_t (*)(int32_t signal);
using FreeHeaps = int (*)(int unmap);
using RemoteCommand = int32_t (*)(int32_t count, const void* data);
using RemoteCommandEvent = uint32_t (*)(uint32_t event);
using InterfaceVersion = int32_t (*)();
using FindLispThreadHandle = uint32_t (*)(uint32_t* threadId);
using ThreadExit = void (*)(int32_t status, int32_t* doneFlag, uint32_t threadToNotify);
using IpcShutdown = int32_t (*)();
using ImageNameFallback = const char* (*)();
using DefaultImageFile = const char* (*)(const char* directory, const char* programName,
                                         ImageNameFallback fallback, int debug);
using FindImageFile = char* (*)(const char* name, const char* defaultExtension,
                                const char* extraDirectory, int debug);
using SetWatchPointers = void (*)(uint32_t** count, uint32_t** list);

// One field per bound name, in the binding order.
struct RuntimeEntries {
  host::ReadHook win_read;
  host::WriteHook win_write;
  host::CloseHook win_close;
  host::NoHangHook win_no_hang;
  host::TimerSignalHook win_timersig;
  host::WatchForHook win_watchfor;
  host::WaitSigioHook win_waitsigio;
  LispMain lisp_main;
  LispInit lisp_init;
  host::ExitHook windows_lisp_exit;
  SetupRedir setup_redir;
  host::PeekLoopHook vxm_message_peek_loop;
  host::SingleEventHook vxm_process_single_event;
  SignalLisp signal_lisp;
  FreeHeaps free_heaps;
  RemoteCommand remote_command;
  RemoteCommandEvent remote_command_event;
  InterfaceVersion get_vxm_dll_version;
  FindLispThreadHandle find_lisp_thread_handle;
  ThreadExit vxm_thread_exit;
  IpcShutdown ipc_shutdown;
  DefaultImageFile get_default_image_file;
  FindImageFile find_image_file;
  SetWatchPointers set_my_thread_watch_pointers;
};
inline constexpr int kRuntimeEntryCount = 24;
static_assert(sizeof(RuntimeEntries) == kRuntimeEntryCount * sizeof(void*));

// The names, in the order of RuntimeEntries.
extern const char* const kRuntimeEntryNames[kRuntimeEntryCount];

// Looks every name up with `lookup` (library, name) -> address; false, with
// `entries` unchanged, when any of them yields nothing.
bool bindRuntimeEntries(void* library, void* (*lookup)(void* library, const char* name),
                        RuntimeEntries* entries);

// Copies the seven win_ entries into words 4 to 10 of both host record forms.
void installRuntimeHooks(const RuntimeEntries& entries);

// ---- the linked-library table (lisp_init's eleventh argument) ----

struct LinkedLibrary {
  const char* fileName;
  int32_t flag;
};
static_assert(sizeof(LinkedLibrary) == 8);
inline constexpr int kLinkedLibraryCount = 12;
// kLinkedLibraryCount pointers and a closing null.
extern const LinkedLibrary* const linked_library_table[kLinkedLibraryCount + 1];

// ---- the options record (lisp_init's twelfth argument, console path) ----

inline constexpr int kOptionsRecordWords = 11;
struct OptionsRecord {
  uint32_t consoleWindow;
  int32_t* trayExitDisabled;
  int32_t* closeButtonMode;
  uint32_t moduleInstance;
  void (*addTrayIcon)(uint32_t instance, uint32_t window);
  void (*removeTrayIcon)();
  int32_t* scriptDescriptor;
  int32_t* minimiseState;
  int32_t* consoleTextLimit;
  int32_t* consoleShrinkSlop;
  int32_t* windows9x;
};
static_assert(sizeof(OptionsRecord) == kOptionsRecordWords * 4);

// Fills the record from the launcher's settings, the console window and the
// module instance. The tray functions come from the console.
void fillOptionsRecord(OptionsRecord* record, uint32_t consoleWindow, uint32_t moduleInstance,
                       void (*addTrayIcon)(uint32_t, uint32_t), void (*removeTrayIcon)());

}  // namespace launcher
