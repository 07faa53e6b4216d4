// Remote commands: the launcher's threads (console, in-process server) queue
// requests with remote_command; Lisp code takes them one at a time, first in
// first out, as Lisp objects. The launcher's handshake event tells a waiting
// caller that the Lisp has finished a command.
#pragma once

#include <cstdint>

#include "runtime/rs/exports.h"
#include "runtime/rs/lisp_value.h"

namespace lisp::os {
// Payload words of a node: a text for count 0, else `count` words.
inline constexpr int32_t kMostRemoteCommandWords = 20;
// The pseudo-signal that makes Lisp code fetch a queued command.
inline constexpr int kRemoteCommandSignal = 0x640000;
}  // namespace lisp::os

extern "C" {
// 0 until Lisp code first asks for a command; from then on each new command
// wakes the Lisp thread.
extern int32_t do_remote_command_interrupt;
extern uint32_t cmd_added;  // commands queued
extern uint32_t cmd_read;   // commands handed to Lisp

// Count 0: `data` is a text, copied; count 1: `data` itself is the word;
// counts 2 to 20: `data` points to that many words, copied. Returns 1, or 0
// (nothing queued) for another count, a missing text or words, or no memory.
KORVANE_EXPORT int32_t remote_command(int32_t count, const void* data);
// Keeps the launcher's handshake event; returns it.
KORVANE_EXPORT uint32_t remote_command_event(uint32_t event);
// Sets the handshake event when one is kept.
void remote_command_queue_empty();

// The oldest command as a new Lisp object (a type-125 text or a type-127 word
// vector), or nil after remote_command_queue_empty when there is none.
lisp::lispval sy_get_next_remote_command();
// 1, after raising the remote-command pseudo-signal, when a command is
// queued; else 0.
int check_pending_remote_command();
}
