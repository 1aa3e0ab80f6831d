#include "support/debug_string.hpp"

#include <cstdint>

namespace morvane {

namespace {

void append_hex_escape(std::string& out, const char* prefix, std::uint32_t value) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    char buffer[8];
    int n = 0;
    do {
        buffer[n++] = DIGITS[value & 0xF];
        value >>= 4;
    } while (value != 0);
    out += prefix;
    while (n > 0) out += buffer[--n];
    out += '}';
}

// Length of the valid UTF-8 sequence starting at text[i], or 0 if invalid.
std::size_t utf8_sequence_length(std::string_view text, std::size_t i, std::uint32_t& code) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(i);
    std::size_t len;
    std::uint32_t min;
    if (b0 < 0x80) {
        code = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2, code = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, code = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, code = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > text.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return len;
}

// Quotes `text` between `quote` characters; the quote itself and the
// backslash are escaped, the other quote character is not.
std::string quoted(std::string_view text, char quote) {
    std::string out;
    out.reserve(text.size() + 2);
    out += quote;
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t code = 0;
        const std::size_t len = utf8_sequence_length(text, i, code);
        if (len == 0) {
            append_hex_escape(out, "\\x{", static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        if (code == static_cast<unsigned char>(quote) || code == '\\') {
            out += '\\';
            out += static_cast<char>(code);
            i += len;
            continue;
        }
        switch (code) {
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\0': out += "\\0"; break;
            default:
                if (code < 0x20 || code == 0x7F || (code >= 0x80 && code < 0xA0)) {
                    append_hex_escape(out, "\\u{", code);
                } else {
                    out.append(text.substr(i, len));
                }
        }
        i += len;
    }
    out += quote;
    return out;
}

}  // namespace

std::string debug_quote(std::string_view text) { return quoted(text, '"'); }

std::string debug_quote_char(std::string_view character) { return quoted(character, '\''); }

}  // namespace morvane
