#pragma once

#include <expected>
#include <memory>

#include "exec/backend.hpp"
#include "exec/infra_error.hpp"
#include "exec/planner.hpp"

namespace morvane::python {

// Creates the backend a choice names, for the run `config` describes (its id
// names a CUNQA family, its replicas size it, its seed seeds the native
// backend). Call without the interpreter lock: raising a CUNQA family takes
// it for the seam call and may wait for a cluster.
[[nodiscard]] std::expected<std::shared_ptr<exec::Backend>, exec::InfraError> create_backend(
    const exec::BackendChoice& choice, const exec::RunConfig& config);

}  // namespace morvane::python
