// Writes seed bundles for fuzz_bundle_reader into the folder given: small
// bundles made by the test-side writer, good ones and one of each bad kind.
//   build/bin/make_bundle_reader_seeds bench/fasl/bundle_seeds

#include <cstdio>
#include <string>
#include <vector>

#include "testing/fasl_bundle_writer.h"

namespace {

using testing_support::BundleCorruption;
using testing_support::BundleFasl;

const std::vector<BundleFasl> kFasls = {
    {"sys/startup.fasl", 7, {0xF3, 7, 0, 0, 0}},
    {"a", 1, {0xF3, 1, 0, 0, 0}},
    {"sys/startup.fasl", 9, {0xF3, 9, 0, 0, 0}},
};

template <class Change>
BundleCorruption corrupted(Change change) {
  BundleCorruption corruption;
  change(corruption);
  return corruption;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s folder\n", argv[0]);
    return 1;
  }
  const std::string folder = std::string(argv[1]) + "/";
  bool written = testing_support::writeFileBytes(folder + "good", faslBundle(kFasls));
  written &= testing_support::writeFileBytes(
      folder + "unterminated",
      faslBundle(kFasls, corrupted([](BundleCorruption& c) { c.unterminatedEntry = 0; })));
  written &= testing_support::writeFileBytes(folder + "offset_past_end",
                                             faslBundle(kFasls, corrupted([](BundleCorruption& c) {
                                                          c.entryWithOffset = 0;
                                                          c.offset = 4000;
                                                        })));
  written &= testing_support::writeFileBytes(
      folder + "count_too_large",
      faslBundle(kFasls, corrupted([](BundleCorruption& c) { c.entryCount = 40; })));
  return written ? 0 : 1;
}
