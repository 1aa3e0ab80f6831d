#pragma once

#include <cstdint>

#include "circuit/circuit.hpp"

namespace morvane::circuit {

// The quantum Fourier transform on `num_qubits` qubits as an ordinary circuit
// that callers keep extending. It uses Qiskit's gate order and bit convention
// (big-endian transform, qubit-reversal swaps at the end), so circuits written
// for Qiskit's QFT behave the same here.
//
// `inverse` builds the exact adjoint of the forward circuit with the same
// `swaps`: the forward gate list reversed with negated phase angles.
// `swaps` = false leaves out the qubit-reversal swaps, for callers that track
// the reversed bit order themselves.
//
// The result has n H gates, n(n-1)/2 Cp gates and, with swaps, floor(n/2) Swap
// gates, no parameters and no measurements. A size whose gate list cannot be
// held in memory throws std::bad_alloc before anything is built.
ParameterizedCircuit qft(std::uint64_t num_qubits, bool inverse, bool swaps);

}  // namespace morvane::circuit
