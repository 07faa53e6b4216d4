// Small services for Lisp code: the interface version, file versions, the name-server
// configuration, processor affinity, reboot, the administrator test, the
// running program's path and directory, and the tray watcher of the console.
#pragma once

#include <sched.h>

#include <cstddef>
#include <cstdint>

#include "runtime/rs/exports.h"
#include "runtime/rs/lisp_value.h"

extern "C" {
// 3: the interface version the launcher requires.
KORVANE_EXPORT int32_t get_vxm_dll_version();

// The name-server record (source byte, two-byte length most significant
// first, the servers joined by blanks with a NUL, then the domain the same
// way) in `buffer`; bytes written, or 0 when it does not fit or nothing is
// known. A configuration that opens but cannot be read gives 0 with the
// source byte 255 ("could not be read").
int32_t sy_compute_dns_info(uint8_t* buffer, int32_t size);
// The older way through the system's registry, which Linux does not have:
// finds nothing and returns 0.
int32_t old_sy_compute_dns_info(uint8_t* buffer, int32_t size);

// ELF files carry no version resource: fixnum 1 ("no version information"),
// with the four version words (the thread's extra result words) nil.
lisp::lispval sy_get_version(const char* fileName);

// 0, or a system error code.
int32_t sy_set_pam(uint32_t mask);
// The affinity mask as a fixnum; on failure fixnum 0, with cl_error set to
// the system error code as a fixnum.
lisp::lispval sy_get_pam();
// 1 when an orderly reboot was asked for, else 0.
int32_t sy_reboot(int32_t force);
// 1 for the administrator (effective user 0), else 0.
int32_t sy_IsAdmin();
// The running program's full path, or null.
const char* curpgmname();
const char* curpgmpath();
// The running program's directory, or null.
const char* get_startup_directory();
// Message 1038 to the console window, when there is one.
void start_tray_icon_watcher();
}

namespace lisp::os {

// How sy_get_pam reads the process's affinity (sched_getaffinity's form: 0,
// or -1 with errno); tests put in their own, null puts the system's back.
using AffinityReader = int (*)(size_t bytes, cpu_set_t* set);
void setAffinityReader(AffinityReader reader);

// Where the name-server configuration is read from; tests use their own file.
inline constexpr const char* kResolverConfiguration = "/etc/resolv.conf";
void setResolverConfigurationPath(const char* path);

// What sy_reboot asks of the system, as a seam: whether the process has the
// privilege to reboot, and the orderly reboot itself (whether the request went
// out). Tests put in their own so that nothing reboots; null parts put the
// system's back.
struct RebootSystem {
  bool (*privileged)();
  bool (*requestReboot)(bool force);
};
void setRebootSystem(RebootSystem system);

}  // namespace lisp::os
