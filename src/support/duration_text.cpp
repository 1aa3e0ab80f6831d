#include "support/duration_text.hpp"

#include <charconv>
#include <cstdint>

namespace morvane {

namespace {

// Appends whole + fraction / scale, where scale is a power of ten and
// fraction < scale, with the fraction's trailing zeros dropped.
void append_scaled(std::string& out, std::uint64_t whole, std::uint64_t fraction,
                   std::uint64_t scale) {
    char buffer[32];
    auto end = std::to_chars(buffer, buffer + sizeof buffer, whole).ptr;
    out.append(buffer, end);
    if (fraction == 0) return;
    out += '.';
    for (std::uint64_t digit_scale = scale / 10; fraction != 0; digit_scale /= 10) {
        out += static_cast<char>('0' + fraction / digit_scale);
        fraction %= digit_scale;
    }
}

}  // namespace

std::string format_duration(std::chrono::nanoseconds d) {
    std::string out;
    std::int64_t count = d.count();
    // Work on the magnitude as unsigned so that the most negative value has
    // one too.
    std::uint64_t ns = static_cast<std::uint64_t>(count);
    if (count < 0) {
        out += '-';
        ns = ~ns + 1;
    }
    constexpr std::uint64_t US = 1'000, MS = 1'000'000, S = 1'000'000'000;
    if (ns >= S) {
        append_scaled(out, ns / S, ns % S, S);
        out += "s";
    } else if (ns >= MS) {
        append_scaled(out, ns / MS, ns % MS, MS);
        out += "ms";
    } else if (ns >= US) {
        append_scaled(out, ns / US, ns % US, US);
        out += "\u00B5s";
    } else {
        append_scaled(out, ns, 0, 1);
        out += "ns";
    }
    return out;
}

}  // namespace morvane
