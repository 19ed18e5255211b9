// Which version of the kernels runs: the one place that decides, asked by
// every kernel.
//
//   x86-64   AVX2 where the CPU has it, else SSSE3 (run-time checks); a
//            CPU with neither runs the portable kernels
//   aarch64  NEON, which every aarch64 CPU has (little-endian builds)
//   others   the portable kernels: plain C++ in fixed-width blocks and
//            tables, which the compiler vectorises where it can
//
// The portable kernels are compiled into every build, and the environment
// variable KELPA_KERNELS=portable makes every kernel run them, on any CPU
// (any other value, or none, gives the best path). It is read once, the
// first time a kernel asks. Every path gives the same bytes and
// bit-identical doubles.
#pragma once

#include <cstdint>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KELPA_X86_KERNELS 1
// What a kernel of each width is compiled for; SSE2 needs no mark on x86-64.
#define KELPA_SSSE3 __attribute__((target("ssse3")))
#define KELPA_AVX2 __attribute__((target("avx2")))
#define KELPA_AVX2_POPCNT __attribute__((target("avx2,popcnt")))
#endif

#if defined(__aarch64__) && defined(__ARM_NEON) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define KELPA_NEON_KERNELS 1
#endif

namespace kelpa::core {

enum class KernelPath : std::uint8_t {
    Portable,
    Ssse3,  // x86-64 with SSSE3 (and SSE2, its baseline)
    Avx2,   // x86-64 with AVX2, which has SSSE3 too
    Neon,   // aarch64
};

// The path every kernel takes in this process.
KernelPath kernel_path();

// "portable", "ssse3", "avx2" or "neon".
const char* kernel_path_name(KernelPath path);

}  // namespace kelpa::core
