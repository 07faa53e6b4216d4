// An independent reader of level-5 matrix files, written from the file format
// alone for the tests: it shares no code with the writer and checks every
// rule of the format it meets (tags, small elements, zero padding, byte
// counts of matrices and data).
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace qmf_test {

struct QmfArray {
  uint32_t classId = 0;  // low byte of the array flags
  bool logical = false;
  bool complex = false;
  std::vector<int32_t> dims;
  std::string name;
  uint32_t dataType = 0;  // element type of the real and imaginary data
  std::vector<uint8_t> real;
  std::vector<uint8_t> imag;
  // Structures: field names, and for each element of the array its fields in
  // order (element-major).
  std::vector<std::string> fieldNames;
  std::vector<QmfArray> fields;

  template <class T>
  std::vector<T> realAs() const {
    return as<T>(real);
  }
  template <class T>
  std::vector<T> imagAs() const {
    return as<T>(imag);
  }
  // Field `fieldName` of element `element` of a structure array.
  const QmfArray& field(std::size_t element, const std::string& fieldName) const;

 private:
  template <class T>
  static std::vector<T> as(const std::vector<uint8_t>& bytes) {
    std::vector<T> values(bytes.size() / sizeof(T));
    if (!values.empty()) std::memcpy(values.data(), bytes.data(), values.size() * sizeof(T));
    return values;
  }
};

struct QmfFile {
  std::vector<uint8_t> header;  // the 128 header bytes as read
  std::vector<QmfArray> variables;
};

class QmfFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

QmfFile parseQmfFile(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> readFileBytes(const std::string& path);

}  // namespace qmf_test
