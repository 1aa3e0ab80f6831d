#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "support/foreign.hpp"

namespace morvane::observable {

struct BitWidthMismatch {
    std::uint64_t num_vars;
    std::uint64_t key_len;
};
struct InvalidBitstring {
    std::string bitstring;
};
struct Invalid {
    std::string message;
};
// An error raised by a user's cost callable, carried unchanged.
struct External {
    ForeignErrorPtr error;
};

// The error of reducing counts to a cost.
struct ObservableError {
    using Detail = std::variant<BitWidthMismatch, InvalidBitstring, Invalid, External>;
    Detail detail;

    template <class T>
    ObservableError(T d) : detail(std::move(d)) {}  // NOLINT: implicit from each variant

    template <class T>
    bool is() const noexcept {
        return std::holds_alternative<T>(detail);
    }
    template <class T>
    const T& as() const {
        return std::get<T>(detail);
    }

    std::string message() const;
};

}  // namespace morvane::observable
