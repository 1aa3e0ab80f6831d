#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "circuit/circuit_error.hpp"

namespace morvane::circuit {

enum class TokenKind : std::uint8_t {
    Identifier,
    Integer,
    Real,
    String,
    LParen,
    RParen,
    LBracket,
    RBracket,
    Comma,
    Semicolon,
    Arrow,
    Plus,
    Minus,
    Star,
    Slash,
    Caret,
    LBrace,
    RBrace,
    Equals,
};

// One lexical unit of an OpenQASM program. `text` is the identifier or the
// string literal's contents and points into the source, which must outlive
// the token.
struct Token {
    TokenKind kind = TokenKind::Semicolon;
    std::uint64_t line = 1;
    std::string_view text;
    std::uint64_t integer = 0;
    double real = 0.0;
};

// How error messages show a token: identifiers and numbers in single quotes,
// a string as the words "string literal", symbols as themselves in quotes.
std::string describe(const Token& token);

// The quoted symbol of a punctuation kind, e.g. "';'" or "'->'".
std::string_view describe_symbol(TokenKind kind);

// A real in its shortest round-trip digits, written out without an exponent
// and without a trailing ".0": 2.5 -> "2.5", 2.0 -> "2", 1e21 -> "1" and 21
// zeros. Infinity is "inf".
std::string shortest_plain_decimal(double value);

// A read position over the token list, with the error helpers every part of
// the parser shares. An error "at the end" is reported at the last token's
// line, or line 1 for an empty program.
class TokenCursor {
public:
    explicit TokenCursor(std::span<const Token> tokens) : tokens_(tokens) {}

    bool at_end() const noexcept { return pos_ >= tokens_.size(); }
    // The current token; only valid when !at_end().
    const Token& peek() const noexcept { return tokens_[pos_]; }
    bool at(TokenKind kind) const noexcept { return !at_end() && peek().kind == kind; }
    const Token& advance() noexcept { return tokens_[pos_++]; }
    // The read position, and the tokens read since an earlier one: how a
    // gate definition keeps its body's expressions to evaluate at each call.
    std::size_t position() const noexcept { return pos_; }
    std::span<const Token> since(std::size_t start) const noexcept {
        return tokens_.subspan(start, pos_ - start);
    }

    std::uint64_t line() const noexcept;

    Parse error(std::string message) const { return Parse{line(), std::move(message)}; }
    // "expected {wanted}, found {token}" or "unexpected end of input, expected {wanted}".
    Parse unexpected(std::string_view wanted) const;

    // Consumes a token of `kind`, or fails naming `wanted`.
    [[nodiscard]] std::expected<const Token*, Parse> expect(TokenKind kind, std::string_view wanted);
    [[nodiscard]] std::expected<const Token*, Parse> expect(TokenKind kind) {
        return expect(kind, describe_symbol(kind));
    }

private:
    std::span<const Token> tokens_;
    std::size_t pos_ = 0;
};

}  // namespace morvane::circuit
