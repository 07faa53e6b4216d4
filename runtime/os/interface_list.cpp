// The interface list; see interface_list.h.

#include "runtime/os/interface_list.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/os/sockets.h"
#include "runtime/rs/exports.h"

namespace lisp::os {

int32_t interfaceListMode = 0;

void loadInterfaceList() {
  interfaceListMode = 1;
}

namespace {

struct Interface {
  uint32_t index;
  std::u16string name;
};

// The interfaces with an IPv6 address, each once, or the errno of the failure.
int listInterfaces(std::vector<Interface>* found) {
  ipc_initialize();
  if (interfaceListMode != 1) return ENOSYS;
  ifaddrs* addresses = nullptr;
  if (::getifaddrs(&addresses) < 0) return errno;
  for (const ifaddrs* at = addresses; at; at = at->ifa_next) {
    if (!at->ifa_addr || at->ifa_addr->sa_family != AF_INET6 || !at->ifa_name) continue;
    const uint32_t index = ::if_nametoindex(at->ifa_name);
    if (index == 0) continue;
    if (std::any_of(found->begin(), found->end(),
                    [index](const Interface& known) { return known.index == index; }))
      continue;
    std::u16string name;
    for (const char* c = at->ifa_name; *c; ++c) name.push_back(static_cast<unsigned char>(*c));
    found->push_back({index, std::move(name)});
  }
  ::freeifaddrs(addresses);
  return 0;
}

char16_t folded(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool sameName(const std::u16string& name, const uint16_t* asked) {
  size_t at = 0;
  for (; asked[at] != 0; ++at)
    if (at == name.size() || folded(name[at]) != folded(static_cast<char16_t>(asked[at])))
      return false;
  return at == name.size();
}

}  // namespace
}  // namespace lisp::os

using namespace lisp::os;

extern "C" {

KORVANE_EXPORT int32_t vxm_if_nameindex(uint8_t* buffer, int32_t size) {
  std::vector<Interface> interfaces;
  if (const int error = listInterfaces(&interfaces)) return -error;
  int32_t packed = 0;
  int64_t at = 0;
  for (const Interface& interface : interfaces) {
    if (size - at < 4) break;
    const uint32_t index = htonl(interface.index);
    std::memcpy(buffer + at, &index, 4);
    at += 4;
    const int64_t nameBytes = static_cast<int64_t>(interface.name.size() + 1) * 2;
    if (at + nameBytes > size) break;
    std::memcpy(buffer + at, interface.name.c_str(), static_cast<size_t>(nameBytes));
    at += nameBytes;
    ++packed;
  }
  return packed;
}

KORVANE_EXPORT uint32_t lisp_if_nametoindex(const uint16_t* name) {
  std::vector<Interface> interfaces;
  if (!name || listInterfaces(&interfaces) != 0) return 0;
  for (const Interface& interface : interfaces)
    if (sameName(interface.name, name)) return interface.index;
  return 0;
}

KORVANE_EXPORT uint16_t* lisp_if_indextoname(uint32_t index, uint16_t* buffer) {
  std::vector<Interface> interfaces;
  if (!buffer || listInterfaces(&interfaces) != 0) return nullptr;
  for (const Interface& interface : interfaces) {
    if (interface.index != index) continue;
    const size_t units = std::min(interface.name.size(), kInterfaceNameUnits - 1);
    std::memcpy(buffer, interface.name.data(), units * 2);
    buffer[units] = 0;
    return buffer;
  }
  return nullptr;
}

KORVANE_EXPORT InterfaceNameIndex* lisp_if_nameindex() {
  std::vector<Interface> interfaces;
  if (listInterfaces(&interfaces) != 0) return nullptr;
  // One block: the records, the closing record, then the names.
  size_t bytes = (interfaces.size() + 1) * sizeof(InterfaceNameIndex);
  for (const Interface& interface : interfaces) bytes += (interface.name.size() + 1) * 2;
  auto* list = static_cast<InterfaceNameIndex*>(std::malloc(bytes));
  if (!list) return nullptr;
  auto* names = reinterpret_cast<uint16_t*>(list + interfaces.size() + 1);
  for (size_t i = 0; i < interfaces.size(); ++i) {
    const std::u16string& name = interfaces[i].name;
    std::memcpy(names, name.c_str(), (name.size() + 1) * 2);
    list[i] = {interfaces[i].index, names};
    names += name.size() + 1;
  }
  list[interfaces.size()] = {0, nullptr};
  return list;
}

KORVANE_EXPORT void lisp_if_freenameindex(InterfaceNameIndex* list) {
  std::free(list);
}

}  // extern "C"
