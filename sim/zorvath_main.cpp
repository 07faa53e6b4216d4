// zorvath: the ramp test simulation.
#include "sim/model/zorvath_program.h"

int main(int argc, char** argv) {
  return sim::runZorvath(argc, argv);
}
