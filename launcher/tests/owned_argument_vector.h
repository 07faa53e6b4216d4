// An argument vector built for a test and freed with it. The launcher never
// frees its vector (options keep pointers into removed elements), so the test
// keeps the elements as built and frees those.
#pragma once

#include <cstdlib>
#include <vector>

#include "launcher/argument_vector.h"

namespace launcher_testing {

struct OwnedArgumentVector {
  launcher::ArgumentVector vector;
  std::vector<char*> built;

  OwnedArgumentVector(const char* commandText, const char* resource)
      : vector(launcher::buildArgumentVector(commandText, resource)),
        built(vector.elements, vector.elements + vector.count) {}
  ~OwnedArgumentVector() {
    for (char* element : built) std::free(element);
    std::free(vector.elements);
  }
  OwnedArgumentVector(const OwnedArgumentVector&) = delete;
  OwnedArgumentVector& operator=(const OwnedArgumentVector&) = delete;
};

}  // namespace launcher_testing
