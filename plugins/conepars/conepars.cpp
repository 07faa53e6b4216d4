// conepars(K): the identity vector of the cone described by the struct K:
// ones for the nonnegative variables, sqrt(2) at the head of each second-order
// cone, ones at the two heads of each rotated cone and the identity matrix of
// each semidefinite block, stored column by column (twice the entries for a
// complex block).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "plugin_arrays.h"

namespace {

constexpr char kNoConeDescription[] = "conepars: expects the cone description as its argument";
constexpr char kNotReal[] = "conepars: cone description fields must be real double arrays";
constexpr char kRealBlockCount[] =
    "conepars: rsdpN must lie between 0 and the number of semidefinite blocks";
constexpr char kBlockStartsTooShort[] = "conepars: blkstart does not cover the cones described";
constexpr char kNegativeLength[] = "conepars: the cone sizes give a negative vector length";
constexpr char kSizesTooLarge[] = "conepars: cone sizes are too large";
constexpr char kPastEnd[] = "conepars: cone sizes reach outside the cone vector";

constexpr double kSqrt2 = 1.4142135623730951;

using Int = std::int64_t;  // cone arithmetic, wide enough for 32-bit sizes and their squares

Int add(Int a, Int b) {
  Int sum;
  if (__builtin_add_overflow(a, b, &sum)) zyxErrMsgTxt(kSizesTooLarge);
  return sum;
}

Int multiply(Int a, Int b) {
  Int product;
  if (__builtin_mul_overflow(a, b, &product)) zyxErrMsgTxt(kSizesTooLarge);
  return product;
}

// A list of cone sizes, each truncated to a 32-bit integer when read.
struct SizeList {
  std::span<const double> values;

  std::size_t count() const { return values.size(); }
  Int operator[](std::size_t i) const { return plugin_arrays::truncateToInt32(values[i]); }
  SizeList first(std::size_t n) const { return {values.first(n)}; }
  SizeList from(std::size_t n) const { return {values.subspan(n)}; }
};

// The description as read from the struct; absent fields count as 0 or empty.
struct ConeDescription {
  Int l = 0;
  SizeList q, r, s;
  Int rsdpN = 0;
  bool hasPrecomputed = false;  // all of rLen, hLen, qMaxn, rMaxn, hMaxn, blkstart
  Int rLen = 0, hLen = 0, qMaxn = 0, rMaxn = 0, hMaxn = 0;
  SizeList blkstart;
};

// What the vector is built from; "r" names the real and "h" the complex
// semidefinite blocks here, not the rotated cones.
struct ConeParameters {
  Int l = 0;
  SizeList q, r, s;
  Int rsdpN = 0;
  Int qMaxn = 0, rMaxn = 0, hMaxn = 0;
  Int rLen = 0, hLen = 0;
  Int qDim = 0, rDim = 0, hDim = 0;
};

// ---- Reading the description ----

SizeList sizeListField(const zyArray* cone, const char* name) {
  const zyArray* field = zyGetField_700(cone, 0, name);
  if (field == nullptr) return {};
  const auto values = plugin_arrays::elementsOf(field, kNotReal);
  if (values.size() == 1 && values[0] == 0.0) return {};  // a lone 0 means no cones
  return {values};
}

Int scalarField(const zyArray* cone, const char* name, Int absent) {
  const zyArray* field = zyGetField_700(cone, 0, name);
  return field == nullptr ? absent : plugin_arrays::truncateToInt32(zyGetScalar(field));
}

ConeDescription readDescription(const zyArray* cone) {
  ConeDescription d;
  d.l = scalarField(cone, "l", 0);
  d.q = sizeListField(cone, "q");
  d.r = sizeListField(cone, "r");
  d.s = sizeListField(cone, "s");
  d.rsdpN = scalarField(cone, "rsdpN", static_cast<Int>(d.s.count()));
  d.hasPrecomputed = true;
  for (const char* name : {"rLen", "hLen", "qMaxn", "rMaxn", "hMaxn", "blkstart"}) {
    d.hasPrecomputed = d.hasPrecomputed && zyGetField_700(cone, 0, name) != nullptr;
  }
  if (d.hasPrecomputed) {
    d.rLen = scalarField(cone, "rLen", 0);
    d.hLen = scalarField(cone, "hLen", 0);
    d.qMaxn = scalarField(cone, "qMaxn", 0);
    d.rMaxn = scalarField(cone, "rMaxn", 0);
    d.hMaxn = scalarField(cone, "hMaxn", 0);
    d.blkstart = {plugin_arrays::elementsOf(zyGetField_700(cone, 0, "blkstart"), kNotReal)};
  }
  return d;
}

// ---- Cone parameters ----

struct SizeStatistics {
  Int largest = 0;
  Int sum = 0;
  Int sumOfSquares = 0;
};

SizeStatistics statisticsOf(SizeList sizes) {
  SizeStatistics statistics;
  for (std::size_t i = 0; i < sizes.count(); ++i) {
    statistics.largest = i == 0 ? sizes[i] : std::max(statistics.largest, sizes[i]);
    statistics.sum = add(statistics.sum, sizes[i]);
    statistics.sumOfSquares = add(statistics.sumOfSquares, multiply(sizes[i], sizes[i]));
  }
  return statistics;
}

// Entry k of blkstart, refusing positions the list does not hold.
Int blockStart(SizeList blkstart, Int k) {
  if (k < 0 || k >= static_cast<Int>(blkstart.count())) zyxErrMsgTxt(kBlockStartsTooShort);
  return blkstart[static_cast<std::size_t>(k)];
}

ConeParameters parametersOf(const ConeDescription& d) {
  ConeParameters p{.l = d.l, .q = d.q, .r = d.r, .s = d.s, .rsdpN = d.rsdpN};
  const auto nq = static_cast<Int>(d.q.count());
  const auto ns = static_cast<Int>(d.s.count());
  if (d.hasPrecomputed) {
    p.rLen = d.rLen;
    p.hLen = d.hLen;
    p.qMaxn = d.qMaxn;
    p.rMaxn = d.rMaxn;
    p.hMaxn = d.hMaxn;
    const Int qEnd = blockStart(d.blkstart, nq + 1);
    const Int realEnd = blockStart(d.blkstart, nq + 1 + d.rsdpN);
    p.qDim = qEnd - blockStart(d.blkstart, 0);
    p.rDim = realEnd - qEnd;
    p.hDim = blockStart(d.blkstart, nq + 1 + ns) - realEnd;
    return p;
  }
  if (d.rsdpN < 0 || d.rsdpN > ns) zyxErrMsgTxt(kRealBlockCount);
  const auto realCount = static_cast<std::size_t>(d.rsdpN);
  const SizeStatistics q = statisticsOf(d.q);
  const SizeStatistics real = statisticsOf(d.s.first(realCount));
  const SizeStatistics complex = statisticsOf(d.s.from(realCount));
  p.qMaxn = q.largest;
  p.qDim = q.sum;
  p.rMaxn = real.largest;
  p.rLen = real.sum;
  p.rDim = real.sumOfSquares;
  p.hMaxn = complex.largest;
  p.hLen = complex.sum;
  p.hDim = multiply(2, complex.sumOfSquares);
  return p;
}

// ---- Building the vector ----

// The result column; every write is checked against its length, since the
// length and the sizes that place the entries may come from different fields.
class ConeVector {
 public:
  ConeVector(double* entries, Int length) : entries_(entries), length_(length) {}

  void set(Int index, double value) {
    if (index < 0 || index >= length_) zyxErrMsgTxt(kPastEnd);
    entries_[index] = value;
  }

 private:
  double* entries_;
  Int length_;
};

void fillIdentity(const ConeParameters& p, ConeVector& vector) {
  Int position = 0;
  for (Int i = 0; i < p.l; ++i) vector.set(position++, 1.0);
  for (std::size_t i = 0; i < p.q.count(); ++i) {
    vector.set(position, kSqrt2);
    position = add(position, p.q[i]);
  }
  for (std::size_t i = 0; i < p.r.count(); ++i) {
    vector.set(position, 1.0);
    vector.set(position + 1, 1.0);
    position = add(position, p.r[i]);
  }
  for (std::size_t i = 0; i < p.s.count(); ++i) {
    const Int order = p.s[i];
    for (Int d = 0; d < order; ++d) vector.set(position + d * (order + 1), 1.0);
    const Int blockSize = multiply(order, order);
    position = add(position, static_cast<Int>(i) < p.rsdpN ? blockSize : multiply(2, blockSize));
  }
}

Int vectorLength(const ConeParameters& p) {
  const Int rotatedDim = statisticsOf(p.r).sum;
  return add(add(add(add(p.l, p.qDim), p.rDim), p.hDim), rotatedDim);
}

}  // namespace

ZYX_ENTRY void zyxFunction(int /*nlhs*/, zyArray* plhs[], int nrhs, const zyArray* prhs[]) {
  if (nrhs < 1) zyxErrMsgTxt(kNoConeDescription);
  const ConeParameters parameters = parametersOf(readDescription(prhs[0]));
  const Int length = vectorLength(parameters);
  if (length < 0) zyxErrMsgTxt(kNegativeLength);
  if (static_cast<std::uint64_t>(length) > std::numeric_limits<std::size_t>::max()) {
    zyxErrMsgTxt(kSizesTooLarge);
  }

  zyArray* result = zyCreateDoubleMatrix_700(static_cast<std::size_t>(length), 1, 0);
  ConeVector vector(zyGetPr(result), length);
  fillIdentity(parameters, vector);
  plhs[0] = result;
}
