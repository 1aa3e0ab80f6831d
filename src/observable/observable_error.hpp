#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "support/error_variant.hpp"
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
struct ObservableError : ErrorVariant<BitWidthMismatch, InvalidBitstring, Invalid, External> {
    using ErrorVariant::ErrorVariant;

    std::string message() const;
};

}  // namespace morvane::observable
