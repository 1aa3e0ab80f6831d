#pragma once

// Classical registers read from per-shot outcomes. A shot is a basis-state
// index of the final state; a register's bits are some of the circuit's
// classical bits, each written by the final measurement of one qubit or by
// none. The shots of a register are packed as Qiskit's BitArray holds them:
// a whole number of bytes per shot, big-endian, so register bit 0 is the
// least significant bit of the shot's last byte.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "circuit/gate.hpp"

namespace morvane::sim {

// For each of `num_clbits` classical bits, the qubit whose final measurement
// writes it: the last Measure into that bit in gate order (a later
// measurement overwrites the bit), qubit i for bit i after a MeasureAll;
// none for a bit nothing measures. Bits measured beyond `num_clbits` are
// ignored.
std::vector<std::optional<std::uint64_t>> final_measurements(std::uint64_t num_qubits,
                                                             std::uint64_t num_clbits,
                                                             std::span<const circuit::Gate> gates);

// One register as the shots read it.
class RegisterReadout {
public:
    // Register bit b comes from qubit sources[b], or reads 0 when absent.
    explicit RegisterReadout(std::vector<std::optional<std::uint64_t>> sources);

    std::size_t num_bits() const noexcept { return sources_.size(); }
    // Whole bytes per shot; 0 for a register without bits.
    std::size_t bytes_per_shot() const noexcept { return (sources_.size() + 7) / 8; }
    const std::vector<std::optional<std::uint64_t>>& sources() const noexcept { return sources_; }

    // Writes the register of each outcome to `out`, bytes_per_shot() bytes
    // per shot in shot order; `out` must hold outcomes.size() *
    // bytes_per_shot() bytes.
    void pack(std::span<const std::uint64_t> outcomes, std::span<std::uint8_t> out) const;

private:
    // How one output byte is filled: from eight consecutive qubits in order
    // (one shift and mask), or bit by bit.
    struct ByteRule {
        bool contiguous = false;
        std::uint64_t first_qubit = 0;  // contiguous: the qubit of the byte's bit 0
        std::uint8_t mask = 0;          // contiguous: the bits the register has
        // Bit by bit: (qubit, bit within the byte) for each sourced bit.
        std::vector<std::pair<std::uint64_t, std::uint8_t>> bits;
    };

    std::vector<std::optional<std::uint64_t>> sources_;
    // Index 0 is the shot's first (most significant) byte.
    std::vector<ByteRule> bytes_;
};

// The readout of a register whose bit b is the circuit's classical bit
// clbits[b], given the circuit's final_measurements; refused when a bit
// index is not one of the circuit's bits.
[[nodiscard]] std::expected<RegisterReadout, std::string> register_readout(
    std::span<const std::optional<std::uint64_t>> final_measurements,
    std::span<const std::uint64_t> clbits);

}  // namespace morvane::sim
