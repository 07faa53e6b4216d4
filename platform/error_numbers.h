// Error numbers as the runtime's callers expect them.
//
// Lisp code sees three families of numbers: the platform C runtime's errno
// values (equal to Linux's up to 34, different above), the system's own error
// codes, and socket error codes (10000 + the BSD errno number). This module
// translates a Linux errno into each, and keeps two per-thread words that
// failing platform calls fill: the runtime errno and the last system error.
#pragma once

#include <cstdint>

namespace platform {

// System error codes that this layer itself reports.
namespace system_error {
inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kInvalidFunction = 1;
inline constexpr uint32_t kAccessDenied = 5;
inline constexpr uint32_t kInvalidHandle = 6;
inline constexpr uint32_t kNotEnoughMemory = 8;
inline constexpr uint32_t kNotSupported = 50;
inline constexpr uint32_t kInvalidParameter = 87;
inline constexpr uint32_t kInsufficientBuffer = 122;
inline constexpr uint32_t kWaitTimeout = 258;
inline constexpr uint32_t kNotOwner = 288;
inline constexpr uint32_t kTooManyPosts = 298;
inline constexpr uint32_t kInvalidWindowHandle = 1400;
inline constexpr uint32_t kChildWithoutParent = 1406;
inline constexpr uint32_t kClassNotFound = 1407;
inline constexpr uint32_t kClassExists = 1410;
inline constexpr uint32_t kInvalidThreadId = 1444;
}  // namespace system_error

// Socket error code for "the operation would block".
inline constexpr int32_t kSocketWouldBlock = 10035;

// Linux errno -> the platform C runtime's errno. Numbers without a
// counterpart there become its EINVAL (22).
int32_t runtimeErrnoFromLinux(int linuxErrno);
// Linux errno -> system error code; numbers without one become
// kInvalidFunction.
uint32_t systemErrorFromLinux(int linuxErrno);
// Linux errno -> socket error code (10000 + the BSD number); numbers without
// one become 10022 (invalid argument).
int32_t socketErrorFromLinux(int linuxErrno);

// The calling thread's runtime errno word. Hooks that report errors the way
// the C runtime does write through this address.
int32_t* runtimeErrnoAddress();
uint32_t lastSystemError();
void setLastSystemError(uint32_t code);
// A platform call failed with `linuxErrno`: both per-thread words take its
// translations.
void noteLinuxFailure(int linuxErrno);

}  // namespace platform
