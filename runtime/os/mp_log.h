// The mp event log: a ring of 1000 entries of five words in which the thread
// machinery records what it does (sequence number, milliseconds, OS thread id
// of the writer, event code, value). Codes are in mp_event_codes.h.
#pragma once

#include <cstdint>

namespace lisp::mp_log {

inline constexpr uint32_t kEntryWords = 5;
struct Entry {
  uint32_t sequence;
  uint32_t milliseconds;
  uint32_t osThreadId;
  uint32_t code;
  uint32_t value;
};
static_assert(sizeof(Entry) == 4 * kEntryWords);

// Points the log at its ring with position 0 and makes `log_gate`; the
// registry's set-up calls it first.
void setUp();

}  // namespace lisp::mp_log

extern "C" {
extern const uint32_t mplog_size;  // 1000 entries
extern lisp::mp_log::Entry vxm_mplog[];
extern uint32_t mplog_sequence;
extern lisp::mp_log::Entry* vxm_mplog_last_entry;
extern lisp::mp_log::Entry* thread_log_address;
// A Lisp fixnum: 0 logs nothing; codes 519 to 633 only when it is odd.
extern int mp_logging;
extern uint32_t log_gate;  // OS mutex guarding the sequence and the position; 0 before set-up

// Appends an entry; returns `value`.
uint32_t mp_log_event(uint32_t code, uint32_t value);
// Counts one more scavenge in the newest entry when that is a scavenge entry.
void mp_log_scavenge();
// Take and give back log_gate so that Lisp can read the ring consistently.
void mp_log_grab();
void mp_log_release();
// The entry's time: seconds times 1000 plus milliseconds, kept to 32 bits.
uint32_t mpticks();

// Empty hooks.
void note_socket_message();
void mplog_bp();
void mp_log_alarm();
void mplog_holdit();
}
