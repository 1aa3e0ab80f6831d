#include "circuit/qasm_lexer.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>

#include "support/text.hpp"
#include "support/utf8.hpp"

namespace morvane::circuit {

namespace {

constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;

struct CodePoint {
    char32_t value;
    std::size_t length;  // bytes consumed, at least 1
};

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes one UTF-8 sequence. Overlong forms, surrogates, values past
// U+10FFFF and truncated sequences decode as U+FFFD over one byte, so the
// scan always advances and never reads past the end.
CodePoint decode(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {lead, 1};

    std::size_t length = 0;
    char32_t value = 0;
    unsigned char low = 0x80;  // allowed range of the second byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
    } else {
        return {REPLACEMENT_CHARACTER, 1};
    }
    if (pos + length > text.size()) return {REPLACEMENT_CHARACTER, 1};
    if (byte(1) < low || byte(1) > high) return {REPLACEMENT_CHARACTER, 1};
    for (std::size_t i = 1; i < length; ++i) {
        if (!is_continuation(byte(i))) return {REPLACEMENT_CHARACTER, 1};
        value = (value << 6) | (byte(i) & 0x3F);
    }
    return {value, length};
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ident_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_ident_continue(char c) { return is_ident_start(c) || is_digit(c); }

// from_chars reports a magnitude beyond the double range without a value.
// Such a literal is a perfectly good real that overflows to infinity or
// underflows to zero, so it is decided here from its decimal exponent: the
// value is d.ddd x 10^E with E >= 0 only on overflow.
double out_of_range_value(std::string_view lexeme) {
    const std::size_t mantissa_end = std::min(lexeme.find_first_of("eE"), lexeme.size());
    const std::size_t point = std::min(lexeme.find('.'), mantissa_end);

    // Decimal exponent of the first non-zero digit: for an integer-part digit
    // at index i it is point - i - 1, for a fraction digit point - i.
    std::optional<std::int64_t> leading;
    for (std::size_t i = 0; i < mantissa_end; ++i) {
        if (lexeme[i] == '.' || lexeme[i] == '0') continue;
        const auto p = static_cast<std::int64_t>(point);
        const auto at = static_cast<std::int64_t>(i);
        leading = i < point ? p - at - 1 : p - at;
        break;
    }
    if (!leading) return 0.0;

    std::int64_t exponent = 0;
    if (mantissa_end < lexeme.size()) {
        std::size_t j = mantissa_end + 1;
        bool negative = false;
        if (j < lexeme.size() && (lexeme[j] == '+' || lexeme[j] == '-')) {
            negative = lexeme[j] == '-';
            ++j;
        }
        // Saturate: an exponent past a billion is as far out of range as any.
        for (; j < lexeme.size(); ++j) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (lexeme[j] - '0');
        }
        if (negative) exponent = -exponent;
    }
    return *leading + exponent >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

class Lexer {
public:
    explicit Lexer(std::string_view source) : src_(source) {}

    std::expected<std::vector<Token>, Parse> run() {
        while (pos_ < src_.size()) {
            const char c = src_[pos_];
            if (c == '\n') {
                ++line_;
                ++pos_;
            } else if (c == ' ' || c == '\t' || c == '\r') {
                ++pos_;
            } else if (c == '/' && pos_ + 1 < src_.size() && src_[pos_ + 1] == '/') {
                while (pos_ < src_.size() && src_[pos_] != '\n') ++pos_;
            } else if (is_ident_start(c)) {
                identifier();
            } else if (is_digit(c) || c == '.') {
                if (auto ok = number(); !ok) return std::unexpected(ok.error());
            } else if (c == '"') {
                if (auto ok = string_literal(); !ok) return std::unexpected(ok.error());
            } else if (auto kind = symbol(c)) {
                push_symbol(*kind);
            } else {
                const CodePoint cp = decode(src_, pos_);
                if (!is_unicode_white_space(cp.value)) {
                    std::string shown;
                    append_utf8(shown, cp.value);
                    return std::unexpected(
                        Parse{line_, concat("unexpected character '", shown, "'")});
                }
                pos_ += cp.length;
            }
        }
        return std::move(tokens_);
    }

private:
    static std::optional<TokenKind> symbol(char c) {
        switch (c) {
            case '(': return TokenKind::LParen;
            case ')': return TokenKind::RParen;
            case '[': return TokenKind::LBracket;
            case ']': return TokenKind::RBracket;
            case ',': return TokenKind::Comma;
            case ';': return TokenKind::Semicolon;
            case '+': return TokenKind::Plus;
            case '-': return TokenKind::Minus;
            case '*': return TokenKind::Star;
            case '/': return TokenKind::Slash;
            case '^': return TokenKind::Caret;
            case '{': return TokenKind::LBrace;
            case '}': return TokenKind::RBrace;
            case '=': return TokenKind::Equals;
            default: return std::nullopt;
        }
    }

    Token make_token(TokenKind kind) const {
        Token token;
        token.kind = kind;
        token.line = line_;
        return token;
    }

    void push_symbol(TokenKind kind) {
        if (kind == TokenKind::Minus && pos_ + 1 < src_.size() && src_[pos_ + 1] == '>') {
            tokens_.push_back(make_token(TokenKind::Arrow));
            pos_ += 2;
            return;
        }
        tokens_.push_back(make_token(kind));
        ++pos_;
    }

    void identifier() {
        const std::size_t start = pos_;
        while (pos_ < src_.size() && is_ident_continue(src_[pos_])) ++pos_;
        Token token = make_token(TokenKind::Identifier);
        token.text = src_.substr(start, pos_ - start);
        tokens_.push_back(token);
    }

    void digits() {
        while (pos_ < src_.size() && is_digit(src_[pos_])) ++pos_;
    }

    std::expected<void, Parse> number() {
        const std::size_t start = pos_;
        bool is_real = false;
        digits();
        if (pos_ < src_.size() && src_[pos_] == '.') {
            is_real = true;
            ++pos_;
            digits();
        }
        if (pos_ < src_.size() && (src_[pos_] == 'e' || src_[pos_] == 'E')) {
            is_real = true;
            ++pos_;
            if (pos_ < src_.size() && (src_[pos_] == '+' || src_[pos_] == '-')) ++pos_;
            digits();
        }
        const std::string_view lexeme = src_.substr(start, pos_ - start);
        const char* first = lexeme.data();
        const char* last = first + lexeme.size();

        Token token = make_token(is_real ? TokenKind::Real : TokenKind::Integer);
        if (is_real) {
            const auto result = std::from_chars(first, last, token.real);
            if (result.ec == std::errc::result_out_of_range && result.ptr == last) {
                token.real = out_of_range_value(lexeme);
            } else if (result.ec != std::errc{} || result.ptr != last) {
                return std::unexpected(Parse{line_, concat("invalid number '", lexeme, "'")});
            }
        } else {
            const auto result = std::from_chars(first, last, token.integer);
            if (result.ec != std::errc{} || result.ptr != last) {
                return std::unexpected(Parse{line_, concat("invalid integer '", lexeme, "'")});
            }
        }
        tokens_.push_back(token);
        return {};
    }

    std::expected<void, Parse> string_literal() {
        const std::size_t start = ++pos_;
        while (pos_ < src_.size() && src_[pos_] != '"' && src_[pos_] != '\n') ++pos_;
        if (pos_ >= src_.size() || src_[pos_] != '"') {
            return std::unexpected(Parse{line_, "unterminated string literal"});
        }
        Token token = make_token(TokenKind::String);
        token.text = src_.substr(start, pos_ - start);
        tokens_.push_back(token);
        ++pos_;
        return {};
    }

    std::string_view src_;
    std::size_t pos_ = 0;
    std::uint64_t line_ = 1;
    std::vector<Token> tokens_;
};

}  // namespace

std::expected<std::vector<Token>, Parse> lex_qasm(std::string_view source) {
    return Lexer(source).run();
}

}  // namespace morvane::circuit
