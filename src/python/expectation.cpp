#include "python/expectation.hpp"

#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "observable/callback_observable.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/observable_classes.hpp"
#include "python/py_foreign.hpp"
#include "python/py_ref.hpp"

namespace morvane::python {

namespace {

using observable::CallbackObservable;
using observable::ObservableError;

// The user's `bitstring -> float` callable. Runs on whichever thread reduces
// a batch, so it takes the interpreter lock itself, for the whole loop: the
// calls are strictly sequential anyway, and one acquisition per batch is
// cheaper than one per bitstring.
class PyBitstringCost final : public observable::BitstringCost {
public:
    explicit PyBitstringCost(PyObject* callable) : callable_(callable) {}

    [[nodiscard]] std::expected<std::vector<double>, ObservableError> evaluate(
        std::span<const std::string_view> missing) const override {
        std::vector<double> values;
        values.reserve(missing.size());
        AcquireGil gil;
        for (std::string_view bitstring : missing) {
            PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
                bitstring.data(), static_cast<Py_ssize_t>(bitstring.size()), "replace"));
            if (!text) return failure();
            PyRef result = PyRef::steal(PyObject_CallOneArg(callable_.object(), text.get()));
            if (!result) return failure();
            // An exact float needs no conversion; anything else goes through
            // the interpreter's float conversion, which takes int, bool and
            // objects with __float__ or __index__ but refuses a str.
            double value = 0.0;
            if (PyFloat_CheckExact(result.get())) {
                value = PyFloat_AS_DOUBLE(result.get());
            } else {
                value = PyFloat_AsDouble(result.get());
                if (value == -1.0 && PyErr_Occurred()) {
                    not_a_number(text.get());
                    return failure();
                }
            }
            values.push_back(value);
        }
        return values;
    }

private:
    // A result that is no number surfaces far from the user's function, so
    // the conversion's TypeError is reworded to say where it came from and
    // for which outcome. Whatever else the result's own __float__ raised
    // (an interrupt, the user's exception) stays as it is.
    static void not_a_number(PyObject* bitstring) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
        PyRef raised = PyRef::steal(PyErr_GetRaisedException());
        PyRef reason = PyRef::steal(PyObject_Str(raised.get()));
        if (!reason) return;
        PyErr_Format(PyExc_TypeError,
                     "expectation_function returned a non-number for bitstring %R: %U",
                     bitstring, reason.get());
    }

    // The pending exception, carried unchanged to the caller of train.
    static std::unexpected<ObservableError> failure() {
        return std::unexpected(ObservableError(observable::External{take_pending_error()}));
    }

    PyForeignObject callable_;  // gives its reference back under the lock
};

std::shared_ptr<const observable::Observable> callback_observable(PyObject* callable,
                                                                  CallbackObservable::Memo memo) {
    return std::make_shared<const CallbackObservable>(
        std::make_shared<const PyBitstringCost>(callable), memo);
}

}  // namespace

std::shared_ptr<const observable::Observable> observable_from(PyObject* expectation_function) {
    if (auto model = qubo_model_of(expectation_function)) {
        return std::make_shared<const observable::QuboObservable>(std::move(model));
    }
    if (PyObject* cost_fn = cached_cost_function(expectation_function)) {
        return callback_observable(cost_fn, CallbackObservable::Memo::Run);
    }
    if (PyCallable_Check(expectation_function)) {
        return callback_observable(expectation_function, CallbackObservable::Memo::Batch);
    }
    PyErr_SetString(PyExc_TypeError,
                    "expectation_function must be a callable (bitstring -> float), a "
                    "morvane.CachedCost(callable), or a morvane.Qubo / morvane.Ising observable");
    return nullptr;
}

}  // namespace morvane::python
