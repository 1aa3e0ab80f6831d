#include "python/errors.hpp"

#include <cstdio>
#include <cstdlib>

#include "python/gil.hpp"
#include "python/py_ref.hpp"

namespace morvane::python {

namespace {

ExceptionClasses classes;

PyObject* new_class(const char* name, PyObject* base, const char* doc) {
    return PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
}

bool create_classes() {
    if (classes.morvane_error) return true;
    ExceptionClasses made;
    made.morvane_error = new_class("morvane.MorvaneError", PyExc_Exception,
                                   "Base class for every Morvane runtime error.");
    if (!made.morvane_error) return false;
    made.backend_error = new_class("morvane.BackendError", made.morvane_error,
                                   "A quantum-execution backend failed at runtime.");
    if (!made.backend_error) return false;
    made.cunqa_error = new_class("morvane.CunqaError", made.backend_error,
                                 "A failure originating in the CUNQA distributed-QPU backend.");
    made.qmio_error = new_class("morvane.QmioError", made.backend_error,
                                "A failure on the QMIO real-QPU network/serialisation path.");
    made.native_circuit_error =
        new_class("morvane.NativeCircuitError", made.backend_error,
                  "The native circuit or statevector-simulator path failed.");
    made.evaluation_error = new_class("morvane.EvaluationError", made.morvane_error,
                                      "An oracle/expectation-evaluation failure during training.");
    made.internal_fault =
        new_class("morvane.InternalFault", PyExc_BaseException,
                  "An internal invariant of morvane failed (a bug, not a usage error).");
    if (!made.cunqa_error || !made.qmio_error || !made.native_circuit_error ||
        !made.evaluation_error || !made.internal_fault) {
        return false;
    }
    classes = made;  // created once per process, never released
    return true;
}

PyObject* raise_with(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    return nullptr;
}

}  // namespace

bool add_exception_classes(PyObject* module) {
    if (!create_classes()) return false;
    const std::pair<const char*, PyObject*> entries[] = {
        {"MorvaneError", classes.morvane_error},
        {"BackendError", classes.backend_error},
        {"CunqaError", classes.cunqa_error},
        {"QmioError", classes.qmio_error},
        {"NativeCircuitError", classes.native_circuit_error},
        {"EvaluationError", classes.evaluation_error},
    };
    for (const auto& [name, type] : entries) {
        if (PyModule_AddObjectRef(module, name, type) < 0) return false;
    }
    return true;
}

const ExceptionClasses& exception_classes() noexcept { return classes; }

PyForeignError::PyForeignError(PyObject* exception) noexcept : exception_(exception) {}

PyForeignError::~PyForeignError() {
    // Native errors may die on any thread; a finalizing interpreter cannot
    // take the reference back, so it is left to the process exit then.
    if (exception_ == nullptr || Py_IsFinalizing()) return;
    AcquireGil gil;
    Py_DECREF(exception_);
}

std::string PyForeignError::message() const {
    AcquireGil gil;
    PyRef text = PyRef::steal(PyObject_Str(exception_));
    if (!text) {
        PyErr_Clear();
        return "<exception str() failed>";
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!utf8) {
        PyErr_Clear();
        return "<exception str() failed>";
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

ForeignErrorPtr take_pending_error() {
    PyObject* exception = PyErr_GetRaisedException();
    if (!exception) return nullptr;
    return std::make_shared<const PyForeignError>(exception);
}

PyObject* restore_foreign_error(const ForeignErrorPtr& error) {
    const auto* python = dynamic_cast<const PyForeignError*>(error.get());
    if (!python || !python->exception()) {
        return raise_internal_fault("a foreign error without a Python exception reached Python");
    }
    PyErr_SetRaisedException(Py_NewRef(python->exception()));
    return nullptr;
}

PyObject* raise_internal_fault(const char* message) {
    // A second failure while the first is being raised cannot be reported
    // any more safely than by stopping.
    static thread_local bool raising = false;
    if (raising) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
    raising = true;
    PyObject* type = classes.internal_fault ? classes.internal_fault : PyExc_SystemError;
    PyErr_SetString(type, message);
    raising = false;
    return nullptr;
}

PyObject* value_error(const std::string& message) { return raise_with(PyExc_ValueError, message); }

PyObject* raise_argument_error(const exec::ArgumentError& error) {
    return raise_with(PyExc_ValueError, error.message);
}

PyObject* raise_eval_error(const exec::EvalError& error) {
    const auto evaluation = [](const std::string& text) {
        PyErr_SetString(exception_classes().evaluation_error, text.c_str());
        return static_cast<PyObject*>(nullptr);
    };
    if (const auto* backend = std::get_if<exec::EvalBackend>(&error.detail)) {
        return raise_infra_error(backend->error);
    }
    if (const auto* binding = std::get_if<exec::EvalBinding>(&error.detail)) {
        return evaluation(binding->error.message());
    }
    if (const auto* consumer = std::get_if<exec::EvalObservable>(&error.detail)) {
        if (const auto* external = std::get_if<observable::External>(&consumer->error.detail)) {
            return restore_foreign_error(external->error);
        }
        return evaluation(consumer->error.message());
    }
    if (const auto* python = std::get_if<exec::EvalPython>(&error.detail)) {
        return restore_foreign_error(python->error);
    }
    if (const auto* runtime = std::get_if<exec::RuntimeConversion>(&error.detail)) {
        return evaluation(runtime->message);
    }
    if (const auto* conversion = std::get_if<exec::EvalConversion>(&error.detail)) {
        return evaluation(conversion->message);
    }
    return evaluation(error.message());
}

ForeignErrorPtr signal_checkpoint() {
    AcquireGil gil;
    if (PyErr_CheckSignals() < 0) return take_pending_error();
    return nullptr;
}

PyObject* raise_infra_error(const exec::InfraError& error) {
    using namespace exec;
    struct Mapper {
        PyObject* operator()(const UnknownInfrastructure& e) const {
            return raise_with(PyExc_ValueError, unknown_infrastructure_text(e.name));
        }
        PyObject* operator()(const InvalidCircuitCount&) const {
            return raise_with(PyExc_ValueError, message);
        }
        PyObject* operator()(const UnsupportedCircuit& e) const {
            return raise_with(classes.native_circuit_error, e.message);
        }
        PyObject* operator()(const InvalidResults&) const {
            return raise_with(classes.backend_error, message);
        }
        PyObject* operator()(const NativeCircuit& e) const {
            return raise_with(classes.native_circuit_error, e.message);
        }
        PyObject* operator()(const Cunqa& e) const {
            return raise_with(classes.cunqa_error, e.message);
        }
        PyObject* operator()(const Conversion& e) const {
            return raise_with(classes.backend_error, e.message);
        }
        PyObject* operator()(const Seam& e) const { return restore_foreign_error(e.error); }
        std::string message;
    };
    return std::visit(Mapper{error.message()}, error.detail);
}

PyObject* raise_run_error(const exec::RunError& error) {
    using namespace exec;
    if (const auto* infra = std::get_if<Infrastructure>(&error.detail)) {
        return raise_infra_error(infra->error);
    }
    if (const auto* evaluation = std::get_if<Evaluation>(&error.detail)) {
        if (const auto* external = std::get_if<observable::External>(&evaluation->error.detail)) {
            return restore_foreign_error(external->error);
        }
        return raise_with(classes.evaluation_error, evaluation->error.message());
    }
    if (const auto* python = std::get_if<Python>(&error.detail)) {
        return restore_foreign_error(python->error);
    }
    if (error.is<Cancelled>()) return raise_with(PyExc_KeyboardInterrupt, "the run was cancelled");
    return raise_with(PyExc_ValueError, error.as<InvalidPlan>().message);
}

}  // namespace morvane::python
