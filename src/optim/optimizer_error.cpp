#include "optim/optimizer_error.hpp"

#include "optim/float_text.hpp"
#include "support/text.hpp"

namespace morvane::optim {

namespace {

struct MessageOf {
    std::string operator()(const PopulationTooSmall& e) const {
        return concat("population_size must be at least ", e.min,
                      " (each trial mutation samples 3 distinct other members), got ", e.got);
    }
    std::string operator()(const InvalidBounds& e) const {
        return concat("bounds must be a non-empty interval with lb < ub, got (", float_text(e.lb),
                      ", ", float_text(e.ub), ")");
    }
    std::string operator()(const OracleLength& e) const {
        return concat("evaluation oracle returned ", e.returned, " fitness value(s) for ",
                      e.candidates,
                      " candidate(s); it must return exactly one value per candidate, in order");
    }
    std::string operator()(const InvalidConfig& e) const {
        return concat("invalid ", e.name, ": ", e.message);
    }
};

}  // namespace

std::string OptimizerError::message() const { return std::visit(MessageOf{}, detail); }

}  // namespace morvane::optim
