// Writing the level-5 matrix file: the 128-byte header and data elements,
// among them the matrix elements of logged matrices, structure variables and
// their signals structures.
//
// An element is an 8-byte tag (type, byte count), its data and zero padding up
// to a multiple of 8; data of 4 bytes or fewer goes in a small element (one
// word holding count << 16 | type, then the data in 4 bytes). A matrix
// element's count is the padded size of its sub-elements, found by a sizing
// pass over the same sub-elements before the tag is written.
#pragma once

#include <cstdint>
#include <cstdio>

namespace sim {

struct QmfItem {
  int32_t type;      // element type; kQmfMatrix for a matrix element
  uint32_t nBytes;   // data bytes; for a matrix set by the sizing pass
  const void* data;  // the bytes, or the record a matrix is made from
};

// What the record behind a matrix item is.
enum QmfItemKind : int {
  kQmfDataItem = 0,       // plain data: not a matrix
  kQmfLogMatrixItem = 1,  // LogMatrix (or LogVariable)
  kQmfStructLogItem = 2,  // StructLogVariable
  kQmfSignalsItem = 3,    // SignalsStructure
};

// Each returns 0 on success and non-zero on a short write or an inconsistent
// record (a record that would make the writer read outside its buffers).
int writeQmfFileHeader(std::FILE* file);
int writeQmfItem(std::FILE* file, QmfItem* item, int kind);

// The sizing pass (write = 0: stores the padded size of the sub-elements in
// item->nBytes) or the writing pass (write = 1) of a matrix element.
int rt_ProcessQmfItem(std::FILE* file, QmfItem* item, int kind, int write);

}  // namespace sim
