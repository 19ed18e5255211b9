// The SSSE3 kernels' switch: the baseline build is SSE2 only, and kernels
// that need a byte shuffle also have an SSSE3 version (marked KELPA_SSSE3),
// chosen at run time by cpu_has_ssse3().
#pragma once

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#if defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
#define KELPA_HAVE_SSSE3_PATH 1
#define KELPA_SSSE3 __attribute__((target("ssse3")))

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

}  // namespace kelpa::core
#endif
