// Linked into sim_tests_<target>: a suite whose kernels were compiled for an
// instruction set this CPU lacks would die of an illegal instruction, so it
// reports itself skipped (exit code 77, which ctest reads as a skip) before
// any test runs.

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool cpu_runs(const char* target) {
    __builtin_cpu_init();
    if (std::strcmp(target, "x86-64-v4") == 0) return __builtin_cpu_supports("x86-64-v4");
    if (std::strcmp(target, "x86-64-v3") == 0) return __builtin_cpu_supports("x86-64-v3");
    return true;
}

const bool checked = [] {
    if (!cpu_runs(MORVANE_KERNEL_TEST_TARGET)) {
        std::printf("kernels compiled for %s cannot run on this CPU: suite skipped\n",
                    MORVANE_KERNEL_TEST_TARGET);
        std::fflush(stdout);
        std::_Exit(77);
    }
    return true;
}();

}  // namespace
