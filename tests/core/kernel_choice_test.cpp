// The choice of kernel, driven with made-up CPUs, and the ties between the kernel list, the
// instruction-set levels and what is compiled.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/cpu_features.hpp"
#include "common/isa_levels.hpp"
#include "hex/kernels.hpp"
#include "quorvalent/hex_distance.hpp"

namespace qv = quorvalent;

namespace {

std::string chosen_for(std::uint32_t features) { return qv::choose_kernel(features).name; }

// On AArch64 the NEON kernel needs nothing beyond the architecture itself.
TEST(KernelChoice, NoFeaturesGetThePortableKernel) {
    EXPECT_EQ(chosen_for(0), QV_AARCH64 ? "neon" : "swar");
}

TEST(KernelChoice, TheReferenceIsNeverChosen) {
    for (std::uint32_t mask = 0; mask < (1u << 9); ++mask) {
        EXPECT_NE(chosen_for(mask), "scalar") << "features " << mask;
    }
}

TEST(KernelChoice, ThisCpuGetsWhatItsFeaturesChoose) {
    EXPECT_EQ(&qv::active_kernel(), &qv::choose_kernel(qv::cpu_features()));
    EXPECT_STREQ(qv::active_kernel_name(), qv::active_kernel().name);
    EXPECT_TRUE(qv::kernel_runs_here(qv::active_kernel()));
}

#if QV_X86_64
TEST(KernelChoice, MadeUpX86Cpus) {
    using namespace qv;
    const std::uint32_t haswell = feature_popcnt | feature_bmi1 | feature_bmi2 | feature_avx2;
    const std::uint32_t skylake_x = haswell | feature_avx512bw;
    const std::uint32_t ice_lake = skylake_x | feature_avx512vbmi | feature_avx512vpopcntdq;
    EXPECT_EQ(chosen_for(haswell), "avx2");
    EXPECT_EQ(chosen_for(skylake_x), "avx512bw");
    EXPECT_EQ(chosen_for(ice_lake), "avx512vbmi");
    // The vendor only tunes: Intel's cores get the aligned variant of the same kernel, and the
    // mark alone chooses nothing.
    EXPECT_EQ(chosen_for(ice_lake | feature_intel_core), "avx512vbmi_aligned");
    EXPECT_EQ(chosen_for(skylake_x | feature_intel_core), "avx512bw");
    EXPECT_EQ(chosen_for(feature_intel_core), "swar");
    // AMD's family 19h gets the variant without software prefetches; Zen 3 (the same family,
    // without AVX-512) its AVX2 kernel as before.
    EXPECT_EQ(chosen_for(ice_lake | feature_amd_family_19h), "avx512vbmi_no_prefetch");
    EXPECT_EQ(chosen_for(haswell | feature_amd_family_19h), "avx2");
    EXPECT_EQ(chosen_for(feature_amd_family_19h), "swar");
    // VBMI without VPOPCNTDQ (Cannon Lake) is not enough for the fastest kernel.
    EXPECT_EQ(chosen_for(skylake_x | feature_avx512vbmi), "avx512bw");
    // Every feature a target enables is required: a CPU that lacks one gets a lesser kernel.
    EXPECT_EQ(chosen_for(haswell & ~feature_bmi2), "swar");
    EXPECT_EQ(chosen_for(haswell & ~feature_popcnt), "swar");
    EXPECT_EQ(chosen_for(ice_lake & ~feature_bmi1), "swar");
    EXPECT_EQ(chosen_for(ice_lake & ~feature_avx2), "swar");
}

// Each item of a level's target string names the feature bit that must be detected for it.
TEST(IsaLevels, FeatureMasksStateEveryFeatureTheTargetEnables) {
    using namespace qv;
    const std::vector<std::pair<std::string, std::uint32_t>> feature_of = {
        {"popcnt", feature_popcnt},         {"bmi", feature_bmi1},
        {"bmi2", feature_bmi2},             {"avx2", feature_avx2},
        {"avx512f", feature_avx512bw},      {"avx512bw", feature_avx512bw},
        {"avx512vl", feature_avx512bw},     {"avx512vbmi", feature_avx512vbmi},
        {"avx512vpopcntdq", feature_avx512vpopcntdq},
    };
    for (const isa_level& level : vector_isa_levels) {
        std::uint32_t implied = 0;
        std::stringstream items(level.target);
        for (std::string item; std::getline(items, item, ',');) {
            bool known = false;
            for (const auto& [name, bit] : feature_of) {
                if (name == item) {
                    implied |= bit;
                    known = true;
                }
            }
            EXPECT_TRUE(known) << level.name << " enables '" << item << "', which is not detected";
        }
        EXPECT_EQ(level.features, implied) << level.name;
    }
}
#endif

TEST(KernelList, CompiledKernelsAreTheListInOrder) {
#define QV_NAME(name, level) #name,
    const std::vector<std::string> listed = {QV_HEX_KERNELS(QV_NAME)};
#undef QV_NAME
    const auto compiled = qv::compiled_kernels();
    ASSERT_EQ(compiled.size, qv::kernel_count);
    ASSERT_EQ(compiled.size, listed.size());
    std::set<std::string> seen;
    for (std::size_t i = 0; i < compiled.size; ++i) {
        EXPECT_EQ(compiled.items[i]->name, listed[i]);
        EXPECT_TRUE(seen.insert(compiled.items[i]->name).second) << "twice: " << listed[i];
        EXPECT_NE(compiled.items[i]->distance, nullptr);
        EXPECT_NE(compiled.items[i]->count_within, nullptr);
        EXPECT_NE(compiled.items[i]->contains_nul, nullptr);
    }
    EXPECT_EQ(listed.front(), "scalar");
    EXPECT_EQ(compiled.items[0]->required_features, 0u);
    EXPECT_EQ(compiled.items[1]->required_features, 0u) << "the fallback must run everywhere";
#if QV_X86_64
    EXPECT_EQ(listed.size(), 7u) << "the x86-64 kernels are missing from this x86-64 build";
#endif
}

}  // namespace
