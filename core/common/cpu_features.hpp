// Which instruction sets this CPU has and the operating system saves on a context switch.
// CPUID alone is not enough: a vector unit whose registers the OS does not preserve (XCR0)
// must be treated as absent.
#ifndef QUORVALENT_CPU_FEATURES_HPP
#define QUORVALENT_CPU_FEATURES_HPP

#include <cstdint>

namespace quorvalent {

enum cpu_feature : std::uint32_t {
    feature_popcnt = 1u << 0,
    feature_bmi1 = 1u << 1,
    feature_bmi2 = 1u << 2,
    feature_avx2 = 1u << 3,
    feature_avx512bw = 1u << 4,  // with AVX-512 F and VL
    feature_avx512vbmi = 1u << 5,
    feature_avx512vpopcntdq = 1u << 6,
    // Not an instruction set: the vendor is Intel ("GenuineIntel"), whose cores pay more for a
    // load that straddles two cache lines than AMD's do. It only tunes the choice of kernel.
    feature_intel_core = 1u << 7,
    // Not an instruction set either: an AMD CPU of family 19h (Zen 3 and Zen 4; of them only
    // Zen 4 has AVX-512), whose long loops lose to software prefetches that Zen 5's gain from.
    feature_amd_family_19h = 1u << 8,
};

// Read from the CPU on every call; callers keep the answer.
std::uint32_t detect_cpu_features() noexcept;

// The features of this CPU, detected once.
std::uint32_t cpu_features() noexcept;

}  // namespace quorvalent

#endif
