// The SSSE3 kernels' switch: the baseline build is SSE2 only, and kernels
// that need a byte shuffle also have an SSSE3 version (marked KELPA_SSSE3),
// chosen at run time by cpu_has_ssse3(); the widest have an AVX2 one too
// (KELPA_AVX2, cpu_has_avx2()).
#pragma once

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#if defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
#define KELPA_HAVE_SSSE3_PATH 1
#define KELPA_SSSE3 __attribute__((target("ssse3")))
#define KELPA_AVX2 __attribute__((target("avx2")))

namespace kelpa::core {

inline bool cpu_has_ssse3() {
#if defined(__SSSE3__)
    return true;
#else
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3") != 0;
    }();
    return has;
#endif
}

inline bool cpu_has_avx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}

}  // namespace kelpa::core
#endif
