// The interchangeable implementations of the counting routines. Every kernel has the same
// signatures and gives the same answers as the reference; they differ only in speed and in the
// CPU features they need.
#ifndef QUORVALENT_KERNELS_HPP
#define QUORVALENT_KERNELS_HPP

#include <cstddef>
#include <cstdint>

#include "cpu_features.hpp"
#include "quorvalent/hex_distance.hpp"

namespace quorvalent {

struct kernel {
    const char* name;
    std::uint32_t required_features;  // cpu_feature bits
    distance_t (*distance)(const char* a, const char* b, std::size_t n) noexcept;
    // The counting step of the bounded test only (no short cuts): positions in order, an
    // invalid character answers invalid unless the count has passed the limit before it.
    // validated_all may be true for "beyond" too, where the kernel happened to check every
    // digit on the way.
    bounded_result (*count_within)(const char* a, const char* b, std::size_t n,
                                   std::uint64_t limit) noexcept;
    bool (*contains_nul)(const char* a, const char* b, std::size_t n) noexcept;
};

// memchr over both strings; the NUL test of the kernels that have no faster one.
bool scan_contains_nul(const char* a, const char* b, std::size_t n) noexcept;

extern const kernel reference_kernel;
extern const kernel swar_kernel;
#if defined(__x86_64__)
#define QUORVALENT_X86_KERNELS 1
extern const kernel avx2_kernel;
extern const kernel avx512bw_kernel;
extern const kernel avx512vbmi_kernel;
#endif

// Every kernel compiled into this build, slowest first.
struct kernel_list {
    const kernel* const* items;
    std::size_t size;
};
kernel_list compiled_kernels() noexcept;

bool kernel_runs_here(const kernel& k) noexcept;

// The fastest kernel this CPU supports; chosen once.
const kernel& active_kernel() noexcept;

}  // namespace quorvalent

#endif
