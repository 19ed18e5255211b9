#include "core/kernels/dispatch.hpp"

#include <cstdlib>
#include <cstring>

namespace kelpa::core {

namespace {

KernelPath best_path() {
#if defined(KELPA_X86_KERNELS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return KernelPath::Avx2;
    if (__builtin_cpu_supports("ssse3")) return KernelPath::Ssse3;
    return KernelPath::Portable;
#elif defined(KELPA_NEON_KERNELS)
    return KernelPath::Neon;
#else
    return KernelPath::Portable;
#endif
}

KernelPath choose_path() {
    const char* setting = std::getenv("KELPA_KERNELS");
    if (setting != nullptr && std::strcmp(setting, "portable") == 0) return KernelPath::Portable;
    return best_path();
}

}  // namespace

KernelPath kernel_path() {
    static const KernelPath path = choose_path();
    return path;
}

const char* kernel_path_name(KernelPath path) {
    switch (path) {
        case KernelPath::Portable: return "portable";
        case KernelPath::Ssse3: return "ssse3";
        case KernelPath::Avx2: return "avx2";
        case KernelPath::Neon: return "neon";
    }
    return "portable";
}

}  // namespace kelpa::core
