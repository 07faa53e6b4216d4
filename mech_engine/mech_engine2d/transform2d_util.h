// Maps 3D description data into the plane of motion, in place. Each routine
// first registers its target in the global transform buffer and works only on
// a target not mapped before, so data shared by several owners is mapped once.
// `planeTransform` is the mechanism's 3x3 rotation into the plane. All return
// true on failure (the transform buffer had no room; engine error recorded).
#pragma once

// v = T·v for a 3-vector.
bool transformVector2D(const double* planeTransform, double* v);

// M = T·M for a 3x3 matrix.
bool transformMatrix2D(const double* planeTransform, double* m);

// M = T·M formed by accumulating into a cleared product.
bool transformMatrixAccumulated2D(const double* planeTransform, double* m);

// A unit direction that lies in the plane: rotated, normal component cleared,
// the in-plane part rescaled to unit length.
bool transformInPlaneDirection2D(const double* planeTransform, double* v);

// A unit direction along the plane normal: rotated, in-plane components
// cleared, the normal component +1 when it was positive, else -1.
bool transformNormalDirection2D(const double* planeTransform, double* v);
