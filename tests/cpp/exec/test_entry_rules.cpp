#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "exec/entry_rules.hpp"
#include "exec/memory_budget.hpp"

using namespace morvane::exec;

namespace {

struct SizeCase {
    std::uint32_t shots, n_qpus;
    const char* infrastructure;
    std::uint32_t nodes, cores;
    const char* message;  // null: accepted
};

class RunSizes : public testing::TestWithParam<SizeCase> {};

struct NoiseModel : morvane::ForeignObject {};

BackendArguments args(std::string_view infrastructure, std::string_view backend,
                      std::optional<bool> fusion = std::nullopt,
                      morvane::ForeignObjectPtr noise = nullptr,
                      std::string_view sim_method = "automatic", std::uint32_t nodes = 1,
                      std::uint32_t cores = 2,
                      std::optional<morvane::sim::Precision> precision = std::nullopt) {
    return BackendArguments{infrastructure, backend, fusion, std::move(noise),
                            sim_method,     nodes,   cores,  precision};
}

std::string refusal(const BackendArguments& arguments) {
    auto choice = choose_backend(arguments);
    return choice ? std::string("<accepted>") : choice.error().message;
}

}  // namespace

TEST_P(RunSizes, FirstFailingCheckWins) {
    const SizeCase& c = GetParam();
    auto checked = check_run_sizes(c.shots, c.n_qpus, c.infrastructure, c.nodes, c.cores);
    if (!c.message) {
        EXPECT_TRUE(checked.has_value()) << checked.error().message;
    } else {
        ASSERT_FALSE(checked.has_value());
        EXPECT_EQ(checked.error().message, c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunSizes,
    testing::Values(
        SizeCase{0, 0, "local", 1, 2, "shots must be >= 1, got 0"},
        SizeCase{5, 0, "cunqa", 0, 0, "n_qpus must be >= 1, got 0"},
        SizeCase{5, 1, "local", 0, 0, nullptr},
        SizeCase{5, 1, "qmio", 0, 0, nullptr},
        SizeCase{5, 1, "cunqa", 0, 0, "nodes must be >= 1 for the 'cunqa' infrastructure, got 0"},
        SizeCase{5, 1, "cunqa", 1, 0,
                 "cores_per_qpu must be >= 1 for the 'cunqa' infrastructure, got 0"},
        // Only the exact name selects the cluster checks.
        SizeCase{5, 1, "CUNQA", 0, 0, nullptr}));

TEST(BackendChoice, NativeNamesOnLocalPickTheSimulatorWithFusionUnlessFalse) {
    for (const char* name : {"morvane", "statevector", "morvane_statevector"}) {
        for (auto [fusion, expected] : {std::pair{std::optional<bool>{}, true},
                                        std::pair{std::optional<bool>{true}, true},
                                        std::pair{std::optional<bool>{false}, false}}) {
            auto choice = choose_backend(args("local", name, fusion));
            ASSERT_TRUE(choice.has_value()) << name;
            ASSERT_TRUE(std::holds_alternative<NativeChoice>(*choice));
            EXPECT_EQ(std::get<NativeChoice>(*choice).fusion, expected) << name;
        }
    }
}

TEST(BackendChoice, AerAndCunqaCarryTheirSettings) {
    auto noise = std::make_shared<const NoiseModel>();
    auto aer = choose_backend(args("local", "AerSimulator", false, noise, "statevector"));
    ASSERT_TRUE(aer.has_value());
    const auto& a = std::get<AerChoice>(*aer);
    EXPECT_EQ(a.device, "AerSimulator");
    EXPECT_EQ(a.sim_method, "statevector");
    EXPECT_EQ(a.noise_model, noise);

    // A noise model is dropped on the cluster, and the backend name is not read.
    auto cunqa = choose_backend(args("cunqa", "anything", std::nullopt, noise, "automatic", 3, 4));
    ASSERT_TRUE(cunqa.has_value());
    const auto& c = std::get<CunqaChoice>(*cunqa);
    EXPECT_EQ(c.nodes, 3u);
    EXPECT_EQ(c.cores_per_qpu, 4u);
    EXPECT_EQ(c.sim_method, "automatic");
}

TEST(BackendChoice, RefusalsInTheirOrder) {
    auto noise = std::make_shared<const NoiseModel>();
    EXPECT_EQ(refusal(args("Local", "aer")),
              "unknown infrastructure 'Local'; expected \"local\", \"cunqa\" or \"qmio\"");
    // The noise-model refusal comes before the fusion check for native names.
    EXPECT_EQ(refusal(args("local", "morvane", true, noise)),
              "the native 'morvane' backend is a noiseless statevector simulator and does not "
              "accept a noise_model; use backend=\"aer\"");
    EXPECT_EQ(refusal(args("local", "aer", true)),
              "fusion=True applies only to the native backend=\"morvane\"; backend \"aer\" on "
              "infrastructure \"local\" cannot fuse gates. Omit fusion, or pass fusion=False for "
              "a gate-by-gate run.");
    // Native names mean nothing off "local": fusion=True is refused there too.
    EXPECT_EQ(refusal(args("cunqa", "morvane", true)),
              "fusion=True applies only to the native backend=\"morvane\"; backend \"morvane\" on "
              "infrastructure \"cunqa\" cannot fuse gates. Omit fusion, or pass fusion=False for "
              "a gate-by-gate run.");
    EXPECT_EQ(refusal(args("local", "qulacs")),
              "unknown local backend 'qulacs'; expected \"aer\" or \"morvane\"");
    EXPECT_EQ(refusal(args("qmio", "aer")),
              "the 'qmio' infrastructure requires compiling morvane with --features qmio");
}

// The precision reaches the native simulator and Aer as chosen; unchosen,
// both run as they always have (Aer is told nothing). CUNQA's QPUs run in
// double, so only an explicit "single" is refused there.
TEST(BackendChoice, PrecisionReachesEachBackendOrIsRefused) {
    using morvane::sim::Precision;
    auto native = choose_backend(
        args("local", "morvane", std::nullopt, nullptr, "automatic", 1, 2, Precision::Single));
    ASSERT_TRUE(native.has_value());
    EXPECT_EQ(std::get<NativeChoice>(*native).precision, Precision::Single);
    EXPECT_EQ(std::get<NativeChoice>(*choose_backend(args("local", "morvane"))).precision,
              Precision::Double);
    for (const auto& [given, passed] :
         {std::pair{std::optional<Precision>{}, std::optional<std::string>{}},
          std::pair{std::optional{Precision::Single}, std::optional<std::string>{"single"}},
          std::pair{std::optional{Precision::Double}, std::optional<std::string>{"double"}}}) {
        auto aer =
            choose_backend(args("local", "aer", std::nullopt, nullptr, "automatic", 1, 2, given));
        ASSERT_TRUE(aer.has_value());
        EXPECT_EQ(std::get<AerChoice>(*aer).precision, passed);
    }
    EXPECT_TRUE(choose_backend(args("cunqa", "aer", std::nullopt, nullptr, "automatic", 1, 2,
                                    Precision::Double))
                    .has_value());
    EXPECT_EQ(
        refusal(args("cunqa", "aer", std::nullopt, nullptr, "automatic", 1, 2, Precision::Single)),
        "precision=\"single\" is not available on infrastructure \"cunqa\": its QPUs "
        "simulate in double precision. Omit precision (or pass \"double\"), or run on "
        "infrastructure=\"local\"");
}

TEST(BackendChoice, PrecisionKeywordAcceptsTwoNames) {
    EXPECT_EQ(parse_precision("double"), morvane::sim::Precision::Double);
    EXPECT_EQ(parse_precision("single"), morvane::sim::Precision::Single);
    for (const char* bad : {"", "Single", "float32", "half"}) {
        auto refused = parse_precision(bad);
        ASSERT_FALSE(refused.has_value()) << bad;
        EXPECT_EQ(refused.error().message,
                  std::string("argument 'precision': expected \"double\" or \"single\", got \"") +
                      bad + "\"");
    }
}

TEST(RunIds, RunIdNamesReplicasInfrastructureAndAFreshUuid) {
    const std::string first = make_run_id(3, "cunqa");
    const std::string prefix = "run_3_cunqa_";
    ASSERT_EQ(first.rfind(prefix, 0), 0u) << first;
    const std::string uuid = first.substr(prefix.size());
    ASSERT_EQ(uuid.size(), 36u) << first;
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = uuid[i];
        EXPECT_TRUE(dash ? c == '-' : ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            << first;
    }
    EXPECT_EQ(uuid[14], '4') << first;  // version 4
    EXPECT_NE(first, make_run_id(3, "cunqa"));
    const std::string training = make_training_run_id("qaoa.v2");
    EXPECT_EQ(training.rfind("qaoa.v2_", 0), 0u) << training;
    EXPECT_EQ(training.size(), std::string("qaoa.v2_").size() + 36);
}

TEST(RunIds, PrefixRulesInTheirOrder) {
    const auto message = [](std::string_view prefix) {
        auto checked = check_run_id_prefix(prefix);
        return checked ? std::string("<accepted>") : checked.error().message;
    };
    EXPECT_EQ(message("abc.DEF_0-9"), "<accepted>");
    EXPECT_EQ(message(std::string(64, 'a')), "<accepted>");
    EXPECT_EQ(message(""), "id must not be empty");
    EXPECT_EQ(message("run 1"),
              "id contains invalid character ' '; only ASCII letters, digits, '.', '_' and '-' "
              "are allowed (got \"run 1\")");
    EXPECT_EQ(message("a/b"),
              "id contains invalid character '/'; only ASCII letters, digits, '.', '_' and '-' "
              "are allowed (got \"a/b\")");
    EXPECT_EQ(message("it's"),
              "id contains invalid character '\\''; only ASCII letters, digits, '.', '_' and '-' "
              "are allowed (got \"it's\")");
    // A multi-byte character is named whole, not by its first byte.
    EXPECT_EQ(message("caf\xc3\xa9"),
              "id contains invalid character '\xc3\xa9'; only ASCII letters, digits, '.', '_' "
              "and '-' are allowed (got \"caf\xc3\xa9\")");
    EXPECT_EQ(message("tab\there"),
              "id contains invalid character '\\t'; only ASCII letters, digits, '.', '_' and '-' "
              "are allowed (got \"tab\\there\")");
    EXPECT_EQ(message(std::string(65, 'x')),
              "id must be at most 64 characters, got 65 (\"" + std::string(65, 'x') + "\")");
    // The bad character is reported even when the id is also too long.
    EXPECT_EQ(message(std::string(70, 'x') + "/"),
              "id contains invalid character '/'; only ASCII letters, digits, '.', '_' and '-' "
              "are allowed (got \"" + std::string(70, 'x') + "/\")");
}

TEST(Seeds, PrecedenceCallThenMethodThenEntropy) {
    EXPECT_EQ(effective_seed(5, 9), 5u);
    EXPECT_EQ(effective_seed(std::nullopt, 9), 9u);
    EXPECT_EQ(effective_seed(0, 9), 0u);
    // Two entropy draws colliding would mean the OS source is not used.
    EXPECT_NE(effective_seed(std::nullopt), effective_seed(std::nullopt));
}

namespace {

class NativeMemory : public testing::Test {
protected:
    void TearDown() override { unsetenv("MORVANE_MEM_BUDGET"); }
};

}  // namespace

TEST_F(NativeMemory, AStateAboveTheBudgetIsRefusedWithBothSizes) {
    setenv("MORVANE_MEM_BUDGET", "1048576", 1);  // one 16-qubit state
    EXPECT_TRUE(check_native_memory(16, statevector_bytes(16)));
    auto refused = check_native_memory(17, statevector_bytes(17));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message,
              "a 17-qubit statevector needs 2.0 MiB, more than the memory budget of 1.0 MiB; "
              "use fewer qubits, or raise MORVANE_MEM_BUDGET (in bytes) if this machine has "
              "the memory");
}

TEST_F(NativeMemory, MoreThanTheMachineHasIsRefusedWhateverTheBudget) {
    setenv("MORVANE_MEM_BUDGET", "18446744073709551615", 1);
    auto refused = check_native_memory(30, UINT64_MAX);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().message.starts_with("a 30-qubit simulation needs 16.0 EiB at "
                                                    "once, more than the "))
        << refused.error().message;
    EXPECT_TRUE(refused.error().message.ends_with(
        " of memory this machine has available; use fewer qubits or shots, or free memory"));
    // Beyond the simulator's limit the simulator's own refusal is left to speak.
    EXPECT_TRUE(check_native_memory(31, UINT64_MAX));
}

TEST(NativeRunMemory, AThirtyQubitRunWithAThousandShotsNeedsLittleBesidesItsState) {
    const std::uint64_t state = statevector_bytes(30);
    const std::uint64_t run = native_circuit_bytes(30, 30, 1000);
    EXPECT_GT(run, state);
    EXPECT_LT(run - state, std::uint64_t{3} << 20);
    // Every value of a wide register drawn: one counts entry per shot.
    EXPECT_GT(native_circuit_bytes(10, 40, 4000000000u), std::uint64_t{800} << 30);
}

struct BatchCase {
    const char* name;
    std::uint64_t candidates, dimensions, gates, entries, width;
    bool fits;
};

class BatchMemory : public testing::TestWithParam<BatchCase> {};

TEST_P(BatchMemory, RefusesWhatNoMachineHere) {
    const BatchCase& c = GetParam();
    auto checked =
        check_batch_memory(c.candidates, c.dimensions, c.gates, c.entries, c.width,
                           "population_size");
    EXPECT_EQ(checked.has_value(), c.fits);
    if (!checked) {
        EXPECT_TRUE(checked.error().message.starts_with(
            std::string("population_size ") + std::to_string(c.candidates) + ": one batch of " +
            std::to_string(c.candidates) + " candidates with " + std::to_string(c.dimensions) +
            " parameters needs about "))
            << checked.error().message;
        EXPECT_TRUE(checked.error().message.ends_with("; use a smaller population_size"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Batches, BatchMemory,
    testing::Values(BatchCase{"usual", 50, 8, 100, 1000, 16, true},
                    BatchCase{"billion_candidates", 1000000000, 2, 0, 0, 0, false},
                    BatchCase{"huge_vectors", 4, 4000000000000, 0, 0, 0, false},
                    BatchCase{"counts_of_every_shot", 1000, 2, 10, 4000000000, 32, false},
                    BatchCase{"saturating", UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX,
                              UINT64_MAX, false}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

namespace {

const std::string QMIO_RUN =
    "the 'qmio' infrastructure runs entirely natively, without the interpreter lock, and cannot "
    "serialize a Qiskit QuantumCircuit; pass a morvane.Circuit or an OpenQASM 2.0 string";
const std::string QMIO_TRAIN =
    "the 'qmio' infrastructure requires a native morvane.Circuit (GIL-free serialization); got "
    "a Qiskit circuit. Build it with morvane.Circuit";

struct RouteCase {
    CircuitForm form;
    const char* infrastructure;
    const char* backend;
    EntryPoint entry;
    std::string message;  // empty: accepted
};

class CircuitRoute : public testing::TestWithParam<RouteCase> {};

}  // namespace

TEST_P(CircuitRoute, EachFormGoesWhereItCanRun) {
    const RouteCase& c = GetParam();
    auto route = check_circuit_route(c.form, c.infrastructure, c.backend, c.entry);
    EXPECT_EQ(route ? std::string() : route.error().message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CircuitRoute,
    testing::Values(
        // The native simulator takes a Qiskit circuit (converted) like its own forms.
        RouteCase{CircuitForm::Qiskit, "local", "morvane", EntryPoint::Run, ""},
        RouteCase{CircuitForm::Qiskit, "local", "statevector", EntryPoint::Train, ""},
        RouteCase{CircuitForm::Native, "local", "morvane", EntryPoint::Train, ""},
        RouteCase{CircuitForm::QasmText, "local", "morvane_statevector", EntryPoint::Run, ""},
        // Anything else shaped like a circuit only the Python backends read; the
        // refusal rests on the name alone and so comes before the infrastructure's.
        RouteCase{CircuitForm::Foreign, "local", "morvane", EntryPoint::Run,
                  foreign_circuit_on_native_text()},
        RouteCase{CircuitForm::Foreign, "nowhere", "statevector", EntryPoint::Train,
                  foreign_circuit_on_native_text()},
        RouteCase{CircuitForm::Foreign, "qmio", "morvane", EntryPoint::Run,
                  foreign_circuit_on_native_text()},
        RouteCase{CircuitForm::Foreign, "local", "aer", EntryPoint::Run, ""},
        RouteCase{CircuitForm::Qiskit, "cunqa", "aer", EntryPoint::Train, ""},
        // "qmio" serializes only native forms, in the words of each entry point.
        RouteCase{CircuitForm::Qiskit, "qmio", "morvane", EntryPoint::Run, QMIO_RUN},
        RouteCase{CircuitForm::Foreign, "qmio", "aer", EntryPoint::Run, QMIO_RUN},
        RouteCase{CircuitForm::Qiskit, "qmio", "aer", EntryPoint::Train, QMIO_TRAIN},
        RouteCase{CircuitForm::Native, "qmio", "aer", EntryPoint::Run, ""},
        RouteCase{CircuitForm::QasmText, "qmio", "aer", EntryPoint::Run, ""}));

TEST(CircuitRoute, TheNativeBackendIsANativeNameOnLocalOnly) {
    EXPECT_TRUE(selects_native_backend("local", "morvane"));
    EXPECT_TRUE(selects_native_backend("local", "morvane_statevector"));
    EXPECT_FALSE(selects_native_backend("cunqa", "morvane"));
    EXPECT_FALSE(selects_native_backend("local", "Morvane"));
    EXPECT_FALSE(selects_native_backend("Local", "morvane"));
}

TEST(Dimensions, AMismatchNamesBothCountsAndTheCircuit) {
    EXPECT_TRUE(check_dimensions(4, 4, "circuit"));
    auto refused = check_dimensions(3, 2, "circuit");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message,
              "dimensions (3) does not match the circuit's free parameters (2)");
    EXPECT_EQ(check_dimensions(0, 1, "ansatz").error().message,
              "dimensions (0) does not match the ansatz's free parameters (1)");
}
