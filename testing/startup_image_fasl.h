// The start-up fasl of the end-to-end runs: a Lisp built from it dumps its
// image and exits, and the restored image exits with a status of its own.
// Made from hand-assembled code, so that a test needs no compiler.
//
// F1 runs during the build (funcallit): it stores F2 into the global word
// that names the function a restored world starts in, dumps the image to the
// path found at kNamePage, and exits with kBuildStatus when the dump gave 0
// (else kDumpFailedBase + the dump's result). F2 runs in the restored world:
// it checks that its constant (1 . 2) came back whole and exits with its
// constant kRebornStatus (else kWrongConstant). A variant of F2 dumps again
// before its checks.
//
// Only a host that maps the image path at kNamePage (x1_host) can build
// from it; any host can start the image it dumped. Link korvane_objects
// with it (the entry table's offsets).
#pragma once

#include <cstdint>
#include <vector>

namespace testing_support::startup_image {

inline constexpr uint32_t kNamePage = 0x10000000;  // the builder's host puts the image path here
inline constexpr char kImagePathVariable[] = "LISP_DUMP_PATH";  // where x1_host takes it from
inline constexpr uint32_t kTimestamp = 0x5f3a1c07;
inline constexpr char kStartupFaslName[] = "sys/startup.fasl";
inline constexpr int kBuildStatus = 42, kRebornStatus = 43, kWrongConstant = 99,
                     kDumpFailedBase = 50;

std::vector<uint8_t> startupFasl(bool dumpAgain);

// A start-up fasl whose Lisp world puts a function F3 into the collector's
// GlobGcAfterFunction and runs a scavenge (the routine `gc`), in the build
// (inBuild) or, after the usual dump and exit 42, in the restored world. F3
// exits with kGcHookCalledBase + its argument count when its first argument
// (global or not) is nil, else with kWrongConstant; when the scavenge
// returns without calling it, the world exits with kGcHookNotCalled. The
// collector calls F3 only with its flag H set (build option -fg H).
inline constexpr int kGcHookCalledBase = 60, kGcHookNotCalled = 44;
std::vector<uint8_t> gcHookFasl(bool inBuild);

// A start-up fasl whose Lisp world checks, in the build, that its thread's
// stack-limit word lies within the 64 MB below its stack pointer (else it
// exits with kWrongConstant), and applies a second function to nil, which
// exits with kAppliedStatus. With `overflow` the world first puts the limit
// above the stack, so the apply finds no room and reports a stack overflow;
// when that report returns, the world exits with kOverflowReturned.
inline constexpr int kAppliedStatus = 45, kOverflowReturned = 46;
std::vector<uint8_t> stackLimitFasl(bool overflow);

}  // namespace testing_support::startup_image
