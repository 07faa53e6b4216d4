// The engine's heap routines and its shared matrix cells.
//
// Every engine allocation goes through one replaceable pair of functions
// (calloc and free by default), so every block starts zero-filled and tests
// can make any allocation fail.
#pragma once

#include <cstddef>
#include <cstdint>

// A matrix cell: zero flag (1 = every entry is zero and may be skipped), the
// form code handed to matrixMultiply as the operand's form, and the doubles
// stored column after column.
struct EngineMatrix {
  std::uint8_t zeroFlag;
  std::int32_t form;
  double* data;
};

struct EngineMatrixList {
  std::int32_t count;
  EngineMatrix** matrices;
};

struct IndexList {
  std::int32_t count;
  std::int32_t* indices;
};

using EngineAllocateFunction = void* (*)(std::size_t count, std::size_t size);
using EngineReleaseFunction = void (*)(void* block);

// Replaces the allocation pair; null restores calloc and free.
void setEngineAllocator(EngineAllocateFunction allocate, EngineReleaseFunction release);

// A zeroed block, or null for 0 bytes (no message). On failure records
// "Insufficient heap space." and returns null.
void* engineAllocate(std::size_t bytes);
// Zeroed room for count elements of the given size; overflow counts as failure.
void* engineAllocateArray(std::size_t count, std::size_t size);
// Frees the block in the slot and clears the slot; a null slot or block is fine.
void engineRelease(void** slot);

template <typename T>
T* engineAllocateArrayOf(std::size_t count) {
  return static_cast<T*>(engineAllocateArray(count, sizeof(T)));
}
template <typename T>
void engineReleaseSlot(T*& slot) {
  void* block = slot;
  engineRelease(&block);
  slot = nullptr;
}

// A cell with rows·columns zeroed doubles (no data block when the product is
// <= 0); null on failure, with nothing left allocated.
EngineMatrix* newEngineMatrix(int rows, int columns, std::uint8_t zeroFlag, int form);
void releaseEngineMatrix(EngineMatrix** slot);

// count cells of doublesPerMatrix zeroed doubles, each of form 1 with a clear
// zero flag; null on failure, with everything made so far released.
EngineMatrixList* newEngineMatrixList(int count, int doublesPerMatrix);
void releaseEngineMatrixList(EngineMatrixList** slot);

// count zeroed ints (no block for count <= 0); null on failure.
IndexList* newIndexList(int count);
void releaseIndexList(IndexList** slot);
