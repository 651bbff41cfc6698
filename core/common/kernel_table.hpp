// The pattern every family of kernels follows: a table in priority order, slowest first, whose
// first entry is the reference, and a pure choice from that table given the CPU's features. The
// reference is never chosen: it is the yardstick the others are tested against, and the next
// entry is always at least as fast on every CPU.
#ifndef QUORVALENT_KERNEL_TABLE_HPP
#define QUORVALENT_KERNEL_TABLE_HPP

#include <cstddef>
#include <cstdint>

namespace quorvalent {

template <class Kernel>
constexpr bool supports(const Kernel& k, std::uint32_t features) noexcept {
    return (k.required_features & features) == k.required_features;
}

// Whether a CPU with these features should use k: it runs k, and k is tuned for it.
template <class Kernel>
constexpr bool suits(const Kernel& k, std::uint32_t features) noexcept {
    return supports(k, features) && (k.tuned_for & features) == k.tuned_for;
}

// The last kernel after the reference that suits the CPU. Entry 1 must need no feature at
// all, so there is always an answer.
template <class Kernel, std::size_t N>
constexpr const Kernel& choose_from(const Kernel* const (&table)[N],
                                    std::uint32_t features) noexcept {
    static_assert(N >= 2, "a table holds the reference and at least one portable kernel");
    const Kernel* best = table[1];
    for (std::size_t i = 2; i < N; ++i) {
        if (suits(*table[i], features)) best = table[i];
    }
    return *best;
}

}  // namespace quorvalent

#endif
