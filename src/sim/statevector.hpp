#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>

namespace morvane::sim {

// One amplitude: two 64-bit floats, real part first (the complex128 layout
// NumPy expects). Kernels never use std::complex's operator*, whose NaN/Inf
// recovery path costs a library call per product; they multiply by hand.
using Amplitude = std::complex<double>;

// The precision a state is held and worked in. Single precision moves half
// the bytes of double and fits one more qubit in the same memory; gate
// matrices, phases and probability sums are still formed in double and only
// the amplitudes are rounded to float (complex64, the layout NumPy expects).
enum class Precision : std::uint8_t { Double, Single };

template <class Real>
inline constexpr Precision precision_of =
    sizeof(Real) == sizeof(double) ? Precision::Double : Precision::Single;

// Calls f.template operator()<Real>() with the real type of `precision`: the
// one place a precision chosen at run time picks a template instantiation.
template <class F>
decltype(auto) in_precision(Precision precision, F&& f) {
    if (precision == Precision::Single) return f.template operator()<float>();
    return f.template operator()<double>();
}

// The largest register a Statevector may hold: 2^30 amplitudes are 16 GiB.
inline constexpr std::uint64_t MAX_QUBITS = 30;

// Amplitude storage is aligned to a cache line so that vector loads never
// straddle one and a sweep touches whole lines only.
inline constexpr std::size_t AMPLITUDE_ALIGNMENT = 64;

// Frees a buffer obtained from a statevector's release(). Stateless, so a
// foreign owner (the Python layer) can keep the raw pointer and call it later.
struct AmplitudeDeleter {
    void operator()(void* amplitudes) const noexcept;
};
// The amplitudes of a whole state as the kernels take them. Real is named at
// the call (it defaults to double), never deduced, so that a vector or span
// of double amplitudes converts as it always has.
template <class Real>
using Amplitudes = std::type_identity_t<std::span<std::complex<Real>>>;

template <class Real>
using AmplitudeBufferOf = std::unique_ptr<std::complex<Real>[], AmplitudeDeleter>;
using AmplitudeBuffer = AmplitudeBufferOf<double>;

// Uninitialised storage for `count` amplitudes, aligned to a cache line (to a
// huge page, with the kernel advised to back it by huge pages, for states of
// 2 MiB to 64 MiB). Every amplitude buffer of the simulator comes from here.
// A failed allocation throws std::bad_alloc.
template <class Real = double>
AmplitudeBufferOf<Real> allocate_amplitudes(std::size_t count);

// A dense n-qubit state: 2^n amplitudes of std::complex<Real> (double or
// float) in one aligned allocation, qubit k being bit k of the index.
template <class Real>
class BasicStatevector {
  public:
    using Amplitude = std::complex<Real>;
    using Buffer = AmplitudeBufferOf<Real>;

    // |0...0> on num_qubits qubits (at most MAX_QUBITS; more is an internal
    // fault, callers check first). A failed allocation throws std::bad_alloc.
    BasicStatevector(std::uint64_t num_qubits, std::uint64_t parallel_threshold);

    BasicStatevector(BasicStatevector&&) noexcept = default;
    BasicStatevector& operator=(BasicStatevector&&) noexcept = default;
    BasicStatevector(const BasicStatevector&) = delete;
    BasicStatevector& operator=(const BasicStatevector&) = delete;

    // A deep copy, for callers that need the state twice.
    BasicStatevector clone() const;

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
    Buffer release() && noexcept;

  private:
    BasicStatevector(std::uint64_t num_qubits, std::uint64_t parallel_threshold, Buffer buffer)
        : num_qubits_(num_qubits),
          parallel_threshold_(parallel_threshold),
          size_(std::size_t{1} << num_qubits),
          buffer_(std::move(buffer)) {}

    std::uint64_t num_qubits_;
    std::uint64_t parallel_threshold_;
    std::size_t size_;
    Buffer buffer_;
};

using Statevector = BasicStatevector<double>;
using SingleStatevector = BasicStatevector<float>;

extern template class BasicStatevector<double>;
extern template class BasicStatevector<float>;

}  // namespace morvane::sim
