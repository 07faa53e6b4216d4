// The planarity check of a mechanism: can every joint and constraint run in a
// plane, and which plane. Part of the dimension decision at creation.
#pragma once

#include "mech_engine_common/engine_mechanism.h"

// Begins the global transform buffer and reserves in it what creation will
// map into the plane. When the mechanism is planar, *planar is set and
// mechanism->planeTransform receives the rotation into the plane (rows: the
// two plane axes and the normal). When it is not and reportNonPlanar is set,
// the 3D-disabled message names the offending block and the check fails.
// True on failure (error recorded).
bool checkMechanismPlanarity(EngineMechanism* mechanism, bool reportNonPlanar, bool* planar);
