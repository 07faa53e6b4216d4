#include "runtime/os/small_system_services.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "platform/error_numbers.h"
#include "platform/message_queue.h"
#include "runtime/load/startup.h"
#include "runtime/os/file_call_errors.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/thread_record_access.h"

extern "C" lisp::lispval nilval;

namespace {

constexpr int32_t kInterfaceVersion = 3;
constexpr uint32_t kStartTrayWatcherMessage = 1038;
constexpr size_t kProgramPathBytes = 1024;
// The name-server record's source byte when the parameters could not be read.
constexpr uint8_t kSourceUnreadable = 255;
// The older way's source code for name servers set by configuration, and the
// most a stored value it reads holds, with its NUL.
constexpr uint8_t kSourceStoredServers = 3;
constexpr size_t kStoredValueBytes = 257;

const char* resolver_path = lisp::os::kResolverConfiguration;

// Decision: an orderly reboot on Linux is the init system's, asked for with
// its own command (never the raw reboot call, which skips syncing the file
// systems); force asks it not to wait for services.
bool askSystemToReboot(bool force) {
  return std::system(force ? "systemctl reboot --force" : "systemctl reboot") == 0;
}
bool isAdministrator() {
  return geteuid() == 0;
}
lisp::os::RebootSystem reboot_system{isAdministrator, askSystemToReboot};

// The running program's path, read once per call into a runtime buffer.
char program_path[kProgramPathBytes];
char startup_directory[kProgramPathBytes];

const char* readProgramPath() {
  const ssize_t length = readlink("/proc/self/exe", program_path, sizeof program_path - 1);
  if (length <= 0) return nullptr;
  program_path[length] = '\0';
  return program_path;
}

// Name servers and the domain from a resolver configuration: "nameserver"
// lines in order; the "domain" line, else the first "search" word.
// Decision: a file that cannot be opened is the system call's failure (the
// older way is tried); one that opens but cannot be read is the failure of
// the second read (the record says 255).
enum class ResolverRead { Unopened, ReadFailed, Read };
struct ResolverSettings {
  std::vector<std::string> servers;
  std::string domain;
  ResolverRead read = ResolverRead::Unopened;
};

ResolverRead readWholeFile(const char* path, std::string* text) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ResolverRead::Unopened;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return ResolverRead::ReadFailed;
    }
    if (got == 0) break;
    text->append(chunk, static_cast<size_t>(got));
  }
  ::close(fd);
  return ResolverRead::Read;
}

ResolverSettings readResolverSettings(const char* path) {
  ResolverSettings settings;
  std::string text;
  settings.read = readWholeFile(path, &text);
  if (settings.read != ResolverRead::Read) return settings;
  std::istringstream file(text);
  std::string search;
  for (std::string line; std::getline(file, line);) {
    std::istringstream words(line);
    std::string keyword, value;
    if (!(words >> keyword >> value)) continue;
    if (keyword == "nameserver") settings.servers.push_back(value);
    else if (keyword == "domain") settings.domain = value;
    else if (keyword == "search" && search.empty()) search = value;
  }
  if (settings.domain.empty()) settings.domain = search;
  return settings;
}

void putLength(uint8_t* at, size_t length) {
  at[0] = static_cast<uint8_t>(length >> 8);
  at[1] = static_cast<uint8_t>(length);
}

int readSystemAffinity(size_t bytes, cpu_set_t* set) {
  return sched_getaffinity(0, bytes, set);
}
lisp::os::AffinityReader affinity_reader = readSystemAffinity;

}  // namespace

namespace lisp::os {

void setAffinityReader(AffinityReader reader) {
  affinity_reader = reader ? reader : readSystemAffinity;
}

void setResolverConfigurationPath(const char* path) {
  resolver_path = path ? path : kResolverConfiguration;
}

void setRebootSystem(RebootSystem system) {
  reboot_system.privileged = system.privileged ? system.privileged : isAdministrator;
  reboot_system.requestReboot = system.requestReboot ? system.requestReboot : askSystemToReboot;
}

}  // namespace lisp::os

extern "C" {

int32_t get_vxm_dll_version() {
  return kInterfaceVersion;
}

lisp::lispval sy_get_version(const char*) {
  if (uint32_t* versionWords = thread_mv_slots())
    for (int i = 0; i < 4; ++i) versionWords[i] = nilval;
  return lisp::makeFixnum(1);
}

// The older way: the settings as one stored value each, the servers joined
// by blanks and the domain, each cut to what a 257-byte read holds, with the
// source code of statically configured name servers.
int32_t old_sy_compute_dns_info(uint8_t* buffer, int32_t size) {
  const ResolverSettings settings = readResolverSettings(resolver_path);
  if (settings.read != ResolverRead::Read || settings.servers.empty() || !buffer || size <= 0)
    return 0;
  std::string servers;
  for (const std::string& server : settings.servers)
    servers += (servers.empty() ? "" : " ") + server;
  servers.resize(std::min(servers.size(), kStoredValueBytes - 1));
  const std::string domain =
      settings.domain.substr(0, std::min(settings.domain.size(), kStoredValueBytes - 1));
  const size_t serverBytes = servers.size() + 1;
  const size_t domainBytes = domain.empty() ? 0 : domain.size() + 1;
  const size_t total = 3 + serverBytes + (domainBytes ? 2 + domainBytes : 0);
  if (total > static_cast<size_t>(size)) return 0;
  buffer[0] = kSourceStoredServers;
  putLength(buffer + 1, serverBytes);
  std::memcpy(buffer + 3, servers.c_str(), serverBytes);
  if (domainBytes) {
    uint8_t* at = buffer + 3 + serverBytes;
    putLength(at, domainBytes);
    std::memcpy(at + 2, domain.c_str(), domainBytes);
  }
  return static_cast<int32_t>(total);
}

int32_t sy_compute_dns_info(uint8_t* buffer, int32_t size) {
  const ResolverSettings settings = readResolverSettings(resolver_path);
  if (settings.read == ResolverRead::Unopened) return old_sy_compute_dns_info(buffer, size);
  if (settings.read == ResolverRead::ReadFailed) {
    if (buffer && size > 0) buffer[0] = kSourceUnreadable;
    return 0;
  }
  if (settings.servers.empty() || !buffer || size <= 0) return 0;
  std::string servers = settings.servers[0];
  // Room for further servers: the size less the first server and 7 bytes
  // (source, two lengths of two bytes, two NULs).
  const int64_t room = int64_t{size} - static_cast<int64_t>(servers.size()) - 7;
  size_t added = 0;
  for (size_t i = 1; i < settings.servers.size(); ++i) {
    added += settings.servers[i].size() + 1;
    if (static_cast<int64_t>(added) > room) return 0;
    servers += " " + settings.servers[i];
  }
  const size_t serverBytes = servers.size() + 1;
  const size_t domainBytes = settings.domain.empty() ? 0 : settings.domain.size() + 1;
  const size_t total = 3 + serverBytes + (domainBytes ? 2 + domainBytes : 0);
  if (total > static_cast<size_t>(size)) return 0;
  buffer[0] = 1;  // the source: the system's network parameters
  putLength(buffer + 1, serverBytes);
  std::memcpy(buffer + 3, servers.c_str(), serverBytes);
  if (domainBytes) {
    uint8_t* domain = buffer + 3 + serverBytes;
    putLength(domain, domainBytes);
    std::memcpy(domain + 2, settings.domain.c_str(), domainBytes);
  }
  return static_cast<int32_t>(total);
}

int32_t sy_set_pam(uint32_t mask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (unsigned cpu = 0; cpu < 32; ++cpu)
    if (mask & (1u << cpu)) CPU_SET(cpu, &set);
  if (sched_setaffinity(0, sizeof set, &set) == 0) return 0;
  return static_cast<int32_t>(platform::systemErrorFromLinux(errno));
}

lisp::lispval sy_get_pam() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (affinity_reader(sizeof set, &set) != 0) {
    lisp::fio::noteSystemFailure(errno);
    return lisp::makeFixnum(0);
  }
  // Decision: the mask of the first 29 processors, which a fixnum holds.
  int32_t mask = 0;
  for (unsigned cpu = 0; cpu < 29; ++cpu)
    if (CPU_ISSET(cpu, &set)) mask |= 1 << cpu;
  return lisp::makeFixnum(mask);
}

int32_t sy_reboot(int32_t force) {
  if (!reboot_system.privileged()) return 0;
  return reboot_system.requestReboot(force != 0) ? 1 : 0;
}

int32_t sy_IsAdmin() {
  return isAdministrator() ? 1 : 0;
}

const char* curpgmname() {
  return readProgramPath();
}

const char* curpgmpath() {
  return readProgramPath();
}

const char* get_startup_directory() {
  const char* path = readProgramPath();
  if (!path) return nullptr;
  const char* slash = std::strrchr(path, '/');
  if (!slash) return nullptr;
  const size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
  std::memcpy(startup_directory, path, length);
  startup_directory[length] = '\0';
  struct stat status {};
  if (stat(startup_directory, &status) != 0) return nullptr;
  return startup_directory;
}

void start_tray_icon_watcher() {
  const host::HostRecord* record = reinterpret_cast<const host::HostRecord*>(redir);
  if (record && record->consoleWindow)
    platform::postWindowMessage(record->consoleWindow, kStartTrayWatcherMessage, 0, 0);
}

}  // extern "C"
