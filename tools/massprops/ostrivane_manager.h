// Mass properties of a rectangular steel ramp plate.
#pragma once

class OstrivaneManager {
 public:
  virtual ~OstrivaneManager() = default;

  // Echoes the arguments, then prints the plate's mass (kg) and its moment of
  // inertia (kg m^2) about the edge along the width. `armor` is echoed only.
  void computeMassProps(double height, double width, double thickness, double armor);
};
