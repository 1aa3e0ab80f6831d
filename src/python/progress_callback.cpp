#include "python/progress_callback.hpp"

#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/py_ref.hpp"
#include "python/train_progress.hpp"

namespace morvane::python {

optim::ProgressAction ProgressCallback::operator()(const optim::IterationProgress& progress) {
    // A batch that failed (Ctrl+C included) will be raised when the run
    // returns, and every later batch would only be answered with zeros: end
    // the run after this iteration, watched or not.
    if (raised_ || errors_.has_error()) return optim::ProgressAction::Stop;
    if (callback_ == nullptr) return optim::ProgressAction::Continue;

    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started_;
    AcquireGil gil;
    PyRef record = PyRef::steal(new_train_progress(TrainProgressData{
        progress.iteration,
        progress.best_fitness,
        {progress.best_params.begin(), progress.best_params.end()},
        elapsed.count(),
    }));
    PyRef answer;
    if (record) answer = PyRef::steal(PyObject_CallOneArg(callback_, record.get()));
    const int stop = answer ? PyObject_IsTrue(answer.get()) : -1;
    if (stop < 0) {
        raised_ = take_pending_error();
        return optim::ProgressAction::Stop;
    }
    return stop == 1 ? optim::ProgressAction::Stop : optim::ProgressAction::Continue;
}

}  // namespace morvane::python
