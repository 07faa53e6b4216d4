// The geometry check of the prismatic primitives of a general joint or
// general constraint: the two attachment frames must lie on the prismatic
// axis (one axis), in the plane of the axes (two), or coincide (none).
#pragma once

// d: follower frame minus base frame; axes: p unit axes of `dimension`
// components each. Stores the displacement along each axis into
// displacements (p values). Parallel and anti-parallel axes are aligned. True
// on failure, with the message recorded for the block.
bool checkPrismaticGeometry(const char* blockName, const double* d, const double* const* axes,
                            int p, int dimension, double linearTolerance, double* displacements);
