#include "cpu_features.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace quorvalent {

#if defined(__x86_64__) || defined(__i386__)

namespace {

std::uint64_t read_xcr0() noexcept {
    std::uint32_t eax = 0;
    std::uint32_t edx = 0;
    // Spelled as an instruction so that this file needs no -mxsave.
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (static_cast<std::uint64_t>(edx) << 32) | eax;
}

constexpr std::uint32_t bit(unsigned n) { return 1u << n; }

}  // namespace

std::uint32_t detect_cpu_features() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return 0;
    const bool osxsave = (ecx & bit(27)) != 0;
    const bool avx = (ecx & bit(28)) != 0;
    if (!osxsave || !avx) return 0;

    const std::uint64_t xcr0 = read_xcr0();
    const bool ymm_saved = (xcr0 & 0x6) == 0x6;    // SSE and AVX state
    const bool zmm_saved = (xcr0 & 0xE6) == 0xE6;  // plus opmask and both ZMM halves
    if (!ymm_saved) return 0;

    if (__get_cpuid_max(0, nullptr) < 7) return 0;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);

    std::uint32_t features = 0;
    if (ebx & bit(5)) features |= feature_avx2;
    if (ebx & bit(8)) features |= feature_bmi2;
    const bool avx512_core = (ebx & bit(16)) && (ebx & bit(30)) && (ebx & bit(31));  // F, BW, VL
    if (zmm_saved && avx512_core) {
        features |= feature_avx512bw;
        if (ecx & bit(1)) features |= feature_avx512vbmi;
        if (ecx & bit(14)) features |= feature_avx512vpopcntdq;
    }
    return features;
}

#else

std::uint32_t detect_cpu_features() noexcept { return 0; }

#endif

}  // namespace quorvalent
