// Chooses a kernel once and routes the public entry points to it.
//
// This file is compiled for the baseline instruction set only: it runs before anyone knows
// what the CPU supports.
#if defined(__AVX__) || defined(__AVX2__) || defined(__AVX512F__)
#error "dispatch.cpp must be compiled without vector ISA flags"
#endif

#include <cstring>
#include <iterator>

#include "cpu_features.hpp"
#include "kernels.hpp"
#include "quorvalent/hex_distance.hpp"
#include "reference.hpp"

namespace quorvalent {

namespace {

// Slowest first; the last one that runs here wins.
const kernel* const all_kernels[] = {
    &reference_kernel, &swar_kernel,
#ifdef QUORVALENT_X86_KERNELS
    &avx2_kernel,      &avx512bw_kernel, &avx512vbmi_kernel,
#endif
};

std::uint32_t cpu_features() noexcept {
    static const std::uint32_t detected = detect_cpu_features();
    return detected;
}

const kernel& choose_kernel() noexcept {
    const kernel* best = &swar_kernel;
    for (const kernel* k : all_kernels) {
        if (kernel_runs_here(*k) && k != &reference_kernel) best = k;
    }
    return *best;
}

// Chosen during static initialisation, before any caller can run, so no lock is needed.
const kernel& chosen = choose_kernel();

}  // namespace

kernel_list compiled_kernels() noexcept { return {all_kernels, std::size(all_kernels)}; }

bool kernel_runs_here(const kernel& k) noexcept {
    return (k.required_features & cpu_features()) == k.required_features;
}

const kernel& active_kernel() noexcept { return chosen; }

const char* active_kernel_name() noexcept { return chosen.name; }

distance_t hex_distance(const char* a, const char* b, std::size_t n) noexcept {
    return chosen.distance(a, b, n);
}

bounded_result hex_within_dist(const char* a, const char* b, std::size_t n,
                               std::uint64_t limit) noexcept {
    if (limit_exceeds_max_distance(n, limit)) return {outcome::within, false};
    // Counting first and testing identity only when the count meets an invalid digit gives
    // the same answers as testing identity first: identical strings never count beyond the
    // limit, and when all their digits are valid they count 0, which is within.
    const bounded_result counted = chosen.count_within(a, b, n, limit);
    if (counted.answer != outcome::invalid) return counted;
    if (std::memcmp(a, b, n) == 0) return {outcome::within, false};
    return counted;
}

bool contains_nul(const char* a, const char* b, std::size_t n) noexcept {
    return chosen.contains_nul(a, b, n);
}

}  // namespace quorvalent
