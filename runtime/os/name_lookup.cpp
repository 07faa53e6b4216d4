// Host-name and address lookups; see name_lookup.h.

#include "runtime/os/name_lookup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/threads.h"
#include "runtime/os/pending_events.h"
#include "runtime/os/sockets.h"
#include "runtime/rs/exports.h"

namespace lisp::os {

AddressResolver resolveAddresses = ::getaddrinfo;

namespace {

constexpr int32_t kLookupFailed = -1;
constexpr size_t kFirstHostBuffer = 1024;
constexpr size_t kLargestHostBuffer = 1 << 20;

struct ForwardWork {
  std::string name;
  uint8_t* records;
  int32_t selector;
  int32_t index;
  int32_t maximum;
};

struct ReverseWork {
  bool ipv6;
  uint8_t address[16];  // network order; IPv4 in the first 4
  char* buffer;
  int32_t size;
  int32_t index;
};

// Under events_mutex: unless the entry was cancelled, the finished work's
// bytes go to the caller and its result is stored and the waiter woken; the
// entry is marked finished in every case.
void finish(int32_t index, int32_t result, void* destination, const void* source, size_t bytes) {
  std::lock_guard hold(events_mutex);
  PendingEvent& entry = events[index];
  if ((entry.flags & kPendingCancelled) == 0) {
    if (bytes > 0) std::memcpy(destination, source, bytes);
    entry.result = result;
    wakePendingWaiter(entry);
  }
  entry.flags = (entry.flags & ~kPendingInProgress) | kPendingFinished;
}

uint32_t forwardLookup(void* argument) {
  std::unique_ptr<ForwardWork> work(static_cast<ForwardWork*>(argument));
  const size_t bytes = static_cast<size_t>(work->maximum) * sizeof(LookupRecord);
  void* room = bytes > 0 ? std::malloc(bytes) : nullptr;
  const int32_t count =
      room ? ipc_lookup_hostname2(work->name.c_str(), work->selector,
                                  static_cast<uint8_t*>(room), work->maximum)
           : 0;
  finish(work->index, count, work->records, room,
         count > 0 ? static_cast<size_t>(count) * sizeof(LookupRecord) : 0);
  std::free(room);
  return 0;
}

// The names of the address packed into `scratch`; how many, or -1.
int32_t packHostNames(const ReverseWork& work, char* scratch) {
  hostent entry;
  hostent* found = nullptr;
  int lookupError = 0;
  std::vector<char> room(kFirstHostBuffer);
  for (;;) {
    const int failed =
        ::gethostbyaddr_r(work.address, work.ipv6 ? 16 : 4, work.ipv6 ? AF_INET6 : AF_INET,
                          &entry, room.data(), room.size(), &found, &lookupError);
    if (failed != ERANGE || room.size() >= kLargestHostBuffer) break;
    room.resize(room.size() * 2);
  }
  if (!found) return kLookupFailed;
  int32_t packed = 0;
  size_t used = 0;
  auto pack = [&](const char* name) {
    const size_t length = name ? std::strlen(name) : 0;
    if (length == 0 || used + length + 1 > static_cast<size_t>(work.size)) return;
    std::memcpy(scratch + used, name, length + 1);
    used += length + 1;
    ++packed;
  };
  pack(found->h_name);
  for (char** alias = found->h_aliases; alias && *alias; ++alias) pack(*alias);
  return packed;
}

uint32_t reverseLookup(void* argument) {
  std::unique_ptr<ReverseWork> work(static_cast<ReverseWork*>(argument));
  const size_t bytes = static_cast<size_t>(work->size);
  char* scratch = bytes > 0 ? static_cast<char*>(std::calloc(bytes, 1)) : nullptr;
  const int32_t count = bytes == 0 || scratch ? packHostNames(*work, scratch) : 0;
  finish(work->index, count, work->buffer, scratch, count > 0 ? bytes : 0);
  std::free(scratch);
  return 0;
}

// Starts `work` on a thread of its own for pending entry `index`; false when
// the thread cannot be had (the entry is then given up).
bool startLookup(platform::ThreadStart routine, void* work, int32_t index) {
  uint32_t threadId = 0;
  const platform::Handle thread = platform::createThread(routine, work, 0, &threadId);
  if (thread == platform::kNoHandle) {
    dropPendingEvent(index);
    return false;
  }
  platform::closeHandle(thread);
  return true;
}

}  // namespace
}  // namespace lisp::os

using namespace lisp::os;

extern "C" {

KORVANE_EXPORT int32_t ipc_lookup_hostname2(const char* name, int32_t selector, uint8_t* records,
                                            int32_t maximum) {
  ipc_initialize();
  if (!name || maximum < 0 || (maximum > 0 && !records)) return kLookupFailed;
  addrinfo hints{};
  hints.ai_family = selector == kSelectIPv4 ? AF_INET : selector == kSelectIPv6 ? AF_INET6 : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* results = nullptr;
  if (resolveAddresses(name, nullptr, &hints, &results) != 0) return kLookupFailed;
  int32_t count = 0;
  for (const addrinfo* at = results; at && count < maximum; at = at->ai_next) {
    LookupRecord record{};
    if (at->ai_family == AF_INET) {
      record.family = kLookupIPv4;
      std::memcpy(record.address, &reinterpret_cast<const sockaddr_in*>(at->ai_addr)->sin_addr, 4);
    } else if (at->ai_family == AF_INET6) {
      record.family = kLookupIPv6;
      std::memcpy(record.address, &reinterpret_cast<const sockaddr_in6*>(at->ai_addr)->sin6_addr,
                  16);
    } else {
      continue;
    }
    std::memcpy(records + static_cast<size_t>(count) * sizeof record, &record, sizeof record);
    ++count;
  }
  ::freeaddrinfo(results);
  return count;
}

KORVANE_EXPORT int32_t win_lookup_hostname2(const char* name, int32_t selector, uint8_t* records,
                                            int32_t maximum, uint32_t waiter) {
  ipc_initialize();
  if (!name || maximum < 0 || (maximum > 0 && !records) ||
      static_cast<uint64_t>(maximum) * sizeof(LookupRecord) > static_cast<uint64_t>(INT32_MAX))
    return kLookupFailed;
  auto* work = new (std::nothrow) ForwardWork{name, records, selector, 0, maximum};
  if (!work) return kLookupFailed;
  work->index = createPendingEvent(kPendingLookup, 0, waiter);
  const int32_t index = work->index;
  if (!startLookup(forwardLookup, work, index)) {
    delete work;
    return kLookupFailed;
  }
  return index;
}

KORVANE_EXPORT int32_t win_ipaddr_to_name2(uint32_t address4, const uint8_t* address6,
                                           char* buffer, int32_t size, uint32_t waiter) {
  ipc_initialize();
  if (size < 0 || (size > 0 && !buffer)) return kLookupFailed;
  auto* work = new (std::nothrow) ReverseWork{address6 != nullptr, {}, buffer, size, 0};
  if (!work) return kLookupFailed;
  if (address6) {
    std::memcpy(work->address, address6, 16);
  } else {
    const uint32_t network = htonl(address4);
    std::memcpy(work->address, &network, 4);
  }
  work->index = createPendingEvent(kPendingLookup, 0, waiter);
  const int32_t index = work->index;
  if (!startLookup(reverseLookup, work, index)) {
    delete work;
    return kLookupFailed;
  }
  return index;
}

}  // extern "C"
