// quellmark: prints the mass and edge moment of inertia of a steel plate.
#include <cstdlib>
#include <iostream>
#include <memory>

#include "ostrivane_manager.h"
#include "platform/program_output.h"

int main(int argc, char** argv) {
  platform::reserveStandardDescriptors();
  if (argc < 5) {
    std::cout << "usage: <height(m)> <width(m)> <thickness(m)> <armor constant>" << std::endl;
    return 0;
  }
  // atof: a word that is not a number counts as 0. Arguments past the fourth are ignored.
  auto manager = std::make_unique<OstrivaneManager>();
  manager->computeMassProps(std::atof(argv[1]), std::atof(argv[2]), std::atof(argv[3]),
                            std::atof(argv[4]));
  return platform::finishStandardOutput(argv[0]) ? 0 : 1;
}
