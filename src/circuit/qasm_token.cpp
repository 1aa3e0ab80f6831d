#include "circuit/qasm_token.hpp"

#include <charconv>
#include <cmath>

#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::circuit {

std::string_view describe_symbol(TokenKind kind) {
    switch (kind) {
        case TokenKind::LParen: return "'('";
        case TokenKind::RParen: return "')'";
        case TokenKind::LBracket: return "'['";
        case TokenKind::RBracket: return "']'";
        case TokenKind::Comma: return "','";
        case TokenKind::Semicolon: return "';'";
        case TokenKind::Arrow: return "'->'";
        case TokenKind::Plus: return "'+'";
        case TokenKind::Minus: return "'-'";
        case TokenKind::Star: return "'*'";
        case TokenKind::Slash: return "'/'";
        case TokenKind::Caret: return "'^'";
        case TokenKind::LBrace: return "'{'";
        case TokenKind::RBrace: return "'}'";
        case TokenKind::Equals: return "'='";
        case TokenKind::Identifier: return "an identifier";
        case TokenKind::Integer: return "an integer";
        case TokenKind::Real: return "a real number";
        case TokenKind::String: return "string literal";
    }
    return "?";
}

std::string shortest_plain_decimal(double value) {
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    if (std::isnan(value)) return "NaN";

    // Shortest round-trip digits come from the scientific form; they are then
    // placed around the decimal point by hand, because the fixed form of
    // to_chars prints a large value's exact binary expansion instead of
    // padding its shortest digits with zeros.
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    ensure(result.ec == std::errc{}, "shortest form did not fit its buffer");
    const std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));

    std::string out;
    std::size_t i = 0;
    if (sci[i] == '-') {
        out += '-';
        ++i;
    }
    std::string digits;
    for (; i < sci.size() && sci[i] != 'e'; ++i) {
        if (sci[i] != '.') digits += sci[i];
    }
    int exponent = 0;
    std::from_chars(sci.data() + i + 1 + (sci[i + 1] == '+' ? 1 : 0), sci.data() + sci.size(),
                    exponent);

    if (digits == "0") return out + "0";
    if (exponent >= 0) {
        const auto int_digits = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= int_digits) {
            out += digits;
            out.append(int_digits - digits.size(), '0');
        } else {
            out.append(digits, 0, int_digits);
            out += '.';
            out.append(digits, int_digits);
        }
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    }
    return out;
}

std::string describe(const Token& token) {
    switch (token.kind) {
        case TokenKind::Identifier: return concat("'", token.text, "'");
        case TokenKind::Integer: return concat("'", token.integer, "'");
        case TokenKind::Real: return concat("'", shortest_plain_decimal(token.real), "'");
        case TokenKind::String: return "string literal";
        default: return std::string(describe_symbol(token.kind));
    }
}

std::uint64_t TokenCursor::line() const noexcept {
    if (!at_end()) return peek().line;
    return tokens_.empty() ? 1 : tokens_.back().line;
}

Parse TokenCursor::unexpected(std::string_view wanted) const {
    if (at_end()) return error(concat("unexpected end of input, expected ", wanted));
    return error(concat("expected ", wanted, ", found ", describe(peek())));
}

std::expected<const Token*, Parse> TokenCursor::expect(TokenKind kind, std::string_view wanted) {
    if (!at(kind)) return std::unexpected(unexpected(wanted));
    return &advance();
}

}  // namespace morvane::circuit
