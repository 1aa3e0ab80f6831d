#pragma once

#include <stdexcept>
#include <string>

namespace morvane {

// An internal invariant failed: a bug in morvane, never a user error. It is
// the one exception type the core throws; the Python layer turns it into a
// BaseException-derived error so the interpreter survives, and the thread
// pool carries it from a worker back to the thread that started the loop.
class InternalFault : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

[[noreturn]] void internal_fault(const std::string& message);

// Checks an invariant that must hold whatever the input. Unlike assert() it
// stays on in release builds: the cost is one predictable branch.
inline void ensure(bool condition, const char* message) {
    if (!condition) [[unlikely]] internal_fault(message);
}

}  // namespace morvane
