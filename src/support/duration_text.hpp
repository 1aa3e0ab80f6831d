#pragma once

#include <chrono>
#include <string>

namespace morvane {

// A duration as people read it in log messages: the largest unit among s, ms,
// µs and ns in which the value is at least 1, with every significant
// fractional digit and no trailing zeros ("4.2s", "1.5ms", "12µs", "0ns",
// "1.234567891s"). A negative duration gets a leading '-'.
std::string format_duration(std::chrono::nanoseconds d);

}  // namespace morvane
