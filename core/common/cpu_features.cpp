#include "cpu_features.hpp"

#include "portability.hpp"

#if QV_X86_64 && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#endif

namespace quorvalent {

#if QV_X86_64

namespace {

struct cpuid_regs {
    std::uint32_t eax, ebx, ecx, edx;
};

#if defined(_MSC_VER) && !defined(__clang__)

cpuid_regs cpuid(std::uint32_t leaf, std::uint32_t subleaf) noexcept {
    int r[4];
    __cpuidex(r, static_cast<int>(leaf), static_cast<int>(subleaf));
    return {static_cast<std::uint32_t>(r[0]), static_cast<std::uint32_t>(r[1]),
            static_cast<std::uint32_t>(r[2]), static_cast<std::uint32_t>(r[3])};
}

std::uint64_t read_xcr0() noexcept { return _xgetbv(0); }

#else

cpuid_regs cpuid(std::uint32_t leaf, std::uint32_t subleaf) noexcept {
    cpuid_regs r{};
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
    return r;
}

std::uint64_t read_xcr0() noexcept {
    std::uint32_t eax = 0;
    std::uint32_t edx = 0;
    // Spelled as an instruction so that this file needs no -mxsave.
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (static_cast<std::uint64_t>(edx) << 32) | eax;
}

#endif

constexpr std::uint32_t bit(unsigned n) { return 1u << n; }

}  // namespace

std::uint32_t detect_cpu_features() noexcept {
    const cpuid_regs leaf0 = cpuid(0, 0);
    const std::uint32_t max_leaf = leaf0.eax;
    if (max_leaf < 1) return 0;
    const cpuid_regs leaf1 = cpuid(1, 0);
    std::uint32_t features = 0;
    // "GenuineIntel", in the order EBX, EDX, ECX.
    if (leaf0.ebx == 0x756E6547 && leaf0.edx == 0x49656E69 && leaf0.ecx == 0x6C65746E) {
        features |= feature_intel_core;
    }
    // "AuthenticAMD". A base family of 15 is extended by bits 27:20.
    const std::uint32_t base_family = (leaf1.eax >> 8) & 0xF;
    const std::uint32_t family = base_family == 0xF ? base_family + ((leaf1.eax >> 20) & 0xFF) : base_family;
    if (leaf0.ebx == 0x68747541 && leaf0.edx == 0x69746E65 && leaf0.ecx == 0x444D4163 && family == 0x19) {
        features |= feature_amd_family_19h;
    }
    if (leaf1.ecx & bit(23)) features |= feature_popcnt;
    if (max_leaf < 7) return features;
    const cpuid_regs leaf7 = cpuid(7, 0);
    if (leaf7.ebx & bit(3)) features |= feature_bmi1;
    if (leaf7.ebx & bit(8)) features |= feature_bmi2;

    // The vector units count only where the OS saves their registers.
    const bool osxsave = (leaf1.ecx & bit(27)) != 0;
    const bool avx = (leaf1.ecx & bit(28)) != 0;
    if (!osxsave || !avx) return features;
    const std::uint64_t xcr0 = read_xcr0();
    const bool ymm_saved = (xcr0 & 0x6) == 0x6;    // SSE and AVX state
    const bool zmm_saved = (xcr0 & 0xE6) == 0xE6;  // plus opmask and both ZMM halves
    if (!ymm_saved) return features;

    if (leaf7.ebx & bit(5)) features |= feature_avx2;
    const bool avx512_core =
        (leaf7.ebx & bit(16)) && (leaf7.ebx & bit(30)) && (leaf7.ebx & bit(31));  // F, BW, VL
    if (zmm_saved && avx512_core) {
        features |= feature_avx512bw;
        if (leaf7.ecx & bit(1)) features |= feature_avx512vbmi;
        if (leaf7.ecx & bit(14)) features |= feature_avx512vpopcntdq;
    }
    return features;
}

#else

std::uint32_t detect_cpu_features() noexcept { return 0; }

#endif

std::uint32_t cpu_features() noexcept {
    // A function-local static is initialised once, thread-safely.
    static const std::uint32_t detected = detect_cpu_features();
    return detected;
}

}  // namespace quorvalent
