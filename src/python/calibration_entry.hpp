#pragma once

namespace morvane::python {

// Start-up step of the entry points that simulate natively: tells the user
// through the log when the default gate-parallel threshold is in use.
// Never fails.
void calibration_notice() noexcept;

}  // namespace morvane::python
