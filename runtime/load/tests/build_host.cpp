// A host for black-box tests of the build's options: runs lisp_main_build
// with the given arguments and, once the settings are final (heaps reserved,
// warnings printed), prints them as name=value lines and exits with status 0
// before the collector lays out the heap.
//
//   build_host HOME argv0 options...     (HOME "" leaves the home directory unset)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/gc/gc_state.h"
#include "runtime/load/build_from_scratch.h"
#include "runtime/load/native_variables.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/startup.h"
#include "runtime/os/host_record_services.h"
#include "testing/console_host_record.h"

extern char** environ;

namespace {

void printSettings(const build::Settings& settings) {
  const struct {
    const char* name;
    uint32_t value;
  } words[] = {
      {"new", settings.newSpaceBytes},
      {"old", settings.oldSpaceBytes},
      {"spread", static_cast<uint32_t>(settings.generationSpread)},
      {"reserve", settings.reserveBytes},
      {"lisp_start", settings.lispHeapStart},
      {"lisp_size", settings.lispHeapBytes},
      {"native_start", settings.nativeHeapStart},
      {"native_size", settings.nativeHeapBytes},
      {"maxheapsize", maxheapsize},
      {"raz_start_argsave", raz_start_argsave},
      {"raz_start_xi", raz_start_xi},
      {"raz_start_sfi", raz_start_sfi},
      {"raz_start_lni", raz_start_lni},
      {"raz_start_sld", raz_start_sld},
      {"raz_start_prof", raz_start_prof},
      {"force_full_fasl", force_full_fasl},
      {"force_full_fasl2", force_full_fasl2},
      {"save_force_full_fasl", save_force_full_fasl},
      {"load_real_args", load_real_args},
      {"raz_fasl_noisy", raz_fasl_noisy},
      {"init_case_mode", init_case_mode},
      {"curreadmode", curreadmode},
      {"use_lso_file", static_cast<uint32_t>(use_lso_file)},
      {"GsCtlFlags", GsCtlFlags},
  };
  for (const auto& word : words) std::printf("%s=%u\n", word.name, word.value);
  const struct {
    const char* name;
    const char* value;
  } texts[] = {
      {"raz_sample_file", raz_sample_file}, {"raz_size_file", raz_size_file},
      {"bundlename", bundlename},           {"lso_file", lso_file},
      {"vpl_given_arg", vpl_given_arg},
  };
  for (const auto& text : texts) std::printf("%s=%s\n", text.name, text.value);
  std::fflush(stdout);
  std::exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || std::strlen(argv[1]) >= sizeof home_location) return 120;
  std::strcpy(home_location, argv[1]);
  build::settingsHook = printSettings;
  setup_redir(&testing_support::consoleHostRecord());  // the console: standard output
  std::vector<char*> arguments(argv + 2, argv + argc);
  arguments.push_back(nullptr);
  lisp_main_build(static_cast<int>(arguments.size() - 1), arguments.data(), environ);
  return 121;
}
