#include "exec/binding_job.hpp"

#include "support/text.hpp"

namespace morvane::exec {

std::string BindingFailure::message() const {
    return concat("parameter values of row ", row, ": ", error.message());
}

}  // namespace morvane::exec
