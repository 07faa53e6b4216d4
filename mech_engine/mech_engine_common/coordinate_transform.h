// Frames and plane rotations shared by the joint and constraint methods.
#pragma once

// Two axes perpendicular to the normal n (zero or unit length): first = n × e
// with e = (0, 1, 0) when |n_y| < |n_x|, else (1, 0, 0); second = n × first.
// frame receives the first axis, then the second (6 doubles).
void coordinateTransform(double* frame, const double* normal);

// The same after normalising a copy of the input (a zero vector stays zero).
void coordinateTransformNormalised(double* frame, const double* normal);

// 2x2 rotation (column-major) by angle about an axis parallel to ±z:
// (cos x, sin(z·x), -sin(z·x), cos x) with z the axis' third component.
void planeRotation(const double* axis, double angle, double* rotation);
