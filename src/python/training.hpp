#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "exec/dispatch.hpp"
#include "exec/eval_error.hpp"
#include "optim/oracle.hpp"
#include "optim/outcome.hpp"
#include "python/method.hpp"

namespace morvane::python {

// What train and qml.train share once their arguments are converted: the
// common checks, the backend, the optimiser run with the lock released, and
// turning the outcome or the first error into the Python result.

// The arguments both entry points take after their circuit arguments.
struct TrainingArguments {
    std::uint32_t shots = 0;
    // shots=None: each candidate's fitness is an exact expectation value.
    bool exact = false;
    std::uint32_t n_qpus = 1;
    std::uint32_t dimensions = 0;
    PyObject* expectation_function = nullptr;  // borrowed
    PyObject* method = nullptr;                // borrowed
    std::string infrastructure;
    std::uint32_t nodes = 1;
    std::uint32_t cores_per_qpu = 2;
    std::string id;
    std::string sim_method = "automatic";
    PyObject* noise_model = nullptr;  // borrowed; null when absent or None
    std::string backend = "aer";
    std::optional<std::uint64_t> seed;
    std::optional<bool> fusion;
    PyObject* callback = nullptr;  // borrowed; null when absent or None
    std::optional<sim::Precision> precision;
};

// Converts the shared arguments from the objects bound to train()'s 17
// parameters in signature order (the circuit at 0 is not read; 14, fusion,
// 15, callback, and 16, precision, may be null). shots=None sets `exact`, which only an
// entry point that passes `allow_exact` takes. False with the conversion's
// exception set.
bool convert_training_arguments(PyObject* const* arg, TrainingArguments& a,
                                bool allow_exact = false);

// For exact training first the native backend; then shots, n_qpus, cluster
// sizes and the id prefix, in that order; then the
// seed (call, else the method object's, else fresh). False with ValueError
// set on a refusal.
bool check_training_arguments(const TrainingArguments& a, std::uint64_t& seed);

// A training run being prepared: everything an oracle and the optimiser need.
struct PreparedTraining {
    std::shared_ptr<exec::TrainingRun> run;
    // The counts reduction; null in exact training, which reads states instead.
    std::shared_ptr<const observable::Observable> observable;
    Method method;
    std::uint64_t seed = 0;
    std::uint32_t dimensions = 0;
    PyObject* callback = nullptr;  // borrowed from the call; null without one
};

// The circuit each candidate becomes, when it is a native one: what the
// memory checks of a training run need to know of it.
struct CandidateCircuitSize {
    std::uint64_t num_qubits = 0;
    std::uint64_t gates = 0;
    std::uint64_t key_width = 0;
};

// Chooses and creates the backend, converts the cost and the method, checks
// that one batch of candidates (and, on the native backend, one simulation of
// `circuit`) fits in memory, builds the run id and checks the planner. Empty
// with a Python exception set on failure; a backend created before a later
// failure is released.
std::optional<PreparedTraining> prepare_training(
    const TrainingArguments& a, std::uint64_t seed,
    std::optional<CandidateCircuitSize> circuit = std::nullopt);

// Runs the method over `fitness` with the interpreter lock released (the QNG
// variance oracle and the progress callback are added here), releases the
// backend, and builds the TrainResult, or raises the first recorded error, the
// callback's exception, or the optimiser's own refusal. `started` is when the
// entry point was called.
PyObject* finish_training(PreparedTraining& prepared, optim::BatchOracle fitness,
                          std::chrono::steady_clock::time_point started);

// KeyboardInterrupt("the run was cancelled") as a native error.
ForeignErrorPtr cancelled_error();

}  // namespace morvane::python
