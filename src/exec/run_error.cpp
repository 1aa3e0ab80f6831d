#include "exec/run_error.hpp"

namespace morvane::exec {

namespace {

struct MessageOf {
    std::string operator()(const Infrastructure& e) const { return e.error.message(); }
    std::string operator()(const Evaluation& e) const { return e.error.message(); }
    std::string operator()(const Python& e) const {
        return e.error ? e.error->message() : std::string("unknown Python error");
    }
    std::string operator()(const Cancelled&) const { return "the run was cancelled"; }
    std::string operator()(const InvalidPlan& e) const { return e.message; }
};

}  // namespace

std::string RunError::message() const { return std::visit(MessageOf{}, detail); }

}  // namespace morvane::exec
