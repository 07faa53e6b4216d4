// The engine's matrix product.
//
// Operands are column-major arrays. An operand's form says what its array
// holds: form 1 a general dense matrix; forms 2 and 3 only an offset vector r
// (two doubles in 2D, three in 3D) standing for a structured operator on
// spatial vectors (angular first): form 2 the shift matrix, in 2D rows
// (1, -r_y, r_x), (0, 1, 0), (0, 0, 1), form 3 its off-diagonal part. The
// dimension of a structured operand (3 or 6) is taken from the other operand.
#pragma once

enum MatrixForm : int {
  kFormGeneral = 1,
  kFormShift = 2,
  kFormShiftOffDiagonal = 3,
};

enum MultiplyOperation : int {
  kMultiplyProduct = 1,            // out = A·B
  kMultiplyProductTransposed = 2,  // out = (A·B)ᵀ
  kMultiplyTransposeProduct = 3,   // out = Aᵀ·B
};

// out = op(A, B), out zeroed first. A 1x1 operand acts as a scalar. Every
// element is summed over the common index in ascending order, so the result is
// the plain triple loop's bit for bit. A form outside 1..3, an operation
// outside 1..3, two structured operands or shapes that do not fit leave out
// untouched (the last three call the release assertion).
void matrixMultiply(double* out, const double* a, const double* b, int rowsA, int colsA, int rowsB,
                    int colsB, int formA, int formB, int operation);

// The same product added into out.
void matrixMultiplyAccumulate(double* out, const double* a, const double* b, int rowsA, int colsA,
                              int rowsB, int colsB, int formA, int formB, int operation);
