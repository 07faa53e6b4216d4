// The runtime's side of the launcher's host record: setup_redir keeps it, and
// Lisp code controls through it the console window (which lives in the
// launcher), the splash blocks, the tray icon, and the marker that says a Lisp
// is running. Every console service does nothing when the record names no
// console window (word 20), as when the Lisp runs without a console.
#pragma once

#include <cstdint>

#include "launcher/host_record.h"
#include "runtime/rs/exports.h"

extern "C" {
// The launcher's host record (words as the launcher lays them out), or null.
// The runtime never frees it.
extern uint32_t* redir;
// Called by the launcher on the Lisp thread before lisp_init; returns the record.
KORVANE_EXPORT host::HostRecord* setup_redir(host::HostRecord* record);

// ShowWindow with the command; any command but 0 (hide) also brings the
// window to the top and to the foreground. Returns whether it was visible.
int32_t sy_maybe_show_console(int32_t showCommand);
// Mode 1 greys and disables the system menu's Close item, any other mode
// enables it; the mode goes into the launcher's close-button word.
void sy_maybe_disable_close_button(int32_t mode);
void sy_maybe_enable_close_button();
// Non-zero: the launcher's start_lisp_tray_icon; zero: its kill_lisp_tray_icon.
void sy_tray_icon_control(int32_t on);
// With a system menu: sets or clears the minimise box (which 1) or maximise
// box (else) style bit and asks the window to repaint its frame; with which
// 1 `on` also goes into the launcher's minimise-state word.
void sy_maybe_set_minmax_state(int32_t which, int32_t on);
// Not on the 9x family: the console's text limit becomes at least 2000
// characters, its shrink slop 0.15 of that.
void sy_maybe_set_console_size(int32_t characters);
void sy_maybe_set_console_title(const char* title);

// Copies the two splash blocks into host record words 18/19 and 23/24,
// freeing the copies a previous call made. Returns the second length, or 0
// when a copy cannot be made or the arguments are bad.
int32_t sy_set_splash(const void* first, int32_t firstLength, const void* second,
                      int32_t secondLength);
// Creates, once per process, the named marker of a running Lisp and takes
// it when no other process holds it; returns its handle, or 0.
int32_t sy_set_running_mutex();
}

namespace lisp::os {

// The marker's name, and (decision) its rendering here: a lock on a file
// named after it, with backslashes and slashes turned into underscores, in
// the marker directory, "/tmp". Every running Lisp holds a shared lock, so
// the marker stays held while any of them runs, as a named mutex exists
// while any process has it open; a program tells that a Lisp is running by
// failing to take the lock exclusively.
inline constexpr const char* kRunningMarkerName = "Global\\VexmoraCommonLispMutex";
inline constexpr const char* kRunningMarkerDirectory = "/tmp";
// The marker in `directory`: the open lock file's descriptor (kept open for
// the life of the process), or 0 when the file cannot be opened.
int32_t takeRunningMarker(const char* directory);

}  // namespace lisp::os
