#include "exec/infra_error.hpp"

#include "support/text.hpp"

namespace morvane::exec {

namespace {

struct MessageOf {
    std::string operator()(const UnknownInfrastructure& e) const {
        return concat("unknown infrastructure '", e.name, "'");
    }
    std::string operator()(const InvalidCircuitCount& e) const {
        return concat("expected exactly ", e.expected, " circuit(s), got ", e.got);
    }
    std::string operator()(const UnsupportedCircuit& e) const { return e.message; }
    std::string operator()(const InvalidResults& e) const {
        return "backend returned invalid results: " + e.message;
    }
    std::string operator()(const NativeCircuit& e) const { return e.message; }
    std::string operator()(const Cunqa& e) const { return "CUNQA backend error: " + e.message; }
    std::string operator()(const Conversion& e) const {
        return "data conversion across the Python boundary failed: " + e.message;
    }
    std::string operator()(const Seam& e) const {
        return "morvane_python seam error: " +
               (e.error ? e.error->message() : std::string("unknown error"));
    }
};

}  // namespace

std::string InfraError::message() const { return std::visit(MessageOf{}, detail); }

std::string unknown_infrastructure_text(std::string_view name) {
    return concat("unknown infrastructure '", name, "'; expected \"local\", \"cunqa\" or \"qmio\"");
}

}  // namespace morvane::exec
