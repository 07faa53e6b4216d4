// zorvath: the ramp test simulation.
#include "platform/program_output.h"
#include "sim/model/zorvath_program.h"

int main(int argc, char** argv) {
  platform::reserveStandardDescriptors();
  return sim::runZorvath(argc, argv);
}
