#include "exec/backend_session.hpp"

namespace morvane::exec {

PlanKind plan_kind_for_run(std::uint32_t replicas) noexcept {
    return replicas > 1 ? PlanKind::SplitShots : PlanKind::WholeCircuits;
}

const Planner& planner_for(const Backend& backend, PlanKind kind) {
    return kind == PlanKind::SplitShots ? shot_distributing_planner() : backend.default_planner();
}

BackendSession& BackendSession::operator=(BackendSession&& other) noexcept {
    if (this != &other) {
        close();
        backend_ = std::move(other.backend_);
        planner_ = other.planner_;
        closed_ = other.closed_;
    }
    return *this;
}

void BackendSession::close() noexcept {
    // A moved-from session holds no backend.
    if (closed_ || !backend_) return;
    closed_ = true;
    backend_->close();
}

std::expected<BackendSession, RunError> open_backend(const BackendFactory& factory,
                                                     const BackendChoice& choice,
                                                     const RunConfig& config, PlanKind kind) {
    auto backend = factory(choice, config);
    if (!backend) return std::unexpected(RunError(std::move(backend.error())));
    const Planner& planner = planner_for(**backend, kind);
    BackendSession session(std::move(*backend), planner);
    if (auto compatible = check_compatible(session.planner().requirements(),
                                           session.backend().capabilities());
        !compatible) {
        session.close();
        return std::unexpected(std::move(compatible.error()));
    }
    return session;
}

std::expected<std::vector<CountsMap>, RunError> run_circuit(const BackendFactory& factory,
                                                            const CircuitInput& input,
                                                            std::uint32_t shots,
                                                            const BackendChoice& choice,
                                                            const RunConfig& config) {
    auto session = open_backend(factory, choice, config, plan_kind_for_run(config.replicas));
    if (!session) return std::unexpected(std::move(session.error()));
    const CircuitJob job{&input, shots};
    CancelToken cancel;
    auto counts = session->planner().plan(session->backend(),
                                          std::span<const CircuitJob>(&job, 1), config, cancel);
    session->close();
    return counts;
}

}  // namespace morvane::exec
