#include <gtest/gtest.h>

#include "exec/run_error.hpp"
#include "fake_foreign.hpp"

using namespace morvane::exec;

TEST(InfraError, DisplayTexts) {
    EXPECT_EQ(InfraError(UnknownInfrastructure{"mars"}).message(), "unknown infrastructure 'mars'");
    EXPECT_EQ(InfraError(InvalidCircuitCount{1, 2}).message(),
              "expected exactly 1 circuit(s), got 2");
    EXPECT_EQ(InfraError(UnsupportedCircuit{"no"}).message(), "no");
    EXPECT_EQ(InfraError(InvalidResults{"empty counts map for circuit 0 (5 shot(s) requested); an "
                                        "empty result has no measurement outcomes and cannot be "
                                        "reduced to a fitness"})
                  .message(),
              "backend returned invalid results: empty counts map for circuit 0 (5 shot(s) "
              "requested); an empty result has no measurement outcomes and cannot be reduced to a "
              "fitness");
    EXPECT_EQ(InfraError(NativeCircuit{"bad qasm"}).message(), "bad qasm");
    EXPECT_EQ(InfraError(Cunqa{"down"}).message(), "CUNQA backend error: down");
    EXPECT_EQ(InfraError(Conversion{"not a dict"}).message(),
              "data conversion across the Python boundary failed: not a dict");
    EXPECT_EQ(InfraError(Seam{std::make_shared<FakeForeignError>("RuntimeError: boom")}).message(),
              "morvane_python seam error: RuntimeError: boom");
}

TEST(InfraError, ReleasesTheCarriedForeignErrorWithTheLastCopy) {
    const int before = FakeForeignError::live.load();
    {
        RunError outer(InfraError(Seam{std::make_shared<FakeForeignError>("x")}));
        RunError copy = outer;
        EXPECT_EQ(FakeForeignError::live.load(), before + 1);
        RunError python(Python{std::make_shared<FakeForeignError>("KeyboardInterrupt")});
        EXPECT_EQ(python.message(), "KeyboardInterrupt");
        EXPECT_EQ(FakeForeignError::live.load(), before + 2);
    }
    EXPECT_EQ(FakeForeignError::live.load(), before);
}
