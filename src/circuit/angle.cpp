#include "circuit/angle.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>

#include "support/text.hpp"

namespace morvane::circuit {

namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

bool same_bits(double a, double b) noexcept {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool is_binary(AngleOp op) noexcept {
    return op == AngleOp::Add || op == AngleOp::Sub || op == AngleOp::Mul || op == AngleOp::Div ||
           op == AngleOp::Pow;
}

bool is_operand(AngleOp op) noexcept { return op == AngleOp::Constant || op == AngleOp::Param; }

// The one place arithmetic is defined, shared by evaluation and folding so a
// folded literal is bit for bit the value evaluation would have produced.
double binary(AngleOp op, double a, double b) noexcept {
    switch (op) {
        case AngleOp::Add: return a + b;
        case AngleOp::Sub: return a - b;
        case AngleOp::Mul: return a * b;
        case AngleOp::Div: return a / b;
        case AngleOp::Pow: return std::pow(a, b);
        default: return std::numeric_limits<double>::quiet_NaN();
    }
}

double unary(AngleOp op, double a) noexcept {
    switch (op) {
        case AngleOp::Neg: return -a;
        case AngleOp::Sin: return std::sin(a);
        case AngleOp::Cos: return std::cos(a);
        case AngleOp::Tan: return std::tan(a);
        case AngleOp::Exp: return std::exp(a);
        case AngleOp::Ln: return std::log(a);
        case AngleOp::Sqrt: return std::sqrt(a);
        default: return std::numeric_limits<double>::quiet_NaN();
    }
}

// What folding knows of a stack slot: a literal, an affine map of one
// parameter, or neither.
struct Folded {
    enum class Kind { Literal, Affine, Other } kind = Kind::Other;
    double a = 0.0;  // literal, or scale
    double offset = 0.0;
    std::uint64_t index = 0;
};

std::optional<Folded> fold_binary(AngleOp op, const Folded& x, const Folded& y) {
    using K = Folded::Kind;
    if (x.kind == K::Literal && y.kind == K::Literal) return Folded{K::Literal, binary(op, x.a, y.a)};
    if (x.kind == K::Other || y.kind == K::Other) return std::nullopt;
    auto affine = [](const Folded& f, double scale, double offset) {
        return Folded{K::Affine, scale, offset, f.index};
    };
    switch (op) {
        case AngleOp::Add:
            if (y.kind == K::Literal) return affine(x, x.a, x.offset + y.a);
            if (x.kind == K::Literal) return affine(y, y.a, x.a + y.offset);
            if (x.index == y.index) return affine(x, x.a + y.a, x.offset + y.offset);
            return std::nullopt;
        case AngleOp::Sub:
            if (y.kind == K::Literal) return affine(x, x.a, x.offset - y.a);
            if (x.kind == K::Literal) return affine(y, -y.a, x.a - y.offset);
            if (x.index == y.index) return affine(x, x.a - y.a, x.offset - y.offset);
            return std::nullopt;
        case AngleOp::Mul:
            if (y.kind == K::Literal) return affine(x, x.a * y.a, x.offset * y.a);
            if (x.kind == K::Literal) return affine(y, x.a * y.a, x.a * y.offset);
            return std::nullopt;
        case AngleOp::Div:
            // Only an exact reciprocal keeps x/c equal to x*(1/c) bit for bit.
            if (y.kind == K::Literal && y.a != 0.0 && std::isfinite(y.a)) {
                int exponent = 0;
                if (std::frexp(y.a, &exponent) == 0.5 || std::frexp(y.a, &exponent) == -0.5) {
                    return affine(x, x.a / y.a, x.offset / y.a);
                }
            }
            return std::nullopt;
        default: return std::nullopt;
    }
}

// Folds a whole program: the single remaining slot when it is a literal or
// affine, nothing otherwise.
std::optional<Folded> fold(std::span<const AngleInstruction> code) {
    using K = Folded::Kind;
    std::vector<Folded> stack;
    for (const AngleInstruction& ins : code) {
        if (ins.op == AngleOp::Constant) {
            stack.push_back({K::Literal, ins.constant});
        } else if (ins.op == AngleOp::Param) {
            stack.push_back({K::Affine, 1.0, 0.0, ins.index});
        } else if (is_binary(ins.op)) {
            if (stack.size() < 2) return std::nullopt;
            const Folded y = stack.back();
            stack.pop_back();
            const Folded x = stack.back();
            auto result = fold_binary(ins.op, x, y);
            stack.back() = result ? *result : Folded{};
        } else {
            if (stack.empty()) return std::nullopt;
            Folded& x = stack.back();
            if (x.kind == K::Literal) {
                x.a = unary(ins.op, x.a);
            } else if (x.kind == K::Affine && ins.op == AngleOp::Neg) {
                x.a = -x.a;
                x.offset = -x.offset;
            } else {
                x = Folded{};
            }
        }
    }
    if (stack.size() != 1 || stack.back().kind == K::Other) return std::nullopt;
    return stack.back();
}

std::string number_text(double value) { return concat(value); }

}  // namespace

const char* angle_function_name(AngleOp op) noexcept {
    switch (op) {
        case AngleOp::Sin: return "sin";
        case AngleOp::Cos: return "cos";
        case AngleOp::Tan: return "tan";
        case AngleOp::Exp: return "exp";
        case AngleOp::Ln: return "ln";
        case AngleOp::Sqrt: return "sqrt";
        default: return "?";
    }
}

bool AngleInstruction::operator==(const AngleInstruction& other) const noexcept {
    return op == other.op && same_bits(constant, other.constant) && index == other.index;
}

AngleExpression::AngleExpression(std::vector<AngleInstruction> code) : code_(std::move(code)) {
    std::size_t depth = 0;
    bool seen = false;
    for (const AngleInstruction& ins : code_) {
        if (is_operand(ins.op)) {
            max_stack_ = std::max(max_stack_, ++depth);
            if (ins.op == AngleOp::Param) {
                const std::uint64_t needed = ins.index == U64_MAX ? U64_MAX : ins.index + 1;
                params_needed_ = std::max(params_needed_, needed);
                if (!seen) first_index_ = ins.index;
                seen = true;
            }
        } else if (is_binary(ins.op)) {
            --depth;
        }
    }
}

double AngleExpression::evaluate(std::span<const double> values) const noexcept {
    constexpr std::size_t INLINE = 32;
    std::array<double, INLINE> inline_stack{};
    std::vector<double> deep;
    double* stack = inline_stack.data();
    if (max_stack_ > INLINE) {
        deep.resize(max_stack_);
        stack = deep.data();
    }
    std::size_t top = 0;
    for (const AngleInstruction& ins : code_) {
        switch (ins.op) {
            case AngleOp::Constant: stack[top++] = ins.constant; break;
            case AngleOp::Param: stack[top++] = values[ins.index]; break;
            case AngleOp::Add:
            case AngleOp::Sub:
            case AngleOp::Mul:
            case AngleOp::Div:
            case AngleOp::Pow:
                --top;
                stack[top - 1] = binary(ins.op, stack[top - 1], stack[top]);
                break;
            default: stack[top - 1] = unary(ins.op, stack[top - 1]); break;
        }
    }
    return stack[0];
}

const AngleExpression* Angle::new_expression(std::vector<AngleInstruction> code) {
    const auto* expression = new AngleExpression(std::move(code));
    expression->references_.store(1, std::memory_order_relaxed);
    return expression;
}

void Angle::release() noexcept {
    if (form_ != Form::Expression) return;
    if (p_.expression->references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete p_.expression;
    form_ = Form::Fixed;
    p_ = Payload{};
}

std::uint64_t Angle::index() const noexcept {
    if (form_ == Form::Affine) return index_;
    if (form_ == Form::Expression) return p_.expression->first_index();
    return 0;
}

std::uint64_t Angle::params_needed() const noexcept {
    if (form_ == Form::Affine) return index_ == U64_MAX ? U64_MAX : index_ + 1;
    if (form_ == Form::Expression) return p_.expression->params_needed();
    return 0;
}

bool Angle::operator==(const Angle& other) const noexcept {
    if (form_ != other.form_) return false;
    switch (form_) {
        case Form::Fixed: return same_bits(p_.affine.a, other.p_.affine.a);
        case Form::Affine:
            return index_ == other.index_ && same_bits(p_.affine.a, other.p_.affine.a) &&
                   same_bits(p_.affine.offset, other.p_.affine.offset);
        case Form::Expression: return *p_.expression == *other.p_.expression;
    }
    return false;
}

std::vector<AngleInstruction> Angle::program() const {
    switch (form_) {
        case Form::Fixed: return {{AngleOp::Constant, p_.affine.a, 0}};
        case Form::Affine: {
            std::vector<AngleInstruction> code{{AngleOp::Param, 0.0, index_}};
            if (p_.affine.a != 1.0) {
                code.push_back({AngleOp::Constant, p_.affine.a, 0});
                code.push_back({AngleOp::Mul, 0.0, 0});
            }
            if (p_.affine.offset != 0.0) {
                code.push_back({AngleOp::Constant, p_.affine.offset, 0});
                code.push_back({AngleOp::Add, 0.0, 0});
            }
            return code;
        }
        case Form::Expression: {
            auto code = p_.expression->code();
            return {code.begin(), code.end()};
        }
    }
    return {};
}

std::string Angle::debug_string() const {
    if (form_ == Form::Fixed) return concat("Fixed(", p_.affine.a, ")");
    // Infix text rebuilt from the program; an operand that is itself a binary
    // operation is parenthesised.
    struct Text {
        std::string text;
        bool compound = false;
    };
    auto operand = [](const Text& t) { return t.compound ? concat("(", t.text, ")") : t.text; };
    std::vector<Text> stack;
    for (const AngleInstruction& ins : program()) {
        if (ins.op == AngleOp::Constant) {
            stack.push_back({number_text(ins.constant)});
        } else if (ins.op == AngleOp::Param) {
            stack.push_back({concat("Param(", ins.index, ")")});
        } else if (is_binary(ins.op)) {
            const char* symbol = ins.op == AngleOp::Add   ? " + "
                                 : ins.op == AngleOp::Sub ? " - "
                                 : ins.op == AngleOp::Mul ? "*"
                                 : ins.op == AngleOp::Div ? "/"
                                                          : "**";
            const Text b = stack.back();
            stack.pop_back();
            stack.back() = Text{concat(operand(stack.back()), symbol, operand(b)), true};
        } else if (ins.op == AngleOp::Neg) {
            stack.back() = Text{concat("-", operand(stack.back()))};
        } else {
            stack.back() =
                Text{concat(angle_function_name(ins.op), "(", stack.back().text, ")")};
        }
    }
    return stack.size() == 1 ? stack.back().text : std::string("?");
}

Angle make_expression(std::vector<AngleInstruction> code) {
    if (auto folded = fold(code)) {
        if (folded->kind == Folded::Kind::Literal) return Angle::fixed(folded->a);
        return Angle::affine(folded->index, folded->a, folded->offset);
    }
    Angle angle(Angle::Form::Expression, 0.0, 0.0, 0);
    angle.p_.expression = Angle::new_expression(std::move(code));
    return angle;
}

namespace {

Angle combine(AngleOp op, const Angle& a, const Angle& b) {
    std::vector<AngleInstruction> code = a.program();
    std::vector<AngleInstruction> rhs = b.program();
    code.insert(code.end(), rhs.begin(), rhs.end());
    code.push_back({op, 0.0, 0});
    return make_expression(std::move(code));
}

}  // namespace

Angle operator+(const Angle& a, const Angle& b) { return combine(AngleOp::Add, a, b); }
Angle operator-(const Angle& a, const Angle& b) { return combine(AngleOp::Sub, a, b); }
Angle operator*(const Angle& a, const Angle& b) { return combine(AngleOp::Mul, a, b); }
Angle operator/(const Angle& a, const Angle& b) { return combine(AngleOp::Div, a, b); }
Angle pow(const Angle& base, const Angle& exponent) {
    return combine(AngleOp::Pow, base, exponent);
}
Angle operator-(const Angle& a) { return apply(AngleOp::Neg, a); }

Angle apply(AngleOp f, const Angle& a) {
    std::vector<AngleInstruction> code = a.program();
    code.push_back({f, 0.0, 0});
    return make_expression(std::move(code));
}

}  // namespace morvane::circuit
