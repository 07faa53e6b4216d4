#include "mech_engine_common/engine_allocation.h"

#include <cstdlib>

#include "mech_engine_common/engine_error.h"

namespace {

constexpr const char* kInsufficientHeapSpace = "Insufficient heap space.";

EngineAllocateFunction allocateFunction = &std::calloc;
EngineReleaseFunction releaseFunction = &std::free;

}  // namespace

void setEngineAllocator(EngineAllocateFunction allocate, EngineReleaseFunction release) {
  allocateFunction = allocate != nullptr ? allocate : &std::calloc;
  releaseFunction = release != nullptr ? release : &std::free;
}

void* engineAllocateArray(std::size_t count, std::size_t size) {
  if (count == 0 || size == 0) return nullptr;
  void* block = nullptr;
  if (count <= SIZE_MAX / size) block = allocateFunction(count, size);
  if (block == nullptr) setEngineError(kInsufficientHeapSpace);
  return block;
}

void* engineAllocate(std::size_t bytes) {
  return engineAllocateArray(bytes, 1);
}

void engineRelease(void** slot) {
  if (slot == nullptr) return;
  if (*slot != nullptr) releaseFunction(*slot);
  *slot = nullptr;
}

EngineMatrix* newEngineMatrix(int rows, int columns, std::uint8_t zeroFlag, int form) {
  auto* matrix = engineAllocateArrayOf<EngineMatrix>(1);
  if (matrix == nullptr) return nullptr;
  matrix->zeroFlag = zeroFlag;
  matrix->form = form;
  if (rows > 0 && columns > 0) {
    matrix->data = engineAllocateArrayOf<double>(static_cast<std::size_t>(rows) *
                                                 static_cast<std::size_t>(columns));
    if (matrix->data == nullptr) {
      releaseEngineMatrix(&matrix);
      return nullptr;
    }
  }
  return matrix;
}

void releaseEngineMatrix(EngineMatrix** slot) {
  if (slot == nullptr || *slot == nullptr) return;
  engineReleaseSlot((*slot)->data);
  engineReleaseSlot(*slot);
}

EngineMatrixList* newEngineMatrixList(int count, int doublesPerMatrix) {
  auto* list = engineAllocateArrayOf<EngineMatrixList>(1);
  if (list == nullptr) return nullptr;
  if (count > 0) {
    list->matrices = engineAllocateArrayOf<EngineMatrix*>(static_cast<std::size_t>(count));
    if (list->matrices == nullptr) {
      releaseEngineMatrixList(&list);
      return nullptr;
    }
    list->count = count;
    for (int i = 0; i < count; ++i) {
      list->matrices[i] = newEngineMatrix(doublesPerMatrix, 1, 0, 1);
      if (list->matrices[i] == nullptr) {
        releaseEngineMatrixList(&list);
        return nullptr;
      }
    }
  }
  return list;
}

void releaseEngineMatrixList(EngineMatrixList** slot) {
  if (slot == nullptr || *slot == nullptr) return;
  EngineMatrixList* list = *slot;
  if (list->matrices != nullptr) {
    for (int i = 0; i < list->count; ++i) releaseEngineMatrix(&list->matrices[i]);
  }
  engineReleaseSlot(list->matrices);
  engineReleaseSlot(*slot);
}

IndexList* newIndexList(int count) {
  auto* list = engineAllocateArrayOf<IndexList>(1);
  if (list == nullptr) return nullptr;
  if (count > 0) {
    list->indices = engineAllocateArrayOf<std::int32_t>(static_cast<std::size_t>(count));
    if (list->indices == nullptr) {
      releaseIndexList(&list);
      return nullptr;
    }
    list->count = count;
  }
  return list;
}

void releaseIndexList(IndexList** slot) {
  if (slot == nullptr || *slot == nullptr) return;
  engineReleaseSlot((*slot)->indices);
  engineReleaseSlot(*slot);
}
