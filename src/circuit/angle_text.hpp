#pragma once

#include <string>

namespace morvane::circuit {

// Appends the OpenQASM text of an angle: fixed-point with exactly 12 digits
// after the point, rounded to nearest from the exact binary value with ties to
// even, never in exponent form. The sign is kept whenever the value is
// negative, so -0.0 and -1e-13 both give "-0.000000000000". Finite values only.
void append_angle_text(std::string& out, double radians);

std::string angle_text(double radians);

}  // namespace morvane::circuit
