#include "python/backend_factory.hpp"

#include "exec/native_backend.hpp"
#include "python/cunqa_backend.hpp"
#include "python/local_backend.hpp"

namespace morvane::python {

std::expected<std::shared_ptr<exec::Backend>, exec::InfraError> create_backend(
    const exec::BackendChoice& choice, const exec::RunConfig& config) {
    if (const auto* native = std::get_if<exec::NativeChoice>(&choice)) {
        return std::make_shared<exec::NativeBackend>(config.seed, native->fusion,
                                                     native->precision);
    }
    if (const auto* aer = std::get_if<exec::AerChoice>(&choice)) {
        return std::make_shared<LocalBackend>(aer->sim_method.value_or("automatic"),
                                              aer->noise_model, aer->precision);
    }
    const auto& cunqa = std::get<exec::CunqaChoice>(choice);
    auto backend = CunqaBackend::raise(config.replicas, cunqa.nodes, config.id, cunqa.cores_per_qpu,
                                       cunqa.sim_method.value_or("automatic"));
    if (!backend) return std::unexpected(std::move(backend.error()));
    return std::shared_ptr<exec::Backend>(std::move(*backend));
}

}  // namespace morvane::python
