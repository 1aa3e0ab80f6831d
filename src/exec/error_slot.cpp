#include "exec/error_slot.hpp"

#include "support/log.hpp"
#include "support/text.hpp"

namespace morvane::exec {

namespace {
constexpr const char* LOG_TARGET = "morvane_orchestration::dispatch";
}

void ErrorSlot::record(EvalError error, std::string_view run_id) {
    std::lock_guard lock(mutex_);
    if (error_) return;
    MORVANE_LOG(log::Level::Error, LOG_TARGET,
                concat("run ", run_id, ": oracle evaluation failed: ", error.message()));
    error_ = std::move(error);
}

bool ErrorSlot::has_error() const {
    std::lock_guard lock(mutex_);
    return error_.has_value();
}

std::optional<EvalError> ErrorSlot::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(error_, std::nullopt);
}

}  // namespace morvane::exec
