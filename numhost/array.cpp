// Double and struct arrays: the host-side constructors and the zy* array
// functions plug-ins call.
#include <algorithm>
#include <limits>
#include <new>

#include "numhost/array_record.h"
#include "numhost/call_scope.h"
#include "numhost/host.h"
#include "numhost/messages.h"

namespace numhost {

void ArrayDeleter::operator()(zyArray* array) const noexcept {
  delete array;
}

// A zero matrix; throws std::bad_alloc when rows * columns doubles cannot exist.
static ArrayPtr newDoubleArray(std::size_t rows, std::size_t columns) {
  if (columns != 0 && rows > std::numeric_limits<std::size_t>::max() / sizeof(double) / columns) {
    throw std::bad_alloc();
  }
  ArrayPtr array(new zyArray);
  array->rows = rows;
  array->columns = columns;
  array->data.assign(rows * columns, 0.0);
  return array;
}

ArrayPtr makeMatrix(std::size_t rows, std::size_t columns,
                    std::span<const double> columnOrderValues) {
  ArrayPtr array = newDoubleArray(rows, columns);
  std::copy_n(columnOrderValues.begin(), std::min(columnOrderValues.size(), array->data.size()),
              array->data.begin());
  return array;
}

ArrayPtr makeRow(std::initializer_list<double> values) {
  return makeMatrix(1, values.size(), values);
}

ArrayPtr makeColumn(std::initializer_list<double> values) {
  return makeMatrix(values.size(), 1, values);
}

ArrayPtr makeScalar(double value) {
  return makeMatrix(1, 1, {&value, 1});
}

ArrayPtr makeStruct(std::vector<NamedField> fields) {
  ArrayPtr array(new zyArray);
  array->kind = zyArray::Kind::kStruct;
  array->rows = 1;
  array->columns = 1;
  for (auto& [name, value] : fields) {
    array->fieldNames.push_back(name);
    array->fieldValues.push_back(std::move(value));
  }
  return array;
}

std::vector<double> valuesOf(const zyArray& array) {
  if (array.kind != zyArray::Kind::kDouble) return {};
  return {array.data.begin(), array.data.begin() + array.elementCount()};
}

std::size_t liveArrayCount() {
  return detail::liveArrays;
}

}  // namespace numhost

using numhost::detail::CallScope;
using numhost::detail::raise;

extern "C" {

double* zyGetPr(const zyArray* array) {
  if (array->kind != zyArray::Kind::kDouble) return nullptr;
  return const_cast<double*>(array->data.data());
}

size_t zyGetM(const zyArray* array) {
  return array->rows;
}

size_t zyGetN(const zyArray* array) {
  return array->columns;
}

const zyArray* zyGetField_700(const zyArray* array, size_t index, const char* name) {
  if (array->kind != zyArray::Kind::kStruct || index >= array->elementCount() || name == nullptr) {
    return nullptr;
  }
  const std::size_t fieldCount = array->fieldNames.size();
  for (std::size_t field = 0; field < fieldCount; ++field) {
    if (array->fieldNames[field] == name)
      return array->fieldValues[index * fieldCount + field].get();
  }
  return nullptr;
}

double zyGetScalar(const zyArray* array) {
  if (array->kind != zyArray::Kind::kDouble || array->elementCount() == 0) return 0.0;
  return array->data[0];
}

zyArray* zyCreateDoubleMatrix_700(size_t rows, size_t columns, int complexity) {
  if (complexity != 0) raise(numhost::detail::kComplexArray);
  numhost::ArrayPtr array;
  try {
    array = numhost::newDoubleArray(rows, columns);
    CallScope* scope = CallScope::current();
    return scope != nullptr ? scope->adopt(std::move(array)) : array.release();
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  raise(numhost::detail::kOutOfMemory);
}

void zySetM_700(zyArray* array, size_t rows) {
  if (array->kind != zyArray::Kind::kDouble) raise(numhost::detail::kSetRowsOfStruct);
  if (array->columns != 0 && rows > array->data.size() / array->columns) {
    raise(numhost::detail::kRowsBeyondData);
  }
  array->rows = rows;
}

void zyDestroyArray(zyArray* array) {
  if (array == nullptr) return;
  CallScope* scope = CallScope::current();
  if (scope == nullptr) {
    delete array;
  } else if (!scope->destroy(array)) {
    raise(numhost::detail::kDestroyForeign);
  }
}

}  // extern "C"
