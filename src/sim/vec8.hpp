#pragma once

#include "sim/statevector.hpp"

namespace morvane::sim {

// An 8-double vector is four complex numbers: one block of four amplitudes,
// one cache line. GCC lowers it to one AVX-512 register, two AVX2 registers
// or four SSE2 registers depending on the clone being compiled
// (sim/kernel_clones.hpp). The vectors never cross a call boundary
// (everything is inlined into the cloned functions), so the ABI note GCC
// makes about passing them is moot.
#pragma GCC diagnostic ignored "-Wpsabi"
using Vec8 = double __attribute__((vector_size(64)));

[[gnu::always_inline]] inline Vec8 load8(const double* p) noexcept {
    Vec8 v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
[[gnu::always_inline]] inline void store8(double* p, Vec8 v) noexcept {
    __builtin_memcpy(p, &v, sizeof v);
}
[[gnu::always_inline]] inline Vec8 load8(const Amplitude* p) noexcept {
    return load8(reinterpret_cast<const double*>(p));
}
[[gnu::always_inline]] inline void store8(Amplitude* p, Vec8 v) noexcept {
    store8(reinterpret_cast<double*>(p), v);
}

}  // namespace morvane::sim
