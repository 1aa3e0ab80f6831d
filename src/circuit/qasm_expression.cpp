#include "circuit/qasm_expression.hpp"

#include <cmath>
#include <limits>
#include <numbers>
#include <string_view>

#include "circuit/qasm_import.hpp"
#include "support/text.hpp"

namespace morvane::circuit {

namespace {

constexpr std::string_view TOO_DEEP = "expression nested too deeply (max 64)";

// Recursive descent with the depth passed down. A factor raises the depth for
// everything inside it (its operand, parenthesised expression, function
// argument and exponent), while factors side by side in one term share it,
// so long flat expressions are fine and only real nesting counts.
class ExpressionParser {
public:
    // Without values (a definition being checked) a parameter reads as NaN,
    // which no division check or function mistakes for a particular number.
    ExpressionParser(TokenCursor& cursor, const ParameterIndex* names,
                     std::span<const double> values)
        : cur_(cursor), names_(names), values_(values) {}

    std::expected<double, Parse> expression(std::uint32_t depth) {
        if (depth > MAX_EXPRESSION_DEPTH) return std::unexpected(cur_.error(std::string(TOO_DEEP)));
        auto value = term(depth);
        if (!value) return value;
        while (cur_.at(TokenKind::Plus) || cur_.at(TokenKind::Minus)) {
            const bool add = cur_.advance().kind == TokenKind::Plus;
            auto rhs = term(depth);
            if (!rhs) return rhs;
            *value = add ? *value + *rhs : *value - *rhs;
        }
        return value;
    }

private:
    std::expected<double, Parse> term(std::uint32_t depth) {
        auto value = factor(depth);
        if (!value) return value;
        while (cur_.at(TokenKind::Star) || cur_.at(TokenKind::Slash)) {
            const Token& op = cur_.advance();
            auto rhs = factor(depth);
            if (!rhs) return rhs;
            if (op.kind == TokenKind::Star) {
                *value *= *rhs;
            } else {
                // Zero of either sign; a NaN divisor simply yields NaN.
                if (*rhs == 0.0) {
                    return std::unexpected(
                        Parse{op.line, "division by zero in parameter expression"});
                }
                *value /= *rhs;
            }
        }
        return value;
    }

    std::expected<double, Parse> factor(std::uint32_t depth) {
        if (depth > MAX_EXPRESSION_DEPTH) return std::unexpected(cur_.error(std::string(TOO_DEEP)));
        const std::uint32_t inner = depth + 1;
        if (cur_.at(TokenKind::Minus)) {
            cur_.advance();
            auto operand = factor(inner);
            if (!operand) return operand;
            return -*operand;
        }
        if (cur_.at(TokenKind::Plus)) {
            // A unary plus counts one level more than the factor holding it.
            if (inner + 1 >= MAX_EXPRESSION_DEPTH + 2) {
                return std::unexpected(cur_.error(std::string(TOO_DEEP)));
            }
            cur_.advance();
            return factor(inner);
        }
        return power(inner);
    }

    std::expected<double, Parse> power(std::uint32_t depth) {
        auto base = primary(depth);
        if (!base) return base;
        if (!cur_.at(TokenKind::Caret)) return base;
        cur_.advance();
        auto exponent = factor(depth);
        if (!exponent) return exponent;
        return std::pow(*base, *exponent);
    }

    std::expected<double, Parse> parenthesised(std::uint32_t depth) {
        if (auto open = cur_.expect(TokenKind::LParen); !open) return std::unexpected(open.error());
        auto value = expression(depth);
        if (!value) return value;
        if (auto close = cur_.expect(TokenKind::RParen); !close) {
            return std::unexpected(close.error());
        }
        return value;
    }

    std::expected<double, Parse> primary(std::uint32_t depth) {
        if (cur_.at_end()) return std::unexpected(cur_.unexpected("an expression"));
        const Token& token = cur_.peek();
        switch (token.kind) {
            case TokenKind::Integer: cur_.advance(); return static_cast<double>(token.integer);
            case TokenKind::Real: cur_.advance(); return token.real;
            case TokenKind::LParen: return parenthesised(depth);
            case TokenKind::Identifier: break;
            default: return std::unexpected(cur_.unexpected("an expression"));
        }

        const std::string_view name = token.text;
        if (names_ != nullptr) {
            if (const auto found = names_->find(name); found != names_->end()) {
                cur_.advance();
                const std::size_t i = found->second;
                return i < values_.size() ? values_[i] : std::numeric_limits<double>::quiet_NaN();
            }
        }
        if (name == "pi") {
            cur_.advance();
            return std::numbers::pi;
        }
        double (*function)(double) = nullptr;
        if (name == "sin") {
            function = [](double x) { return std::sin(x); };
        } else if (name == "cos") {
            function = [](double x) { return std::cos(x); };
        } else if (name == "tan") {
            function = [](double x) { return std::tan(x); };
        } else if (name == "exp") {
            function = [](double x) { return std::exp(x); };
        } else if (name == "ln") {
            function = [](double x) { return std::log(x); };
        } else if (name == "sqrt") {
            function = [](double x) { return std::sqrt(x); };
        } else {
            return std::unexpected(
                cur_.error(concat("unknown identifier '", name, "' in expression")));
        }
        cur_.advance();
        auto argument = parenthesised(depth);
        if (!argument) return argument;
        return function(*argument);
    }

    TokenCursor& cur_;
    const ParameterIndex* names_;
    std::span<const double> values_;
};

}  // namespace

std::expected<double, Parse> parse_parameter(TokenCursor& cursor, const ParameterIndex* names,
                                             std::span<const double> values) {
    const std::uint64_t start_line = cursor.line();
    auto value = ExpressionParser(cursor, names, values).expression(0);
    if (value && !std::isfinite(*value)) {
        return std::unexpected(Parse{
            start_line, "parameter expression evaluated to a non-finite value (NaN or infinity)"});
    }
    return value;
}

std::expected<void, Parse> check_parameter(TokenCursor& cursor, const ParameterIndex& names) {
    auto value = ExpressionParser(cursor, &names, {}).expression(0);
    if (!value) return std::unexpected(value.error());
    return {};
}

bool is_expression_keyword(std::string_view name) noexcept {
    return name == "pi" || name == "sin" || name == "cos" || name == "tan" || name == "exp" ||
           name == "ln" || name == "sqrt";
}

}  // namespace morvane::circuit
