#include "sim/statevector.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "support/internal_fault.hpp"
#include "support/text.hpp"
#include "support/thread_pool.hpp"

namespace morvane::sim {

namespace {

// States from 2 MiB to 64 MiB (17 to 22 qubits) sit on 2 MiB pages where
// the kernel grants them (Linux transparent huge pages in "madvise" mode):
// the blocked path reads chunks from far-apart runs of the state, and on
// 4 KiB pages nearly every run costs a TLB miss. Measured on our 2-core
// machines, a 22-qubit circuit ran 6-10% faster and a 20-qubit one 15%;
// at 24 qubits the fresh huge pages a new state faults in cost more than
// the misses they save (the state is allocated anew for each simulation),
// so larger states keep ordinary pages. The advice must come before the
// first touch.
constexpr std::size_t HUGE_PAGE = std::size_t{1} << 21;
constexpr std::size_t HUGE_PAGE_STATE_LIMIT = std::size_t{1} << 26;

}  // namespace

// aligned_alloc wants a size that is a multiple of the alignment; states of
// zero or one qubit (16 or 32 bytes) are padded up to one line.
template <class Real>
AmplitudeBufferOf<Real> allocate_amplitudes(std::size_t count) {
    std::size_t bytes = count * sizeof(std::complex<Real>);
    const std::size_t alignment = bytes >= HUGE_PAGE ? HUGE_PAGE : AMPLITUDE_ALIGNMENT;
    bytes = (bytes + alignment - 1) / alignment * alignment;
    void* memory = std::aligned_alloc(alignment, bytes);
    if (memory == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Advice only: refused, the state stays on ordinary pages.
    if (alignment == HUGE_PAGE && bytes <= HUGE_PAGE_STATE_LIMIT) {
        (void)::madvise(memory, bytes, MADV_HUGEPAGE);
    }
#endif
    return AmplitudeBufferOf<Real>(static_cast<std::complex<Real>*>(memory));
}

template AmplitudeBufferOf<double> allocate_amplitudes<double>(std::size_t);
template AmplitudeBufferOf<float> allocate_amplitudes<float>(std::size_t);

void AmplitudeDeleter::operator()(void* amplitudes) const noexcept {
    std::free(amplitudes);
}

template <class Real>
BasicStatevector<Real>::BasicStatevector(std::uint64_t num_qubits, std::uint64_t parallel_threshold)
    : num_qubits_(num_qubits), parallel_threshold_(parallel_threshold), size_(0) {
    if (num_qubits > MAX_QUBITS) {
        internal_fault(concat("a statevector of ", num_qubits, " qubits exceeds the limit of ",
                              MAX_QUBITS, "; the caller must reject it first"));
    }
    size_ = std::size_t{1} << num_qubits;
    buffer_ = allocate_amplitudes<Real>(size_);
    // All-zero bits are 0.0 + 0.0i in IEEE 754, so memset clears the state;
    // a large state is cleared by the pool like any other sweep.
    Amplitude* data = buffer_.get();
    auto clear = [data](std::size_t begin, std::size_t end) {
        std::memset(static_cast<void*>(data + begin), 0, (end - begin) * sizeof(Amplitude));
    };
    if (parallel()) {
        parallel_for(size_, std::size_t{1} << 16, clear);
    } else {
        clear(0, size_);
    }
    buffer_[0] = Amplitude(1.0, 0.0);
}

template <class Real>
BasicStatevector<Real> BasicStatevector<Real>::clone() const {
    Buffer copy;
    if (size_ != 0) {
        copy = allocate_amplitudes<Real>(size_);
        std::memcpy(static_cast<void*>(copy.get()), buffer_.get(), size_ * sizeof(Amplitude));
    }
    BasicStatevector result(num_qubits_, parallel_threshold_, std::move(copy));
    result.size_ = size_;  // a released state clones to a released state
    return result;
}

template <class Real>
typename BasicStatevector<Real>::Buffer BasicStatevector<Real>::release() && noexcept {
    size_ = 0;
    return std::move(buffer_);
}

template class BasicStatevector<double>;
template class BasicStatevector<float>;

}  // namespace morvane::sim
