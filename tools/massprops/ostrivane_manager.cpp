#include "ostrivane_manager.h"

#include <iostream>

namespace {
constexpr double kSteelDensity = 8000.0;  // kg/m^3
}

void OstrivaneManager::computeMassProps(double height, double width, double thickness,
                                        double armor) {
  // Lines end in '\n', not std::endl: the program's one flush at its end
  // then sees a failed write together with its reason.
  std::cout << "computeMassProps(" << height << "," << width << "," << thickness << "," << armor
            << ")\n";

  // The order of multiplication is part of the result's last bits; keep it.
  const double mass = height * kSteelDensity * width * thickness;
  const double moment = (height * height + thickness * thickness) * mass / 3;

  std::cout << "Mass: " << mass << '\n';
  std::cout << "MomentOfInertia: " << moment << '\n';
}
