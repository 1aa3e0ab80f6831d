#pragma once

#include <cstdint>

#include "sim/statevector.hpp"

namespace morvane::sim {

// Small helpers every kernel and the fusion planner share.

constexpr std::uint64_t bit(std::uint64_t position) noexcept {
    return std::uint64_t{1} << position;
}

// Inserts a zero bit at `position`: the bits below stay, the bits from
// `position` up move one place up.
constexpr std::uint64_t insert_zero(std::uint64_t index, std::uint64_t position) noexcept {
    const std::uint64_t low = bit(position) - 1;
    return (index & low) | ((index & ~low) << 1);
}

// a * b written out: std::complex's operator* takes a library call on its
// NaN/Inf recovery path.
constexpr Amplitude mul(Amplitude a, Amplitude b) noexcept {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

}  // namespace morvane::sim
