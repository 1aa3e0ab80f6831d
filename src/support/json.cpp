#include "support/json.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include "support/text.hpp"
#include "support/utf8.hpp"

namespace morvane::json {

// ----- Value -------------------------------------------------------------------

std::optional<std::uint64_t> Value::as_uint() const noexcept {
    if (auto* u = std::get_if<std::uint64_t>(&v_)) return *u;
    if (auto* i = std::get_if<std::int64_t>(&v_); i && *i >= 0) {
        return static_cast<std::uint64_t>(*i);
    }
    return std::nullopt;
}

std::optional<std::int64_t> Value::as_int() const noexcept {
    if (auto* i = std::get_if<std::int64_t>(&v_)) return *i;
    if (auto* u = std::get_if<std::uint64_t>(&v_);
        u && *u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return static_cast<std::int64_t>(*u);
    }
    return std::nullopt;
}

std::optional<double> Value::as_double() const noexcept {
    if (auto* d = std::get_if<double>(&v_)) return *d;
    if (auto* i = std::get_if<std::int64_t>(&v_)) return static_cast<double>(*i);
    if (auto* u = std::get_if<std::uint64_t>(&v_)) return static_cast<double>(*u);
    return std::nullopt;
}

const Value* Value::find(std::string_view key) const noexcept {
    const Object* object = as_object();
    if (object == nullptr) return nullptr;
    for (const auto& [name, value] : *object) {
        if (name == key) return &value;
    }
    return nullptr;
}

bool Value::operator==(const Value& other) const {
    // The reader stores non-negative integers unsigned and negative ones
    // signed, while code builds values from whatever type it has at hand, so
    // an integer equals an integer of the same value whatever its storage.
    // Floats stay distinct from integers: they are written differently.
    auto is_integer = [](const Storage& s) {
        return std::holds_alternative<std::int64_t>(s) || std::holds_alternative<std::uint64_t>(s);
    };
    if (is_integer(v_) && is_integer(other.v_)) {
        auto a = as_int(), b = other.as_int();
        if (a && b) return *a == *b;
        auto ua = as_uint(), ub = other.as_uint();
        return ua && ub && *ua == *ub;
    }
    return v_ == other.v_;
}

std::string ParseError::to_string() const { return concat(message, " at byte ", offset); }

// ----- reading -----------------------------------------------------------------

namespace {

constexpr int MAX_DEPTH = 256;

struct Failure {
    std::size_t offset;
    const char* message;
};

// Length of the UTF-8 sequence starting at text[i], or 0 if it is not a valid
// scalar value encoding (overlong forms, surrogates and values above U+10FFFF
// are all invalid).
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) noexcept {
    auto byte = [&](std::size_t k) -> unsigned {
        return k < text.size() ? static_cast<unsigned char>(text[k]) : 0x100u;
    };
    auto cont = [&](std::size_t k) { return (byte(k) & 0xC0u) == 0x80u; };
    unsigned b0 = byte(i);
    if (b0 < 0x80) return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) return cont(i + 1) ? 2 : 0;
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        unsigned b1 = byte(i + 1);
        if (!cont(i + 1) || !cont(i + 2)) return 0;
        if (b0 == 0xE0 && b1 < 0xA0) return 0;   // overlong
        if (b0 == 0xED && b1 >= 0xA0) return 0;  // UTF-16 surrogate
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        unsigned b1 = byte(i + 1);
        if (!cont(i + 1) || !cont(i + 2) || !cont(i + 3)) return 0;
        if (b0 == 0xF0 && b1 < 0x90) return 0;   // overlong
        if (b0 == 0xF4 && b1 >= 0x90) return 0;  // above U+10FFFF
        return 4;
    }
    return 0;
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    std::expected<Value, ParseError> parse_document() {
        skip_space();
        Value value;
        if (!parse_value(value, 0)) return unexpected();
        skip_space();
        if (pos_ != text_.size()) {
            fail(pos_, "trailing characters after the document");
            return unexpected();
        }
        return value;
    }

private:
    std::unexpected<ParseError> unexpected() const {
        return std::unexpected(ParseError{failure_.offset, failure_.message});
    }

    bool fail(std::size_t offset, const char* message) {
        failure_ = {offset, message};
        return false;
    }

    bool at_end() const noexcept { return pos_ >= text_.size(); }
    char peek() const noexcept { return text_[pos_]; }

    void skip_space() noexcept {
        while (!at_end()) {
            char c = peek();
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
            ++pos_;
        }
    }

    bool expect_literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return fail(pos_, "expected a value");
        pos_ += word.size();
        return true;
    }

    bool parse_value(Value& out, int depth) {
        if (at_end()) return fail(pos_, "unexpected end of input");
        switch (peek()) {
            case '{':
                return parse_object(out, depth + 1);
            case '[':
                return parse_array(out, depth + 1);
            case '"': {
                std::string s;
                if (!parse_string(s)) return false;
                out = Value(std::move(s));
                return true;
            }
            case 't':
                if (!expect_literal("true")) return false;
                out = Value(true);
                return true;
            case 'f':
                if (!expect_literal("false")) return false;
                out = Value(false);
                return true;
            case 'n':
                if (!expect_literal("null")) return false;
                out = Value(Null{});
                return true;
            default:
                if (peek() == '-' || is_digit(peek())) return parse_number(out);
                return fail(pos_, "expected a value");
        }
    }

    bool parse_object(Value& out, int depth) {
        if (depth > MAX_DEPTH) return fail(pos_, "nesting deeper than 256 levels");
        ++pos_;  // '{'
        Object object;
        skip_space();
        if (!at_end() && peek() == '}') {
            ++pos_;
            out = Value(std::move(object));
            return true;
        }
        for (;;) {
            skip_space();
            if (at_end()) return fail(pos_, "unexpected end of input");
            if (peek() != '"') return fail(pos_, "expected a string as member name");
            std::string key;
            if (!parse_string(key)) return false;
            skip_space();
            if (at_end()) return fail(pos_, "unexpected end of input");
            if (peek() != ':') return fail(pos_, "expected ':' after member name");
            ++pos_;
            skip_space();
            Value member;
            if (!parse_value(member, depth)) return false;
            object.emplace_back(std::move(key), std::move(member));
            skip_space();
            if (at_end()) return fail(pos_, "unexpected end of input");
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == '}') {
                ++pos_;
                out = Value(std::move(object));
                return true;
            }
            return fail(pos_, "expected ',' or '}' in object");
        }
    }

    bool parse_array(Value& out, int depth) {
        if (depth > MAX_DEPTH) return fail(pos_, "nesting deeper than 256 levels");
        ++pos_;  // '['
        Array array;
        skip_space();
        if (!at_end() && peek() == ']') {
            ++pos_;
            out = Value(std::move(array));
            return true;
        }
        for (;;) {
            skip_space();
            Value element;
            if (!parse_value(element, depth)) return false;
            array.push_back(std::move(element));
            skip_space();
            if (at_end()) return fail(pos_, "unexpected end of input");
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == ']') {
                ++pos_;
                out = Value(std::move(array));
                return true;
            }
            return fail(pos_, "expected ',' or ']' in array");
        }
    }

    // Four hex digits after "\u" at pos_.
    bool parse_hex4(std::uint32_t& out) {
        if (text_.size() - pos_ < 4) return fail(pos_, "invalid \\u escape");
        std::uint32_t value = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text_[pos_ + k];
            value <<= 4;
            if (c >= '0' && c <= '9') {
                value |= static_cast<std::uint32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                value |= static_cast<std::uint32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                value |= static_cast<std::uint32_t>(c - 'A' + 10);
            } else {
                return fail(pos_ + k, "invalid \\u escape");
            }
        }
        pos_ += 4;
        out = value;
        return true;
    }

    bool parse_string(std::string& out) {
        ++pos_;  // opening quote
        for (;;) {
            if (at_end()) return fail(pos_, "unterminated string");
            char c = peek();
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return fail(pos_, "control character in string");
            }
            if (c == '\\') {
                if (!parse_escape(out)) return false;
                continue;
            }
            std::size_t len = utf8_sequence_length(text_, pos_);
            if (len == 0) return fail(pos_, "invalid UTF-8 in string");
            out.append(text_.substr(pos_, len));
            pos_ += len;
        }
    }

    bool parse_escape(std::string& out) {
        std::size_t start = pos_;
        ++pos_;  // backslash
        if (at_end()) return fail(pos_, "unterminated string");
        char e = peek();
        ++pos_;
        switch (e) {
            case '"':
                out += '"';
                return true;
            case '\\':
                out += '\\';
                return true;
            case '/':
                out += '/';
                return true;
            case 'b':
                out += '\b';
                return true;
            case 'f':
                out += '\f';
                return true;
            case 'n':
                out += '\n';
                return true;
            case 'r':
                out += '\r';
                return true;
            case 't':
                out += '\t';
                return true;
            case 'u':
                break;
            default:
                return fail(start, "invalid escape in string");
        }
        std::uint32_t unit = 0;
        if (!parse_hex4(unit)) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(start, "lone surrogate in \\u escape");
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            // A high surrogate must be followed at once by an escaped low one.
            if (text_.substr(pos_, 2) != "\\u") return fail(start, "lone surrogate in \\u escape");
            pos_ += 2;
            std::uint32_t low = 0;
            if (!parse_hex4(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return fail(start, "lone surrogate in \\u escape");
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(out, unit);
        return true;
    }

    bool parse_number(Value& out) {
        std::size_t start = pos_;
        bool negative = false;
        if (peek() == '-') {
            negative = true;
            ++pos_;
        }
        if (at_end() || !is_digit(peek())) return fail(pos_, "invalid number");
        if (peek() == '0' && pos_ + 1 < text_.size() && is_digit(text_[pos_ + 1])) {
            return fail(pos_, "leading zeros are not allowed");
        }
        std::size_t int_begin = pos_;
        while (!at_end() && is_digit(peek())) ++pos_;
        std::size_t int_end = pos_;
        bool integral = true;
        if (!at_end() && peek() == '.') {
            integral = false;
            ++pos_;
            if (at_end() || !is_digit(peek())) return fail(pos_, "invalid number");
            while (!at_end() && is_digit(peek())) ++pos_;
        }
        std::int64_t exponent_hint = 0;
        if (!at_end() && (peek() == 'e' || peek() == 'E')) {
            integral = false;
            ++pos_;
            bool exponent_negative = false;
            if (!at_end() && (peek() == '+' || peek() == '-')) {
                exponent_negative = peek() == '-';
                ++pos_;
            }
            if (at_end() || !is_digit(peek())) return fail(pos_, "invalid number");
            while (!at_end() && is_digit(peek())) {
                if (exponent_hint < 100000) exponent_hint = exponent_hint * 10 + (peek() - '0');
                ++pos_;
            }
            if (exponent_negative) exponent_hint = -exponent_hint;
        }
        const char* first = text_.data() + start;
        const char* last = text_.data() + pos_;

        if (integral) {
            const char* digits = text_.data() + int_begin;
            const char* digits_end = text_.data() + int_end;
            if (negative) {
                std::int64_t value = 0;
                auto [p, ec] = std::from_chars(first, last, value);
                if (ec == std::errc() && p == last) {
                    out = Value(value);
                    return true;
                }
            } else {
                std::uint64_t value = 0;
                auto [p, ec] = std::from_chars(digits, digits_end, value);
                if (ec == std::errc() && p == digits_end) {
                    out = Value(value);
                    return true;
                }
            }
            // Too large for 64 bits: fall through to a double.
        }

        double value = 0;
        auto [p, ec] = std::from_chars(first, last, value);
        if (ec == std::errc() && p == last) {
            out = Value(value);
            return true;
        }
        if (ec == std::errc::result_out_of_range && p == last) {
            // Either too large for a double or too small to be told from
            // zero. Only the first is an error: JSON cannot carry infinity.
            if (decimal_magnitude(int_begin, exponent_hint) > 0) {
                return fail(start, "number out of range");
            }
            out = Value(negative ? -0.0 : 0.0);
            return true;
        }
        return fail(start, "invalid number");
    }

    // Roughly the power of ten of the number whose digits start at `begin`,
    // enough to tell overflow (large positive) from underflow (negative).
    std::int64_t decimal_magnitude(std::size_t begin, std::int64_t exponent) const {
        std::int64_t position = 0;  // digits of the integer part after leading zeros
        std::size_t i = begin;
        bool seen_nonzero = false;
        std::int64_t leading_fraction_zeros = 0;
        while (i < text_.size() && is_digit(text_[i])) {
            if (text_[i] != '0') seen_nonzero = true;
            if (seen_nonzero) ++position;
            ++i;
        }
        if (!seen_nonzero && i < text_.size() && text_[i] == '.') {
            ++i;
            while (i < text_.size() && text_[i] == '0') {
                ++leading_fraction_zeros;
                ++i;
            }
            position = -leading_fraction_zeros;
        }
        return position + exponent;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    Failure failure_{0, ""};
};

}  // namespace

std::expected<Value, ParseError> parse(std::string_view text) {
    return Reader(text).parse_document();
}

// ----- writing -----------------------------------------------------------------

namespace {

void append_number(std::string& out, double d) {
    if (!std::isfinite(d)) {
        out += "null";
        return;
    }
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
    std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    out += text;
    // Keep floats recognisable as floats when read back.
    if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

template <class T>
void append_integer(std::string& out, T value) {
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void append_newline_indent(std::string& out, int indent, int level) {
    out += '\n';
    out.append(static_cast<std::size_t>(indent) * static_cast<std::size_t>(level), ' ');
}

// indent < 0 selects the compact form.
void write_value(std::string& out, const Value& value, int indent, int level) {
    const auto& s = value.storage();
    if (std::holds_alternative<Null>(s)) {
        out += "null";
    } else if (auto* b = std::get_if<bool>(&s)) {
        out += *b ? "true" : "false";
    } else if (auto* i = std::get_if<std::int64_t>(&s)) {
        append_integer(out, *i);
    } else if (auto* u = std::get_if<std::uint64_t>(&s)) {
        append_integer(out, *u);
    } else if (auto* d = std::get_if<double>(&s)) {
        append_number(out, *d);
    } else if (auto* str = std::get_if<std::string>(&s)) {
        append_quoted(out, *str);
    } else if (auto* array = std::get_if<Array>(&s)) {
        out += '[';
        bool first = true;
        for (const auto& element : *array) {
            if (!first) out += ',';
            first = false;
            if (indent >= 0) append_newline_indent(out, indent, level + 1);
            write_value(out, element, indent, level + 1);
        }
        if (indent >= 0 && !array->empty()) append_newline_indent(out, indent, level);
        out += ']';
    } else if (auto* object = std::get_if<Object>(&s)) {
        out += '{';
        bool first = true;
        for (const auto& [key, member] : *object) {
            if (!first) out += ',';
            first = false;
            if (indent >= 0) append_newline_indent(out, indent, level + 1);
            append_quoted(out, key);
            out += indent >= 0 ? ": " : ":";
            write_value(out, member, indent, level + 1);
        }
        if (indent >= 0 && !object->empty()) append_newline_indent(out, indent, level);
        out += '}';
    }
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += HEX[c >> 4];
                    out += HEX[c & 0xF];
                } else if (c < 0x80) {
                    out += static_cast<char>(c);
                } else {
                    // Valid UTF-8 passes through. A byte that is not part of a
                    // valid sequence becomes U+FFFD: the document stays
                    // well-formed (and readable by our own parser) even when a
                    // caller hands in arbitrary bytes.
                    std::size_t len = utf8_sequence_length(text, i);
                    if (len == 0) {
                        out += "\xEF\xBF\xBD";
                        ++i;
                        continue;
                    }
                    out.append(text.substr(i, len));
                    i += len;
                    continue;
                }
        }
        ++i;
    }
    out += '"';
}

std::string write(const Value& value) {
    std::string out;
    write_value(out, value, -1, 0);
    return out;
}

std::string write_pretty(const Value& value, int indent) {
    std::string out;
    write_value(out, value, indent < 0 ? 0 : indent, 0);
    return out;
}

}  // namespace morvane::json
