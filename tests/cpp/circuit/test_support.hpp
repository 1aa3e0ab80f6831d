#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "circuit/circuit_error.hpp"
#include "circuit/gate.hpp"

namespace morvane::circuit {

// Readable failure output for the circuit types, found by argument lookup.
inline void PrintTo(const Gate& gate, std::ostream* os) { *os << gate.debug_string(); }
inline void PrintTo(const CircuitError& error, std::ostream* os) { *os << error.message(); }

namespace {

// Parametrised cases carry a `name`: it names the test instance and is what
// a failure prints instead of the case's bytes.
struct CaseName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& param) const {
        return param.param.name;
    }
};

template <class Case>
    requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

}  // namespace
}  // namespace morvane::circuit
