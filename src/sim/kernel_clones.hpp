#pragma once

// The hot loops are compiled for AVX-512, AVX2 + FMA and the baseline, and
// the CPU picks one at load time (GCC function multiversioning); everything
// they call is force-inlined so that the chosen instruction set reaches the
// inner loops.
//
// Multiversioning resolves through an ifunc, whose resolver runs while the
// program is still being relocated. ThreadSanitizer instruments that resolver
// and crashes before its runtime exists, so its builds (and compilers other
// than GCC) get the baseline code only.
#if defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define MORVANE_KERNEL_CLONES \
    __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define MORVANE_KERNEL_CLONES
#endif
