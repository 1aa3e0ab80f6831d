#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>
#include <type_traits>

namespace morvane {

namespace detail {

template <class T>
void append_piece(std::string& out, const T& piece) {
    if constexpr (std::is_same_v<T, bool>) {
        out += piece ? "true" : "false";
    } else if constexpr (std::is_same_v<T, char>) {
        out += piece;
    } else if constexpr (std::is_integral_v<T> || std::is_floating_point_v<T>) {
        // to_chars is locale-independent; floats come out in their shortest
        // round-trip form, which is what messages show.
        char buffer[64];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, piece);
        out.append(buffer, result.ptr);
    } else {
        out += std::string_view(piece);
    }
}

}  // namespace detail

// Builds a message from pieces: strings as they are, integers in plain decimal,
// floats in shortest round-trip form. Our GCC has no std::format.
template <class... Pieces>
std::string concat(const Pieces&... pieces) {
    std::string out;
    (detail::append_piece(out, pieces), ...);
    return out;
}

}  // namespace morvane
