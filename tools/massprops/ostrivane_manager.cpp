#include "ostrivane_manager.h"

#include <iostream>

namespace {
constexpr double kSteelDensity = 8000.0;  // kg/m^3
}

void OstrivaneManager::computeMassProps(double height, double width, double thickness,
                                        double armor) {
  std::cout << "computeMassProps(" << height << "," << width << "," << thickness << "," << armor
            << ")" << std::endl;

  // The order of multiplication is part of the result's last bits; keep it.
  const double mass = height * kSteelDensity * width * thickness;
  const double moment = (height * height + thickness * thickness) * mass / 3;

  std::cout << "Mass: " << mass << std::endl;
  std::cout << "MomentOfInertia: " << moment << std::endl;
}
