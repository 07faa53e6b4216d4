// Host-name and address lookups for Lisp code: synchronous, or on a thread of
// their own that finishes a pending event (pending_events.h) and wakes its
// waiter.
#pragma once

#include <netdb.h>

#include <cstddef>
#include <cstdint>

namespace lisp::os {

// One address found by a lookup.
struct LookupRecord {
  uint8_t family;       // 0 IPv4, 1 IPv6
  uint8_t address[16];  // network order; IPv4 in the first 4
};
static_assert(offsetof(LookupRecord, family) == 0);
static_assert(offsetof(LookupRecord, address) == 1);
static_assert(sizeof(LookupRecord) == 17);

inline constexpr uint8_t kLookupIPv4 = 0;
inline constexpr uint8_t kLookupIPv6 = 1;

// Family selectors of the lookups.
inline constexpr int32_t kSelectIPv4 = 0;
inline constexpr int32_t kSelectIPv6 = 1;

// The resolver the lookups use (getaddrinfo; its results are freed with
// freeaddrinfo). A test may put a slower one in its place.
using AddressResolver = int (*)(const char* name, const char* service, const addrinfo* hints,
                                addrinfo** results);
extern AddressResolver resolveAddresses;

}  // namespace lisp::os

extern "C" {
// Up to `maximum` records of the addresses of `name` (stream sockets over
// TCP; selector 0 IPv4, 1 IPv6, any other value either). The count, or -1.
int32_t ipc_lookup_hostname2(const char* name, int32_t selector, uint8_t* records,
                             int32_t maximum);
// The same on a thread of its own: its pending entry finishes with the count
// as result, and unless cancelled first the records land in `records`.
// Returns the pending index, or -1 when the work cannot be started.
int32_t win_lookup_hostname2(const char* name, int32_t selector, uint8_t* records,
                             int32_t maximum, uint32_t waiter);
// The names of an address (IPv6 when `address6` is given) on a thread of its
// own: the official name and then each alias, each NUL-terminated, packed
// into `buffer` as long as they fit in `size`. The result is how many; -1
// when the lookup fails.
int32_t win_ipaddr_to_name2(uint32_t address4, const uint8_t* address6, char* buffer,
                            int32_t size, uint32_t waiter);
}
