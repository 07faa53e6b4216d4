// The clock, the name-server record, affinity, reboot, the program's path and
// the small answers of the system services.

#include "runtime/os/small_system_services.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "launcher/host_record.h"
#include "platform/error_numbers.h"
#include "platform/message_queue.h"
#include "runtime/os/clock_services.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/remote_commands.h"
#include "runtime/rs/tests/service_dispatch_heap.h"
#include "testing/temp_path.h"

namespace {

// ---- the clock ----

lisp::os::ClockReading g_reading;

struct ClockCase {
  int64_t unixSeconds;
  int32_t nanoseconds;
  int32_t seconds, milliseconds, microseconds, day, secondsIntoDay;
};

TEST(ClockServices, SecondsSince2015WithTheirFractionAndDay) {
  lisp::os::setRealTimeClock([] { return g_reading; });
  const ClockCase cases[] = {
      {1420070401, 250000000, 1, 250, 250000, 5419, 1},        // 2015-01-01 00:00:01.250
      {1420070399, 500000000, -1, 500, 500000, 5418, 86399},   // 2014-12-31 23:59:59.500
      {1420070400 + 86400 * 3 + 5, 999999999, 86400 * 3 + 5, 999, 999999, 5422, 5},
  };
  for (const ClockCase& c : cases) {
    SCOPED_TRACE(c.unixSeconds);
    g_reading = {c.unixSeconds, c.nanoseconds};
    sy_time();
    EXPECT_EQ(s_utime, c.seconds);
    EXPECT_EQ(s_stime, c.milliseconds);
    EXPECT_EQ(s_days, c.day);
    EXPECT_EQ(s_secs, c.secondsIntoDay);
    sy_mtime();
    EXPECT_EQ(s_stime, c.microseconds);
    int32_t record[4] = {};
    sy_time_smp(record);
    EXPECT_EQ(record[0], c.seconds);
    EXPECT_EQ(record[1], c.milliseconds);
    EXPECT_EQ(record[2], c.secondsIntoDay);
    EXPECT_EQ(record[3], c.day);
    sy_mtime_smp(record);
    EXPECT_EQ(record[1], c.microseconds);
  }
  lisp::os::setRealTimeClock(nullptr);
}

// ---- the name-server record ----

class NameServers : public ::testing::Test {
 protected:
  void TearDown() override {
    lisp::os::setResolverConfigurationPath(nullptr);
    std::remove(path_.c_str());
  }
  void configure(const std::string& text) {
    std::ofstream(path_) << text;
    lisp::os::setResolverConfigurationPath(path_.c_str());
  }
  std::string path_ = testing_support::processTempPath("resolv.conf");
};

TEST_F(NameServers, TwoServersAndADomain) {
  configure("# comment\nnameserver 10.0.0.1\nnameserver 10.0.0.22\nsearch other.example\n"
            "domain lab.example\n");
  const std::string servers = "10.0.0.1 10.0.0.22";
  const std::string domain = "lab.example";
  std::vector<uint8_t> expected = {1, 0, static_cast<uint8_t>(servers.size() + 1)};
  expected.insert(expected.end(), servers.begin(), servers.end());
  expected.push_back(0);
  expected.insert(expected.end(), {0, static_cast<uint8_t>(domain.size() + 1)});
  expected.insert(expected.end(), domain.begin(), domain.end());
  expected.push_back(0);

  std::vector<uint8_t> buffer(64, 0xee);
  ASSERT_EQ(sy_compute_dns_info(buffer.data(), 64), static_cast<int32_t>(expected.size()));
  buffer.resize(expected.size());
  EXPECT_EQ(buffer, expected);
  // One byte short of the record: nothing.
  std::vector<uint8_t> tight(expected.size() - 1);
  EXPECT_EQ(sy_compute_dns_info(tight.data(), static_cast<int32_t>(tight.size())), 0);
}

TEST_F(NameServers, TheFirstSearchWordStandsInForTheDomain) {
  configure("nameserver ::1\nsearch a.example b.example\n");
  uint8_t buffer[64] = {};
  ASSERT_EQ(sy_compute_dns_info(buffer, sizeof buffer), 3 + 4 + 2 + 10);
  EXPECT_STREQ(reinterpret_cast<const char*>(buffer + 3), "::1");
  EXPECT_STREQ(reinterpret_cast<const char*>(buffer + 9), "a.example");
}

TEST_F(NameServers, NoFileOrNoServerGivesZero) {
  lisp::os::setResolverConfigurationPath("/nonexistent/resolv.conf");
  uint8_t buffer[64];
  EXPECT_EQ(sy_compute_dns_info(buffer, sizeof buffer), 0);
  configure("domain lab.example\n");
  EXPECT_EQ(sy_compute_dns_info(buffer, sizeof buffer), 0);
}

TEST_F(NameServers, AFileThatOpensButCannotBeReadGives255AndZero) {
  // A directory. The path is kept, not copied: it must outlive the calls.
  const std::string directory = ::testing::TempDir();
  lisp::os::setResolverConfigurationPath(directory.c_str());
  uint8_t buffer[8] = {7, 7, 7};
  EXPECT_EQ(sy_compute_dns_info(buffer, sizeof buffer), 0);
  EXPECT_EQ(buffer[0], 255);
  EXPECT_EQ(buffer[1], 7);
  EXPECT_EQ(sy_compute_dns_info(nullptr, 0), 0);
  // A file that does not open takes the older way, which writes nothing.
  lisp::os::setResolverConfigurationPath("/nonexistent/resolv.conf");
  buffer[0] = 7;
  EXPECT_EQ(sy_compute_dns_info(buffer, sizeof buffer), 0);
  EXPECT_EQ(buffer[0], 7);
}

// The older form gives the same servers and domain in its own shape: the
// source of configured servers (3), and each text cut to a 257-byte value.
TEST_F(NameServers, TheOlderFormGivesTheSameAnswerInItsOwnShape) {
  configure("nameserver 10.0.0.1\nnameserver 10.0.0.22\ndomain lab.example\n");
  std::vector<uint8_t> newer(64, 0xee), older(64, 0xee);
  const int32_t written = sy_compute_dns_info(newer.data(), 64);
  ASSERT_GT(written, 0);
  EXPECT_EQ(old_sy_compute_dns_info(older.data(), 64), written);
  EXPECT_EQ(older[0], 3);
  EXPECT_TRUE(std::equal(older.begin() + 1, older.end(), newer.begin() + 1));
  EXPECT_EQ(old_sy_compute_dns_info(older.data(), written - 1), 0) << "one byte short";
  EXPECT_EQ(old_sy_compute_dns_info(nullptr, 0), 0);

  // Sixty servers: the newer form has no room for them all, the older one
  // keeps what its value holds.
  std::string text;
  for (int i = 0; i < 60; ++i) text += "nameserver 10.0.0." + std::to_string(100 + i) + "\n";
  configure(text);
  std::vector<uint8_t> buffer(300, 0xee);
  ASSERT_EQ(old_sy_compute_dns_info(buffer.data(), 300), 3 + 257);
  EXPECT_EQ(buffer[1] * 256 + buffer[2], 257);
  EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(buffer.data() + 3)), 256u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data() + 3), 11), "10.0.0.100 ");

  lisp::os::setResolverConfigurationPath("/nonexistent/resolv.conf");
  EXPECT_EQ(old_sy_compute_dns_info(buffer.data(), 300), 0);
}

// ---- affinity, reboot, administrator ----

TEST(SystemServices, AffinityMaskIsTheSystemsAndCanBeSetAgain) {
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  uint32_t mask = 0;
  for (unsigned cpu = 0; cpu < 29; ++cpu)
    if (CPU_ISSET(cpu, &set)) mask |= 1u << cpu;
  EXPECT_EQ(sy_get_pam(), lisp::makeFixnum(static_cast<int32_t>(mask)));
  EXPECT_EQ(sy_set_pam(mask), 0);
  EXPECT_EQ(sy_set_pam(0), 87);  // the invalid-parameter code
}

// sy_get_pam through the system-call dispatch (service 104): the mask, or on
// failure nil and cl_error, the system error code as a fixnum.
class AffinityService : public gc_test::ServiceDispatchHeap {
 protected:
  AffinityService() : ServiceDispatchHeap(kSyscallSlot) {}
  void TearDown() override {
    lisp::os::setAffinityReader(nullptr);
    cl_error = 0;
    ServiceDispatchHeap::TearDown();
  }
  static constexpr int32_t kSyscallSlot = 0x17b;
  static constexpr int32_t kGetPam = 104;
};

TEST_F(AffinityService, AFailureReachesLispThroughClError) {
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  uint32_t mask = 0;
  for (unsigned cpu = 0; cpu < 29; ++cpu)
    if (CPU_ISSET(cpu, &set)) mask |= 1u << cpu;
  EXPECT_EQ(oneValue(run(kGetPam, {})), lisp::makeFixnum(static_cast<int32_t>(mask)));
  lisp::os::setAffinityReader([](size_t, cpu_set_t*) {
    errno = EPERM;
    return -1;
  });
  EXPECT_EQ(secondOfNilAnd(run(kGetPam, {})),
            lisp::makeFixnum(static_cast<int32_t>(platform::systemErrorFromLinux(EPERM))));
}

bool g_rebootAsked = false;
bool g_rebootForce = false;

TEST(SystemServices, RebootNeedsThePrivilegeAndPassesForce) {
  lisp::os::setRebootSystem({[] { return false; }, [](bool force) {
                               g_rebootAsked = true;
                               g_rebootForce = force;
                               return true;
                             }});
  EXPECT_EQ(sy_reboot(1), 0);
  EXPECT_FALSE(g_rebootAsked);
  lisp::os::setRebootSystem({[] { return true; }, [](bool force) {
                               g_rebootAsked = true;
                               g_rebootForce = force;
                               return true;
                             }});
  EXPECT_EQ(sy_reboot(1), 1);
  EXPECT_TRUE(g_rebootAsked);
  EXPECT_TRUE(g_rebootForce);
  lisp::os::setRebootSystem({nullptr, nullptr});
  EXPECT_EQ(sy_IsAdmin(), geteuid() == 0 ? 1 : 0);
}

// ---- the program, the version, the console ----

TEST(SystemServices, ProgramPathAndStartupDirectory) {
  char expected[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", expected, sizeof expected - 1), 0);
  ASSERT_NE(curpgmname(), nullptr);
  EXPECT_STREQ(curpgmname(), expected);
  EXPECT_STREQ(curpgmpath(), expected);
  const std::string directory(expected, std::strrchr(expected, '/'));
  ASSERT_NE(get_startup_directory(), nullptr);
  EXPECT_EQ(get_startup_directory(), directory);
}

uint32_t ignoreMessages(platform::Handle, uint32_t, uint32_t, uint32_t) {
  return 0;
}

TEST(SystemServices, VersionHandshakeAndTrayWatcher) {
  EXPECT_EQ(get_vxm_dll_version(), 3);
  // No file carries version information here.
  EXPECT_EQ(sy_get_version("/proc/self/exe"), lisp::makeFixnum(1));

  const platform::Handle event = platform::createEvent(true, false);
  remote_command_event(event);
  remote_command_queue_empty();
  const platform::Handle handles[] = {event};
  EXPECT_EQ(platform::waitForAny(handles, 0), 0);
  remote_command_event(0);
  platform::closeHandle(event);

  uint32_t* const saved = redir;
  host::HostRecord record{};
  redir = reinterpret_cast<uint32_t*>(&record);
  platform::ensureMessageQueue();
  start_tray_icon_watcher();  // no console window: nothing sent
  platform::Message message;
  EXPECT_FALSE(platform::peekMessage(&message, true));
  record.consoleWindow = platform::createWindow(ignoreMessages);
  start_tray_icon_watcher();
  ASSERT_TRUE(platform::peekMessage(&message, true));
  EXPECT_EQ(message.message, 1038u);
  EXPECT_EQ(message.window, record.consoleWindow);
  platform::closeHandle(record.consoleWindow);
  redir = saved;
}

}  // namespace
