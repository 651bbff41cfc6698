// Chooses a kernel and routes the public entry points to it.
//
// This file is compiled for the baseline instruction set only: it runs before anyone knows
// what the CPU supports.
#if defined(__AVX__) || defined(__AVX2__) || defined(__AVX512F__)
#error "dispatch.cpp must be compiled without vector ISA flags"
#endif

#include <cstring>
#include <iterator>

#include "common/cpu_features.hpp"
#include "common/kernel_table.hpp"
#include "hex/kernels.hpp"
#include "hex/reference.hpp"
#include "quorvalent/hex_distance.hpp"

namespace quorvalent {

namespace {

#define QV_HEX_KERNEL_ADDRESS(name, level) &name##_kernel,
const kernel* const all_kernels[] = {QV_HEX_KERNELS(QV_HEX_KERNEL_ADDRESS)};
#undef QV_HEX_KERNEL_ADDRESS
static_assert(std::size(all_kernels) == kernel_count);

// Chosen during static initialisation, before any caller can run, so no lock is needed.
const kernel& chosen = choose_kernel(cpu_features());

}  // namespace

kernel_list compiled_kernels() noexcept { return {all_kernels, std::size(all_kernels)}; }

const kernel& choose_kernel(std::uint32_t features) noexcept {
    return choose_from(all_kernels, features);
}

bool kernel_runs_here(const kernel& k) noexcept { return supports(k, cpu_features()); }

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
