#include <gtest/gtest.h>

#include <cstdlib>
#include <cstdint>
#include <tuple>
#include <memory>
#include <thread>
#include <vector>

#include "exec/entry_rules.hpp"
#include "exec/native_backend.hpp"
#include "exec/planner.hpp"
#include "support/log.hpp"

using namespace morvane;
using namespace morvane::exec;
using circuit::Angle;
using circuit::ConcreteCircuit;
using circuit::Gate;

namespace {

sim::StatevectorSimulator serial_simulator() { return sim::StatevectorSimulator(64); }

CircuitInput native(std::uint64_t n, std::vector<Gate> gates) {
    return ConcreteCircuit(n, std::move(gates));
}

// n qubits in uniform superposition, all measured: every shot is a fresh
// n-bit draw, so counts reveal the seed that produced them.
CircuitInput uniform(std::uint64_t n) {
    std::vector<Gate> gates;
    for (std::uint64_t q = 0; q < n; ++q) gates.push_back(Gate::h(q));
    gates.push_back(Gate::measure_all());
    return native(n, std::move(gates));
}

std::vector<CircuitJob> jobs_for(const std::vector<CircuitInput>& inputs, std::uint32_t shots) {
    std::vector<CircuitJob> jobs;
    for (const auto& input : inputs) jobs.push_back({&input, shots});
    return jobs;
}

RunRequest request(std::uint32_t shots) {
    RunRequest r;
    r.shots = shots;
    return r;
}

std::uint64_t total(const CountsMap& map) {
    std::uint64_t sum = 0;
    for (const auto& [key, count] : map) sum += count;
    return sum;
}

class CapturingSink : public log::Sink {
public:
    explicit CapturingSink(std::vector<std::string>* lines) : lines_(lines) {}
    void write(const log::Record& record) noexcept override {
        lines_->push_back(std::string(record.target) + ": " + std::string(record.message));
    }

private:
    std::vector<std::string>* lines_;
};

}  // namespace

TEST(NativeBackend, SameSeedReproducesCountsExactly) {
    std::vector<CircuitInput> inputs{native(1, {Gate::h(0), Gate::measure_all()})};
    auto jobs = jobs_for(inputs, 1000);
    NativeBackend first(7u, serial_simulator()), second(7u, serial_simulator());
    auto a = first.run_jobs(jobs, request(1000));
    auto b = second.run_jobs(jobs, request(1000));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a, *b);
    ASSERT_EQ(a->size(), 1u);
    EXPECT_EQ(total(a->front()), 1000u);
    for (const auto& [key, count] : a->front()) EXPECT_TRUE(key == "0" || key == "1") << key;
    // A second call on the same backend draws fresh seeds.
    auto c = first.run_jobs(jobs, request(1000));
    ASSERT_TRUE(c);
    EXPECT_NE(*a, *c);
    EXPECT_EQ(first.seeds_used(), 2u);
}

struct KeyCase {
    const char* name;
    std::uint64_t num_qubits;
    std::vector<Gate> gates;
    std::vector<std::string> keys;
};

class NativeBackendKeys : public testing::TestWithParam<KeyCase> {};

TEST_P(NativeBackendKeys, BitZeroIsRightmostAndWidthFollowsTheRegister) {
    const auto& c = GetParam();
    std::vector<CircuitInput> inputs{native(c.num_qubits, c.gates)};
    NativeBackend backend(3u, serial_simulator());
    auto maps = backend.run_jobs(jobs_for(inputs, 50), request(50));
    ASSERT_TRUE(maps) << maps.error().message();
    std::vector<std::string> keys;
    for (const auto& [key, count] : maps->front()) keys.push_back(key);
    EXPECT_EQ(keys, c.keys);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NativeBackendKeys,
    testing::Values(
        // Measure 0 -> 2 only: three characters, qubit 0 lands in the leftmost.
        KeyCase{"measure_into_bit_two", 1, {Gate::x(0), Gate::measure(0, 2)}, {"100"}},
        KeyCase{"unmeasured_uses_qubits", 3, {Gate::x(1)}, {"010"}},
        KeyCase{"measure_all", 3, {Gate::x(0), Gate::x(2), Gate::measure_all()}, {"101"}},
        KeyCase{"unmeasured_qubit_not_observed", 2, {Gate::x(1), Gate::measure(0, 0)}, {"0"}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(NativeBackend, FormatsKeysMostSignificantBitFirst) {
    EXPECT_EQ(format_bitstring(5, 3), "101");
    EXPECT_EQ(format_bitstring(5, 6), "000101");
    EXPECT_EQ(format_bitstring(0, 2), "00");
    // Built in place: GCC 12 warns (falsely) about overlap in "1" + std::string.
    std::string top_bit(64, '0');
    top_bit[0] = '1';
    EXPECT_EQ(format_bitstring(1ULL << 63, 64), top_bit);
}

// Every key width a register can have, with values that fill it, leave its top
// bits clear, and are zero: the key is exactly `width` characters (16 to 29
// once came out as 30, padded on the left), bit c at position width - 1 - c.
TEST(NativeBackend, FormatsKeysOfEveryWidth) {
    for (std::uint64_t width = 1; width <= 64; ++width) {
        const std::uint64_t all = width == 64 ? ~0ULL : (1ULL << width) - 1;
        const std::uint64_t values[] = {0, 1, all, all >> 1, 0x5555555555555555ULL & all};
        for (const std::uint64_t value : values) {
            const std::string key = format_bitstring(value, width);
            ASSERT_EQ(key.size(), width) << "value " << value;
            for (std::uint64_t c = 0; c < width; ++c) {
                ASSERT_EQ(key[width - 1 - c], ((value >> c) & 1) ? '1' : '0')
                    << "width " << width << " value " << value << " bit " << c;
            }
        }
    }
}

// Keys come out as wide as the classical register through both run paths,
// from one bit to the widest register a measure can reach: a qubit measured
// into the top bit, and the one-qubit register measured whole.
class NativeBackendKeyWidths : public testing::TestWithParam<std::uint64_t> {};

TEST_P(NativeBackendKeyWidths, MatchTheClassicalRegister) {
    const std::uint64_t clbits = GetParam();
    // With one bit, both qubits land in bit 0 and OR together.
    std::string expected(clbits, '0');
    expected[0] = '1';
    std::vector<CircuitInput> inputs{
        native(2, {Gate::x(1), Gate::measure(1, clbits - 1), Gate::measure(0, 0)}),
        native(1, {Gate::measure_all()})};
    NativeBackend backend(3u, serial_simulator());
    auto maps = backend.run_jobs(jobs_for(inputs, 5), request(5));
    ASSERT_TRUE(maps) << maps.error().message();
    EXPECT_EQ(maps->at(0), (CountsMap{{expected, 5}}));
    EXPECT_EQ(maps->at(1), (CountsMap{{"0", 5}}));

    const std::uint32_t shots[] = {2, 3};
    auto replicas = backend.run_replicas(inputs[0], shots, request(5));
    ASSERT_TRUE(replicas) << replicas.error().message();
    EXPECT_EQ(*replicas, (std::vector<CountsMap>{{{expected, 2}}, {{expected, 3}}}));
}

INSTANTIATE_TEST_SUITE_P(Widths, NativeBackendKeyWidths,
                         testing::Values(1, 2, 15, 16, 17, 29, 30, 31, 32, 33, 34, 63, 64));

TEST(NativeBackend, RunsOpenQasmText) {
    std::vector<CircuitInput> inputs{QasmText{"OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[2];\n"
                                              "creg c[2];\nx q[1];\nmeasure q -> c;\n"}};
    NativeBackend backend(1u, serial_simulator());
    auto maps = backend.run_jobs(jobs_for(inputs, 10), request(10));
    ASSERT_TRUE(maps) << maps.error().message();
    EXPECT_EQ(maps->front(), (CountsMap{{"10", 10}}));
}

TEST(NativeBackend, ReportsAndLogsBadCircuits) {
    std::vector<std::string> lines;
    log::reset_for_testing();
    ASSERT_TRUE(log::install_sink(std::make_unique<CapturingSink>(&lines), log::Level::Info));

    NativeBackend backend(1u, serial_simulator());
    std::vector<CircuitInput> bad_qasm{QasmText{"OPENQASM 2.0;\nqreg q[1];\nh q[0]\n"}};
    auto parse = backend.run_jobs(jobs_for(bad_qasm, 1), request(1));
    ASSERT_FALSE(parse);
    const std::string parse_text = parse.error().message();
    EXPECT_TRUE(parse_text.starts_with(
        "native backend could not parse OpenQASM 2.0: QASM parse error at line"))
        << parse_text;

    std::vector<CircuitInput> too_big{native(31, {})};
    auto sim = backend.run_jobs(jobs_for(too_big, 1), request(1));
    ASSERT_FALSE(sim);
    EXPECT_EQ(sim.error().message(),
              "native statevector simulation failed: circuit requests 31 qubits but the "
              "statevector backend supports at most 30 (a statevector needs 2^n complex "
              "amplitudes)");

    std::vector<CircuitInput> wide_register{native(1, {Gate::measure(0, 64)})};
    auto wide = backend.run_jobs(jobs_for(wide_register, 1), request(1));
    ASSERT_FALSE(wide);
    EXPECT_TRUE(wide.error().message().starts_with("native statevector simulation failed: "));

    std::vector<CircuitInput> foreign{ForeignCircuitPtr{}};
    auto refused = backend.run_jobs(jobs_for(foreign, 1), request(1));
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().as<Infrastructure>().error.is<UnsupportedCircuit>());
    EXPECT_EQ(refused.error().message(), foreign_circuit_on_native_text());

    log::reset_for_testing();
    ASSERT_EQ(lines.size(), 3u) << "the refused foreign circuit is not logged";
    EXPECT_EQ(lines[0], "morvane_infrastructure::native: " + parse_text);
    EXPECT_EQ(lines[1], "morvane_infrastructure::native: " + sim.error().message());
}

TEST(NativeBackend, AFailingCircuitEndsTheBatchAndTheBackendStaysUsable) {
    std::vector<CircuitInput> inputs;
    for (int i = 0; i < 40; ++i) inputs.push_back(uniform(4));
    inputs[17] = native(2, {Gate::rx(0, Angle::fixed(NAN))});
    NativeBackend backend(5u, sim::StatevectorSimulator(2));
    auto maps = backend.run_jobs(jobs_for(inputs, 8), request(8));
    ASSERT_FALSE(maps);
    EXPECT_EQ(maps.error().message(),
              "native statevector simulation failed: a gate angle resolved to a non-finite value "
              "(NaN or infinity)");
    inputs[17] = uniform(4);
    EXPECT_TRUE(backend.run_jobs(jobs_for(inputs, 8), request(8)));
}

TEST(NativeBackend, ConcurrentCallersGetDisjointSeedRanges) {
    // Twelve uniform qubits: a run of 20 one-shot outcomes identifies its seeds.
    constexpr int PER_THREAD = 20;
    std::vector<CircuitInput> inputs;
    for (int i = 0; i < PER_THREAD; ++i) inputs.push_back(uniform(12));
    const auto jobs = jobs_for(inputs, 1);

    NativeBackend shared(99u, sim::StatevectorSimulator(8));
    std::vector<CountsMap> a, b;
    std::thread ta([&] { a = shared.run_jobs(jobs, request(1)).value(); });
    std::thread tb([&] { b = shared.run_jobs(jobs, request(1)).value(); });
    ta.join();
    tb.join();
    EXPECT_EQ(shared.seeds_used(), 2u * PER_THREAD);

    // Replaying seeds 0..39 in one call must show each thread's results as one
    // of the two blocks, and the two blocks must differ.
    std::vector<CircuitInput> all;
    for (int i = 0; i < 2 * PER_THREAD; ++i) all.push_back(uniform(12));
    NativeBackend replay(99u, sim::StatevectorSimulator(8));
    auto sequence = replay.run_jobs(jobs_for(all, 1), request(1)).value();
    std::vector<CountsMap> low(sequence.begin(), sequence.begin() + PER_THREAD);
    std::vector<CountsMap> high(sequence.begin() + PER_THREAD, sequence.end());
    EXPECT_TRUE((a == low && b == high) || (a == high && b == low));
}

TEST(NativeBackend, ReplicasShareOneSimulationAndDrawDistinctSeeds) {
    CircuitInput input = uniform(6);
    NativeBackend backend(11u, serial_simulator());
    std::vector<std::uint32_t> shots{4, 0, 4, 3};
    auto maps = backend.run_replicas(input, shots, request(0));
    ASSERT_TRUE(maps) << maps.error().message();
    ASSERT_EQ(maps->size(), 4u);
    EXPECT_TRUE((*maps)[1].empty());
    EXPECT_EQ(total((*maps)[0]), 4u);
    EXPECT_EQ(total((*maps)[3]), 3u);
    EXPECT_NE((*maps)[0], (*maps)[2]) << "equal shot counts still get their own seeds";
    EXPECT_EQ(backend.seeds_used(), 4u);

    // Replica i uses the same seed as the i-th circuit of a run_jobs call.
    NativeBackend jobs_backend(11u, serial_simulator());
    std::vector<CircuitInput> one{input};
    auto first = jobs_backend.run_jobs(jobs_for(one, 4), request(4));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->front(), (*maps)[0]);

    // One probability table serves every replica: each still equals a fresh
    // sample_counts of the state with its seed.
    const auto& circuit = std::get<ConcreteCircuit>(input);
    const auto state = serial_simulator().simulate(circuit);
    ASSERT_TRUE(state);
    for (std::size_t i = 0; i < shots.size(); ++i) {
        const auto counts = sim::sample_counts(*state, circuit.gates(), shots[i], 11 + i);
        ASSERT_TRUE(counts);
        EXPECT_EQ((*maps)[i], format_counts(*counts, 6)) << "replica " << i;
    }
}

TEST(NativeBackend, ShotDistributionThroughThePlannerConservesShots) {
    CircuitInput input = uniform(3);
    std::vector<CircuitJob> jobs{{&input, 2}};
    NativeBackend backend(0u, serial_simulator());
    RunConfig config;
    config.replicas = 4;
    CancelToken cancel;
    ASSERT_TRUE(check_compatible(shot_distributing_planner().requirements(),
                                 backend.capabilities()));
    auto maps = shot_distributing_planner().plan(backend, jobs, config, cancel);
    ASSERT_TRUE(maps) << maps.error().message();
    EXPECT_EQ(total(maps->front()), 2u);
}

// Circuits of unequal size and cost with every kind of register, so that each
// thread of a batch reuses its buffers across different sizes and maps; some
// share their structure, others only their register size (the last six
// alternate three structures on 8 qubits, as candidates of several trainable
// circuits would).
std::vector<ConcreteCircuit> mixed_circuits() {
    std::vector<ConcreteCircuit> circuits;
    for (std::uint64_t i = 0; i < 30; ++i) {
        const std::uint64_t n = i < 24 ? 1 + (i * 7) % 10 : 8;
        std::vector<Gate> gates;
        for (std::uint64_t q = 0; q < n; ++q) {
            gates.push_back(Gate::h(q));
            gates.push_back(Gate::ry(q, Angle::fixed(0.2 + 0.37 * static_cast<double>(i + q))));
        }
        for (std::uint64_t q = 0; q + 1 < n; ++q) {  // a chain, a fan-out or a fan-in
            gates.push_back(i % 3 == 0   ? Gate::cx(q, q + 1)
                            : i % 3 == 1 ? Gate::cx(0, q + 1)
                                         : Gate::cx(q, n - 1));
        }
        switch (i < 24 ? i % 4 : 0) {
            case 0: gates.push_back(Gate::measure_all()); break;
            case 1: break;  // unmeasured: keys are basis indices
            case 2:  // reversed register
                for (std::uint64_t q = 0; q < n; ++q) gates.push_back(Gate::measure(q, n - 1 - q));
                break;
            default:  // a wide register, two qubits into one bit
                gates.push_back(Gate::measure(0, 40));
                gates.push_back(Gate::measure(n - 1, 1));
                gates.push_back(Gate::measure(n / 2, 1));
        }
        circuits.emplace_back(n, std::move(gates));
    }
    return circuits;
}

class NativeBackendBatch
    : public testing::TestWithParam<std::tuple<const char*, std::uint32_t>> {
protected:
    void TearDown() override { unsetenv("MORVANE_MEM_BUDGET"); }
};

TEST_P(NativeBackendBatch, CountsEqualTheSerialLoopWithTheSameSeeds) {
    const auto [budget, shots] = GetParam();
    if (*budget != '\0') setenv("MORVANE_MEM_BUDGET", budget, 1);
    const std::vector<ConcreteCircuit> circuits = mixed_circuits();
    std::vector<CircuitInput> inputs(circuits.begin(), circuits.end());
    // Kernels go parallel from 4 qubits whenever a batch leaves threads free;
    // chunks of 16 amplitudes make every fusion plan depend on the structure.
    sim::StatevectorSimulator simulator(4);
    simulator.chunk_bits = sim::MIN_CHUNK_BITS;
    NativeBackend backend(40u, simulator);
    auto maps = backend.run_jobs(jobs_for(inputs, shots), request(shots));
    ASSERT_TRUE(maps) << maps.error().message();
    ASSERT_EQ(maps->size(), circuits.size());
    sim::StatevectorSimulator serial(UINT64_MAX);
    serial.chunk_bits = sim::MIN_CHUNK_BITS;
    for (std::size_t j = 0; j < circuits.size(); ++j) {
        const ConcreteCircuit& c = circuits[j];
        const auto counts = sim::simulate_and_sample(serial, c, shots, 40 + j);
        ASSERT_TRUE(counts);
        const std::uint64_t width = c.num_clbits() != 0 ? c.num_clbits() : c.num_qubits();
        EXPECT_EQ((*maps)[j], format_counts(*counts, width)) << "circuit " << j;
    }
    EXPECT_EQ(backend.seeds_used(), circuits.size());
}

// No budget: one batch of all circuits; 16 KiB and 32 KiB: one or two
// 10-qubit states at a time, in consecutive batches. Few shots list their
// draws, many count them in place.
INSTANTIATE_TEST_SUITE_P(Budgets, NativeBackendBatch,
                         testing::Combine(testing::Values("", "16384", "32768"),
                                          testing::Values(1000u, 6u)),
                         [](const auto& param_info) {
                             const char* budget = std::get<0>(param_info.param);
                             return std::string(*budget != '\0' ? budget : "unbounded") + "_" +
                                    std::to_string(std::get<1>(param_info.param)) + "_shots";
                         });

struct MidBatchFailure {
    const char* name;
    CircuitInput circuit;
    const char* message_start;
};

class NativeBackendMidBatch : public testing::TestWithParam<MidBatchFailure> {};

TEST_P(NativeBackendMidBatch, EndsTheCallWithItsErrorAndLeavesTheBackendUsable) {
    std::vector<CircuitInput> inputs;
    for (int i = 0; i < 30; ++i) inputs.push_back(uniform(1 + i % 9));
    inputs[13] = GetParam().circuit;
    NativeBackend backend(2u, sim::StatevectorSimulator(64));
    auto maps = backend.run_jobs(jobs_for(inputs, 50), request(50));
    ASSERT_FALSE(maps);
    EXPECT_TRUE(maps.error().message().starts_with(GetParam().message_start))
        << maps.error().message();
    EXPECT_EQ(backend.seeds_used(), 30u);
    inputs[13] = uniform(3);
    EXPECT_TRUE(backend.run_jobs(jobs_for(inputs, 50), request(50)));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, NativeBackendMidBatch,
    testing::Values(
        MidBatchFailure{"bad_qasm", QasmText{"OPENQASM 2.0;\nqreg q[1];\nh q[0]\n"},
                        "native backend could not parse OpenQASM 2.0: QASM parse error"},
        MidBatchFailure{"bit_sixty_four", native(2, {Gate::h(0), Gate::measure(0, 64)}),
                        "native statevector simulation failed: classical bit 64 cannot be sampled"},
        MidBatchFailure{"qubit_out_of_range", native(2, {Gate::h(5)}),
                        "native statevector simulation failed: gate references qubit 5"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

class NativeBackendBudget : public testing::Test {
protected:
    void TearDown() override { unsetenv("MORVANE_MEM_BUDGET"); }
};

TEST_F(NativeBackendBudget, ConcurrencyFollowsTheLargestKnownCircuit) {
    setenv("MORVANE_MEM_BUDGET", "1048576", 1);  // one 16-qubit state
    std::vector<CircuitInput> inputs{native(2, {}), QasmText{"OPENQASM 2.0;\nqreg q[16];\n"},
                                     QasmText{"not qasm"}};
    NativeBackend backend(0u, serial_simulator());
    EXPECT_EQ(backend.concurrency_for(jobs_for(inputs, 1)).value(), 1u);
    inputs.pop_back();
    inputs.pop_back();
    EXPECT_EQ(backend.concurrency_for(jobs_for(inputs, 1)).value(), UNBOUNDED_CONCURRENCY);
    // The batch still runs, one circuit at a time.
    for (int i = 0; i < 3; ++i) inputs.push_back(uniform(15));
    auto maps = backend.run_jobs(jobs_for(inputs, 3), request(3));
    ASSERT_TRUE(maps);
    EXPECT_EQ(maps->size(), 4u);
}
