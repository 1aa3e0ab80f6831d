#pragma once

#include <cstdint>
#include <expected>
#include <string_view>
#include <vector>

#include "circuit/circuit_error.hpp"

namespace morvane::circuit {

// The LLVM assembler, looked up on PATH each time it is needed.
inline constexpr std::string_view QIR_ASSEMBLER = "llvm-as";

// Assembles LLVM IR text into bitcode by piping it through `llvm-as -o - -`
// and returns what the tool writes to its standard output.
//
// A tool that is not on PATH is QirAssemblyToolNotFound before anything else
// happens. Every other failure is QirAssemblyFailed: the start failing for
// another reason, a failed write or read, a failed wait, or the tool exiting
// unsuccessfully ("non-zero exit status <status>[: <stderr, trimmed>]"). The
// input is written while both output streams are drained, so a tool that
// answers before it has read everything cannot deadlock us; the child is
// always reaped, and a tool that quits early cannot raise SIGPIPE in the
// caller. Blocks the calling thread until the tool has exited.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, CircuitError> assemble_qir_bitcode(
    std::string_view module_text);

}  // namespace morvane::circuit
