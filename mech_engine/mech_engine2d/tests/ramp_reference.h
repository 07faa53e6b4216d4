// Forward kinematics of the ramp's tree written with plain trigonometry, for
// checking the engine against something that does not use its routines.
#pragma once

#include <cmath>

#include "ramp_fixture.h"

struct Placement {
  double angle;
  Point at;  // reference point
};

inline Point turn(double angle, double x, double y) {
  return {std::cos(angle) * x - std::sin(angle) * y, std::sin(angle) * x + std::cos(angle) * y};
}
inline Point plus(Point a, Point b) {
  return {a.x + b.x, a.y + b.y};
}
inline Point minus(Point a, Point b) {
  return {a.x - b.x, a.y - b.y};
}
inline Point along(double angle, Point local) {
  return turn(angle, local.x, local.y);
}

// Independent forward kinematics of the ramp's tree from its five coordinates
// (q: Revolute1, Revolute2, Revolute5, Prismatic, Revolute4; every coordinate
// moves the outboard body relative to the inboard one).
struct TreePlacements {
  Placement exlar, rod, link4, link3, door;
};

inline TreePlacements forwardKinematics(const double* q) {
  TreePlacements p;
  using namespace ramp_points;
  p.exlar = {q[4], kGround3};
  const Point exlarCS1 = plus(kGround3, along(p.exlar.angle, minus(kExlarCS1, kGround3)));
  p.rod = {p.exlar.angle, plus(exlarCS1, along(p.exlar.angle, {q[3], 0.0}))};
  // The rod's frame at Link4 CS5 lies at the rod's described offset.
  p.link4 = {p.rod.angle + q[2], plus(p.rod.at, along(p.rod.angle, minus(kLink4CS5, kExlarCS1)))};
  p.link3 = {p.link4.angle + q[1],
             plus(p.link4.at, along(p.link4.angle, minus(kLink4CS4, kLink4CS5)))};
  p.door = {p.link3.angle + q[0],
            plus(p.link3.at, along(p.link3.angle, minus(kDoorCS4, kLink4CS4)))};
  return p;
}
