// The remote-command list. Decision: one mutex guards appending (any
// launcher thread) and popping (the Lisp thread), the counters with them.
// The consumer makes the Lisp object while the node is still the head (only
// the consumer removes it), so a collection during the allocation loses
// nothing, then unlinks and frees it.

#include "runtime/os/remote_commands.h"

#include <cstddef>
#include <cstring>
#include <mutex>

#include "platform/waitable.h"
#include "runtime/os/gotsig.h"
#include "runtime/os/host_allocator.h"
#include "runtime/os/message_pump.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/mp_log.h"
#include "runtime/rs/lisp_presence.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/object_routines.h"

extern "C" lisp::lispval nilval;

namespace {

struct RemoteCommandNode {
  RemoteCommandNode* link;
  int32_t count;
  union {
    char text[1];
    uint32_t words[1];
  } payload;
};
constexpr size_t kNodeHeaderBytes = offsetof(RemoteCommandNode, payload);

std::mutex list_lock;
RemoteCommandNode* main_cmd_list = nullptr;  // oldest first
RemoteCommandNode* last_command = nullptr;

uint32_t handshake_event = 0;

uint32_t wordOf(const void* data) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
}

// A filled node with no link, or nullptr.
RemoteCommandNode* newNode(int32_t count, const void* data) {
  const size_t payloadBytes =
      count == 0 ? std::strlen(static_cast<const char*>(data)) + 1 : 4 * static_cast<size_t>(count);
  auto* node = static_cast<RemoteCommandNode*>(lisp::os::hostAllocate(kNodeHeaderBytes + payloadBytes));
  if (!node) return nullptr;
  node->link = nullptr;
  node->count = count;
  if (count == 1)
    node->payload.words[0] = wordOf(data);
  else
    std::memcpy(&node->payload, data, payloadBytes);
  return node;
}

// The node's payload as a new Lisp object.
lisp::lispval objectOf(const RemoteCommandNode& node) {
  const bool text = node.count == 0;
  const uint32_t length = text ? std::strlen(node.payload.text) : node.count;
  const uint8_t type = text ? 125 : 127;
  const lisp::lispval object = new_lisp_obj(type, length, 0);
  const uint32_t dataOffset = lisp::vectorDataOffset(*lisp::vectorType(type));
  void* data = &lisp::wordAt(object, lisp::kHeaderOffset + static_cast<int32_t>(dataOffset));
  std::memcpy(data, &node.payload, text ? length : 4 * length);
  return object;
}

}  // namespace

extern "C" {

int32_t do_remote_command_interrupt = 0;
uint32_t cmd_added = 0;
uint32_t cmd_read = 0;

int32_t remote_command(int32_t count, const void* data) {
  namespace ev = lisp::mp_event;
  // Decision: a command waits for a Lisp that is on its way (start-up, a
  // restore, a build); it is refused (0) only when nobody will take it:
  // while start-up asks for an image name, and once the Lisp has gone. The
  // caller then learns that nobody will answer it.
  if (!lisp::presence::presentOrComing()) return 0;
  if (count < 0 || count > lisp::os::kMostRemoteCommandWords) return 0;
  if (count != 1 && !data) return 0;
  if (count == 0)
    mp_log_event(ev::kRemoteCommandText, 0);
  else if (count == 1)
    mp_log_event(ev::kRemoteCommandWord, wordOf(data));
  else
    mp_log_event(ev::kRemoteCommandWords, *static_cast<const uint32_t*>(data));
  RemoteCommandNode* node = newNode(count, data);
  if (!node) return 0;
  {
    std::lock_guard<std::mutex> hold(list_lock);
    if (last_command)
      last_command->link = node;
    else
      main_cmd_list = node;
    last_command = node;
    ++cmd_added;
  }
  if (__atomic_load_n(&do_remote_command_interrupt, __ATOMIC_ACQUIRE)) wake_lisp_thread();
  return 1;
}

uint32_t remote_command_event(uint32_t event) {
  handshake_event = event;
  return event;
}

void remote_command_queue_empty() {
  if (handshake_event) platform::setEvent(handshake_event);
}

lisp::lispval sy_get_next_remote_command() {
  namespace ev = lisp::mp_event;
  __atomic_store_n(&do_remote_command_interrupt, 1, __ATOMIC_RELEASE);
  mp_log_event(ev::kRemoteCommandAsked, 0);
  RemoteCommandNode* head;
  {
    std::lock_guard<std::mutex> hold(list_lock);
    head = main_cmd_list;
  }
  if (!head) {
    remote_command_queue_empty();
    return nilval;
  }
  mp_log_event(ev::kRemoteCommandTaken, static_cast<uint32_t>(head->count));
  const lisp::lispval object = objectOf(*head);
  {
    std::lock_guard<std::mutex> hold(list_lock);
    main_cmd_list = head->link;
    if (!main_cmd_list) last_command = nullptr;
    ++cmd_read;
  }
  lisp::os::hostRelease(head);
  return object;
}

int check_pending_remote_command() {
  bool pending;
  {
    std::lock_guard<std::mutex> hold(list_lock);
    pending = main_cmd_list != nullptr;
  }
  if (!pending) return 0;
  gotsig(lisp::os::kRemoteCommandSignal, nullptr, nullptr);
  return 1;
}

}  // extern "C"
