// The reference scan, and a portable one that trades the branch for a conditional store.
#include "codes/scan_kernels.hpp"
#include "common/portability.hpp"

namespace quorvalent::codes {

namespace {

std::size_t scalar_within(const std::uint64_t* codes, std::size_t n, std::uint64_t q, unsigned r,
                          std::uint32_t* hits) noexcept {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (popcount64(codes[i] ^ q) <= r) hits[count++] = static_cast<std::uint32_t>(i);
    }
    return count;
}

std::size_t scalar_within_wide(const std::uint64_t* codes, std::size_t n, std::size_t w,
                               const std::uint64_t* q, unsigned r, std::uint32_t* hits) noexcept {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned d = 0;
        for (std::size_t k = 0; k < w; ++k) d += popcount64(codes[i * w + k] ^ q[k]);
        if (d <= r) hits[count++] = static_cast<std::uint32_t>(i);
    }
    return count;
}

std::size_t unrolled_within(const std::uint64_t* codes, std::size_t n, std::uint64_t q,
                            unsigned r, std::uint32_t* hits) noexcept {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        // Written unconditionally, kept only when within: no branch to mispredict.
        hits[count] = static_cast<std::uint32_t>(i);
        count += popcount64_swar(codes[i] ^ q) <= r;
    }
    return count;
}

std::size_t unrolled_within_wide(const std::uint64_t* codes, std::size_t n, std::size_t w,
                                 const std::uint64_t* q, unsigned r,
                                 std::uint32_t* hits) noexcept {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t* c = codes + i * w;
        unsigned d = 0;
        // Long codes rarely stay within the radius for long: stop counting once past it.
        for (std::size_t k = 0; k < w && d <= r; ++k) d += popcount64_swar(c[k] ^ q[k]);
        hits[count] = static_cast<std::uint32_t>(i);
        count += d <= r;
    }
    return count;
}

}  // namespace

QV_DEFINE_SCAN_KERNEL(scalar, portable, scalar_within, scalar_within_wide);
QV_DEFINE_SCAN_KERNEL(unrolled, portable, unrolled_within, unrolled_within_wide);

}  // namespace quorvalent::codes
