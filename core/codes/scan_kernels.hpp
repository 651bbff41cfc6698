// The plain scans of the index: every code of a run against one query. They serve the small
// indexes, the unindexed tail, the radii where the tables do not pay, and the exact k-nearest
// search once its probes grow dearer than a scan. Every kernel answers exactly as the scalar
// reference does.
#ifndef QUORVALENT_CODES_SCAN_KERNELS_HPP
#define QUORVALENT_CODES_SCAN_KERNELS_HPP

#include <cstddef>
#include <cstdint>

#include "common/isa_levels.hpp"

// The one list of scan kernels, slowest first: X(name, isa level).
#define QV_SCAN_PORTABLE_KERNELS(X) X(scalar, portable) X(unrolled, portable)
#if QV_X86_64
#define QV_SCAN_X86_KERNELS(X) X(avx2, avx2) X(avx512, avx512vbmi)
#else
#define QV_SCAN_X86_KERNELS(X)
#endif
#if QV_AARCH64
#define QV_SCAN_AARCH64_KERNELS(X) X(neon, portable)
#else
#define QV_SCAN_AARCH64_KERNELS(X)
#endif
#define QV_SCAN_KERNELS(X) QV_SCAN_PORTABLE_KERNELS(X) QV_SCAN_X86_KERNELS(X) QV_SCAN_AARCH64_KERNELS(X)

namespace quorvalent::codes {

struct scan_kernel {
    const char* name;
    std::uint32_t required_features;
    std::uint32_t tuned_for;  // as for the hex kernels; no scan kernel needs one yet
    // Writes, in order, every position i < n with popcount(codes[i] ^ q) <= r to hits (room for
    // n entries) and returns how many; codes of one word.
    std::size_t (*within)(const std::uint64_t* codes, std::size_t n, std::uint64_t q, unsigned r,
                          std::uint32_t* hits) noexcept;
    // The same for codes of w words each.
    std::size_t (*within_wide)(const std::uint64_t* codes, std::size_t n, std::size_t w,
                               const std::uint64_t* q, unsigned r, std::uint32_t* hits) noexcept;
};

#define QV_DECLARE_SCAN_KERNEL(name, level) extern const scan_kernel name##_scan_kernel;
QV_SCAN_KERNELS(QV_DECLARE_SCAN_KERNEL)
#undef QV_DECLARE_SCAN_KERNEL

#define QV_DEFINE_SCAN_KERNEL(name, level, within, within_wide) \
    const scan_kernel name##_scan_kernel = {#name, QV_ISA_FEATURES(level), 0u, within, within_wide}

struct scan_kernel_list {
    const scan_kernel* const* items;
    std::size_t size;
};
scan_kernel_list compiled_scan_kernels() noexcept;
const scan_kernel& choose_scan_kernel(std::uint32_t features) noexcept;
const scan_kernel& active_scan_kernel() noexcept;

}  // namespace quorvalent::codes

#endif
