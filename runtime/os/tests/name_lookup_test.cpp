#include "runtime/os/name_lookup.h"

#include <net/if.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/os/interface_list.h"
#include "runtime/os/tests/socket_test_support.h"
#include "testing/watchdog.h"

namespace {

using namespace std::chrono_literals;
using lisp::os::LookupRecord;
using socket_test::eventually;
using socket_test::finished;
using socket_test::pendingResult;
using testing_support::Watchdog;

constexpr uint8_t kUntouched = 0xAB;
const uint8_t kLoopbackBytes[] = {127, 0, 0, 1};

// ---- forward lookups ----

TEST(NameLookup, LocalhostAndNumericNamesGiveLoopbackRecords) {
  for (const char* name : {"localhost", "127.0.0.1"}) {
    SCOPED_TRACE(name);
    LookupRecord records[4];
    const int32_t count =
        ipc_lookup_hostname2(name, 0, reinterpret_cast<uint8_t*>(records), 4);
    ASSERT_GE(count, 1);
    EXPECT_EQ(records[0].family, lisp::os::kLookupIPv4);
    EXPECT_EQ(std::memcmp(records[0].address, kLoopbackBytes, 4), 0);
  }
}

TEST(NameLookup, FailuresAndLimits) {
  uint8_t records[2 * sizeof(LookupRecord) + 1];
  std::memset(records, kUntouched, sizeof records);
  EXPECT_EQ(ipc_lookup_hostname2("nonexistent.invalid", 0, records, 2), -1);
  EXPECT_EQ(ipc_lookup_hostname2(nullptr, 0, records, 2), -1);
  EXPECT_EQ(ipc_lookup_hostname2("localhost", 0, records, -1), -1);
  EXPECT_EQ(ipc_lookup_hostname2("localhost", 0, records, 0), 0);
  // A numeric IPv6 name asked for as IPv6; the count keeps within the room.
  EXPECT_EQ(ipc_lookup_hostname2("::1", 1, records, 1), 1);
  EXPECT_EQ(records[0], lisp::os::kLookupIPv6);
  EXPECT_EQ(records[16], 1);
  EXPECT_EQ(records[sizeof(LookupRecord)], kUntouched);
}

TEST(NameLookup, ThreadedLookupFinishesItsEntry) {
  Watchdog guard("threaded lookup", 10s);
  LookupRecord records[4];
  const int32_t index =
      win_lookup_hostname2("localhost", 0, reinterpret_cast<uint8_t*>(records), 4, 0);
  ASSERT_GE(index, 0);
  ASSERT_LT(index, lisp::os::kPendingEventCount);
  ASSERT_TRUE(eventually([&] { return finished(index); }));
  const int32_t count = pendingResult(index);
  ASSERT_GE(count, 1);
  EXPECT_EQ(ipc_reap_event(index), count);
  EXPECT_EQ(records[0].family, lisp::os::kLookupIPv4);
  EXPECT_EQ(std::memcmp(records[0].address, kLoopbackBytes, 4), 0);

  const int32_t failing = win_lookup_hostname2("nonexistent.invalid", 0,
                                               reinterpret_cast<uint8_t*>(records), 4, 0);
  ASSERT_TRUE(eventually([&] { return finished(failing); }));
  EXPECT_EQ(ipc_reap_event(failing), -1);
  EXPECT_EQ(win_lookup_hostname2("localhost", 0, nullptr, -1, 0), -1);
  EXPECT_EQ(win_lookup_hostname2("localhost", 0, nullptr, 1, 0), -1);
  EXPECT_EQ(win_lookup_hostname2(nullptr, 0, reinterpret_cast<uint8_t*>(records), 1, 0), -1);
}

// A resolver held back until the test lets it go.
class HeldResolver {
 public:
  HeldResolver() {
    held_ = this;
    lisp::os::resolveAddresses = resolve;
  }
  ~HeldResolver() {
    release();
    lisp::os::resolveAddresses = ::getaddrinfo;
  }
  void release() {
    std::lock_guard hold(lock_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  static int resolve(const char* name, const char* service, const addrinfo* hints,
                     addrinfo** results) {
    {
      std::unique_lock hold(held_->lock_);
      held_->changed_.wait(hold, [] { return held_->released_; });
    }
    return ::getaddrinfo(name, service, hints, results);
  }
  static inline HeldResolver* held_ = nullptr;
  std::mutex lock_;
  std::condition_variable changed_;
  bool released_ = false;
};

TEST(NameLookup, CancelledLookupLeavesTheBufferAlone) {
  Watchdog guard("cancelled lookup", 10s);
  HeldResolver resolver;
  uint8_t records[4 * sizeof(LookupRecord)];
  std::memset(records, kUntouched, sizeof records);
  const int32_t index = win_lookup_hostname2("localhost", 0, records, 4, 0);
  ASSERT_GE(index, 0);
  cancel_event(index);
  resolver.release();
  ASSERT_TRUE(eventually([&] { return finished(index); }));
  EXPECT_EQ(pendingResult(index), 0);
  for (uint8_t byte : records) ASSERT_EQ(byte, kUntouched);
}

TEST(NameLookup, FinishingForAWaiterOpensItsGate) {
  Watchdog guard("lookup waiter", 10s);
  alignas(8) static uint32_t gate[3] = {};  // header, state word, count
  uint8_t records[sizeof(LookupRecord)];
  const uint32_t stateWord = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&gate[1]));
  const int32_t index = win_lookup_hostname2("localhost", 0, records, 1, stateWord);
  ASSERT_GE(index, 0);
  ASSERT_TRUE(eventually([&] { return __atomic_load_n(&gate[1], __ATOMIC_SEQ_CST) == 1; }));
  ASSERT_TRUE(eventually([&] { return finished(index); }));
}

// ---- reverse lookups ----

std::vector<std::string> packedNames(const char* buffer, int32_t count) {
  std::vector<std::string> names;
  for (int32_t i = 0; i < count; ++i) {
    names.emplace_back(buffer);
    buffer += names.back().size() + 1;
  }
  return names;
}

int32_t reverseLookup(char* buffer, int32_t size) {
  const int32_t index = win_ipaddr_to_name2(socket_test::kLoopback, nullptr, buffer, size, 0);
  EXPECT_GE(index, 0);
  EXPECT_TRUE(eventually([&] { return finished(index); }));
  return pendingResult(index);
}

TEST(NameLookup, ReverseLookupPacksNamesWithinTheSize) {
  Watchdog guard("reverse lookup", 10s);
  char buffer[256];
  std::memset(buffer, kUntouched, sizeof buffer);
  const int32_t count = reverseLookup(buffer, 200);
  ASSERT_GE(count, 1);
  const std::vector<std::string> names = packedNames(buffer, count);
  size_t used = 0;
  for (const std::string& name : names) {
    EXPECT_FALSE(name.empty());
    used += name.size() + 1;
  }
  EXPECT_LE(used, 200u);
  EXPECT_EQ(static_cast<uint8_t>(buffer[200]), kUntouched);

  // Room for the first name only.
  char tight[256];
  std::memset(tight, kUntouched, sizeof tight);
  const auto firstSize = static_cast<int32_t>(names[0].size() + 1);
  ASSERT_EQ(reverseLookup(tight, firstSize), 1);
  EXPECT_EQ(std::string(tight), names[0]);
  EXPECT_EQ(static_cast<uint8_t>(tight[firstSize]), kUntouched);

  // Room for nothing: nothing is written.
  std::memset(tight, kUntouched, sizeof tight);
  EXPECT_EQ(reverseLookup(tight, 2), 0);
  EXPECT_EQ(static_cast<uint8_t>(tight[0]), kUntouched);
  EXPECT_EQ(win_ipaddr_to_name2(socket_test::kLoopback, nullptr, tight, -1, 0), -1);
  EXPECT_EQ(win_ipaddr_to_name2(socket_test::kLoopback, nullptr, nullptr, 8, 0), -1);
}

// ---- the interface list ----

struct Packed {
  uint32_t index;
  std::u16string name;
};

std::vector<Packed> unpack(const uint8_t* buffer, int32_t count) {
  std::vector<Packed> found;
  for (int32_t i = 0; i < count; ++i) {
    uint32_t index;
    std::memcpy(&index, buffer, 4);
    buffer += 4;
    std::u16string name;
    for (char16_t unit; std::memcpy(&unit, buffer, 2), buffer += 2, unit != 0;) name.push_back(unit);
    found.push_back({ntohl(index), name});
  }
  return found;
}

TEST(InterfaceList, LoopbackIsListedAndFoundByAnyCase) {
  const uint32_t loopback = ::if_nametoindex("lo");
  if (loopback == 0) GTEST_SKIP() << "no lo interface";
  uint8_t buffer[4096];
  const int32_t count = vxm_if_nameindex(buffer, sizeof buffer);
  ASSERT_GE(count, 1);
  bool listed = false;
  for (const Packed& packed : unpack(buffer, count))
    listed |= packed.index == loopback && packed.name == u"lo";
  if (!listed) GTEST_SKIP() << "lo has no IPv6 address";

  EXPECT_EQ(lisp_if_nametoindex(reinterpret_cast<const uint16_t*>(u"LO")), loopback);
  EXPECT_EQ(lisp_if_nametoindex(reinterpret_cast<const uint16_t*>(u"lo")), loopback);
  EXPECT_EQ(lisp_if_nametoindex(reinterpret_cast<const uint16_t*>(u"l")), 0u);
  EXPECT_EQ(lisp_if_nametoindex(reinterpret_cast<const uint16_t*>(u"loo")), 0u);

  uint16_t name[lisp::os::kInterfaceNameUnits];
  ASSERT_EQ(lisp_if_indextoname(loopback, name), name);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name)), u"lo");
  EXPECT_EQ(lisp_if_indextoname(0xFFFFFF, name), nullptr);

  InterfaceNameIndex* list = lisp_if_nameindex();
  ASSERT_NE(list, nullptr);
  int32_t entries = 0;
  bool inList = false;
  for (InterfaceNameIndex* at = list; at->index != 0; ++at, ++entries)
    inList |= at->index == loopback &&
              std::u16string(reinterpret_cast<const char16_t*>(at->name)) == u"lo";
  EXPECT_TRUE(inList);
  EXPECT_EQ(entries, count);
  lisp_if_freenameindex(list);
}

TEST(InterfaceList, PackingStopsWhereANameNoLongerFits) {
  uint8_t buffer[4096];
  const int32_t count = vxm_if_nameindex(buffer, sizeof buffer);
  ASSERT_GE(count, 1);
  const std::vector<Packed> all = unpack(buffer, count);
  const auto firstBytes = static_cast<int32_t>(4 + 2 * (all[0].name.size() + 1));
  uint8_t small[4096];
  EXPECT_EQ(vxm_if_nameindex(small, 3), 0);
  EXPECT_EQ(vxm_if_nameindex(small, firstBytes - 1), 0);
  EXPECT_EQ(vxm_if_nameindex(small, firstBytes), 1);
  EXPECT_EQ(std::memcmp(small, buffer, static_cast<size_t>(firstBytes)), 0);
}

}  // namespace
