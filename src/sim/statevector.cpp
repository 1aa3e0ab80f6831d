#include "sim/statevector.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::sim {

namespace {

// aligned_alloc wants a size that is a multiple of the alignment; states of
// zero or one qubit (16 or 32 bytes) are padded up to one line.
AmplitudeBuffer allocate_amplitudes(std::size_t count) {
    std::size_t bytes = count * sizeof(Amplitude);
    bytes = (bytes + AMPLITUDE_ALIGNMENT - 1) / AMPLITUDE_ALIGNMENT * AMPLITUDE_ALIGNMENT;
    void* memory = std::aligned_alloc(AMPLITUDE_ALIGNMENT, bytes);
    if (memory == nullptr) throw std::bad_alloc();
    return AmplitudeBuffer(static_cast<Amplitude*>(memory));
}

}  // namespace

void AmplitudeDeleter::operator()(Amplitude* amplitudes) const noexcept {
    std::free(amplitudes);
}

Statevector::Statevector(std::uint64_t num_qubits, std::uint64_t parallel_threshold)
    : num_qubits_(num_qubits), parallel_threshold_(parallel_threshold), size_(0) {
    if (num_qubits > MAX_QUBITS) {
        internal_fault(concat("a statevector of ", num_qubits, " qubits exceeds the limit of ",
                              MAX_QUBITS, "; the caller must reject it first"));
    }
    size_ = std::size_t{1} << num_qubits;
    buffer_ = allocate_amplitudes(size_);
    // All-zero bits are 0.0 + 0.0i in IEEE 754, so one memset clears the state.
    std::memset(static_cast<void*>(buffer_.get()), 0, size_ * sizeof(Amplitude));
    buffer_[0] = Amplitude(1.0, 0.0);
}

Statevector Statevector::clone() const {
    AmplitudeBuffer copy = allocate_amplitudes(size_ == 0 ? 1 : size_);
    if (size_ != 0) {
        std::memcpy(static_cast<void*>(copy.get()), buffer_.get(), size_ * sizeof(Amplitude));
    }
    Statevector result(num_qubits_, parallel_threshold_, std::move(copy));
    result.size_ = size_;
    return result;
}

AmplitudeBuffer Statevector::release() && noexcept {
    size_ = 0;
    return std::move(buffer_);
}

}  // namespace morvane::sim
