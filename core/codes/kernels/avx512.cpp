// AVX-512 scan with VPOPCNTDQ: a count per 64-bit lane in one instruction, and the radius
// test straight into a mask register.
//   - One-word codes: 32 codes a step (four vectors, one 32-bit mask of hits).
//   - Two- and four-word codes: eight codes a step, their lanes' counts summed across lanes
//     by unpacks and lane shuffles, so that the eight distances land in one vector.
//   - Other widths: a code at a time, in masked vectors of up to eight words.
// The ends of every run are read with masked loads, which never touch the bytes past the
// last code: a run may end at the end of a page.
#include "common/portability.hpp"

#if QV_X86_64

#include "codes/scan_kernels.hpp"

QV_BEGIN_ISA(avx512vbmi)

#include <immintrin.h>

namespace quorvalent::codes {

namespace {

constexpr std::size_t lanes = 8;

// Appends i + b for every set bit b of mask, lowest first.
QV_ALWAYS_INLINE std::size_t emit(std::uint64_t mask, std::size_t i, std::uint32_t* hits,
                                  std::size_t count) noexcept {
    while (mask) {
        hits[count++] = static_cast<std::uint32_t>(i + static_cast<std::size_t>(_tzcnt_u64(mask)));
        mask &= mask - 1;
    }
    return count;
}

// GCC 12's plain forms of these warn about their own undefined sources; the masked forms with
// every lane kept are the same instructions.
constexpr __mmask8 all = 0xFF;
QV_ALWAYS_INLINE __m512i pair_sums(__m512i a, __m512i b) noexcept {
    return _mm512_add_epi64(_mm512_maskz_unpacklo_epi64(all, a, b), _mm512_maskz_unpackhi_epi64(all, a, b));
}

QV_ALWAYS_INLINE std::uint64_t sum_lanes(__m512i v) noexcept {
    const __m256i half = _mm256_add_epi64(_mm512_maskz_extracti64x4_epi64(0xF, v, 0),
                                          _mm512_maskz_extracti64x4_epi64(0xF, v, 1));
    const __m128i quarter = _mm_add_epi64(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(quarter)) +
           static_cast<std::uint64_t>(_mm_extract_epi64(quarter, 1));
}

QV_ALWAYS_INLINE __mmask8 near_lanes(__m512i codes, __m512i query, __m512i radius) noexcept {
    return _mm512_cmple_epu64_mask(_mm512_popcnt_epi64(_mm512_xor_si512(codes, query)), radius);
}

std::size_t avx512_within(const std::uint64_t* codes, std::size_t n, std::uint64_t q, unsigned r,
                          std::uint32_t* hits) noexcept {
    const __m512i query = _mm512_set1_epi64(static_cast<long long>(q));
    const __m512i radius = _mm512_set1_epi64(static_cast<long long>(r));
    std::size_t count = 0;
    std::size_t i = 0;
    for (; i + 4 * lanes <= n; i += 4 * lanes) {
        const std::uint64_t m0 = near_lanes(_mm512_loadu_si512(codes + i), query, radius);
        const std::uint64_t m1 = near_lanes(_mm512_loadu_si512(codes + i + lanes), query, radius);
        const std::uint64_t m2 = near_lanes(_mm512_loadu_si512(codes + i + 2 * lanes), query, radius);
        const std::uint64_t m3 = near_lanes(_mm512_loadu_si512(codes + i + 3 * lanes), query, radius);
        count = emit(m0 | (m1 << 8) | (m2 << 16) | (m3 << 24), i, hits, count);
    }
    for (; i < n; i += lanes) {
        const std::size_t left = n - i < lanes ? n - i : lanes;
        const __mmask8 valid = static_cast<__mmask8>((1u << left) - 1u);
        const __m512i c = _mm512_maskz_loadu_epi64(valid, codes + i);
        count = emit(static_cast<std::uint64_t>(near_lanes(c, query, radius) & valid), i, hits, count);
    }
    return count;
}

// The distances of eight codes of w words (w of 2 or 4), from w vectors holding them in order.
// Each step of the sum adds neighbouring partial sums and leaves the lanes in a known order;
// the last permutation puts code k in lane k.
template <std::size_t w>
QV_ALWAYS_INLINE __m512i eight_distances(const __m512i* counts) noexcept {
    if constexpr (w == 2) {
        // counts[v] holds codes 4v..4v+3, a code to a 128-bit lane. The unpacks pair the two
        // words of each code: lane L of the sum holds codes L and 4 + L.
        return _mm512_maskz_permutexvar_epi64(all, _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7),
                                              pair_sums(counts[0], counts[1]));
    } else {
        // counts[v] holds codes 2v and 2v+1, a code to two 128-bit lanes. After the unpacks,
        // lane L of s01 holds the halves-of-halves of codes 0..3; the lane shuffles add the
        // two lanes of each code.
        const __m512i s01 = pair_sums(counts[0], counts[1]);
        const __m512i s23 = pair_sums(counts[2], counts[3]);
        // Lanes 0 and 2 of each, then lanes 1 and 3: their sum holds codes 0 2 1 3 4 6 5 7.
        const __m512i even = _mm512_maskz_shuffle_i64x2(all, s01, s23, _MM_SHUFFLE(2, 0, 2, 0));
        const __m512i odd = _mm512_maskz_shuffle_i64x2(all, s01, s23, _MM_SHUFFLE(3, 1, 3, 1));
        return _mm512_maskz_permutexvar_epi64(all, _mm512_setr_epi64(0, 2, 1, 3, 4, 6, 5, 7),
                                              _mm512_add_epi64(even, odd));
    }
}

template <std::size_t w>
std::size_t within_lanes(const std::uint64_t* codes, std::size_t n, const std::uint64_t* q,
                         unsigned r, std::uint32_t* hits) noexcept {
    static_assert(lanes % w == 0, "a vector holds whole codes");
    // The query repeated over a vector: lanes of a code line up with its words.
    alignas(64) std::uint64_t repeated[lanes];
    for (std::size_t k = 0; k < lanes; ++k) repeated[k] = q[k % w];
    const __m512i query = _mm512_load_si512(repeated);
    const __m512i radius = _mm512_set1_epi64(static_cast<long long>(r));
    std::size_t count = 0;
    std::size_t i = 0;
    for (; i + lanes <= n; i += lanes) {
        __m512i counts[w];
        for (std::size_t v = 0; v < w; ++v) {
            counts[v] = _mm512_popcnt_epi64(_mm512_xor_si512(_mm512_loadu_si512(codes + (i + v * lanes / w) * w), query));
        }
        count = emit(_mm512_cmple_epu64_mask(eight_distances<w>(counts), radius), i, hits, count);
    }
    if (i < n) {
        // The last codes, in masked vectors: lanes past the run read as zero, and their
        // codes are dropped from the mask.
        const std::size_t words = (n - i) * w;
        __m512i counts[w];
        for (std::size_t v = 0; v < w; ++v) {
            const std::size_t from = v * lanes;
            const std::size_t take = words > from ? (words - from < lanes ? words - from : lanes) : 0;
            const __mmask8 valid = static_cast<__mmask8>((1u << take) - 1u);
            counts[v] = _mm512_popcnt_epi64(_mm512_xor_si512(_mm512_maskz_loadu_epi64(valid, codes + i * w + from), query));
        }
        const std::uint64_t left = static_cast<std::uint64_t>((1u << (n - i)) - 1u);
        count = emit(_mm512_cmple_epu64_mask(eight_distances<w>(counts), radius) & left, i, hits, count);
    }
    return count;
}

std::size_t within_any_width(const std::uint64_t* codes, std::size_t n, std::size_t w,
                             const std::uint64_t* q, unsigned r, std::uint32_t* hits) noexcept {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t* c = codes + i * w;
        __m512i sum = _mm512_setzero_si512();
        std::size_t k = 0;
        // Eight words between tests of the running count: long codes leave the radius early.
        for (; k < w; k += lanes) {
            const std::size_t take = w - k < lanes ? w - k : lanes;
            const __mmask8 valid = static_cast<__mmask8>((1u << take) - 1u);
            const __m512i x = _mm512_xor_si512(_mm512_maskz_loadu_epi64(valid, c + k),
                                               _mm512_maskz_loadu_epi64(valid, q + k));
            sum = _mm512_add_epi64(sum, _mm512_popcnt_epi64(x));
            if (k + lanes < w && sum_lanes(sum) > r) break;
        }
        hits[count] = static_cast<std::uint32_t>(i);
        count += sum_lanes(sum) <= r;
    }
    return count;
}

std::size_t avx512_within_wide(const std::uint64_t* codes, std::size_t n, std::size_t w,
                               const std::uint64_t* q, unsigned r, std::uint32_t* hits) noexcept {
    switch (w) {
        case 1: return avx512_within(codes, n, q[0], r, hits);
        case 2: return within_lanes<2>(codes, n, q, r, hits);
        case 4: return within_lanes<4>(codes, n, q, r, hits);
        default: return within_any_width(codes, n, w, q, r, hits);
    }
}

}  // namespace

}  // namespace quorvalent::codes

QV_END_ISA

namespace quorvalent::codes {
// VPOPCNTDQ comes with this level (Ice Lake, Sapphire Rapids, Zen 4 onwards).
QV_DEFINE_SCAN_KERNEL(avx512, avx512vbmi, avx512_within, avx512_within_wide);
}

#endif
