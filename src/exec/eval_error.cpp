#include "exec/eval_error.hpp"

#include "optim/float_text.hpp"
#include "support/text.hpp"

namespace morvane::exec {

namespace {

std::string foreign_text(const ForeignErrorPtr& error) {
    return error ? error->message() : std::string("unknown error");
}

struct MessageOf {
    std::string operator()(const EvalBackend& e) const { return e.error.message(); }
    std::string operator()(const EvalBinding& e) const {
        return "circuit binding failed: " + e.error.message();
    }
    std::string operator()(const EvalObservable& e) const {
        return "expectation evaluation failed: " + e.error.message();
    }
    std::string operator()(const EvalPython& e) const {
        return "Python evaluation error: " + foreign_text(e.error);
    }
    std::string operator()(const RuntimeConversion& e) const {
        return "QML evaluation runtime error: " + e.message;
    }
    std::string operator()(const EvalConversion& e) const {
        return "data conversion across the Python boundary failed: " + e.message;
    }
    std::string operator()(const WrongLength& e) const {
        return concat("oracle returned the wrong number of expectation values: expected ",
                      e.expected, " (one per submitted circuit) but got ", e.got,
                      " (contract C-5)");
    }
    std::string operator()(const NonFinite& e) const {
        return concat("oracle returned a non-finite expectation value ",
                      optim::float_text(e.value), " at index ", e.index,
                      "; contract C-5 requires every output to be a finite f64");
    }
    std::string operator()(const InvalidVariance& e) const {
        return concat("variance_function returned an invalid value ", optim::float_text(e.value),
                      " for parameter index ", e.param_index,
                      "; a QFIM diagonal element must be a finite, non-negative number");
    }
};

}  // namespace

std::string EvalError::message() const { return std::visit(MessageOf{}, detail); }

EvalError eval_error_from(RunError error, const ForeignErrorPtr& cancelled) {
    if (auto* infra = std::get_if<Infrastructure>(&error.detail)) {
        return EvalBackend{std::move(infra->error)};
    }
    if (auto* evaluation = std::get_if<Evaluation>(&error.detail)) {
        return EvalObservable{std::move(evaluation->error)};
    }
    if (auto* python = std::get_if<Python>(&error.detail)) return EvalPython{std::move(python->error)};
    if (error.is<Cancelled>()) return EvalPython{cancelled};
    return RuntimeConversion{error.as<InvalidPlan>().message};
}

}  // namespace morvane::exec
