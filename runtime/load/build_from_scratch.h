// Building an empty Lisp world: lisp_main_build reads its options, reserves
// the heaps, lays out the heap and enters the first Lisp thread, which loads
// the start-up bundle. The options set the build's own settings and the
// runtime variables below, which the start-up Lisp code reads.
#pragma once

#include <cstdint>

extern "C" {

inline constexpr int kProfileFileBytes = 512;

// ---- runtime variables set by the build's options ----
extern uint32_t raz_start_argsave;  // bit 0 cleared by -A, bit 1 set by -Pc
extern uint32_t raz_start_xi;
extern uint32_t raz_start_sfi;
extern uint32_t raz_start_lni;
extern uint32_t raz_start_sld;
extern uint32_t raz_start_prof;  // low two bits: 2 sampling (-Ps), 1 timing (-Pt); bit 2 by -Pc
extern char raz_sample_file[kProfileFileBytes];
extern char raz_size_file[kProfileFileBytes];
extern uint32_t force_full_fasl2;
extern uint32_t save_force_full_fasl;  // force_full_fasl once the options are read
extern uint32_t init_case_mode;
// The fasl loaders' bundle-message switch (defined with the fasl module's variables).
extern uint32_t raz_fasl_noisy;

// The number at the start of the text times the multiplier its last character
// names: k/K 1 024, m/M 1 048 576, a digit or b/B 1. A bad multiplier, an
// empty or negative text or a size above 32 bits ends the process (status 1).
uint32_t size_decode(const char* text);

// Installs gotsig_helper for the console interrupt signal.
void setupsigs();
// Re-installs itself and records the signal for Lisp code.
void gotsig_helper(int signal);

// Does not return while the Lisp runs.
int lisp_main_build(int argc, char** argv, char** envp);
}

namespace build {

// The build's own settings, with their defaults.
struct Settings {
  uint32_t newSpaceBytes = 0x500000;
  uint32_t oldSpaceBytes = 0x100000;
  int32_t generationSpread = 1;
  // Decision: 0xC800 bytes, the same as "-r 50". GsInit holds these bytes back
  // from the first new semispace, so 0xC800 KB (50 MB) could never fit the
  // default 2.5 MB semispace.
  uint32_t reserveBytes = 0xC800;
  uint32_t lispHeapStart = 0;  // 0: the heap reservation chooses
  uint32_t lispHeapBytes = 0;  // 0: the heap reservation's default
  uint32_t nativeHeapStart = 0;
  uint32_t nativeHeapBytes = 0;
};

// Reads the options from argv[1] on into the settings and the runtime
// variables. A missing argument or an illegal option ends the process.
void readOptions(int argc, char** argv, Settings& settings);

// Called once the settings are final, the heaps reserved and the warnings
// printed, just before the collector lays out the heap. Null except in test
// hosts, which use it to look at the settings and stop.
extern void (*settingsHook)(const Settings& settings);

}  // namespace build
