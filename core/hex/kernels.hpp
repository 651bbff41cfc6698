// The interchangeable implementations of the counting routines. Every kernel has the same
// signatures and gives the same answers as the reference; they differ only in speed and in the
// CPU features they need.
#ifndef QUORVALENT_HEX_KERNELS_HPP
#define QUORVALENT_HEX_KERNELS_HPP

#include <cstddef>
#include <cstdint>

#include "common/isa_levels.hpp"
#include "quorvalent/hex_distance.hpp"

// The one list of kernels, slowest first: X(name, isa level). The first is the scalar
// reference; the last that the CPU runs and is tuned for (kernel::tuned_for) is chosen.
// Dispatch, tests, fuzzer and benchmark all walk this list, and each name must be defined by
// its file in kernels/.
#define QV_HEX_PORTABLE_KERNELS(X) X(scalar, portable) X(swar, portable)
#if QV_X86_64
#define QV_HEX_X86_KERNELS(X)                                    \
    X(avx2, avx2) X(avx512bw, avx512bw) X(avx512vbmi, avx512vbmi) \
    X(avx512vbmi_aligned, avx512vbmi) X(avx512vbmi_no_prefetch, avx512vbmi)
#else
#define QV_HEX_X86_KERNELS(X)
#endif
// NEON is part of every AArch64 CPU, so its kernel needs no feature and is always chosen there.
#if QV_AARCH64
#define QV_HEX_AARCH64_KERNELS(X) X(neon, portable)
#else
#define QV_HEX_AARCH64_KERNELS(X)
#endif
#define QV_HEX_KERNELS(X) QV_HEX_PORTABLE_KERNELS(X) QV_HEX_X86_KERNELS(X) QV_HEX_AARCH64_KERNELS(X)

namespace quorvalent {

struct kernel {
    const char* name;
    std::uint32_t required_features;  // cpu_feature bits
    // Marks of the CPUs this kernel is the choice for, beyond being able to run it; 0 for
    // every CPU. A kernel that runs but is tuned for another CPU is still tested everywhere.
    std::uint32_t tuned_for;
    distance_t (*distance)(const char* a, const char* b, std::size_t n) noexcept;
    // The counting step of the bounded test only (no short cuts): positions in order, an
    // invalid character answers invalid unless the count has passed the limit before it.
    // validated_all may be true for "beyond" too, where the kernel happened to check every
    // digit on the way.
    bounded_result (*count_within)(const char* a, const char* b, std::size_t n,
                                   std::uint64_t limit) noexcept;
    bool (*contains_nul)(const char* a, const char* b, std::size_t n) noexcept;
};

#define QV_DECLARE_HEX_KERNEL(name, level) extern const kernel name##_kernel;
QV_HEX_KERNELS(QV_DECLARE_HEX_KERNEL)
#undef QV_DECLARE_HEX_KERNEL

// A kernel's name and features come from the list and its level, never spelled by hand.
#define QV_DEFINE_TUNED_HEX_KERNEL(name, level, tuned_for, distance, count_within, contains_nul) \
    const kernel name##_kernel = {#name,    QV_ISA_FEATURES(level), tuned_for,                 \
                                  distance, count_within,           contains_nul}
#define QV_DEFINE_HEX_KERNEL(name, level, distance, count_within, contains_nul) \
    QV_DEFINE_TUNED_HEX_KERNEL(name, level, 0u, distance, count_within, contains_nul)

#define QV_COUNT_HEX_KERNEL(name, level) +1
inline constexpr std::size_t kernel_count = 0 QV_HEX_KERNELS(QV_COUNT_HEX_KERNEL);
#undef QV_COUNT_HEX_KERNEL

// memchr over both strings; the NUL test of the kernels that have no faster one.
bool scan_contains_nul(const char* a, const char* b, std::size_t n) noexcept;

// Every kernel compiled into this build, in the list's order.
struct kernel_list {
    const kernel* const* items;
    std::size_t size;
};
kernel_list compiled_kernels() noexcept;

// The kernel for a CPU with these features: a pure function, so it can be asked about CPUs
// other than this one.
const kernel& choose_kernel(std::uint32_t features) noexcept;

bool kernel_runs_here(const kernel& k) noexcept;

// The kernel chosen for this CPU.
const kernel& active_kernel() noexcept;

}  // namespace quorvalent

#endif
