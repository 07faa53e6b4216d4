// Socket event watchers; see socket_watchers.h.

#include "runtime/os/socket_watchers.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "platform/error_numbers.h"
#include "platform/threads.h"
#include "platform/waitable.h"
#include "runtime/load/startup_services.h"
#include "runtime/os/console_printing.h"
#include "runtime/os/mp_log.h"
#include "runtime/os/pending_events.h"
#include "runtime/os/pseudo_descriptors.h"

namespace lisp::os {

std::recursive_mutex socket_event_watcher_crit;

namespace {

// The two failures that end the process.
constexpr const char* kWaitFailedMessage =
    "socket_event_watcher: WSAWaitforMultipleEvents returned WSA_WAIT_FAILED. Err: %d\n";
constexpr const char* kNoBlockMessage = "add_watched_socket: malloc failed\n";

namespace trace {
inline constexpr uint32_t kConnectFinished = 519;  // the socket
inline constexpr uint32_t kReadReady = 529;        // the socket
inline constexpr uint32_t kWriteReady = 531;       // the socket
inline constexpr uint32_t kCloseSeen = 546;        // the socket
inline constexpr uint32_t kWatchChange = 549;      // the socket
inline constexpr uint32_t kRemovalSlot = 551;      // the slot
inline constexpr uint32_t kWaitEnded = 552;        // the lowest ready index
inline constexpr uint32_t kNetworkEvents = 553;    // the network events
inline constexpr uint32_t kSlotReady = 560;        // the slot
inline constexpr uint32_t kNewBlock = 561;         // the block's address
}  // namespace trace

enum SocketEvent { kWriteReadyEvent = 0, kCloseEvent = 1, kReadReadyEvent = 2 };

// The block with what only Linux needs: its thread and the descriptor of
// each slot's socket (so that the watcher need not search the table).
struct WatchBlockHost {
  SocketWatchBlock block;
  platform::Handle thread;
  int32_t descriptors[kWatchedEvents];
};

SocketWatchBlock* newestBlock = nullptr;  // guarded by socket_event_watcher_crit

WatchBlockHost& hostOf(SocketWatchBlock* block) {
  return *reinterpret_cast<WatchBlockHost*>(block);
}

int32_t slotSocket(const SocketWatchBlock& block, int32_t slot) {
  return __atomic_load_n(&block.sockets[slot], __ATOMIC_ACQUIRE);
}

void poke(const SocketWatchBlock& block) {
  const uint64_t one = 1;
  const ssize_t wrote = ::write(static_cast<int>(block.events[0]), &one, sizeof one);
  (void)wrote;  // a full counter still wakes the watcher
}

[[noreturn]] void endProcess(const char* format, int32_t error) {
  vxmfprintf(stderr, format, error);
  lisp_exit(1);
}

bool isSet(uint32_t event) {
  const platform::Handle handles[] = {event};
  return platform::waitForAny(handles, 0) == 0;
}

// The three events of the slot's socket while its descriptor entry still
// names it, else null.
uint32_t* slotEvents(WatchBlockHost& owner, int32_t slot, int32_t socket) {
  host::DescriptorEntry* table = descriptorTable();
  const int32_t descriptor = owner.descriptors[slot];
  if (!table || descriptor < 0) return nullptr;
  host::DescriptorEntry& entry = table[descriptor];
  if (entry.kind != host::kKindSocket || entry.handle != static_cast<uint32_t>(socket))
    return nullptr;
  return entry.words;
}

// What to poll a socket for: each direction only while its event is clear.
short interestOf(uint32_t watched, const uint32_t* socketEvents, bool connecting) {
  namespace ne = network_event;
  short interest = 0;
  if (connecting) interest |= POLLOUT;
  if ((watched & (ne::kRead | ne::kAccept)) && !isSet(socketEvents[kReadReadyEvent]))
    interest |= POLLIN;
  if ((watched & ne::kOutOfBand) && !isSet(socketEvents[kReadReadyEvent])) interest |= POLLPRI;
  if ((watched & ne::kWrite) && !isSet(socketEvents[kWriteReadyEvent])) interest |= POLLOUT;
  if ((watched & ne::kClose) && !isSet(socketEvents[kCloseEvent])) interest |= POLLRDHUP;
  return interest;
}

// Readiness as the network events it stands for.
uint32_t networkEventsOf(uint32_t watched, short ready) {
  namespace ne = network_event;
  const bool failed = (ready & (POLLERR | POLLHUP)) != 0;
  uint32_t found = 0;
  if ((ready & POLLIN) || failed) found |= ne::kRead | ne::kAccept;
  if (ready & POLLPRI) found |= ne::kOutOfBand;
  if (ready & POLLOUT) found |= ne::kWrite;
  if ((ready & POLLRDHUP) || failed) found |= ne::kClose;
  return found & watched;
}

// Sets an event; true when it was clear, which makes the report news.
bool raise(uint32_t event, uint32_t code, int32_t socket) {
  mp_log_event(code, static_cast<uint32_t>(socket));
  const bool wasClear = !isSet(event);
  platform::setEvent(event);
  return wasClear;
}

// Reports a ready slot; false when nothing new came of it.
bool reportSlot(WatchBlockHost& owner, int32_t slot, int32_t socket, short ready) {
  namespace ne = network_event;
  mp_log_event(trace::kSlotReady, static_cast<uint32_t>(slot));
  uint32_t* socketEvents = slotEvents(owner, slot, socket);
  if (!socketEvents) return false;
  uint32_t found = 0;
  int32_t connectError = 0;
  if ((ready & (POLLOUT | POLLERR | POLLHUP)) && connectInProgress(socket)) {
    int soError = 0;
    socklen_t length = sizeof soError;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &soError, &length) < 0) soError = errno;
    connectError = soError == 0 ? 0 : platform::socketErrorFromLinux(soError);
    found |= ne::kConnect;
  }
  // A failed connect reports nothing else.
  if (connectError == 0) found |= networkEventsOf(owner.block.events[slot], ready);
  mp_log_event(trace::kNetworkEvents, found);
  bool news = false;
  if (found & ne::kConnect) {
    mp_log_event(trace::kConnectFinished, static_cast<uint32_t>(socket));
    news = finishPendingConnect(socket, connectError) && connectError == 0;
  }
  if (found & (ne::kRead | ne::kOutOfBand | ne::kAccept))
    news |= raise(socketEvents[kReadReadyEvent], trace::kReadReady, socket);
  if (found & ne::kWrite) news |= raise(socketEvents[kWriteReadyEvent], trace::kWriteReady, socket);
  if (found & ne::kClose) news |= raise(socketEvents[kCloseEvent], trace::kCloseSeen, socket);
  return news;
}

// A control event: the counter is emptied and a removal asked for is done.
void serveControl(SocketWatchBlock& block) {
  uint64_t count;
  const ssize_t got = ::read(static_cast<int>(block.events[0]), &count, sizeof count);
  (void)got;  // nothing to read only means another wake came first
  const int32_t slot = __atomic_exchange_n(&block.slotToRemove, 0, __ATOMIC_ACQ_REL);
  if (slot <= 0 || slot > kWatchSlots) return;
  block.events[slot] = 0;
  __atomic_store_n(&block.sockets[slot], kFreeWatchSlot, __ATOMIC_RELEASE);
  platform::setEvent(block.removalDone);
}

uint32_t watchSockets(void* argument) {
  WatchBlockHost& owner = *static_cast<WatchBlockHost*>(argument);
  SocketWatchBlock& block = owner.block;
  // A slot whose last readiness brought nothing new waits for a control event.
  bool quiet[kWatchedEvents] = {};
  pollfd polled[kWatchedEvents];
  for (;;) {
    polled[0] = {static_cast<int>(block.events[0]), POLLIN, 0};
    for (int32_t slot = 1; slot < kWatchedEvents; ++slot) {
      const int32_t socket = slotSocket(block, slot);
      polled[slot] = {-1, 0, 0};
      if (socket == kFreeWatchSlot || quiet[slot]) continue;
      const uint32_t* socketEvents = slotEvents(owner, slot, socket);
      if (!socketEvents) continue;
      const short interest =
          interestOf(block.events[slot], socketEvents, connectInProgress(socket));
      if (interest != 0) polled[slot] = {socket, interest, 0};
    }
    if (::poll(polled, kWatchedEvents, -1) < 0) {
      if (errno == EINTR) continue;
      endProcess(kWaitFailedMessage, platform::socketErrorFromLinux(errno));
    }
    int32_t lowest = 0;
    while (lowest < kWatchedEvents && polled[lowest].revents == 0) ++lowest;
    mp_log_event(trace::kWaitEnded, static_cast<uint32_t>(lowest));
    for (int32_t slot = 1; slot < kWatchedEvents; ++slot) {
      const short ready = polled[slot].revents;
      if (ready == 0 || polled[slot].fd != slotSocket(block, slot)) continue;
      if (!reportSlot(owner, slot, polled[slot].fd, ready)) quiet[slot] = true;
    }
    // After the reports: a re-arm that came meanwhile must not be lost.
    if (polled[0].revents != 0) {
      serveControl(block);
      for (bool& flag : quiet) flag = false;
    }
  }
}

// A new block with its thread, at the head of the list; ends the process
// when it cannot be had.
void addBlock() {
  auto* owner = new (std::nothrow) WatchBlockHost{};
  const int control = owner ? ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
  if (control < 0) endProcess(kNoBlockMessage, 0);
  SocketWatchBlock& block = owner->block;
  block.removalDone = platform::createEvent(false, false);
  block.events[0] = static_cast<uint32_t>(control);
  for (int32_t slot = 0; slot < kWatchedEvents; ++slot) {
    block.sockets[slot] = kFreeWatchSlot;
    owner->descriptors[slot] = -1;
  }
  block.next = newestBlock;
  uint32_t threadId = 0;
  owner->thread = platform::createThread(watchSockets, owner, 0, &threadId);
  if (owner->thread == platform::kNoHandle) endProcess(kNoBlockMessage, 0);
  newestBlock = &block;
  mp_log_event(trace::kNewBlock, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&block)));
}

// The block and slot watching `socket`; false when none does.
bool findSlot(int32_t socket, SocketWatchBlock** found, int32_t* foundSlot) {
  for (SocketWatchBlock* block = newestBlock; block; block = block->next)
    for (int32_t slot = 1; slot < kWatchedEvents; ++slot)
      if (slotSocket(*block, slot) == socket) {
        *found = block;
        *foundSlot = slot;
        return true;
      }
  return false;
}

}  // namespace

SocketWatchBlock* socketWatchBlocks() {
  std::lock_guard hold(socket_event_watcher_crit);
  return newestBlock;
}

uint32_t watcherThreadOf(const SocketWatchBlock* block) {
  return reinterpret_cast<const WatchBlockHost*>(block)->thread;
}

}  // namespace lisp::os

using namespace lisp::os;

extern "C" {

void add_watched_socket(int32_t socket, uint32_t networkEvents) {
  mp_log_event(trace::kWatchChange, static_cast<uint32_t>(socket));
  std::lock_guard hold(socket_event_watcher_crit);
  for (;;) {
    for (SocketWatchBlock* block = newestBlock; block; block = block->next)
      for (int32_t slot = 1; slot < kWatchedEvents; ++slot) {
        if (slotSocket(*block, slot) != kFreeWatchSlot) continue;
        hostOf(block).descriptors[slot] =
            fd_to_pseudofd(static_cast<uint32_t>(socket), host::kKindSocket);
        block->events[slot] = networkEvents;
        __atomic_store_n(&block->sockets[slot], socket, __ATOMIC_RELEASE);
        poke(*block);
        return;
      }
    addBlock();
  }
}

void remove_watched_socket(int32_t socket) {
  mp_log_event(trace::kWatchChange, static_cast<uint32_t>(socket));
  forgetPendingConnects(socket);
  // Held throughout, so that one removal at a time uses a block's request word.
  std::lock_guard hold(socket_event_watcher_crit);
  SocketWatchBlock* block;
  int32_t slot;
  if (!findSlot(socket, &block, &slot)) return;
  mp_log_event(trace::kRemovalSlot, static_cast<uint32_t>(slot));
  __atomic_store_n(&block->slotToRemove, slot, __ATOMIC_RELEASE);
  poke(*block);
  const platform::Handle done[] = {block->removalDone};
  platform::waitForAny(done, platform::kWaitForever);
}

void rearm_watched_socket(int32_t socket) {
  std::lock_guard hold(socket_event_watcher_crit);
  SocketWatchBlock* block;
  int32_t slot;
  if (findSlot(socket, &block, &slot)) poke(*block);
}

}  // extern "C"
