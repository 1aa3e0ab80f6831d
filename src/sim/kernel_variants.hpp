#pragma once

#include "sim/vec8.hpp"

// The hot loops are compiled once per instruction set: AVX-512, AVX2 + FMA
// and the baseline, and the CPU picks one at load time (GCC function
// multiversioning). Each variant instantiates the kernel's body with the
// block type of its register width (sim/vec8.hpp), and everything the body
// calls is force-inlined so that the chosen instruction set reaches the
// inner loops.
//
// MORVANE_KERNEL_VARIANTS(name, (parameters), (arguments)) defines
// `void name(parameters)` once per instruction set and precision, each
// calling `name##_body<BlockOf<Real, W>>(arguments)`.
//
// Multiversioning resolves through an ifunc, whose resolver runs while the
// program is still being relocated. ThreadSanitizer instruments that resolver
// and crashes before its runtime exists, so its builds (and compilers other
// than GCC, and other architectures) get the baseline variant only.
// AddressSanitizer builds do too: every variant loads and stores whole blocks
// of eight reals, so the bytes a kernel touches do not depend on the register
// width and one variant checks them all, while instrumenting all six
// (three instruction sets, two precisions) cost the build over a minute on
// one file. The release build runs every variant's suite.
//
// A build for one instruction set (MORVANE_KERNEL_TARGET in CMake) compiles
// the kernel sources with that target's -march and MORVANE_KERNEL_WIDTH set
// to its block width: one plain definition, no multiversioning.
// Each kernel exists in both precisions: `parameters` name the scalar type
// of the amplitudes `Real`, and the macro defines the functions twice, once
// in a namespace where Real is double and once where it is float, then
// brings both into scope as overloads. The body receives the block type of
// its precision and instruction set (sim/vec8.hpp, BlockOf).
#define MORVANE_KERNEL_VARIANTS(name, parameters, arguments)         \
    namespace name##_f64 {                                           \
        using Real = double;                                         \
        MORVANE_KERNEL_VARIANTS_OF_REAL(name, parameters, arguments) \
    }                                                                \
    namespace name##_f32 {                                           \
        using Real = float;                                          \
        MORVANE_KERNEL_VARIANTS_OF_REAL(name, parameters, arguments) \
    }                                                                \
    using name##_f64::name;                                          \
    using name##_f32::name;

#if defined(MORVANE_KERNEL_WIDTH)
#define MORVANE_KERNEL_VARIANTS_OF_REAL(name, parameters, arguments)                \
    void name parameters {                                                          \
        name##_body<::morvane::sim::BlockOf<Real, MORVANE_KERNEL_WIDTH>> arguments; \
    }
#elif defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__) && \
    !defined(__SANITIZE_ADDRESS__) && defined(__x86_64__)
#define MORVANE_KERNEL_VARIANTS_OF_REAL(name, parameters, arguments) \
    __attribute__((target("arch=x86-64-v4"))) void name parameters { \
        name##_body<::morvane::sim::BlockOf<Real, 8>> arguments;     \
    }                                                                \
    __attribute__((target("arch=x86-64-v3"))) void name parameters { \
        name##_body<::morvane::sim::BlockOf<Real, 4>> arguments;     \
    }                                                                \
    __attribute__((target("default"))) void name parameters {        \
        name##_body<::morvane::sim::BlockOf<Real, 2>> arguments;     \
    }
#else
#define MORVANE_KERNEL_VARIANTS_OF_REAL(name, parameters, arguments) \
    void name parameters {                                           \
        name##_body<::morvane::sim::BlockOf<Real, 2>> arguments;     \
    }
#endif
