// The global transform buffer: remembers every matrix or vector that has been
// mapped into the plane, so data shared by several owners is mapped once.
//
// Lifecycle during one mechanism creation: begin, reserve (counted while the
// planarity check and the creation plan what they will transform), allocate,
// register per transformed item, release.
#pragma once

#include <cstdint>

struct TransformBuffer {
  const void** table;  // max entries, num of them used
  std::int32_t num;
  std::int32_t max;
};

extern TransformBuffer globalTransformBuffer;

// Asserts that the buffer is released, then sets max = 0.
void beginTransformBuffer();
void reserveTransformBuffer(int count);
// Allocates max entries when max > 0. True (failure, error recorded) when the
// allocation fails.
bool allocateTransformBuffer();
// Frees the table; table null, num and max 0, ready for the next mechanism.
void releaseTransformBuffer();

enum class TransformRegistration {
  transform,           // newly registered: transform it now
  alreadyTransformed,  // null or registered before: leave it
  overflow,            // no room left: an engine error has been recorded
};

TransformRegistration registerTransformTarget(const void* target);
