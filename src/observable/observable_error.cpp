#include "observable/observable_error.hpp"

#include "support/debug_string.hpp"
#include "support/text.hpp"

namespace morvane::observable {

namespace {

struct MessageOf {
    std::string operator()(const BitWidthMismatch& e) const {
        return concat("measurement bitstring of length ", e.key_len,
                      " is too short for an observable over ", e.num_vars, " variables");
    }
    std::string operator()(const InvalidBitstring& e) const {
        return "measurement bitstring contains a non-binary character: " +
               debug_quote(e.bitstring);
    }
    std::string operator()(const Invalid& e) const { return "invalid observable: " + e.message; }
    std::string operator()(const External& e) const {
        return e.error ? e.error->message() : std::string("unknown external error");
    }
};

}  // namespace

std::string ObservableError::message() const { return std::visit(MessageOf{}, detail); }

}  // namespace morvane::observable
