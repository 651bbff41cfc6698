// NEON scan, which every AArch64 CPU has: CNT counts the bits of each byte, and the byte counts
// of a code are summed by pairwise widening adds.
//   - One-word codes: eight codes a step, two to a vector; the step's comparisons are ORed
//     so that a step without a hit costs one test.
//   - Wider codes: a code at a time, its words' byte counts accumulated in bytes (a byte holds
//     the counts of up to 31 vectors) and summed across the vector once.
#include "common/portability.hpp"

#if QV_AARCH64

#include <arm_neon.h>

#include "codes/scan_kernels.hpp"

namespace quorvalent::codes {

namespace {

// The distances of the two codes in v to the query, one in each 64-bit lane.
QV_ALWAYS_INLINE uint64x2_t two_distances(uint64x2_t v, uint64x2_t query) noexcept {
    const uint8x16_t bytes = vcntq_u8(vreinterpretq_u8_u64(veorq_u64(v, query)));
    return vpaddlq_u32(vpaddlq_u16(vpaddlq_u8(bytes)));
}

std::size_t neon_within(const std::uint64_t* codes, std::size_t n, std::uint64_t q, unsigned r,
                        std::uint32_t* hits) noexcept {
    const uint64x2_t query = vdupq_n_u64(q);
    const uint64x2_t radius = vdupq_n_u64(r);
    std::size_t count = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const uint64x2_t in0 = vcleq_u64(two_distances(vld1q_u64(codes + i), query), radius);
        const uint64x2_t in1 = vcleq_u64(two_distances(vld1q_u64(codes + i + 2), query), radius);
        const uint64x2_t in2 = vcleq_u64(two_distances(vld1q_u64(codes + i + 4), query), radius);
        const uint64x2_t in3 = vcleq_u64(two_distances(vld1q_u64(codes + i + 6), query), radius);
        const uint64x2_t any = vorrq_u64(vorrq_u64(in0, in1), vorrq_u64(in2, in3));
        if ((vgetq_lane_u64(any, 0) | vgetq_lane_u64(any, 1)) == 0) continue;
        const uint64x2_t in[4] = {in0, in1, in2, in3};
        for (std::size_t v = 0; v < 4; ++v) {
            hits[count] = static_cast<std::uint32_t>(i + 2 * v);
            count += vgetq_lane_u64(in[v], 0) != 0;
            hits[count] = static_cast<std::uint32_t>(i + 2 * v + 1);
            count += vgetq_lane_u64(in[v], 1) != 0;
        }
    }
    for (; i < n; ++i) {
        const uint8x8_t bytes = vcnt_u8(vcreate_u8(codes[i] ^ q));
        hits[count] = static_cast<std::uint32_t>(i);
        count += vaddlv_u8(bytes) <= r;
    }
    return count;
}

std::size_t neon_within_wide(const std::uint64_t* codes, std::size_t n, std::size_t w,
                             const std::uint64_t* q, unsigned r, std::uint32_t* hits) noexcept {
    // Vectors whose byte counts (at most 8 each) fit a byte: 31 * 8 = 248.
    constexpr std::size_t batch = 31;
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t* c = codes + i * w;
        std::uint32_t d = 0;
        std::size_t k = 0;
        while (k + 2 <= w && d <= r) {
            uint8x16_t acc = vdupq_n_u8(0);
            for (std::size_t v = 0; v < batch && k + 2 <= w; ++v, k += 2) {
                acc = vaddq_u8(acc, vcntq_u8(vreinterpretq_u8_u64(veorq_u64(vld1q_u64(c + k), vld1q_u64(q + k)))));
            }
            d += vaddlvq_u8(acc);
        }
        if (k < w && d <= r) d += vaddlv_u8(vcnt_u8(vcreate_u8(c[k] ^ q[k])));
        hits[count] = static_cast<std::uint32_t>(i);
        count += d <= r;
    }
    return count;
}

}  // namespace

QV_DEFINE_SCAN_KERNEL(neon, portable, neon_within, neon_within_wide);

}  // namespace quorvalent::codes

#endif
