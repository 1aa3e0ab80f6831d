#include "sim/circuit_batch.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "circuit/gate_catalogue.hpp"
#include "sim/kernels.hpp"

namespace morvane::sim {
namespace {

using circuit::Angle;
using circuit::AngleOp;
using circuit::CircuitError;
using circuit::Gate;
using circuit::GateKind;
using circuit::ParameterizedCircuit;

constexpr std::uint64_t NUM_PARAMS = 5;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// An angle of every form binding meets: a literal, a bare parameter, an
// affine map with and without offset, and expressions over one or several
// parameters (sin, exp, powers, quotients).
Angle random_angle(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> real(-3.0, 3.0);
    const auto p = [&] { return Angle::param(rng() % NUM_PARAMS); };
    switch (rng() % 7) {
        case 0: return Angle::fixed(real(rng));
        case 1: return p();
        case 2: return Angle::affine(rng() % NUM_PARAMS, real(rng), 0.0);
        case 3: return Angle::affine(rng() % NUM_PARAMS, real(rng), real(rng));
        case 4: return circuit::apply(AngleOp::Sin, p()) * p() + Angle::fixed(0.25);
        case 5: return circuit::apply(AngleOp::Exp, p() * Angle::fixed(0.1)) - p() / Angle::fixed(3.0);
        default: return circuit::pow(p(), Angle::fixed(2.0)) - Angle::fixed(real(rng)) * p();
    }
}

// A circuit drawing every unitary kind of the catalogue (global phase and
// the kinds decomposed before simulation among them) and barriers, each
// angle of a random form, on distinct qubits biased to a few neighbours so
// that fusion merges and flushes in every way; a global phase of a random
// form; terminal measurements now and then.
ParameterizedCircuit random_circuit(std::uint64_t n, std::size_t length, std::mt19937_64& rng) {
    static const std::vector<GateKind> kinds = [] {
        std::vector<GateKind> out;
        for (const circuit::GateInfo& info : circuit::gate_catalogue()) {
            if (circuit::is_unitary(info.kind) || info.kind == GateKind::Barrier)
                out.push_back(info.kind);
        }
        return out;
    }();
    const std::uint64_t width = std::min<std::uint64_t>(n, 3);
    const std::uint64_t offset = (rng() % 3) * (n - width) / 2;
    auto qubit = [&] { return rng() % 3 == 0 ? rng() % n : offset + rng() % width; };
    ParameterizedCircuit circuit(n);
    if (rng() % 2 == 0) {
        EXPECT_TRUE(circuit.set_global_phase(random_angle(rng)));
    }
    std::size_t pushed = 0;
    while (pushed < length) {
        Gate g;
        g.kind = kinds[rng() % kinds.size()];
        const circuit::GateInfo& info = circuit::gate_info(g.kind);
        if (info.num_qubits > n) continue;
        for (std::size_t j = 0; j < info.num_qubits; ++j) {
            std::uint64_t q = qubit();
            for (std::size_t i = 0; i < j; ++i) {
                if (g.qubit(i) == q) {
                    q = qubit();
                    i = static_cast<std::size_t>(-1);
                }
            }
            g.set_qubit(j, q);
        }
        for (std::size_t i = 0; i < info.num_angles; ++i) g.angles[i] = random_angle(rng);
        if (g.kind == GateKind::Barrier) g.barrier_qubits = {qubit()};
        EXPECT_TRUE(circuit.push(std::move(g)));
        ++pushed;
    }
    if (rng() % 2) {
        EXPECT_TRUE(circuit.push(Gate::measure(rng() % n, rng() % 70)));
    }
    if (rng() % 3 == 0) {
        EXPECT_TRUE(circuit.push(Gate::measure_all()));
    }
    return circuit;
}

// Row values: mostly ordinary, sometimes a signed zero, which an angle
// without offset must carry into its matrix.
std::vector<double> random_row(std::size_t width, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> real(-4.0, 4.0);
    std::vector<double> row(width);
    for (double& v : row) {
        const auto pick = rng() % 10;
        v = pick == 0 ? -0.0 : pick == 1 ? 0.0 : real(rng);
    }
    return row;
}

// Bit patterns, so that -0 and +0 (or two NaNs) are told apart.
void expect_same_bits(const Statevector& a, const Statevector& b, const std::string& where) {
    ASSERT_EQ(a.amplitudes().size(), b.amplitudes().size()) << where;
    for (std::size_t i = 0; i < a.amplitudes().size(); ++i) {
        const Amplitude x = a.amplitudes()[i], y = b.amplitudes()[i];
        ASSERT_EQ(std::bit_cast<std::uint64_t>(x.real()), std::bit_cast<std::uint64_t>(y.real()))
            << where << ", amplitude " << i;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(x.imag()), std::bit_cast<std::uint64_t>(y.imag()))
            << where << ", amplitude " << i;
    }
}

// Names each parametrised case after its `name`.
struct CaseName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& param) const {
        return param.param.name;
    }
};

struct BatchCase {
    std::string name;
    bool fusion;
    std::uint64_t threshold;  // kernels run in parallel from this register size
    std::size_t grain;        // 0: the kernels' own
    std::uint64_t chunk_bits;
};

void PrintTo(const BatchCase& c, std::ostream* os) { *os << c.name; }

class RowMatchesBinding : public ::testing::TestWithParam<BatchCase> {
  protected:
    void SetUp() override { testing::set_kernel_grain(GetParam().grain); }
    void TearDown() override { testing::set_kernel_grain(0); }
};

// Every row of a batch gives the state binding then simulating gives, to
// the last bit: with the global phase applied against the bound circuit's
// simulation, and without it against the bound gates' (the path the
// expectation and shot readers took).
TEST_P(RowMatchesBinding, OnRandomCircuits) {
    const BatchCase& c = GetParam();
    StatevectorSimulator simulator(c.threshold);
    simulator.fusion = c.fusion;
    simulator.chunk_bits = c.chunk_bits;
    std::mt19937_64 rng(c.threshold * 31 + c.grain * 7 + c.chunk_bits + (c.fusion ? 1 : 0));
    for (int trial = 0; trial < 60; ++trial) {
        const std::uint64_t n = 1 + trial % 11;
        const ParameterizedCircuit circuit = random_circuit(n, 10 + rng() % 60, rng);
        auto batch = CircuitBatch::prepare(circuit, simulator);
        ASSERT_TRUE(batch) << batch.error().message();
        for (int r = 0; r < 3; ++r) {
            const std::vector<double> row = random_row(circuit.num_params(), rng);
            const std::string where = "trial " + std::to_string(trial) + " row " + std::to_string(r);
            auto bound = circuit.assign_parameters(row);
            ASSERT_TRUE(bound) << where << ": " << bound.error().message();

            auto expected = simulator.simulate(*bound);
            auto actual = batch->simulate_row(row, GlobalPhaseUse::Applied);
            ASSERT_TRUE(expected && actual) << where;
            expect_same_bits(*actual, *expected, where + ", phase applied");

            auto expected_plain = simulator.simulate(n, bound->gates());
            auto actual_plain = batch->simulate_row(row, GlobalPhaseUse::Ignored);
            ASSERT_TRUE(expected_plain && actual_plain) << where;
            expect_same_bits(*actual_plain, *expected_plain, where + ", phase ignored");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Simulators, RowMatchesBinding,
    ::testing::Values(BatchCase{"fused_serial", true, 64, 0, DEFAULT_CHUNK_BITS},
                      BatchCase{"fused_serial_small_chunks", true, 64, 0, 4},
                      BatchCase{"fused_parallel_small_chunks", true, 1, 4, 5},
                      BatchCase{"fused_parallel", true, 1, 4, DEFAULT_CHUNK_BITS},
                      BatchCase{"unfused_serial", false, 64, 0, DEFAULT_CHUNK_BITS},
                      BatchCase{"unfused_parallel", false, 1, 4, DEFAULT_CHUNK_BITS}),
    CaseName());

// A circuit whose angles can all be driven out of range by one row: a
// rotation by p0, an expression ln(p1), a quotient 1/p2, the global phase
// reading p3 alone, and p4 read by nothing.
ParameterizedCircuit refusal_circuit() {
    ParameterizedCircuit circuit(3);
    EXPECT_TRUE(circuit.push(Gate::h(0)));
    EXPECT_TRUE(circuit.push(Gate::rx(0, Angle::param(0))));
    EXPECT_TRUE(circuit.push(Gate::cx(0, 2)));
    EXPECT_TRUE(circuit.push(Gate::rzz(1, 2, circuit::apply(AngleOp::Ln, Angle::param(1)))));
    EXPECT_TRUE(circuit.push(Gate::u(2, Angle::fixed(0.3), Angle::fixed(1.0) / Angle::param(2),
                                     Angle::fixed(0.1))));
    EXPECT_TRUE(circuit.set_global_phase(Angle::affine(3, 2.0, 0.5)));
    circuit.set_parameter_names({"a", "b", "c", "d", "e"});
    return circuit;
}

struct RefusalCase {
    std::string name;
    std::vector<double> row;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class RowRefusal : public ::testing::TestWithParam<RefusalCase> {};

// A row binding refuses is refused with binding's own error, fused or not;
// a row binding accepts (a NaN in a parameter nothing reads) is accepted.
TEST_P(RowRefusal, AsBindingRefuses) {
    const ParameterizedCircuit circuit = refusal_circuit();
    const std::vector<double>& row = GetParam().row;
    auto bound = circuit.assign_parameters(row);
    for (const bool fusion : {true, false}) {
        StatevectorSimulator simulator(64);
        simulator.fusion = fusion;
        auto batch = CircuitBatch::prepare(circuit, simulator);
        ASSERT_TRUE(batch);
        for (const GlobalPhaseUse phase : {GlobalPhaseUse::Applied, GlobalPhaseUse::Ignored}) {
            auto state = batch->simulate_row(row, phase);
            if (bound) {
                ASSERT_TRUE(state) << state.error().message();
                if (phase == GlobalPhaseUse::Applied) {
                    expect_same_bits(*state, *simulator.simulate(*bound), GetParam().name);
                }
                continue;
            }
            ASSERT_FALSE(state) << "fusion " << fusion;
            EXPECT_EQ(state.error(), BatchRowError(bound.error()));
            EXPECT_EQ(state.error().message(), bound.error().message());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RowRefusal,
    ::testing::Values(RefusalCase{"accepted", {0.1, 2.0, 0.5, 0.2, 0.0}},
                      RefusalCase{"nan_unread_parameter", {0.1, 2.0, 0.5, 0.2, NaN}},
                      RefusalCase{"nan_rotation", {NaN, 2.0, 0.5, 0.2, 0.0}},
                      RefusalCase{"infinite_rotation", {INFINITY, 2.0, 0.5, 0.2, 0.0}},
                      RefusalCase{"log_of_zero", {0.1, 0.0, 0.5, 0.2, 0.0}},
                      RefusalCase{"log_of_negative", {0.1, -1.0, 0.5, 0.2, 0.0}},
                      RefusalCase{"quotient_by_zero", {0.1, 2.0, 0.0, 0.2, 0.0}},
                      RefusalCase{"nan_global_phase", {0.1, 2.0, 0.5, NaN, 0.0}},
                      RefusalCase{"too_few_values", {0.1, 2.0, 0.5, 0.2}},
                      RefusalCase{"too_many_values", {0.1, 2.0, 0.5, 0.2, 0.0, 1.0}}),
    CaseName());

// The circuit checks run once, when the batch is made, with simulate's
// errors; each row's own failures (cancellation) still reach the caller.
TEST(CircuitBatch, PreparationAndCancellation) {
    const ParameterizedCircuit circuit = refusal_circuit();
    StatevectorSimulator small(64);
    small.max_qubits = 2;
    auto refused = CircuitBatch::prepare(circuit, small);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), SimError(TooManyQubits{3, 2}));

    // A register large enough that the throttled checkpoints consult the
    // callback, on a clock that moves 30 ms per read.
    ParameterizedCircuit wide(16);
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(wide.push(Gate::rx(1, Angle::param(0))));
    class SteppingClock final : public MonotonicClock {
      public:
        time_point now() const override {
            return std::exchange(current_, current_ + std::chrono::milliseconds(30));
        }
      private:
        mutable time_point current_{};
    } clock;
    SimulationHooks hooks;
    hooks.clock = &clock;
    for (const bool fusion : {true, false}) {
        StatevectorSimulator simulator(64);
        simulator.fusion = fusion;
        simulator.chunk_bits = 4;
        auto batch = CircuitBatch::prepare(wide, simulator);
        ASSERT_TRUE(batch);
        EXPECT_EQ(batch->plan() != nullptr, fusion);
        const std::vector<double> row{0.1};
        auto cancelled = batch->simulate_row(row, GlobalPhaseUse::Applied,
                                             CancelCallback([] { return true; }), hooks);
        ASSERT_FALSE(cancelled);
        EXPECT_EQ(cancelled.error(), BatchRowError(SimError(Cancelled{})));
    }
}

// A gate decomposed before simulation whose angle reads a parameter (a
// global-phase gate kept in a gate list) cannot be lowered once for all
// rows; such a batch binds each row and still gives binding's states and
// refusals.
TEST(CircuitBatch, DecomposedGateWithParameterAngle) {
    Gate phase;
    phase.kind = GateKind::GlobalPhase;
    phase.angles[0] = Angle::affine(1, 0.5, 0.0);
    const std::uint64_t pair[2] = {0, 1};
    const ParameterizedCircuit circuit = ParameterizedCircuit::from_validated_gates(
        2, {Gate::h(0), phase, Gate::rzz(0, 1, Angle::param(0)),
            Gate::make(GateKind::Dcx, pair, {})});
    for (const bool fusion : {true, false}) {
        StatevectorSimulator simulator(64);
        simulator.fusion = fusion;
        auto batch = CircuitBatch::prepare(circuit, simulator);
        ASSERT_TRUE(batch);
        const std::vector<double> row{0.7, 1.3};
        auto state = batch->simulate_row(row, GlobalPhaseUse::Applied);
        ASSERT_TRUE(state);
        expect_same_bits(*state, *simulator.simulate(*circuit.assign_parameters(row)), "bound");
        const std::vector<double> bad{0.7, NaN};
        auto refused = batch->simulate_row(bad, GlobalPhaseUse::Ignored);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error(), BatchRowError(CircuitError(circuit::NonFiniteParam{})));
    }
}

}  // namespace
}  // namespace morvane::sim
