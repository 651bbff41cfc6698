// The instruction-set levels the kernels are built for. Each level states, side by side, the
// compiler target that its kernel files switch on and the CPU features that target lets the
// compiler use, so a kernel can never be chosen on a CPU that lacks an instruction it was
// compiled with.
//
// A kernel file opens its vector code with QV_BEGIN_ISA(level) and closes it with QV_END_ISA,
// and takes its required features from QV_ISA_FEATURES(level).
#ifndef QUORVALENT_ISA_LEVELS_HPP
#define QUORVALENT_ISA_LEVELS_HPP

#include <cstdint>

#include "cpu_features.hpp"
#include "portability.hpp"

// Any 64-bit CPU: the file's own flags.
#define QV_ISA_portable_TARGET ""
#define QV_ISA_portable_FEATURES 0u

// Haswell and Zen 1 onwards.
#define QV_ISA_avx2_TARGET "avx2,bmi,bmi2,popcnt"
#define QV_ISA_avx2_FEATURES \
    (::quorvalent::feature_avx2 | ::quorvalent::feature_bmi1 | ::quorvalent::feature_bmi2 | \
     ::quorvalent::feature_popcnt)

// Skylake-X: AVX-512 F, BW and VL without VBMI or VPOPCNTDQ.
#define QV_ISA_avx512bw_TARGET "avx512f,avx512bw,avx512vl,avx2,bmi,bmi2,popcnt"
#define QV_ISA_avx512bw_FEATURES (::quorvalent::feature_avx512bw | QV_ISA_avx2_FEATURES)

// Ice Lake, Sapphire Rapids and Zen 4 onwards.
#define QV_ISA_avx512vbmi_TARGET \
    "avx512f,avx512bw,avx512vl,avx512vbmi,avx512vpopcntdq,avx2,bmi,bmi2,popcnt"
#define QV_ISA_avx512vbmi_FEATURES                                              \
    (::quorvalent::feature_avx512vbmi | ::quorvalent::feature_avx512vpopcntdq | \
     QV_ISA_avx512bw_FEATURES)

#define QV_ISA_TARGET(level) QV_ISA_##level##_TARGET
#define QV_ISA_FEATURES(level) QV_ISA_##level##_FEATURES
#define QV_BEGIN_ISA(level) QV_TARGET_BEGIN(QV_ISA_TARGET(level))
#define QV_END_ISA QV_TARGET_END

namespace quorvalent {

struct isa_level {
    const char* name;
    const char* target;
    std::uint32_t features;
};

// Every vector level, for the tests that hold each target to its feature mask.
#define QV_ISA_LEVEL_ENTRY(level) isa_level{#level, QV_ISA_TARGET(level), QV_ISA_FEATURES(level)},
inline constexpr isa_level vector_isa_levels[] = {
    QV_ISA_LEVEL_ENTRY(avx2) QV_ISA_LEVEL_ENTRY(avx512bw) QV_ISA_LEVEL_ENTRY(avx512vbmi)};
#undef QV_ISA_LEVEL_ENTRY

}  // namespace quorvalent

#endif
