/* Native functions for the foreign-call tests: the second library of the
   search list. */
#include <errno.h>

int ftb_times7(int a) {
  return 7 * a;
}

/* Fails with the given errno and returns x in st(0). */
double ftb_fail_keeping(int number, double x) {
  errno = number;
  return x;
}

int ft_in_both(void) {
  return 2;
}
