#include "mech_engine_common/transform_buffer.h"

#include "mech_engine_common/engine_allocation.h"
#include "mech_engine_common/engine_error.h"
#include "mech_engine_common/engine_messages.h"

TransformBuffer globalTransformBuffer{};

namespace {
constexpr const char* kSourcePath = "mech_engine/mech_engine2d/transform2dUtil";
}

void beginTransformBuffer() {
  if (globalTransformBuffer.table != nullptr) {
    assertionFailed("globalTransformBuffer.table == NULL", nullptr, kSourcePath, 66);
  }
  if (globalTransformBuffer.num != 0) {
    assertionFailed("globalTransformBuffer.num == 0", nullptr, kSourcePath, 67);
  }
  // A buffer left over from an earlier creation is dropped, not reused.
  releaseTransformBuffer();
}

void reserveTransformBuffer(int count) {
  if (count > 0) globalTransformBuffer.max += count;
}

bool allocateTransformBuffer() {
  if (globalTransformBuffer.max <= 0) return false;
  globalTransformBuffer.table =
      engineAllocateArrayOf<const void*>(static_cast<std::size_t>(globalTransformBuffer.max));
  if (globalTransformBuffer.table == nullptr) return setEngineError(kMessageModelOutOfMemory);
  return false;
}

void releaseTransformBuffer() {
  engineReleaseSlot(globalTransformBuffer.table);
  globalTransformBuffer.num = 0;
  globalTransformBuffer.max = 0;
}

TransformRegistration registerTransformTarget(const void* target) {
  if (target == nullptr) return TransformRegistration::alreadyTransformed;
  for (int i = 0; i < globalTransformBuffer.num; ++i) {
    if (globalTransformBuffer.table[i] == target) return TransformRegistration::alreadyTransformed;
  }
  if (globalTransformBuffer.table == nullptr ||
      globalTransformBuffer.num >= globalTransformBuffer.max) {
    assertionFailed("globalTransformBuffer.num < globalTransformBuffer.max", nullptr, kSourcePath,
                    111);
    setEngineError(kMessageTransformBufferFull);
    return TransformRegistration::overflow;
  }
  globalTransformBuffer.table[globalTransformBuffer.num++] = target;
  return TransformRegistration::transform;
}
