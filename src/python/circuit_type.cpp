// morvane.Circuit: the Python builder around one ParameterizedCircuit.
//
// Access discipline. Builders mutate the wrapped circuit; readers (properties,
// exporters, len, repr, and entry points through CircuitRead) only look at it,
// and some readers keep looking with the interpreter lock released. Each object
// therefore carries a borrow state: a count of readers and a writer flag. A
// builder takes the writer flag before converting its arguments, because the
// conversion may run arbitrary Python (an angle's __float__) which could call
// back into the same circuit; such a reentrant builder, or a builder while a
// reader is active, fails with RuntimeError "Already borrowed". Readers never
// fail: until the push itself nothing has changed, and the push runs with the
// lock held, no Python in between, and only after checking again that no
// reader has appeared meanwhile (another thread may have started one while the
// first builder's conversion released the lock).

#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/gate_catalogue.hpp"
#include "python/circuit_object.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/param_object.hpp"
#include "python/py_ref.hpp"
#include "python/qiskit_circuit.hpp"
#include "python/registry.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

using circuit::Angle;
using circuit::Gate;
using circuit::GateKind;
using circuit::ParameterizedCircuit;

struct CircuitObject {
    PyObject_HEAD
    ParameterizedCircuit* circuit;  // owned; never null once constructed
    // Readers may be released on a thread that has just retaken the lock, so
    // the count is atomic rather than relying on the lock alone.
    std::atomic<std::size_t> readers;
    bool writing;
};

PyTypeObject* circuit_type = nullptr;  // created once per process, never released

CircuitObject* as_circuit(PyObject* self) { return reinterpret_cast<CircuitObject*>(self); }

PyObject* raise_already_borrowed() {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return nullptr;
}

PyObject* raise_circuit_error(const circuit::CircuitError& error) {
    PyErr_SetString(PyExc_ValueError, error.message().c_str());
    return nullptr;
}

// Shared access for the readers defined in this file.
class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* self) : object_(as_circuit(self)) { ++object_->readers; }
    ~SharedBorrow() { --object_->readers; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    const ParameterizedCircuit& circuit() const { return *object_->circuit; }

private:
    CircuitObject* object_;
};

// Exclusive access for one builder call; `held()` is false (with the
// RuntimeError set) when another borrow was active.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(PyObject* self) : object_(as_circuit(self)) {
        if (object_->writing || object_->readers.load() != 0) {
            raise_already_borrowed();
            object_ = nullptr;
            return;
        }
        object_->writing = true;
    }
    ~ExclusiveBorrow() {
        if (object_) object_->writing = false;
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

    bool held() const { return object_ != nullptr; }

    // Appends `gate` and returns the builder's result: the object itself, or
    // null with ValueError (the circuit unchanged).
    PyObject* push(Gate gate) {
        if (object_->readers.load() != 0) return raise_already_borrowed();
        auto pushed = object_->circuit->push(std::move(gate));
        if (!pushed) return raise_circuit_error(pushed.error());
        return Py_NewRef(reinterpret_cast<PyObject*>(object_));
    }

    // Replaces the global phase: 0, or -1 with ValueError (the circuit
    // unchanged).
    int set_global_phase(Angle phase) {
        if (object_->readers.load() != 0) {
            raise_already_borrowed();
            return -1;
        }
        auto set = object_->circuit->set_global_phase(std::move(phase));
        if (!set) {
            raise_circuit_error(set.error());
            return -1;
        }
        return 0;
    }

private:
    CircuitObject* object_;
};

// The common shape of every builder method taking arguments: bind the raw
// arguments, take the exclusive borrow, convert, push.
template <class MakeGate>
PyObject* build(PyObject* self, const char* method, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, std::span<const char* const> names, std::size_t required,
                MakeGate make_gate) {
    PyObject* bound[8];
    if (!bind_arguments(method, args, nargs, kwnames, names, required, bound)) return nullptr;
    ExclusiveBorrow borrow(self);
    if (!borrow.held()) return nullptr;
    std::optional<Gate> gate = make_gate(bound);
    if (!gate) return nullptr;
    return borrow.push(std::move(*gate));
}

template <class MakeGate>
PyObject* build(PyObject* self, const char* method, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, std::initializer_list<const char*> names, std::size_t required,
                MakeGate make_gate) {
    return build(self, method, args, nargs, kwnames,
                 std::span<const char* const>(names.begin(), names.size()), required,
                 std::move(make_gate));
}

// ---- builder methods ------------------------------------------------------

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Every gate builder: its qubits in Qiskit's order, then its angles, under
// the catalogue's field names. The catalogue's names are string literals, so
// their data() is terminated for the C API.
PyObject* build_gate(GateKind kind, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    const circuit::GateInfo& info = circuit::gate_info(kind);
    const std::size_t qubits = info.num_qubits, angles = info.num_angles;
    const char* names[8];
    for (std::size_t i = 0; i < qubits; ++i) names[i] = info.qubit_names[i].data();
    for (std::size_t i = 0; i < angles; ++i) names[qubits + i] = info.angle_names[i].data();
    const std::span<const char* const> parameters(names, qubits + angles);
    return build(self, info.name.data(), args, nargs, kwnames, parameters, parameters.size(),
                 [&](PyObject** bound) -> std::optional<Gate> {
                     std::uint64_t qubit_values[4];
                     Angle angle_values[4];
                     for (std::size_t i = 0; i < qubits; ++i) {
                         const auto qubit = to_u64(bound[i], names[i]);
                         if (!qubit) return std::nullopt;
                         qubit_values[i] = *qubit;
                     }
                     for (std::size_t i = 0; i < angles; ++i) {
                         auto angle = to_angle(bound[qubits + i], names[qubits + i]);
                         if (!angle) return std::nullopt;
                         angle_values[i] = std::move(*angle);
                     }
                     return Gate::make(kind, std::span(qubit_values, qubits),
                                       std::span(angle_values, angles));
                 });
}

// One entry point per kind, each only naming its kind, so that the method
// table can come from the catalogue.
template <std::size_t Kind>
PyObject* gate_builder(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return guarded([&] {
        return build_gate(static_cast<GateKind>(Kind), self, args, nargs, kwnames);
    });
}

template <std::size_t... Kinds>
constexpr std::array<FastMethod, sizeof...(Kinds)> gate_builders(std::index_sequence<Kinds...>) {
    return {&gate_builder<Kinds>...};
}

constexpr auto GATE_BUILDERS = gate_builders(std::make_index_sequence<circuit::GATE_KIND_COUNT>{});

PyObject* circuit_barrier(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&] {
        return build(self, "barrier", args, nargs, kwnames, {"qubits"}, 0,
                     [](PyObject** bound) -> std::optional<Gate> {
                         auto qubits = to_u64_list(bound[0], "qubits");
                         if (!qubits) return std::nullopt;
                         return Gate::barrier(std::move(*qubits));
                     });
    });
}

PyObject* circuit_measure(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&] {
        return build(self, "measure", args, nargs, kwnames, {"qubit", "cbit"}, 2,
                     [](PyObject** bound) -> std::optional<Gate> {
                         const auto qubit = to_u64(bound[0], "qubit");
                         if (!qubit) return std::nullopt;
                         const auto cbit = to_u64(bound[1], "cbit");
                         if (!cbit) return std::nullopt;
                         return Gate::measure(*qubit, *cbit);
                     });
    });
}

PyObject* circuit_measure_all(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        ExclusiveBorrow borrow(self);
        if (!borrow.held()) return nullptr;
        return borrow.push(Gate::measure_all());
    });
}

// ---- readers --------------------------------------------------------------

PyObject* circuit_to_qasm2(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments("to_qasm2", args, nargs, kwnames, {"params"}, 0, bound)) {
            return nullptr;
        }
        SharedBorrow borrow(self);
        const auto params = to_f64_list(bound[0], "params");
        if (!params) return nullptr;
        auto text = borrow.circuit().to_qasm2(*params);
        if (!text) return raise_circuit_error(text.error());
        return to_py_str(*text);
    });
}

PyObject* circuit_to_qir(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments("to_qir", args, nargs, kwnames, {"params"}, 0, bound)) {
            return nullptr;
        }
        SharedBorrow borrow(self);
        const auto params = to_f64_list(bound[0], "params");
        if (!params) return nullptr;
        auto text = borrow.circuit().to_qir(*params);
        if (!text) return raise_circuit_error(text.error());
        return to_py_str(*text);
    });
}

PyObject* circuit_to_qir_bitcode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments("to_qir_bitcode", args, nargs, kwnames, {"params"}, 0, bound)) {
            return nullptr;
        }
        SharedBorrow borrow(self);
        const auto params = to_f64_list(bound[0], "params");
        if (!params) return nullptr;
        // The assembler is a separate process and may take a while; other
        // threads run meanwhile, and the shared borrow keeps builders off
        // the circuit until it is done.
        std::optional<std::expected<std::vector<std::uint8_t>, circuit::CircuitError>> bitcode;
        {
            ReleaseGil released;
            bitcode.emplace(borrow.circuit().to_qir_bitcode(*params));
        }
        if (!*bitcode) return raise_circuit_error(bitcode->error());
        const std::vector<std::uint8_t>& bytes = **bitcode;
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    });
}

PyObject* circuit_from_qasm2(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments("from_qasm2", args, nargs, kwnames, {"source"}, 1, bound)) {
            return nullptr;
        }
        const auto source = to_str(bound[0], "source");
        if (!source) return nullptr;
        // The parse works on our own copy of the text, so other Python threads
        // may run meanwhile; large programs take a noticeable time.
        std::optional<std::expected<ParameterizedCircuit, circuit::CircuitError>> parsed;
        {
            ReleaseGil released;
            parsed.emplace(ParameterizedCircuit::from_qasm2(*source));
        }
        if (!*parsed) return raise_circuit_error(parsed->error());
        return wrap_circuit(std::move(**parsed));
    });
}

PyObject* new_circuit_object(PyTypeObject* type, ParameterizedCircuit circuit);

PyObject* circuit_from_qiskit(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments("from_qiskit", args, nargs, kwnames, {"qc"}, 1, bound)) {
            return nullptr;
        }
        if (!is_qiskit_circuit(bound[0])) {
            return type_mismatch("qc", "a Qiskit QuantumCircuit", bound[0]);
        }
        // The walk reads Qiskit objects throughout, so it keeps the lock.
        std::optional<ConvertedCircuit> converted = convert_qiskit_circuit(bound[0]);
        if (!converted) return nullptr;
        return new_circuit_object(reinterpret_cast<PyTypeObject*>(cls),
                                  std::move(converted->circuit));
    });
}

PyObject* circuit_get_parameter_names(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow(self);
        const std::vector<std::string>& names = borrow.circuit().parameter_names();
        PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
        if (!tuple) return nullptr;
        for (std::size_t i = 0; i < names.size(); ++i) {
            PyObject* name = to_py_str(names[i]);
            if (!name) return nullptr;
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
        }
        return tuple.release();
    });
}

PyObject* circuit_get_num_qubits(PyObject* self, void*) {
    return guarded([&] {
        SharedBorrow borrow(self);
        return PyLong_FromUnsignedLongLong(borrow.circuit().num_qubits());
    });
}

PyObject* circuit_get_num_params(PyObject* self, void*) {
    return guarded([&] {
        SharedBorrow borrow(self);
        return PyLong_FromUnsignedLongLong(borrow.circuit().num_params());
    });
}

PyObject* circuit_get_num_clbits(PyObject* self, void*) {
    return guarded([&] {
        SharedBorrow borrow(self);
        return PyLong_FromUnsignedLongLong(borrow.circuit().num_clbits());
    });
}

Py_ssize_t circuit_length(PyObject* self) {
    return guarded([&] {
        SharedBorrow borrow(self);
        return static_cast<Py_ssize_t>(borrow.circuit().gates().size());
    });
}

PyObject* circuit_repr(PyObject* self) {
    return guarded([&] {
        SharedBorrow borrow(self);
        const ParameterizedCircuit& circuit = borrow.circuit();
        return to_py_str(concat("Circuit(num_qubits=", circuit.num_qubits(), ", num_params=",
                                circuit.num_params(), ", gates=", circuit.gates().size(), ")"));
    });
}

// ---- construction ---------------------------------------------------------

// Allocates an instance of `type` owning `circuit`.
PyObject* new_circuit_object(PyTypeObject* type, ParameterizedCircuit circuit) {
    auto owned = std::make_unique<ParameterizedCircuit>(std::move(circuit));
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    CircuitObject* object = as_circuit(self.get());
    new (&object->readers) std::atomic<std::size_t>(0);
    object->writing = false;
    object->circuit = owned.release();
    return self.release();
}

PyObject* circuit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const keywords[] = {"num_qubits", nullptr};
        PyObject* num_qubits_arg = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Circuit", keywords,
                                         &num_qubits_arg)) {
            return nullptr;
        }
        const auto num_qubits = to_u64(num_qubits_arg, "num_qubits");
        if (!num_qubits) return nullptr;
        return new_circuit_object(type, ParameterizedCircuit(*num_qubits));
    });
}

void circuit_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_circuit(self)->circuit;
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

// ---- the type -------------------------------------------------------------

template <FastMethod Method>
PyMethodDef fast(const char* name, const char* doc, int extra_flags = 0) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method)),
            METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

PyMethodDef circuit_methods_before_gates[] = {
    fast<circuit_from_qasm2>(
        "from_qasm2",
        "from_qasm2(source)\n--\n\n"
        "Import an OpenQASM 2.0 program (inverse of [`to_qasm2`](Circuit::to_qasm2)).\n"
        "\n"
        "Accepts the QASM this class exports plus Qiskit's `qasm2.dumps` output:\n"
        "every gate of `qelib1.inc` (with those Qiskit's reader adds) becomes the gate\n"
        "of that name (`u0`, `c3x` and `c4x` through their definitions), `gate`\n"
        "definitions are expanded at each call, and multiple registers are flattened\n"
        "in declaration order. `opaque` gates, `reset` and `if` are refused. The\n"
        "result is fully concrete (`num_params == 0`) and builder methods can keep\n"
        "extending it.\n"
        "\n"
        "Example::\n"
        "\n"
        "    qc = morvane.Circuit.from_qasm2(qiskit.qasm2.dumps(qiskit_circuit))\n",
        METH_STATIC),
    fast<circuit_from_qiskit>(
        "from_qiskit",
        "from_qiskit($type, qc)\n--\n\n"
        "Convert a Qiskit `QuantumCircuit`, keeping its parameters free.\n"
        "\n"
        "Standard gates become the gates of the same name; any other instruction\n"
        "(`QFTGate`, `PauliEvolutionGate`, `UnitaryGate`, a block made with\n"
        "`to_gate()`, ...) is expanded through its definition. Parameter `i` of the\n"
        "result is `qc.parameters[i]` and `parameter_names` holds their names;\n"
        "parameter expressions (+, -, *, /, **, sin, cos, tan, exp, log) stay\n"
        "expressions, and the global phase, the circuit's and its definitions', is\n"
        "kept. Measurements keep their classical bits (numbered as in\n"
        "`qc.clbits`), barriers are kept and `delay` is dropped. Refused with\n"
        "ValueError naming the instruction and its position in `qc.data`: a\n"
        "measurement followed by a gate on its qubit, `reset`, classical conditions\n"
        "and control flow, and an instruction that has neither a known name nor a\n"
        "definition.\n"
        "\n"
        "Example::\n"
        "\n"
        "    qc = morvane.Circuit.from_qiskit(qiskit.circuit.library.real_amplitudes(3))\n"
        "    sv = morvane.statevector(qc, [0.1] * qc.num_params)\n",
        METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

// The builders come from the gate catalogue, between the importer above and
// the methods below; make_circuit_methods assembles the table.
PyMethodDef circuit_methods_after_gates[] = {
    fast<circuit_barrier>("barrier",
                          "barrier($self, qubits=None)\n--\n\n"
                          "Barrier on all qubits, or on `qubits` when given."),
    fast<circuit_measure>("measure",
                          "measure($self, qubit, cbit)\n--\n\n"
                          "Measure `qubit` into classical bit `cbit`."),
    {"measure_all", circuit_measure_all, METH_NOARGS,
     "measure_all($self)\n--\n\n"
     "Measure every qubit `i` into classical bit `i`."},
    fast<circuit_to_qasm2>(
        "to_qasm2",
        "to_qasm2($self, params=None)\n--\n\n"
        "Serialize to OpenQASM 2.0.\n"
        "\n"
        "For a parameterised circuit pass `params`, one value per free parameter;\n"
        "a fully fixed circuit is called with no arguments."),
    fast<circuit_to_qir>(
        "to_qir",
        "to_qir($self, params=None)\n--\n\n"
        "Serialize to a QIR Base Profile LLVM IR module (text `.ll`).\n"
        "\n"
        "For a parameterised circuit pass `params`, one value per free parameter;\n"
        "a fully fixed circuit is called with no arguments.\n"
        "\n"
        "Most gates map to a standard QIS intrinsic; `rzz`/`rxx`/`u3` are decomposed\n"
        "to the standard set and `barrier` is dropped. The output targets QIR\n"
        "Alliance consumers.\n"
        "\n"
        "Example::\n"
        "\n"
        "    qc = morvane.Circuit(2).h(0).cx(0, 1).measure_all()\n"
        "    qir = qc.to_qir()  # a complete LLVM IR module\n"),
    fast<circuit_to_qir_bitcode>(
        "to_qir_bitcode",
        "to_qir_bitcode($self, params=None)\n--\n\n"
        "Serialize to QIR LLVM bitcode (`.bc`) as Python `bytes`.\n"
        "\n"
        "Requires `llvm-as` to be available on `PATH`."),
    {nullptr, nullptr, 0, nullptr},
};


// What each builder's docstring says after its signature, by kind. The
// original eighteen keep the text they have always had (most of it none).
std::string_view gate_description(GateKind kind) {
    using K = GateKind;
    switch (kind) {
        case K::U: return "Generic single-qubit gate `u3(theta, phi, lam)`.";
        case K::Swap: return "SWAP: exchange the states of qubits `q0` and `q1`.";
        case K::Cp: return "Controlled phase gate `cp(theta)` on `(q0, q1)`.";
        case K::Id: return "Identity on `qubit`: kept in the circuit, no effect on the state.";
        case K::P: return "Phase gate `p(theta)`: multiplies the `|1>` amplitude by e^(i theta).";
        case K::U1: return "`u1(theta)`, the same matrix as `p(theta)`.";
        case K::U2: return "`u2(phi, lam)`, which is `u(pi/2, phi, lam)`.";
        case K::U3: return "`u3(theta, phi, lam)`, the same matrix as `u`.";
        case K::Sx: return "Square root of X.";
        case K::Sxdg: return "Inverse of the square root of X.";
        case K::R: return "Rotation by `theta` about the axis cos(phi) X + sin(phi) Y.";
        case K::Cy: return "Controlled Y.";
        case K::Ch: return "Controlled Hadamard.";
        case K::Crx: return "Controlled `rx(theta)`.";
        case K::Cry: return "Controlled `ry(theta)`.";
        case K::Crz: return "Controlled `rz(theta)`.";
        case K::Cu1: return "Controlled `u1(theta)`.";
        case K::Cu3: return "Controlled `u3(theta, phi, lam)`.";
        case K::Cu:
            return "Controlled `u(theta, phi, lam)` with the phase e^(i gamma) on the controlled\n"
                   "part (Qiskit's `CUGate`).";
        case K::Cs: return "Controlled S.";
        case K::Csdg: return "Controlled S-dagger.";
        case K::Csx: return "Controlled square root of X.";
        case K::Ryy: return "Ising YY rotation exp(-i theta/2 Y Y).";
        case K::Rzx: return "ZX rotation exp(-i theta/2 Z X): Z on `q0`, X on `q1`.";
        case K::Iswap: return "iSWAP: swaps the qubits and multiplies `|01>` and `|10>` by i.";
        case K::Dcx: return "Double CNOT: `cx(q0, q1)` then `cx(q1, q0)`.";
        case K::Ecr: return "Echoed cross-resonance gate.";
        case K::XxMinusYy: return "XX-YY interaction with rotation `theta` and phase `beta`.";
        case K::XxPlusYy: return "XX+YY interaction with rotation `theta` and phase `beta`.";
        case K::Ccx: return "Toffoli: X on `target` when both controls are 1.";
        case K::Ccz: return "Z on `target` when both controls are 1.";
        case K::Cswap: return "Fredkin: swaps `target0` and `target1` when `control` is 1.";
        case K::Rccx: return "Simplified Toffoli: `ccx` up to relative phases.";
        case K::C3sx: return "Square root of X on `target`, controlled by three qubits.";
        case K::Rcccx: return "Simplified three-control Toffoli: C3X up to relative phases.";
        default: return "";
    }
}

// Whether the kind gets a builder method: every unitary gate. The global
// phase is the `global_phase` property instead.
bool has_builder(GateKind kind) {
    return circuit::is_unitary(kind) && kind != GateKind::GlobalPhase;
}

// The method table: the importer, one builder per gate of the catalogue in
// its order, then the others. Built once; the docstrings live as long as the
// process, as the type does.
PyMethodDef* make_circuit_methods() {
    static std::vector<PyMethodDef> methods;
    static std::deque<std::string> docs;
    if (!methods.empty()) return methods.data();
    for (const PyMethodDef* def = circuit_methods_before_gates; def->ml_name; ++def) {
        methods.push_back(*def);
    }
    for (const circuit::GateInfo& info : circuit::gate_catalogue()) {
        if (!has_builder(info.kind)) continue;
        std::string doc = concat(info.name, "($self");
        for (std::size_t i = 0; i < info.num_qubits; ++i) doc += concat(", ", info.qubit_names[i]);
        for (std::size_t i = 0; i < info.num_angles; ++i) doc += concat(", ", info.angle_names[i]);
        doc += concat(")\n--\n\n", gate_description(info.kind));
        docs.push_back(std::move(doc));
        FastMethod builder = GATE_BUILDERS[static_cast<std::size_t>(info.kind)];
        methods.push_back({info.name.data(),
                           reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(builder)),
                           METH_FASTCALL | METH_KEYWORDS, docs.back().c_str()});
    }
    for (const PyMethodDef* def = circuit_methods_after_gates;; ++def) {
        methods.push_back(*def);
        if (!def->ml_name) break;
    }
    return methods.data();
}

PyObject* circuit_get_global_phase(PyObject* self, void*) {
    return guarded([&] {
        SharedBorrow borrow(self);
        return wrap_angle(borrow.circuit().global_phase());
    });
}

int circuit_set_global_phase(PyObject* self, PyObject* value, void*) {
    return guarded([&]() -> int {
        if (!value) {
            PyErr_SetString(PyExc_AttributeError, "global_phase cannot be deleted; set it to 0");
            return -1;
        }
        ExclusiveBorrow borrow(self);
        if (!borrow.held()) return -1;
        auto phase = to_angle(value, "global_phase");
        if (!phase) return -1;
        return borrow.set_global_phase(std::move(*phase));
    });
}

PyGetSetDef circuit_getset[] = {
    {"num_qubits", circuit_get_num_qubits, nullptr, "Number of qubits in the quantum register.",
     nullptr},
    {"num_params", circuit_get_num_params, nullptr, "Number of free (trainable) parameters.",
     nullptr},
    {"num_clbits", circuit_get_num_clbits, nullptr, "Size of the implicit classical register.",
     nullptr},
    {"parameter_names", circuit_get_parameter_names, nullptr,
     "The names of the parameters in index order, for a circuit made by\n"
     "`from_qiskit` (the names of `qc.parameters`). A circuit built otherwise\n"
     "knows its parameters by index only and gives an empty tuple.",
     nullptr},
    {"global_phase", circuit_get_global_phase, circuit_set_global_phase,
     "The phase e^(i global_phase) on the whole state, in radians: a float, or the\n"
     "Param or ParamExpression it depends on. Settable to any angle argument.\n"
     "Statevectors include it; it does not change counts, and OpenQASM 2 and QIR\n"
     "output omit it, as neither can express it.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char circuit_doc[] =
    "Circuit(num_qubits)\n--\n\n"
    "A native quantum circuit with OpenQASM 2.0 export.\n"
    "\n"
    "Construction and parameter binding run natively without the interpreter\n"
    "lock, which makes per-candidate binding during training parallelisable.\n"
    "Methods return `self`, so calls can be chained.\n"
    "\n"
    "Example::\n"
    "\n"
    "    qc = morvane.Circuit(3)\n"
    "    for q in range(3):\n"
    "        qc.h(q)\n"
    "    qc.rzz(0, 1, morvane.Param(0)).rx(0, morvane.Param(1)).measure_all()\n"
    "    result = morvane.train(qc, morvane.DE(), shots=1000, n_qpus=1, dimensions=2,\n"
    "                           expectation_function=cost, infrastructure=\"local\",\n"
    "                           nodes=1, cores_per_qpu=1, id=\"example\")\n";

PyType_Slot circuit_slots[] = {
    {Py_tp_doc, const_cast<char*>(circuit_doc)},
    {Py_tp_new, reinterpret_cast<void*>(circuit_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(circuit_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(circuit_repr)},
    {Py_tp_methods, nullptr},  // make_circuit_methods(), set before the type is made
    {Py_tp_getset, circuit_getset},
    {Py_mp_length, reinterpret_cast<void*>(circuit_length)},
    {Py_sq_length, reinterpret_cast<void*>(circuit_length)},
    {0, nullptr},
};

PyType_Spec circuit_spec = {
    "morvane.Circuit",
    sizeof(CircuitObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    circuit_slots,
};

}  // namespace

bool add_circuit_classes(PyObject* module) {
    if (!circuit_type) {
        for (PyType_Slot& slot : circuit_slots) {
            if (slot.slot == Py_tp_methods) slot.pfunc = make_circuit_methods();
        }
        circuit_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&circuit_spec));
        if (!circuit_type) return false;
    }
    if (PyModule_AddObjectRef(module, "Circuit", reinterpret_cast<PyObject*>(circuit_type)) < 0) {
        return false;
    }
    return add_param_class(module) && add_param_expression_class(module);
}

bool is_circuit(PyObject* object) noexcept {
    return circuit_type && PyObject_TypeCheck(object, circuit_type);
}

PyObject* wrap_circuit(ParameterizedCircuit circuit) {
    if (!circuit_type) {
        PyErr_SetString(PyExc_RuntimeError, "morvane.Circuit is not initialised");
        return nullptr;
    }
    return new_circuit_object(circuit_type, std::move(circuit));
}

CircuitRead::CircuitRead(PyObject* object) noexcept : object_(object) {
    ++as_circuit(object_)->readers;
}

CircuitRead::~CircuitRead() { --as_circuit(object_)->readers; }

const circuit::ParameterizedCircuit& CircuitRead::circuit() const noexcept {
    return *as_circuit(object_)->circuit;
}

}  // namespace morvane::python
