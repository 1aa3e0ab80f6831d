// morvane.ParamExpression: an immutable angle computed from parameters, the
// arithmetic Param and ParamExpression share, and the module functions sin,
// cos, tan, exp, ln and sqrt. The expression itself is a circuit::Angle; this
// file only carries it across the language boundary and prints it.

#include <Python.h>

#include <cmath>
#include <cstdint>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/param_object.hpp"
#include "python/py_ref.hpp"
#include "python/registry.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

using circuit::Angle;
using circuit::AngleInstruction;
using circuit::AngleOp;

struct ExpressionObject {
    PyObject_HEAD
    Angle angle;  // constructed in place; never Fixed
};

// Created once per process, never released.
PyTypeObject* expression_type = nullptr;

const Angle& angle_of(PyObject* self) { return reinterpret_cast<ExpressionObject*>(self)->angle; }

// ---- text -----------------------------------------------------------------

// Python's own shortest round-trip text of a float ("2.0", "0.5", "inf").
std::string float_text(double value) {
    char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) throw std::bad_alloc();
    std::string out(text);
    PyMem_Free(text);
    return out;
}

// Binding strength of the Python operator that prints an operation: the text
// of an operand weaker than its operator is parenthesised.
enum Strength : int { SUM = 1, PRODUCT = 2, SIGN = 3, POWER = 4, ATOM = 5 };

struct Text {
    std::string text;
    int strength = ATOM;
    std::optional<double> constant;  // when the text is a literal
};

std::string wrapped(const Text& operand, bool parenthesise) {
    return parenthesise ? concat("(", operand.text, ")") : operand.text;
}

// An affine angle as people write it: "2.0*Param(0) + 0.5", "-Param(1)".
Text affine_text(const Angle& angle) {
    const std::string param = concat("Param(", angle.index(), ")");
    Text out;
    if (angle.scale() == 1.0) {
        out = {param, ATOM};
    } else if (angle.scale() == -1.0) {
        out = {concat("-", param), SIGN};
    } else {
        const bool negative = std::signbit(angle.scale());
        out = {concat(wrapped({float_text(angle.scale()), negative ? SIGN : ATOM}, false), "*",
                      param),
               negative ? SIGN : PRODUCT};
    }
    if (angle.offset() == 0.0) return out;
    const double offset = angle.offset();
    const bool subtract = offset < 0.0;
    return {concat(out.text, subtract ? " - " : " + ", float_text(subtract ? -offset : offset)),
            SUM};
}

// Python text of any angle, rebuilt from its program with the fewest
// parentheses that keep the structure (a - (b - c) stays so).
std::string python_text(const Angle& angle) {
    if (angle.form() == Angle::Form::Fixed) return float_text(angle.value());
    if (angle.form() == Angle::Form::Affine) return affine_text(angle).text;
    std::vector<Text> stack;
    for (const AngleInstruction& ins : angle.program()) {
        switch (ins.op) {
            case AngleOp::Constant:
                stack.push_back({float_text(ins.constant),
                                 std::signbit(ins.constant) ? SIGN : ATOM, ins.constant});
                break;
            case AngleOp::Param: stack.push_back({concat("Param(", ins.index, ")"), ATOM}); break;
            case AngleOp::Add:
            case AngleOp::Sub:
            case AngleOp::Mul:
            case AngleOp::Div:
            case AngleOp::Pow: {
                const Text b = stack.back();
                stack.pop_back();
                const Text a = stack.back();
                // The shapes folding leaves behind read as people write them:
                // x + -c as x - c, x*-1 as -x, x*c as c*x.
                if (ins.op == AngleOp::Add && b.constant && *b.constant < 0.0) {
                    stack.back() = {concat(a.text, " - ", float_text(-*b.constant)), SUM};
                    break;
                }
                if (ins.op == AngleOp::Mul && b.constant && !a.constant) {
                    if (*b.constant == -1.0) {
                        stack.back() = {concat("-", wrapped(a, a.strength < SIGN)), SIGN};
                    } else {
                        stack.back() = {concat(b.text, "*", wrapped(a, a.strength <= PRODUCT)),
                                        PRODUCT};
                    }
                    break;
                }
                const bool power = ins.op == AngleOp::Pow;
                const int strength = power ? POWER
                                     : ins.op == AngleOp::Add || ins.op == AngleOp::Sub
                                         ? SUM
                                         : PRODUCT;
                const char* symbol = ins.op == AngleOp::Add   ? " + "
                                     : ins.op == AngleOp::Sub ? " - "
                                     : ins.op == AngleOp::Mul ? "*"
                                     : ins.op == AngleOp::Div ? "/"
                                                              : "**";
                // Left-associative operators group a chain from the left;
                // ** groups from the right.
                const bool left_parens = power ? a.strength <= strength : a.strength < strength;
                const bool right_parens = power ? b.strength < SIGN : b.strength <= strength;
                stack.back() = {concat(wrapped(a, left_parens), symbol, wrapped(b, right_parens)),
                                strength};
                break;
            }
            case AngleOp::Neg:
                stack.back() = {concat("-", wrapped(stack.back(), stack.back().strength < SIGN)),
                                SIGN};
                break;
            default:
                stack.back() = {
                    concat(circuit::angle_function_name(ins.op), "(", stack.back().text, ")"),
                    ATOM};
                break;
        }
    }
    return stack.back().text;
}

// ---- the type -------------------------------------------------------------

void expression_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<ExpressionObject*>(self)->angle.~Angle();
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

PyObject* expression_repr(PyObject* self) {
    return guarded([&] { return to_py_str(python_text(angle_of(self))); });
}

PyObject* expression_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded([&]() -> PyObject* {
        // Equal when built the same way: Param(0) + Param(1) is not
        // Param(1) + Param(0). A Param compares as the bare parameter.
        auto theirs = symbolic_angle(other);
        if (!theirs || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
        const bool equal = angle_of(self) == *theirs;
        return Py_NewRef((op == Py_EQ) == equal ? Py_True : Py_False);
    });
}

PyObject* expression_get_parameters(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        std::set<std::uint64_t> indices;
        for (const AngleInstruction& ins : angle_of(self).program()) {
            if (ins.op == AngleOp::Param) indices.insert(ins.index);
        }
        PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(indices.size())));
        if (!tuple) return nullptr;
        Py_ssize_t i = 0;
        for (std::uint64_t index : indices) {
            PyObject* item = PyLong_FromUnsignedLongLong(index);
            if (!item) return nullptr;
            PyTuple_SET_ITEM(tuple.get(), i++, item);
        }
        return tuple.release();
    });
}

PyGetSetDef expression_getset[] = {
    {"parameters", expression_get_parameters, nullptr,
     "The parameter indices the expression reads, ascending.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char expression_doc[] =
    "An angle computed from trainable parameters, such as `2 * Param(0) + 0.5` or\n"
    "`morvane.sin(Param(0)) * Param(1)`.\n"
    "\n"
    "Made by arithmetic on `Param` objects, never directly. Immutable; equal to\n"
    "another expression built the same way. It has no float value of its own: the\n"
    "circuit evaluates it natively when its parameters are bound, and a NaN or\n"
    "infinite result is refused there.\n"
    "\n"
    "Example::\n"
    "\n"
    "    theta = morvane.Param(0)\n"
    "    qc = morvane.Circuit(1).rx(0, 2 * theta + 0.5).rz(0, morvane.sin(theta))\n";

PyType_Slot expression_slots[] = {
    {Py_tp_doc, const_cast<char*>(expression_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(expression_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(expression_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(expression_richcompare)},
    // Like Param: structural equality without a hash.
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, expression_getset},
    {Py_nb_add, reinterpret_cast<void*>(angle_add)},
    {Py_nb_subtract, reinterpret_cast<void*>(angle_subtract)},
    {Py_nb_multiply, reinterpret_cast<void*>(angle_multiply)},
    {Py_nb_true_divide, reinterpret_cast<void*>(angle_true_divide)},
    {Py_nb_power, reinterpret_cast<void*>(angle_power)},
    {Py_nb_negative, reinterpret_cast<void*>(angle_negative)},
    {0, nullptr},
};

PyType_Spec expression_spec = {
    "morvane.ParamExpression",
    sizeof(ExpressionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    expression_slots,
};

// ---- arithmetic -------------------------------------------------------------

// One operand of an arithmetic operation.
enum class Operand { Angle, Foreign, Error };

Operand operand(PyObject* value, Angle& out) {
    if (auto symbolic = symbolic_angle(value)) {
        out = *symbolic;
        return Operand::Angle;
    }
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) {
        // Not a number: the other operand's type may know the operation.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return Operand::Error;
        PyErr_Clear();
        return Operand::Foreign;
    }
    out = Angle::fixed(number);
    return Operand::Angle;
}

template <class Combine>
PyObject* binary(PyObject* a, PyObject* b, Combine combine) {
    return guarded([&]() -> PyObject* {
        Angle x, y;
        for (auto [value, slot] : {std::pair{a, &x}, std::pair{b, &y}}) {
            const Operand kind = operand(value, *slot);
            if (kind == Operand::Error) return nullptr;
            if (kind == Operand::Foreign) Py_RETURN_NOTIMPLEMENTED;
        }
        return new_param_expression(combine(x, y));
    });
}

PyObject* apply_function(AngleOp op, PyObject* x) {
    return guarded([&]() -> PyObject* {
        if (auto symbolic = symbolic_angle(x)) {
            return new_param_expression(circuit::apply(op, *symbolic));
        }
        const auto number = to_f64(x, "x");
        if (!number) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                return type_mismatch("x", "a number, morvane.Param or morvane.ParamExpression",
                                     x);
            }
            return nullptr;
        }
        // The arithmetic binding uses, so a value computed here and one
        // computed at binding agree to the bit.
        return PyFloat_FromDouble(circuit::apply(op, Angle::fixed(*number)).value());
    });
}

template <AngleOp Op>
PyObject* function(PyObject*, PyObject* x) {
    return apply_function(Op, x);
}

#define MORVANE_ANGLE_FUNCTION(NAME, OP, WHAT)                                                 \
    PyMethodDef {                                                                              \
        NAME, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function<OP>)), METH_O, \
            NAME "(x, /)\n--\n\n" WHAT                                                         \
            "\n\nFor a number, the float binding would compute (NaN or infinity\n"            \
            "outside the domain, where `math` raises instead); for a Param or\n"             \
            "ParamExpression, a ParamExpression evaluated when the circuit is bound."         \
    }

}  // namespace

PyMethodDef angle_function_defs[] = {
    MORVANE_ANGLE_FUNCTION("sin", AngleOp::Sin, "The sine of `x` (radians)."),
    MORVANE_ANGLE_FUNCTION("cos", AngleOp::Cos, "The cosine of `x` (radians)."),
    MORVANE_ANGLE_FUNCTION("tan", AngleOp::Tan, "The tangent of `x` (radians)."),
    MORVANE_ANGLE_FUNCTION("exp", AngleOp::Exp, "e raised to the power `x`."),
    MORVANE_ANGLE_FUNCTION("ln", AngleOp::Ln, "The natural logarithm of `x`."),
    MORVANE_ANGLE_FUNCTION("sqrt", AngleOp::Sqrt, "The square root of `x`."),
    {nullptr, nullptr, 0, nullptr},
};

#undef MORVANE_ANGLE_FUNCTION

PyObject* angle_add(PyObject* a, PyObject* b) {
    return binary(a, b, [](const Angle& x, const Angle& y) { return x + y; });
}
PyObject* angle_subtract(PyObject* a, PyObject* b) {
    return binary(a, b, [](const Angle& x, const Angle& y) { return x - y; });
}
PyObject* angle_multiply(PyObject* a, PyObject* b) {
    return binary(a, b, [](const Angle& x, const Angle& y) { return x * y; });
}
PyObject* angle_true_divide(PyObject* a, PyObject* b) {
    return binary(a, b, [](const Angle& x, const Angle& y) { return x / y; });
}
PyObject* angle_power(PyObject* a, PyObject* b, PyObject* modulus) {
    if (modulus != Py_None) Py_RETURN_NOTIMPLEMENTED;
    return binary(a, b, [](const Angle& x, const Angle& y) { return circuit::pow(x, y); });
}
PyObject* angle_negative(PyObject* a) {
    return guarded([&]() -> PyObject* {
        // Only ever installed on Param and ParamExpression.
        return new_param_expression(-*symbolic_angle(a));
    });
}

bool add_param_expression_class(PyObject* module) {
    if (!expression_type) {
        expression_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&expression_spec));
        if (!expression_type) return false;
    }
    return PyModule_AddObjectRef(module, "ParamExpression",
                                 reinterpret_cast<PyObject*>(expression_type)) == 0;
}

bool is_param_expression(PyObject* object) noexcept {
    return expression_type && PyObject_TypeCheck(object, expression_type);
}

std::optional<Angle> symbolic_angle(PyObject* object) {
    if (is_param(object)) return Angle::param(param_index(object));
    if (is_param_expression(object)) return angle_of(object);
    return std::nullopt;
}

PyObject* new_param_expression(Angle angle) {
    PyRef self = PyRef::steal(expression_type->tp_alloc(expression_type, 0));
    if (!self) return nullptr;
    new (&reinterpret_cast<ExpressionObject*>(self.get())->angle) Angle(std::move(angle));
    return self.release();
}

PyObject* wrap_angle(const Angle& angle) {
    if (angle.is_fixed()) return PyFloat_FromDouble(angle.value());
    if (angle.is_bare_param()) return new_param(angle.index());
    return new_param_expression(angle);
}

}  // namespace morvane::python
