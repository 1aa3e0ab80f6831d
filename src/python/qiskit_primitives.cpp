// The submodule morvane.qiskit: Qiskit's primitives on the native engine.
// The primitive classes themselves subclass Qiskit's base classes, so they
// live in Python (morvane_python) and are imported on first access, which
// keeps Qiskit out of `import morvane`. What runs a PUB is native and lives
// here: one call per PUB that binds the whole parameter array, samples every
// row on the pool without the interpreter lock and hands back the packed
// registers.

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "exec/bindings_sampler.hpp"
#include "exec/entry_rules.hpp"
#include "python/calibration_entry.hpp"
#include "python/circuit_object.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/py_ref.hpp"
#include "python/registry.hpp"
#include "sim/simulator.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

// Attributes of morvane.qiskit resolved on first access: name, and the
// module of morvane_python that defines it.
struct LazyAttribute {
    const char* name;
    const char* module;
};
constexpr LazyAttribute LAZY_ATTRIBUTES[] = {
    {"SamplerV2", "morvane_python._sampler"},
    {"EstimatorV2", "morvane_python._estimator"},
};

PyObject* module_getattr(PyObject*, PyObject* name) {
    return guarded([&]() -> PyObject* {
        if (!PyUnicode_Check(name)) {
            return type_mismatch("name", "str", name);
        }
        const char* text = PyUnicode_AsUTF8(name);
        if (!text) return nullptr;
        for (const LazyAttribute& lazy : LAZY_ATTRIBUTES) {
            if (std::string_view(text) != lazy.name) continue;
            PyRef module = PyRef::steal(PyImport_ImportModule(lazy.module));
            if (!module) return nullptr;
            return PyObject_GetAttr(module.get(), name);
        }
        PyErr_Format(PyExc_AttributeError, "module 'morvane.qiskit' has no attribute '%U'", name);
        return nullptr;
    });
}

PyObject* module_dir(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyRef module = PyRef::steal(PyImport_ImportModule("morvane.qiskit"));
        if (!module) return nullptr;
        PyObject* dict = PyModule_GetDict(module.get());  // borrowed
        PyRef names = PyRef::steal(PyDict_Keys(dict));
        if (!names) return nullptr;
        for (const LazyAttribute& lazy : LAZY_ATTRIBUTES) {
            PyRef name = PyRef::steal(PyUnicode_FromString(lazy.name));
            if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
        }
        if (PyList_Sort(names.get()) < 0) return nullptr;
        return names.release();
    });
}

// A read-only, C-contiguous, two-dimensional float64 buffer, released when
// the view goes (with the interpreter lock held).
class ValueBuffer {
public:
    ValueBuffer() = default;
    ~ValueBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    ValueBuffer(const ValueBuffer&) = delete;
    ValueBuffer& operator=(const ValueBuffer&) = delete;

    bool acquire(PyObject* object, const char* name) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
            prefix_type_error(name);
            return false;
        }
        held_ = true;
        const std::string_view format = view_.format ? view_.format : "B";
        const bool is_double =
            view_.itemsize == sizeof(double) && (format == "d" || format == "<d" || format == "=d");
        if (!is_double || view_.ndim != 2) {
            PyErr_Format(PyExc_TypeError,
                         "argument '%s': expected a C-contiguous two-dimensional float64 array, "
                         "got format '%s' with %d dimension(s)",
                         name, view_.format ? view_.format : "B", view_.ndim);
            return false;
        }
        return true;
    }
    std::size_t rows() const noexcept { return static_cast<std::size_t>(view_.shape[0]); }
    std::size_t columns() const noexcept { return static_cast<std::size_t>(view_.shape[1]); }
    std::span<const double> values() const noexcept {
        return {static_cast<const double*>(view_.buf), rows() * columns()};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

PyObject* sample_bindings_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg[6];
    if (!bind_arguments("_sample_bindings", args, nargs, kwnames,
                        {"circuit", "values", "shots", "seed", "registers", "precision"}, 5, arg)) {
        return nullptr;
    }
    std::optional<sim::Precision> precision;
    if (!to_precision(arg[5], precision)) return nullptr;
    if (!is_circuit(arg[0])) return type_mismatch("circuit", "a morvane.Circuit", arg[0]);
    // A copy, so the caller may go on building the circuit while it runs.
    const circuit::ParameterizedCircuit circuit = CircuitRead(arg[0]).circuit();
    ValueBuffer values;
    if (!values.acquire(arg[1], "values")) return nullptr;
    if (values.columns() != circuit.num_params()) {
        return value_error(concat("argument 'values': the circuit has ", circuit.num_params(),
                                  " parameter(s), but each row holds ", values.columns(),
                                  " value(s)"));
    }
    const auto shots = to_u32(arg[2], "shots");
    if (!shots) return nullptr;
    if (*shots == 0) return value_error("argument 'shots': shots must be >= 1, got 0");
    const auto seed = to_u64(arg[3], "seed");
    if (!seed) return nullptr;

    // Each register as the circuit's classical bits it is made of.
    PyRef registers = PyRef::steal(PySequence_Fast(arg[4], "argument 'registers': expected a "
                                                            "sequence of sequences of bit indices"));
    if (!registers) return nullptr;
    const Py_ssize_t num_registers = PySequence_Fast_GET_SIZE(registers.get());
    std::vector<std::vector<std::uint64_t>> register_bits;
    std::uint64_t num_clbits = circuit.num_clbits();
    for (Py_ssize_t i = 0; i < num_registers; ++i) {
        auto bits = to_u64_list(PySequence_Fast_GET_ITEM(registers.get(), i), "registers");
        if (!bits) return nullptr;
        for (const std::uint64_t bit : *bits) num_clbits = std::max(num_clbits, bit + 1);
        register_bits.push_back(std::move(*bits));
    }

    if (auto fits = exec::check_native_memory(
            circuit.num_qubits(), exec::bindings_row_bytes(circuit.num_qubits(), *shots));
        !fits) {
        return raise_argument_error(fits.error());
    }

    const auto finals = sim::final_measurements(circuit.num_qubits(), num_clbits, circuit.gates());
    PyRef buffers = PyRef::steal(PyList_New(num_registers));
    if (!buffers) return nullptr;
    std::vector<exec::RegisterOutput> outputs;
    outputs.reserve(register_bits.size());
    for (std::size_t i = 0; i < register_bits.size(); ++i) {
        auto readout = sim::register_readout(finals, register_bits[i]);
        if (!readout) return value_error("argument 'registers': " + readout.error());
        const std::size_t bytes = values.rows() * *shots * readout->bytes_per_shot();
        PyObject* buffer = PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes));
        if (!buffer) return nullptr;
        PyList_SET_ITEM(buffers.get(), static_cast<Py_ssize_t>(i), buffer);  // steals
        auto* data = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(buffer));
        outputs.push_back({std::move(*readout), std::span<std::uint8_t>(data, bytes)});
    }

    calibration_notice();
    const sim::StatevectorSimulator simulator =
        sim::StatevectorSimulator::create(precision.value_or(sim::Precision::Double));
    std::expected<void, exec::BindingsSampleError> sampled;
    {
        // The new buffers are reachable only from here until we return them.
        ReleaseGil nogil;
        sampled = exec::sample_bindings(circuit, {values.values(), values.rows(), values.columns()},
                                        *shots, *seed, outputs, simulator,
                                        precision.value_or(sim::Precision::Double));
    }
    if (!sampled) {
        if (const auto* failure = std::get_if<exec::BindingFailure>(&sampled.error())) {
            return value_error(failure->message());
        }
        return raise_run_error(std::get<exec::RunError>(sampled.error()));
    }
    return buffers.release();
}

PyObject* sample_bindings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return sample_bindings_body(args, nargs, kwnames); });
}

}  // namespace

PyMethodDef qiskit_module_defs[] = {
    {"__getattr__", module_getattr, METH_O,
     "__getattr__(name, /)\n--\n\n"
     "The primitives, imported with Qiskit on first access."},
    {"__dir__", module_dir, METH_NOARGS,
     "__dir__()\n--\n\nThe module's names, the primitives included."},
    {"_sample_bindings",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sample_bindings)),
     METH_FASTCALL | METH_KEYWORDS,
     "_sample_bindings(circuit, values, shots, seed, registers, precision=None)\n--\n\n"
     "Samples `shots` shots of `circuit` bound to each row of `values` (a\n"
     "C-contiguous float64 array of shape (rows, circuit.num_params)) on the\n"
     "native engine, without the interpreter lock. `registers` lists, per\n"
     "classical register, the circuit's bit indices that make it up (bit 0\n"
     "first). Returns one bytearray per register: rows x shots x bytes per\n"
     "shot, each shot packed big-endian as Qiskit's BitArray holds it. The\n"
     "same seed gives the same bytes. `precision` is \"double\" (the default) or\n"
     "\"single\"."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace morvane::python
