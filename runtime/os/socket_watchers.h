// Socket event watchers: threads that turn the readiness of sockets into the
// three events of their descriptor entries (write-ready, close-or-exception,
// read-ready), on which Lisp threads wait, and finish pending connects.
//
// A watch block serves up to 62 sockets and has a thread of its own; blocks
// form a list, newest first, and once made live until the process ends. A
// watcher waits with poll on its sockets and on an eventfd, its control
// event: adding a socket, asking for a removal and re-arming a socket all
// write to it. Removal is carried out by the watcher itself, so that only
// its own thread changes a slot that it may be polling.
//
// A network event is reported once: the watcher polls a direction of a socket
// only while the matching event is clear, and a socket whose readiness brings
// nothing new is left alone until the next control event. The Lisp side
// resets an event before an operation and then re-arms the socket
// (rearm_watched_socket), so that the watcher looks again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace lisp::os {

inline constexpr int32_t kWatchSlots = 62;
inline constexpr int32_t kWatchedEvents = kWatchSlots + 1;  // the control event first
inline constexpr int32_t kFreeWatchSlot = -1;

// Network events a socket is watched for.
namespace network_event {
inline constexpr uint32_t kRead = 1;
inline constexpr uint32_t kWrite = 2;
inline constexpr uint32_t kOutOfBand = 4;
inline constexpr uint32_t kAccept = 8;
inline constexpr uint32_t kConnect = 16;
inline constexpr uint32_t kClose = 32;
}  // namespace network_event

// 129 words. On Linux the control event word holds the eventfd and a slot's
// event word the network events it is watched for (0 while free).
struct SocketWatchBlock {
  uint32_t removalDone;               // automatic-reset event
  uint32_t events[kWatchedEvents];    // [0] control event, [slot] the slot's
  int32_t sockets[kWatchedEvents];    // [0] unused, [slot] its socket or kFreeWatchSlot
  int32_t slotToRemove;               // 0: no removal asked for
  SocketWatchBlock* next;
};
static_assert(offsetof(SocketWatchBlock, removalDone) == 0);
static_assert(offsetof(SocketWatchBlock, events) == 1 * 4);
static_assert(offsetof(SocketWatchBlock, sockets) == 64 * 4);
static_assert(offsetof(SocketWatchBlock, slotToRemove) == 127 * 4);
static_assert(offsetof(SocketWatchBlock, next) == 128 * 4);
static_assert(sizeof(SocketWatchBlock) == 129 * 4);

// Guards the list of blocks and the adding of sockets.
extern std::recursive_mutex socket_event_watcher_crit;
// The newest block, or null.
SocketWatchBlock* socketWatchBlocks();
// The watcher thread of a block (a thread handle).
uint32_t watcherThreadOf(const SocketWatchBlock* block);

}  // namespace lisp::os

extern "C" {
// Takes the first free slot of the first block that has one (making a block
// and its thread when none has), and watches `socket` for `networkEvents`.
void add_watched_socket(int32_t socket, uint32_t networkEvents);
// The socket leaves its watcher; returns once the watcher has let it go.
// Nothing happens for a socket no watcher has.
void remove_watched_socket(int32_t socket);
// Makes the socket's watcher look at it again after one of its events was
// reset.
void rearm_watched_socket(int32_t socket);
}
