// Power-of-two scaling of the start-up module (scale_by_power_of_two.S).
#pragma once

extern "C" {
// x * 2^n, scaled on the x87 extended register and rounded once to double.
double _scalbn(double x, int n);
}
