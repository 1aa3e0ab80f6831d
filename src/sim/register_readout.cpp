#include "sim/register_readout.hpp"

#include <algorithm>

#include "support/text.hpp"

namespace morvane::sim {

using circuit::Gate;
using circuit::GateKind;

std::vector<std::optional<std::uint64_t>> final_measurements(std::uint64_t num_qubits,
                                                             std::uint64_t num_clbits,
                                                             std::span<const Gate> gates) {
    std::vector<std::optional<std::uint64_t>> sources(num_clbits);
    for (const Gate& gate : gates) {
        if (gate.kind == GateKind::Measure && gate.cbit < num_clbits) {
            sources[gate.cbit] = gate.q0;
        } else if (gate.kind == GateKind::MeasureAll) {
            for (std::uint64_t q = 0; q < num_qubits && q < num_clbits; ++q) sources[q] = q;
        }
    }
    return sources;
}

RegisterReadout::RegisterReadout(std::vector<std::optional<std::uint64_t>> sources)
    : sources_(std::move(sources)) {
    const std::size_t num_bytes = bytes_per_shot();
    bytes_.resize(num_bytes);
    for (std::size_t byte = 0; byte < num_bytes; ++byte) {
        // Output byte `byte` holds register bits 8 * (num_bytes - 1 - byte) upwards.
        const std::size_t low_bit = 8 * (num_bytes - 1 - byte);
        const std::size_t width = std::min<std::size_t>(8, sources_.size() - low_bit);
        ByteRule& rule = bytes_[byte];
        bool contiguous = sources_[low_bit].has_value() && *sources_[low_bit] + 8 <= 64;
        for (std::size_t k = 0; k < width; ++k) {
            const auto& source = sources_[low_bit + k];
            if (!source) {
                contiguous = false;
                continue;
            }
            rule.bits.emplace_back(*source, static_cast<std::uint8_t>(k));
            if (contiguous && *source != *sources_[low_bit] + k) contiguous = false;
        }
        if (contiguous) {
            rule.contiguous = true;
            rule.first_qubit = *sources_[low_bit];
            rule.mask = static_cast<std::uint8_t>(width == 8 ? 0xFF : (1u << width) - 1);
            rule.bits.clear();
        }
    }
}

void RegisterReadout::pack(std::span<const std::uint64_t> outcomes,
                           std::span<std::uint8_t> out) const {
    const std::size_t num_bytes = bytes_.size();
    for (std::size_t shot = 0; shot < outcomes.size(); ++shot) {
        const std::uint64_t outcome = outcomes[shot];
        std::uint8_t* row = out.data() + shot * num_bytes;
        for (std::size_t byte = 0; byte < num_bytes; ++byte) {
            const ByteRule& rule = bytes_[byte];
            if (rule.contiguous) {
                row[byte] = static_cast<std::uint8_t>((outcome >> rule.first_qubit) & rule.mask);
                continue;
            }
            unsigned value = 0;
            for (const auto& [qubit, bit] : rule.bits) {
                // Outcomes are basis indices, so a qubit of 64 or above reads 0.
                const unsigned set = qubit < 64 ? static_cast<unsigned>((outcome >> qubit) & 1) : 0;
                value |= set << bit;
            }
            row[byte] = static_cast<std::uint8_t>(value);
        }
    }
}

std::expected<RegisterReadout, std::string> register_readout(
    std::span<const std::optional<std::uint64_t>> final_measurements,
    std::span<const std::uint64_t> clbits) {
    std::vector<std::optional<std::uint64_t>> sources;
    sources.reserve(clbits.size());
    for (std::size_t b = 0; b < clbits.size(); ++b) {
        if (clbits[b] >= final_measurements.size()) {
            return std::unexpected(concat("register bit ", b, " is classical bit ", clbits[b],
                                          ", but the circuit has ", final_measurements.size(),
                                          " classical bit(s)"));
        }
        sources.push_back(final_measurements[clbits[b]]);
    }
    return RegisterReadout(std::move(sources));
}

}  // namespace morvane::sim
