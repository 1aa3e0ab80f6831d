// Circuit.from_qiskit: one walk over a QuantumCircuit's instructions into the
// native circuit model. Everything that needs a Python object happens here
// (reading instructions, bits, parameters and expressions); the rules about
// what is refused, how deep definitions may nest and how expression
// operations become angle arithmetic live in circuit/qiskit_import.

#include "python/qiskit_circuit.hpp"

#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "circuit/gate_catalogue.hpp"
#include "circuit/qiskit_import.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

using circuit::Angle;
using circuit::Gate;
using circuit::GateKind;
using circuit::ParameterizedCircuit;
namespace rules = circuit::qiskit;

// Qiskit's classes the conversion tests against, looked up on the first
// conversion and kept for the life of the process (as our own types are).
struct QiskitApi {
    PyObject* quantum_circuit = nullptr;
    PyObject* parameter_expression = nullptr;
    PyObject* parameter = nullptr;
    PyObject* control_flow_op = nullptr;
};

PyObject* class_of(PyObject* module, const char* name) {
    PyObject* found = PyObject_GetAttrString(module, name);
    if (found && !PyType_Check(found)) {
        PyErr_Format(PyExc_TypeError, "qiskit.circuit.%s is not a class", name);
        Py_CLEAR(found);
    }
    return found;
}

const QiskitApi* qiskit_api() {
    static QiskitApi api;
    if (api.quantum_circuit) return &api;
    PyRef module = PyRef::steal(PyImport_ImportModule("qiskit.circuit"));
    if (!module) return nullptr;
    QiskitApi loaded;
    loaded.quantum_circuit = class_of(module.get(), "QuantumCircuit");
    loaded.parameter_expression = class_of(module.get(), "ParameterExpression");
    loaded.parameter = class_of(module.get(), "Parameter");
    loaded.control_flow_op = class_of(module.get(), "ControlFlowOp");
    if (!loaded.quantum_circuit || !loaded.parameter_expression || !loaded.parameter ||
        !loaded.control_flow_op) {
        Py_XDECREF(loaded.quantum_circuit);
        Py_XDECREF(loaded.parameter_expression);
        Py_XDECREF(loaded.parameter);
        Py_XDECREF(loaded.control_flow_op);
        return nullptr;
    }
    api = loaded;
    return &api;
}

// The attribute names read per instruction, interned once.
struct Names {
    PyObject* operation;
    PyObject* qubits;
    PyObject* clbits;
    PyObject* name;
    PyObject* params;
    PyObject* definition;
    PyObject* global_phase;
    PyObject* condition;
    PyObject* is_standard_gate;
    PyObject* data;
    PyObject* parameters;
    PyObject* qpy_replay;
    PyObject* op;
    PyObject* lhs;
    PyObject* rhs;
    PyObject* numeric;
    PyObject* num_qubits;
};

const Names* names() {
    static Names interned{};
    static bool ready = false;
    if (ready) return &interned;
    const std::pair<PyObject**, const char*> table[] = {
        {&interned.operation, "operation"},   {&interned.qubits, "qubits"},
        {&interned.clbits, "clbits"},         {&interned.name, "name"},
        {&interned.params, "params"},         {&interned.definition, "definition"},
        {&interned.global_phase, "global_phase"}, {&interned.condition, "condition"},
        {&interned.is_standard_gate, "is_standard_gate"}, {&interned.data, "data"},
        {&interned.parameters, "parameters"}, {&interned.qpy_replay, "_qpy_replay"},
        {&interned.op, "op"},                 {&interned.lhs, "lhs"},
        {&interned.rhs, "rhs"},               {&interned.numeric, "numeric"},
        {&interned.num_qubits, "num_qubits"},
    };
    for (const auto& [slot, text] : table) {
        if (*slot) continue;
        *slot = PyUnicode_InternFromString(text);
        if (!*slot) return nullptr;
    }
    ready = true;
    return &interned;
}

PyRef attribute(PyObject* object, PyObject* name) {
    return PyRef::steal(PyObject_GetAttr(object, name));
}

// A str as UTF-8 text; empty with the exception pending.
std::optional<std::string> text_of(PyObject* object) {
    PyRef str = PyRef::steal(PyObject_Str(object));
    if (!str) return std::nullopt;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str.get(), &size);
    if (!data) return std::nullopt;
    return std::string(data, static_cast<std::size_t>(size));
}

// The refusal of a value that is not a number an angle can be.
struct Refusal {
    std::string why;
};

// A Python exception is pending (nullopt) or the value was refused (Refusal)
// or read (Angle).
using AngleRead = std::optional<std::expected<Angle, Refusal>>;

class Converter {
public:
    Converter(const QiskitApi& api, const Names& names) : api_(api), names_(names) {}

    std::optional<ConvertedCircuit> convert(PyObject* qc);

private:
    // How the bits of the circuit being walked map to the top-level ones.
    struct Scope {
        PyRef qubit_index;  // dict: Qubit -> its index in this circuit
        PyRef clbit_index;  // dict: Clbit -> its index in this circuit
        std::vector<std::uint64_t> qubits;  // this circuit's qubit i -> top-level qubit
        std::vector<std::uint64_t> clbits;  // this circuit's clbit i -> top-level clbit
    };

    bool walk(PyObject* circuit, const Scope& scope, std::size_t depth);
    bool instruction(PyObject* item, const Scope& scope, std::size_t depth);
    bool expand(PyObject* operation, const std::vector<std::uint64_t>& qubits,
                const std::vector<std::uint64_t>& clbits, std::size_t depth);
    bool add_phase(PyObject* phase);
    bool push(Gate gate);

    // The positions (in the walked circuit's own numbering mapped to the
    // top level) of an instruction's bits; empty with an exception pending.
    std::optional<std::vector<std::uint64_t>> bits(PyObject* sequence, PyObject* index,
                                                   const std::vector<std::uint64_t>& outer);
    std::optional<Scope> scope_of(PyObject* circuit, const std::vector<std::uint64_t>& qubits,
                                  const std::vector<std::uint64_t>& clbits);

    AngleRead angle(PyObject* value, std::size_t depth = 0);
    AngleRead number(PyObject* value);
    AngleRead expression(PyObject* value, std::size_t depth);
    std::optional<Angle> angle_or_refuse(PyObject* value);

    // Raises the ValueError for the instruction being converted.
    bool refuse(std::string_view why);

    const QiskitApi& api_;
    const Names& names_;
    PyRef parameter_index_;  // dict: Parameter -> its index in qc.parameters
    std::optional<ParameterizedCircuit> circuit_;
    // The instruction being converted: its position in qc.data and the names
    // from that instruction down through the definitions being expanded.
    std::size_t position_ = 0;
    std::vector<std::string> path_;
};

bool Converter::refuse(std::string_view why) {
    value_error(concat("Circuit.from_qiskit: ", rules::instruction_refusal(position_, path_, why)));
    return false;
}

bool Converter::push(Gate gate) {
    auto pushed = circuit_->push(std::move(gate));
    if (pushed) return true;
    if (const auto* measured = std::get_if<circuit::QubitAlreadyMeasured>(&pushed.error().detail)) {
        return refuse(concat("it acts on qubit ", measured->qubit,
                             " after that qubit was measured; a mid-circuit measurement cannot "
                             "be converted, as morvane circuits measure only at the end"));
    }
    return refuse(pushed.error().message());
}

std::optional<Converter::Scope> Converter::scope_of(PyObject* circuit,
                                                    const std::vector<std::uint64_t>& qubits,
                                                    const std::vector<std::uint64_t>& clbits) {
    Scope scope;
    scope.qubits = qubits;
    scope.clbits = clbits;
    const std::pair<PyObject*, PyRef*> kinds[] = {{names_.qubits, &scope.qubit_index},
                                                  {names_.clbits, &scope.clbit_index}};
    for (const auto& [name, index] : kinds) {
        PyRef list = attribute(circuit, name);
        if (!list) return std::nullopt;
        PyRef fast = PyRef::steal(PySequence_Fast(list.get(), "circuit bits must be a sequence"));
        if (!fast) return std::nullopt;
        *index = PyRef::steal(PyDict_New());
        if (!*index) return std::nullopt;
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(fast.get());
        const std::size_t expected = name == names_.qubits ? qubits.size() : clbits.size();
        if (static_cast<std::size_t>(size) != expected) {
            refuse(concat("its definition has ", size,
                          name == names_.qubits ? " qubits" : " classical bits",
                          " but the instruction acts on ", expected));
            return std::nullopt;
        }
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyRef position = PyRef::steal(PyLong_FromSsize_t(i));
            if (!position ||
                PyDict_SetItem(index->get(), PySequence_Fast_GET_ITEM(fast.get(), i),
                               position.get()) < 0) {
                return std::nullopt;
            }
        }
    }
    return scope;
}

std::optional<std::vector<std::uint64_t>> Converter::bits(
    PyObject* sequence, PyObject* index, const std::vector<std::uint64_t>& outer) {
    PyRef fast = PyRef::steal(PySequence_Fast(sequence, "instruction bits must be a sequence"));
    if (!fast) return std::nullopt;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(fast.get());
    std::vector<std::uint64_t> out;
    out.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* bit = PySequence_Fast_GET_ITEM(fast.get(), i);
        PyObject* position = PyDict_GetItemWithError(index, bit);  // borrowed
        if (!position) {
            if (!PyErr_Occurred()) refuse("it acts on a bit that is not in its circuit");
            return std::nullopt;
        }
        const Py_ssize_t local = PyLong_AsSsize_t(position);
        if (local < 0 || static_cast<std::size_t>(local) >= outer.size()) {
            if (!PyErr_Occurred()) refuse("it acts on a bit that is not in its circuit");
            return std::nullopt;
        }
        out.push_back(outer[static_cast<std::size_t>(local)]);
    }
    return out;
}

// ---- angles ----------------------------------------------------------------

AngleRead Converter::number(PyObject* value) {
    if (PyComplex_Check(value)) {
        const Py_complex z = PyComplex_AsCComplex(value);
        if (PyErr_Occurred()) return std::nullopt;
        if (z.imag != 0.0) {
            return std::unexpected(Refusal{concat(
                "a parameter has the complex value ", z.real, z.imag < 0 ? "" : "+", z.imag,
                "j; gate angles must be real")});
        }
        return Angle::fixed(z.real);
    }
    const double real = PyFloat_AsDouble(value);
    if (real == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
        PyErr_Clear();
        return std::unexpected(Refusal{concat("a parameter of type '", Py_TYPE(value)->tp_name,
                                              "' is not a number or ParameterExpression")});
    }
    return Angle::fixed(real);
}

AngleRead Converter::angle(PyObject* value, std::size_t depth) {
    const int is_expression = PyObject_IsInstance(value, api_.parameter_expression);
    if (is_expression < 0) return std::nullopt;
    if (!is_expression) return number(value);
    const int is_parameter = PyObject_IsInstance(value, api_.parameter);
    if (is_parameter < 0) return std::nullopt;
    if (is_parameter) {
        // Parameters hash and compare by their identity (a UUID), never by
        // name: two parameters may share a name and be different.
        PyObject* index = PyDict_GetItemWithError(parameter_index_.get(), value);
        if (!index) {
            if (PyErr_Occurred()) return std::nullopt;
            auto name = text_of(value);
            if (!name) return std::nullopt;
            return std::unexpected(Refusal{concat("parameter '", *name,
                                                  "' is not one of the circuit's parameters")});
        }
        const Py_ssize_t i = PyLong_AsSsize_t(index);
        if (i < 0) return std::nullopt;
        return Angle::param(static_cast<std::uint64_t>(i));
    }
    return expression(value, depth);
}

// A ParameterExpression by its structure: Qiskit's replay of the operations
// that built it, the same record QPY serialises. Each entry pushes its
// operands that are not None (a None operand is the result of the entries
// before it), then its op takes its operands from the top of the stack.
AngleRead Converter::expression(PyObject* value, std::size_t depth) {
    if (depth > rules::MAX_EXPRESSION_DEPTH) {
        return std::unexpected(Refusal{concat("a parameter expression nests deeper than ",
                                              rules::MAX_EXPRESSION_DEPTH, " levels")});
    }
    PyRef parameters = attribute(value, names_.parameters);
    if (!parameters) return std::nullopt;
    const Py_ssize_t free = PyObject_Size(parameters.get());
    if (free < 0) return std::nullopt;
    if (free == 0) {
        // Fully bound: its value, whatever operations produced it.
        PyRef numeric = PyRef::steal(PyObject_CallMethodNoArgs(value, names_.numeric));
        if (!numeric) return std::nullopt;
        return number(numeric.get());
    }
    PyRef replay = attribute(value, names_.qpy_replay);
    if (!replay) return std::nullopt;
    PyRef entries = PyRef::steal(PySequence_Fast(replay.get(), "_qpy_replay must be a sequence"));
    if (!entries) return std::nullopt;
    std::vector<Angle> stack;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(entries.get());
    for (Py_ssize_t e = 0; e < count; ++e) {
        PyObject* entry = PySequence_Fast_GET_ITEM(entries.get(), e);
        PyRef op_object = attribute(entry, names_.op);
        if (!op_object) return std::nullopt;
        PyRef op_number = PyRef::steal(PyNumber_Long(op_object.get()));
        if (!op_number) return std::nullopt;
        const long op = PyLong_AsLong(op_number.get());
        if (op == -1 && PyErr_Occurred()) return std::nullopt;
        const std::optional<std::size_t> arity = rules::expression_op_arity(static_cast<int>(op));
        if (!arity) return std::unexpected(Refusal{rules::unknown_expression_op(op)});
        for (PyObject* side : {names_.lhs, names_.rhs}) {
            PyRef operand = attribute(entry, side);
            if (!operand) return std::nullopt;
            if (operand.get() == Py_None) continue;
            if (PyDict_Check(operand.get())) {
                // A substitution map; the op check below names it.
                stack.emplace_back();
                continue;
            }
            AngleRead read = angle(operand.get(), depth + 1);
            if (!read || !*read) return read;
            stack.push_back(std::move(**read));
        }
        if (stack.size() < *arity) {
            return std::unexpected(Refusal{"a parameter expression's structure is malformed"});
        }
        Angle rhs;
        if (*arity == 2) {
            rhs = std::move(stack.back());
            stack.pop_back();
        }
        Angle lhs = std::move(stack.back());
        stack.pop_back();
        auto applied = rules::apply_expression_op(static_cast<int>(op), lhs, rhs);
        if (!applied) return std::unexpected(Refusal{std::move(applied.error())});
        stack.push_back(std::move(*applied));
    }
    if (stack.size() != 1) {
        return std::unexpected(Refusal{"a parameter expression's structure is malformed"});
    }
    return std::move(stack.back());
}

std::optional<Angle> Converter::angle_or_refuse(PyObject* value) {
    AngleRead read = angle(value);
    if (!read) return std::nullopt;
    if (!*read) {
        refuse(read->error().why);
        return std::nullopt;
    }
    return std::move(**read);
}

bool Converter::add_phase(PyObject* phase) {
    std::optional<Angle> angle = angle_or_refuse(phase);
    if (!angle) return false;
    if (angle->is_fixed() && angle->value() == 0.0) return true;
    return push(Gate::make(GateKind::GlobalPhase, {}, std::span(&*angle, 1)));
}

// ---- instructions ----------------------------------------------------------

bool Converter::walk(PyObject* circuit, const Scope& scope, std::size_t depth) {
    PyRef data = attribute(circuit, names_.data);
    if (!data) return false;
    PyRef iterator = PyRef::steal(PyObject_GetIter(data.get()));
    if (!iterator) return false;
    std::size_t position = 0;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (depth == 0) {
            position_ = position++;
            path_.clear();
        }
        if (!instruction(item.get(), scope, depth)) return false;
    }
    return !PyErr_Occurred();
}

bool Converter::instruction(PyObject* item, const Scope& scope, std::size_t depth) {
    PyRef operation = attribute(item, names_.operation);
    if (!operation) return false;
    PyRef name_object = attribute(operation.get(), names_.name);
    if (!name_object) return false;
    auto name = text_of(name_object.get());
    if (!name) return false;
    path_.resize(depth);
    path_.push_back(*name);

    const int control_flow = PyObject_IsInstance(operation.get(), api_.control_flow_op);
    if (control_flow < 0) return false;
    if (control_flow) return refuse(rules::CONTROL_FLOW_REFUSAL);
    if (auto why = rules::refusal_reason(*name)) return refuse(*why);
    // Qiskit 1.x attaches classical conditions (c_if) to the operation;
    // later versions have no such attribute or leave it None.
    PyRef condition = PyRef::steal(PyObject_GetAttr(operation.get(), names_.condition));
    if (!condition) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
    } else if (condition.get() != Py_None) {
        return refuse("classically conditioned instructions cannot be converted; morvane "
                      "circuits have no classical control");
    }
    if (rules::is_dropped(*name)) return true;

    PyRef qubit_list = attribute(item, names_.qubits);
    if (!qubit_list) return false;
    auto qubits = bits(qubit_list.get(), scope.qubit_index.get(), scope.qubits);
    if (!qubits) return false;
    PyRef clbit_list = attribute(item, names_.clbits);
    if (!clbit_list) return false;
    auto clbits = bits(clbit_list.get(), scope.clbit_index.get(), scope.clbits);
    if (!clbits) return false;

    if (*name == "measure") {
        if (qubits->size() != 1 || clbits->size() != 1) {
            return refuse("a measurement must act on one qubit and one classical bit");
        }
        return push(Gate::measure((*qubits)[0], (*clbits)[0]));
    }
    if (*name == "barrier") return push(Gate::barrier(std::move(*qubits)));

    const circuit::GateInfo* info = circuit::find_gate(*name);
    bool standard = info != nullptr;
    if (standard) {
        // A gate of our name may still be a user's own (Gate("rx", ...) with
        // a definition of its choosing); Qiskit knows its standard gates.
        PyRef check = PyRef::steal(PyObject_GetAttr(item, names_.is_standard_gate));
        if (!check) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
        } else {
            PyRef answer = PyRef::steal(PyObject_CallNoArgs(check.get()));
            if (!answer) return false;
            const int truth = PyObject_IsTrue(answer.get());
            if (truth < 0) return false;
            standard = truth == 1;
        }
    }
    PyRef params = attribute(operation.get(), names_.params);
    if (!params) return false;
    if (standard) {
        PyRef fast = PyRef::steal(PySequence_Fast(params.get(), "params must be a sequence"));
        if (!fast) return false;
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.get());
        if (qubits->size() == info->num_qubits && static_cast<std::size_t>(count) == info->num_angles) {
            Angle angles[4];
            for (Py_ssize_t i = 0; i < count; ++i) {
                auto read = angle_or_refuse(PySequence_Fast_GET_ITEM(fast.get(), i));
                if (!read) return false;
                angles[i] = std::move(*read);
            }
            return push(Gate::make(info->kind, *qubits,
                                   std::span(angles, static_cast<std::size_t>(count))));
        }
    }
    return expand(operation.get(), *qubits, *clbits, depth);
}

// Anything else through its definition, which Qiskit builds for this very
// instance: its parameters are already expressions of the outer ones, and so
// is its global phase.
bool Converter::expand(PyObject* operation, const std::vector<std::uint64_t>& qubits,
                       const std::vector<std::uint64_t>& clbits, std::size_t depth) {
    if (depth + 1 > rules::MAX_DEFINITION_DEPTH) {
        return refuse(concat("its definitions nest deeper than ", rules::MAX_DEFINITION_DEPTH,
                             " levels (does a definition contain its own gate?)"));
    }
    PyRef definition = attribute(operation, names_.definition);
    if (!definition) return false;
    if (definition.get() == Py_None) {
        return refuse("it is neither a gate morvane knows by name nor an instruction with a "
                      "definition; decompose or transpile it to standard gates first");
    }
    const int is_circuit = PyObject_IsInstance(definition.get(), api_.quantum_circuit);
    if (is_circuit < 0) return false;
    if (!is_circuit) return refuse("its definition is not a QuantumCircuit");
    std::optional<Scope> scope = scope_of(definition.get(), qubits, clbits);
    if (!scope) return false;
    PyRef phase = attribute(definition.get(), names_.global_phase);
    if (!phase || !add_phase(phase.get())) return false;
    return walk(definition.get(), *scope, depth + 1);
}

std::optional<ConvertedCircuit> Converter::convert(PyObject* qc) {
    PyRef width = attribute(qc, names_.num_qubits);
    if (!width) return std::nullopt;
    const unsigned long long num_qubits = PyLong_AsUnsignedLongLong(width.get());
    if (num_qubits == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;

    // Parameter i is qc.parameters[i].
    PyRef parameters = attribute(qc, names_.parameters);
    if (!parameters) return std::nullopt;
    PyRef listed = PyRef::steal(PySequence_List(parameters.get()));
    if (!listed) return std::nullopt;
    parameter_index_ = PyRef::steal(PyDict_New());
    if (!parameter_index_) return std::nullopt;
    std::vector<std::string> parameter_names;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listed.get()); ++i) {
        PyObject* parameter = PyList_GET_ITEM(listed.get(), i);
        PyRef index = PyRef::steal(PyLong_FromSsize_t(i));
        if (!index || PyDict_SetItem(parameter_index_.get(), parameter, index.get()) < 0) {
            return std::nullopt;
        }
        PyRef name = attribute(parameter, names_.name);
        if (!name) return std::nullopt;
        auto text = text_of(name.get());
        if (!text) return std::nullopt;
        parameter_names.push_back(std::move(*text));
    }

    circuit_.emplace(num_qubits);
    PyRef clbit_list = attribute(qc, names_.clbits);
    if (!clbit_list) return std::nullopt;
    const Py_ssize_t num_clbits = PyObject_Size(clbit_list.get());
    if (num_clbits < 0) return std::nullopt;
    std::vector<std::uint64_t> qubits(num_qubits), clbits(static_cast<std::size_t>(num_clbits));
    for (std::uint64_t q = 0; q < num_qubits; ++q) qubits[q] = q;
    for (std::size_t c = 0; c < clbits.size(); ++c) clbits[c] = c;
    std::optional<Scope> scope = scope_of(qc, qubits, clbits);
    if (!scope) return std::nullopt;

    PyRef phase = attribute(qc, names_.global_phase);
    if (!phase) return std::nullopt;
    {
        AngleRead read = angle(phase.get());
        if (!read) return std::nullopt;
        if (!*read) {
            value_error(concat("Circuit.from_qiskit: the circuit's global_phase: ",
                               read->error().why));
            return std::nullopt;
        }
        if (!(*read)->is_fixed() || (*read)->value() != 0.0) {
            auto set = circuit_->set_global_phase(std::move(**read));
            if (!set) {
                value_error(concat("Circuit.from_qiskit: the circuit's global_phase: ",
                                   set.error().message()));
                return std::nullopt;
            }
        }
    }
    if (!walk(qc, *scope, 0)) return std::nullopt;
    if (auto kept = rules::last_measurement_per_clbit(circuit_->gates())) {
        Angle phase = circuit_->global_phase();
        *circuit_ = circuit::ParameterizedCircuit::from_validated_gates(
            circuit_->num_qubits(), std::move(*kept), std::move(phase));
    }
    // Qiskit's counts carry every classical bit; ours do too once measured.
    // A circuit that measures nothing keeps the implicit whole-register read.
    if (circuit_->num_clbits() != 0) circuit_->declare_clbits(clbits.size());

    circuit_->set_parameter_names(parameter_names);
    return ConvertedCircuit{std::move(*circuit_), std::move(parameter_names)};
}

}  // namespace

bool is_qiskit_circuit(PyObject* object) {
    // Only a loaded Qiskit can have made the object: when it is not in
    // sys.modules the answer is no, without paying for its import.
    PyRef module_name = PyRef::steal(PyUnicode_FromString("qiskit.circuit"));
    if (!module_name) {
        PyErr_Clear();
        return false;
    }
    PyRef module = PyRef::steal(PyImport_GetModule(module_name.get()));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    PyRef type = PyRef::steal(PyObject_GetAttrString(module.get(), "QuantumCircuit"));
    if (!type) {
        PyErr_Clear();
        return false;
    }
    const int is = PyObject_IsInstance(object, type.get());
    if (is < 0) PyErr_Clear();
    return is == 1;
}

std::optional<ConvertedCircuit> convert_qiskit_circuit(PyObject* qc) {
    const Names* interned = names();
    if (!interned) return std::nullopt;
    const QiskitApi* api = qiskit_api();
    if (!api) return std::nullopt;
    Converter converter(*api, *interned);
    return converter.convert(qc);
}

}  // namespace morvane::python
