#pragma once

#include <utility>
#include <variant>

namespace morvane {

// The common shape of every error enumeration in the core: one small struct
// per variant held in `detail`, implicit construction from any variant, and
// typed queries. Each error type derives from it and adds message().
template <class... Variants>
struct ErrorVariant {
    using Detail = std::variant<Variants...>;
    Detail detail;

    template <class T>
    requires(std::is_constructible_v<Detail, T&&>) ErrorVariant(T&& d)
        : detail(std::forward<T>(d)) {}  // NOLINT: implicit from each variant

    template <class T>
    bool is() const noexcept {
        return std::holds_alternative<T>(detail);
    }
    template <class T>
    const T& as() const {
        return std::get<T>(detail);
    }

    bool operator==(const ErrorVariant&) const = default;
};

}  // namespace morvane
