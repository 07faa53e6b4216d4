/* Native functions for the foreign-call tests: the first library of the
   search list. */
#include <errno.h>

int fta_add(int a, int b) {
  return a + b;
}

/* Fails with the given errno. */
int fta_fail_with(int number) {
  errno = number;
  return -1;
}

/* The errno the function finds on entry. */
int fta_errno_seen(void) {
  return errno;
}

double fta_scale(int n, double x) {
  return n * x;
}

float fta_third(int n) {
  return (float)n / 3.0f;
}

int fta_negate(int n) {
  return -n;
}

unsigned fta_all_ones(void) {
  return 0xffffffffu;
}

/* In both libraries: the first one of the list answers 1. */
int ft_in_both(void) {
  return 1;
}

double fta_widen(float x) {
  return x;
}

/* Fail with the given errno, answering a word past the fixnum range. */
int fta_fail_far(int number) {
  errno = number;
  return -0x7fffff00 - number;
}

/* Fail with the given errno, answering half of it. */
double fta_fail_halved(int number) {
  errno = number;
  return number * 0.5;
}
