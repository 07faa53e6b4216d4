// LAPACK routines of the installed OpenBLAS, used only as an independent
// reference in tests.
#pragma once

extern "C" {
void dgeqp3_(const int* m, const int* n, double* a, const int* lda, int* jpvt, double* tau,
             double* work, const int* lwork, int* info);
void dgelsy_(const int* m, const int* n, const int* nrhs, double* a, const int* lda, double* b,
             const int* ldb, int* jpvt, const double* rcond, int* rank, double* work,
             const int* lwork, int* info);
void dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info);
void dpotri_(const char* uplo, const int* n, double* a, const int* lda, int* info);
}
