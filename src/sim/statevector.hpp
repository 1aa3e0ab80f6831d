#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace morvane::sim {

// One amplitude: two 64-bit floats, real part first (the complex128 layout
// NumPy expects). Kernels never use std::complex's operator*, whose NaN/Inf
// recovery path costs a library call per product; they multiply by hand.
using Amplitude = std::complex<double>;

// The largest register a Statevector may hold: 2^30 amplitudes are 16 GiB.
inline constexpr std::uint64_t MAX_QUBITS = 30;

// Amplitude storage is aligned to a cache line so that vector loads never
// straddle one and a sweep touches whole lines only.
inline constexpr std::size_t AMPLITUDE_ALIGNMENT = 64;

// Frees a buffer obtained from Statevector::release(). Stateless, so a
// foreign owner (the Python layer) can keep the raw pointer and call it later.
struct AmplitudeDeleter {
    void operator()(Amplitude* amplitudes) const noexcept;
};
using AmplitudeBuffer = std::unique_ptr<Amplitude[], AmplitudeDeleter>;

// Uninitialised storage for `count` amplitudes, aligned to a cache line (to a
// huge page, with the kernel advised to back it by huge pages, for states of
// 2 MiB to 64 MiB). Every amplitude buffer of the simulator comes from here.
// A failed allocation throws std::bad_alloc.
AmplitudeBuffer allocate_amplitudes(std::size_t count);

// A dense n-qubit state: 2^n amplitudes in one aligned allocation, qubit k
// being bit k of the index.
class Statevector {
  public:
    // |0...0> on num_qubits qubits (at most MAX_QUBITS; more is an internal
    // fault, callers check first). A failed allocation throws std::bad_alloc.
    Statevector(std::uint64_t num_qubits, std::uint64_t parallel_threshold);

    Statevector(Statevector&&) noexcept = default;
    Statevector& operator=(Statevector&&) noexcept = default;
    Statevector(const Statevector&) = delete;
    Statevector& operator=(const Statevector&) = delete;

    // A deep copy, for callers that need the state twice.
    Statevector clone() const;

    std::uint64_t num_qubits() const noexcept { return num_qubits_; }
    std::uint64_t parallel_threshold() const noexcept { return parallel_threshold_; }
    // Whether kernels on this state run their parallel form.
    bool parallel() const noexcept { return num_qubits_ >= parallel_threshold_; }

    std::span<Amplitude> amplitudes() noexcept { return {buffer_.get(), size_}; }
    std::span<const Amplitude> amplitudes() const noexcept { return {buffer_.get(), size_}; }
    Amplitude* data() noexcept { return buffer_.get(); }
    const Amplitude* data() const noexcept { return buffer_.get(); }
    // Number of amplitudes: 2^num_qubits, or 0 after release().
    std::size_t size() const noexcept { return size_; }

    // Hands the amplitude buffer to the caller without copying; the state is
    // left empty (size 0). Free it with AmplitudeDeleter.
    AmplitudeBuffer release() && noexcept;

  private:
    Statevector(std::uint64_t num_qubits, std::uint64_t parallel_threshold, AmplitudeBuffer buffer)
        : num_qubits_(num_qubits),
          parallel_threshold_(parallel_threshold),
          size_(std::size_t{1} << num_qubits),
          buffer_(std::move(buffer)) {}

    std::uint64_t num_qubits_;
    std::uint64_t parallel_threshold_;
    std::size_t size_;
    AmplitudeBuffer buffer_;
};

}  // namespace morvane::sim
