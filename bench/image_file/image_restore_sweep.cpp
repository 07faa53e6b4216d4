// A bounded mutation sweep over image restores, one child process per input:
// each round flips a few bytes of a saved image (in the header, the area
// table, the native-variable block, the nil block or anywhere) and restores
// it through the test host, mapped or read. A restore may refuse or succeed;
// a child killed by a signal is a fault, and its input is kept as crash-N.vxi.
//
// Run by hand, bounded by the round count:
//   build/tests/image_host save /tmp/saved.vxi
//   build/bin/image_restore_sweep build/tests/image_host /tmp/saved.vxi 2000 1
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Where a flip lands: the header and table, the native-variable block, the
// start of the first area (where the nil block lies), or anywhere.
constexpr uint32_t kRegions[][2] = {
    {0, 92 + 4 + 12 * 8}, {0xC060, 0xC060 + 3278}, {0x10000, 0x12000}, {0, 0}};
constexpr uint32_t kRegionCount = sizeof kRegions / sizeof kRegions[0];

Bytes readFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// Runs the host on the image; the signal that ended it, or 0.
int restoreSignal(const char* host, const std::string& image, bool read) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    execl(host, host, "restore", "--", "prog", read ? "-Im" : "-I", image.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s HOST SAVED_IMAGE ROUNDS SEED\n", argv[0]);
    return 2;
  }
  const Bytes saved = readFile(argv[2]);
  const long rounds = std::atol(argv[3]);
  std::mt19937 random(static_cast<uint32_t>(std::atol(argv[4])));
  const std::string trial = "sweep-trial.vxi";
  int faults = 0;
  for (long round = 0; round < rounds; ++round) {
    Bytes image = saved;
    const auto& region = kRegions[random() % kRegionCount];
    const uint32_t from = region[1] ? region[0] : 0;
    const uint32_t to = region[1] ? region[1] : static_cast<uint32_t>(image.size());
    const int flips = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < flips; ++i)
      image[from + random() % (to - from)] ^= static_cast<uint8_t>(1u << (random() % 8));
    writeFile(trial, image);
    if (const int signal = restoreSignal(argv[1], trial, round % 2)) {
      const std::string kept = "crash-" + std::to_string(faults++) + ".vxi";
      writeFile(kept, image);
      std::printf("round %ld: signal %d, kept as %s\n", round, signal, kept.c_str());
    }
  }
  std::remove(trial.c_str());
  std::printf("%ld rounds, %d faults\n", rounds, faults);
  return faults == 0 ? 0 : 1;
}
