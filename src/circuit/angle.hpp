#pragma once

#include <cstdint>
#include <atomic>
#include <span>
#include <string>
#include <vector>

namespace morvane::circuit {

// The operations of an angle expression, in postfix order: operands are
// pushed, operators pop theirs and push the result.
enum class AngleOp : std::uint8_t {
    Constant, Param,                 // push a literal / values[index]
    Add, Sub, Mul, Div, Pow,         // pop b, pop a, push a op b
    Neg, Sin, Cos, Tan, Exp, Ln, Sqrt  // pop a, push f(a)
};

// The name of a function op as expressions print it ("sin", ..., "ln", "sqrt").
const char* angle_function_name(AngleOp op) noexcept;

struct AngleInstruction {
    AngleOp op = AngleOp::Constant;
    double constant = 0.0;
    std::uint64_t index = 0;
    bool operator==(const AngleInstruction& other) const noexcept;
};

// An immutable angle expression over parameters: a postfix program. Shared by
// every copy of the angle that holds it (counted by the angles themselves),
// so copying a gate never copies it.
class AngleExpression {
public:
    explicit AngleExpression(std::vector<AngleInstruction> code);
    AngleExpression(const AngleExpression&) = delete;
    AngleExpression& operator=(const AngleExpression&) = delete;

    std::span<const AngleInstruction> code() const noexcept { return code_; }
    // 1 + the largest parameter index read (saturating), 0 when none.
    std::uint64_t params_needed() const noexcept { return params_needed_; }
    // The first parameter index the program reads.
    std::uint64_t first_index() const noexcept { return first_index_; }
    // Every index read must be below values.size() (params_needed()).
    // Evaluates without allocating for programs of ordinary depth.
    double evaluate(std::span<const double> values) const noexcept;

    bool operator==(const AngleExpression& other) const noexcept { return code_ == other.code_; }

private:
    friend class Angle;

    std::vector<AngleInstruction> code_;
    mutable std::atomic<std::size_t> references_{0};
    std::size_t max_stack_ = 0;
    std::uint64_t params_needed_ = 0;
    std::uint64_t first_index_ = 0;
};

// A gate angle: a literal in radians, an affine function scale * p[i] + offset
// of one parameter (a bare parameter is scale 1, offset 0), or an expression
// over several parameters. Arithmetic folds as it goes: literals combine into
// a literal and affine maps of one parameter stay affine, so the common
// angles (2*gamma, theta/2, -phi, theta + pi) bind with one multiply-add.
class Angle {
public:
    enum class Form : std::uint8_t { Fixed, Affine, Expression };

    static Angle fixed(double radians) noexcept {
        return Angle(Form::Fixed, radians, 0.0, 0);
    }
    static Angle param(std::uint64_t index) noexcept {
        return Angle(Form::Affine, 1.0, 0.0, index);
    }
    static Angle affine(std::uint64_t index, double scale, double offset) noexcept {
        return Angle(Form::Affine, scale, offset, index);
    }

    Angle() noexcept = default;
    Angle(const Angle& other) noexcept : form_(other.form_), index_(other.index_), p_(other.p_) {
        retain();
    }
    Angle(Angle&& other) noexcept : form_(other.form_), index_(other.index_), p_(other.p_) {
        other.form_ = Form::Fixed;
        other.p_ = Payload{};
    }
    Angle& operator=(const Angle& other) noexcept {
        other.retain();
        release();
        form_ = other.form_;
        index_ = other.index_;
        p_ = other.p_;
        return *this;
    }
    Angle& operator=(Angle&& other) noexcept {
        if (this != &other) {
            release();
            form_ = other.form_;
            index_ = other.index_;
            p_ = other.p_;
            other.form_ = Form::Fixed;
            other.p_ = Payload{};
        }
        return *this;
    }
    ~Angle() { release(); }

    constexpr Form form() const noexcept { return form_; }
    constexpr bool is_fixed() const noexcept { return form_ == Form::Fixed; }
    // Whether the angle depends on a parameter (any form but Fixed).
    constexpr bool is_param() const noexcept { return form_ != Form::Fixed; }
    // A bare reference to one parameter.
    constexpr bool is_bare_param() const noexcept {
        return form_ == Form::Affine && p_.affine.a == 1.0 && p_.affine.offset == 0.0;
    }
    // The literal of a Fixed angle (0 otherwise).
    constexpr double value() const noexcept { return form_ == Form::Fixed ? p_.affine.a : 0.0; }
    // An Affine angle's scale and offset.
    constexpr double scale() const noexcept { return form_ == Form::Affine ? p_.affine.a : 0.0; }
    constexpr double offset() const noexcept {
        return form_ == Form::Affine ? p_.affine.offset : 0.0;
    }
    // The parameter an Affine angle reads, the first one an Expression reads,
    // 0 for a Fixed angle.
    std::uint64_t index() const noexcept;
    // 1 + the largest parameter index read (saturating), 0 for a Fixed angle.
    std::uint64_t params_needed() const noexcept;
    const AngleExpression* expression() const noexcept {
        return form_ == Form::Expression ? p_.expression : nullptr;
    }

    // The value against a parameter vector holding at least params_needed()
    // entries; may be NaN or infinite.
    double evaluate(std::span<const double> values) const noexcept {
        if (form_ == Form::Fixed) return p_.affine.a;
        if (form_ == Form::Affine) {
            // Without an offset the sign of a zero survives, as a bare parameter must.
            const double scaled = p_.affine.a * values[index_];
            return p_.affine.offset == 0.0 ? scaled : scaled + p_.affine.offset;
        }
        return p_.expression->evaluate(values);
    }

    // Makes a Fixed angle of one that holds no expression (a fresh or Fixed
    // or Affine angle) in place: binding's way of filling a fresh gate.
    void set_fixed(double radians) noexcept {
        form_ = Form::Fixed;
        p_.affine = {radians, 0.0};
        index_ = 0;
    }

    // Identity, not arithmetic: literals compare by bit pattern (NaN equals
    // NaN, -0 differs from +0), expressions by program.
    bool operator==(const Angle& other) const noexcept;

    // "Fixed(0.5)", "Param(3)", "2*Param(3) + 0.5", "sin(Param(0))*Param(1)".
    std::string debug_string() const;

    // The angle's program (a Fixed or Affine angle written out as one).
    std::vector<AngleInstruction> program() const;

private:
    Angle(Form form, double a, double offset, std::uint64_t index) noexcept
        : form_(form), index_(index) {
        p_.affine = {a, offset};
    }

    friend Angle make_expression(std::vector<AngleInstruction> code);

    void retain() const noexcept {
        if (form_ == Form::Expression) p_.expression->references_.fetch_add(1, std::memory_order_relaxed);
    }
    void release() noexcept;
    // A new expression, held once (by the angle about to store it).
    static const AngleExpression* new_expression(std::vector<AngleInstruction> code);

    // Gates hold four angles each and binding copies gates by the thousand,
    // so an angle is kept to 32 bytes: an expression shares the storage of
    // the affine coefficients it does not need.
    union Payload {
        struct Affine {
            double a;       // Fixed: the literal; Affine: the scale
            double offset;  // Affine: the offset
        } affine{0.0, 0.0};
        const AngleExpression* expression;  // Expression: counted by its angles
    };

    Form form_ = Form::Fixed;
    std::uint64_t index_ = 0;  // Affine: the parameter
    Payload p_{};
};

// Builds an angle from a program, folding it to a Fixed or Affine angle when
// the program is one (a literal, or an affine map of a single parameter).
Angle make_expression(std::vector<AngleInstruction> code);

Angle operator+(const Angle& a, const Angle& b);
Angle operator-(const Angle& a, const Angle& b);
Angle operator*(const Angle& a, const Angle& b);
Angle operator/(const Angle& a, const Angle& b);
Angle operator-(const Angle& a);
Angle pow(const Angle& base, const Angle& exponent);
// f is one of Neg, Sin, Cos, Tan, Exp, Ln, Sqrt.
Angle apply(AngleOp f, const Angle& a);

}  // namespace morvane::circuit
