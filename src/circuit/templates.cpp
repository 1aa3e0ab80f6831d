#include "circuit/templates.hpp"

#include <cmath>
#include <new>
#include <numbers>
#include <vector>

#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::circuit {

namespace {

// The controlled-phase angle between two qubits `distance` apart. The power
// of two is exact in double precision; past the exponent range it becomes
// infinite and the angle a harmless 0.
double phase_for_distance(std::uint64_t distance) {
    return std::numbers::pi / std::pow(2.0, static_cast<double>(distance));
}

// n H + n(n-1)/2 Cp (+ floor(n/2) Swap). Refuses, as an allocation failure, a
// count that does not fit in a gate list, and asks once for the whole list's
// memory: on a request the system can never grant this fails at once, rather
// than after the gate list has grown through all available memory.
void ensure_gate_list_fits(std::uint64_t n, bool swaps) {
    // n(n-1)/2 without overflowing the intermediate product: halve the even factor.
    const std::uint64_t a = n % 2 == 0 ? n / 2 : n;
    const std::uint64_t b = n == 0 ? 0 : (n % 2 == 0 ? n - 1 : (n - 1) / 2);
    std::uint64_t pairs = 0;
    std::uint64_t count = 0;
    if (__builtin_mul_overflow(a, b, &pairs)) throw std::bad_alloc();
    if (__builtin_add_overflow(pairs, n, &count)) throw std::bad_alloc();
    if (swaps && __builtin_add_overflow(count, n / 2, &count)) throw std::bad_alloc();
    std::vector<Gate> probe;
    if (count > probe.max_size()) throw std::bad_alloc();
    probe.reserve(static_cast<std::size_t>(count));
}

void append(ParameterizedCircuit& circuit, Gate gate) {
    // Every gate is in range, on distinct qubits, with a finite fixed angle,
    // and the circuit has no measurement: a refusal means push changed its
    // rules underneath us.
    auto pushed = circuit.push(gate);
    if (!pushed) {
        internal_fault(concat("qft template gate ", gate.debug_string(),
                              " was refused: ", pushed.error().message()));
    }
}

void append_swaps(ParameterizedCircuit& circuit, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n / 2; ++i) append(circuit, Gate::swap(i, n - 1 - i));
}

}  // namespace

ParameterizedCircuit qft(std::uint64_t num_qubits, bool inverse, bool swaps) {
    const std::uint64_t n = num_qubits;
    ensure_gate_list_fits(n, swaps);
    ParameterizedCircuit circuit(n);
    if (!inverse) {
        for (std::uint64_t j = n; j-- > 0;) {
            append(circuit, Gate::h(j));
            for (std::uint64_t k = j; k-- > 0;) {
                append(circuit, Gate::cp(k, j, Angle::fixed(phase_for_distance(j - k))));
            }
        }
        if (swaps) append_swaps(circuit, n);
    } else {
        // The forward list read backwards: H and Swap are their own inverses
        // and Cp(theta) is undone by Cp(-theta).
        if (swaps) append_swaps(circuit, n);
        for (std::uint64_t j = 0; j < n; ++j) {
            for (std::uint64_t k = 0; k < j; ++k) {
                append(circuit, Gate::cp(k, j, Angle::fixed(-phase_for_distance(j - k))));
            }
            append(circuit, Gate::h(j));
        }
    }
    return circuit;
}

}  // namespace morvane::circuit
