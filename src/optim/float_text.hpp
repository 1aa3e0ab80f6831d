#pragma once

#include <string>

namespace morvane::optim {

// How optimiser messages show a float the user configured: its shortest
// round-trip digits written out in plain decimal, without an exponent and
// without a trailing ".0" (0.1 -> "0.1", 0.0 -> "0", -0.0 -> "-0", 1e21 ->
// "1" and 21 zeros, 1e-7 -> "0.0000001"); "inf", "-inf" and "NaN" otherwise.
std::string float_text(double value);

}  // namespace morvane::optim
