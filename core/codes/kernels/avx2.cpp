// AVX2 scan: codes of one, two or four words four or eight at a step, counted with the
// nibble-table popcount (VPSHUFB) and tested against the radius all at once; other widths use
// POPCNT word by word.
#include "common/portability.hpp"

#if QV_X86_64

#include "codes/scan_kernels.hpp"

QV_BEGIN_ISA(avx2)

#include <immintrin.h>

namespace quorvalent::codes {

namespace {

inline __m256i lane_popcount(__m256i v, __m256i table, __m256i low) {
    const __m256i lo = _mm256_shuffle_epi8(table, _mm256_and_si256(v, low));
    const __m256i hi = _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(v, 4), low));
    return _mm256_sad_epu8(_mm256_add_epi8(lo, hi), _mm256_setzero_si256());
}

std::size_t avx2_within(const std::uint64_t* codes, std::size_t n, std::uint64_t q, unsigned r,
                        std::uint32_t* hits) noexcept {
    const __m256i table =
        _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1,
                         2, 2, 3, 2, 3, 3, 4);
    const __m256i low = _mm256_set1_epi8(0x0F);
    const __m256i query = _mm256_set1_epi64x(static_cast<long long>(q));
    const __m256i radius = _mm256_set1_epi64x(static_cast<long long>(r));
    std::size_t count = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes + i + 4));
        const __m256i da = lane_popcount(_mm256_xor_si256(a, query), table, low);
        const __m256i db = lane_popcount(_mm256_xor_si256(b, query), table, low);
        // A lane is beyond where its count exceeds the radius; hits are the rest, rare.
        const unsigned beyond =
            static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(da, radius)))) |
            (static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(db, radius)))) << 4);
        unsigned inside = ~beyond & 0xFFu;
        while (inside) {
            hits[count++] = static_cast<std::uint32_t>(i + lowest_set_bit(inside));
            inside &= inside - 1;
        }
    }
    for (; i < n; ++i) {
        if (static_cast<unsigned>(_mm_popcnt_u64(codes[i] ^ q)) <= r) {
            hits[count++] = static_cast<std::uint32_t>(i);
        }
    }
    return count;
}

// Codes of two or four words, four codes a step: each word's count in its 64-bit lane, then
// the lanes of a code summed by unpacks and lane swaps, so that the four distances land in one
// vector in code order. A million codes on one core of a Zen 4 (kernel_bench): 256-bit ones
// 27-30 GB/s, 128-bit ones 30-31, where POPCNT a word at a time read 16 and 8 GB/s, no faster
// than the portable kernel.
template <std::size_t w>
std::size_t within_four(const std::uint64_t* codes, std::size_t n, const std::uint64_t* q, unsigned r,
                        std::uint32_t* hits, std::size_t& done) noexcept {
    static_assert(w == 2 || w == 4, "a vector holds whole codes, or a code is whole vectors");
    const __m256i table =
        _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1,
                         2, 2, 3, 2, 3, 3, 4);
    const __m256i low = _mm256_set1_epi8(0x0F);
    const __m256i query = w == 4 ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q))
                                 : _mm256_setr_epi64x(static_cast<long long>(q[0]), static_cast<long long>(q[1]),
                                                      static_cast<long long>(q[0]), static_cast<long long>(q[1]));
    const __m256i radius = _mm256_set1_epi64x(static_cast<long long>(r));
    auto counts = [&](const std::uint64_t* at) {
        return lane_popcount(_mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), query), table,
                             low);
    };
    std::size_t count = 0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const std::uint64_t* c = codes + i * w;
        __m256i d;
        if constexpr (w == 2) {
            // [A0 A1 B0 B1] and [C0 C1 D0 D1]: the unpacks' sum holds A C B D.
            const __m256i ab = counts(c), cd = counts(c + 4);
            const __m256i sums = _mm256_add_epi64(_mm256_unpacklo_epi64(ab, cd), _mm256_unpackhi_epi64(ab, cd));
            d = _mm256_permute4x64_epi64(sums, _MM_SHUFFLE(3, 1, 2, 0));
        } else {
            // Code k's four lanes: the unpacks add lanes 0+1 and 2+3 of two codes, the lane
            // swaps then meet each code's two halves.
            const __m256i s0 = counts(c), s1 = counts(c + 4), s2 = counts(c + 8), s3 = counts(c + 12);
            const __m256i t01 = _mm256_add_epi64(_mm256_unpacklo_epi64(s0, s1), _mm256_unpackhi_epi64(s0, s1));
            const __m256i t23 = _mm256_add_epi64(_mm256_unpacklo_epi64(s2, s3), _mm256_unpackhi_epi64(s2, s3));
            d = _mm256_add_epi64(_mm256_permute2x128_si256(t01, t23, 0x20), _mm256_permute2x128_si256(t01, t23, 0x31));
        }
        unsigned inside = ~static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(d, radius)))) &
                          0xFu;
        while (inside) {
            hits[count++] = static_cast<std::uint32_t>(i + lowest_set_bit(inside));
            inside &= inside - 1;
        }
    }
    done = i;
    return count;
}

std::size_t avx2_within_wide(const std::uint64_t* codes, std::size_t n, std::size_t w,
                             const std::uint64_t* q, unsigned r, std::uint32_t* hits) noexcept {
    std::size_t count = 0;
    std::size_t from = 0;
    if (w == 2) count = within_four<2>(codes, n, q, r, hits, from);
    if (w == 4) count = within_four<4>(codes, n, q, r, hits, from);
    for (std::size_t i = from; i < n; ++i) {
        const std::uint64_t* c = codes + i * w;
        std::uint64_t d = 0;
        std::size_t k = 0;
        // Four words between tests of the running count: long codes leave the radius early.
        for (; k + 4 <= w && d <= r; k += 4) {
            d += static_cast<std::uint64_t>(_mm_popcnt_u64(c[k] ^ q[k])) +
                 static_cast<std::uint64_t>(_mm_popcnt_u64(c[k + 1] ^ q[k + 1])) +
                 static_cast<std::uint64_t>(_mm_popcnt_u64(c[k + 2] ^ q[k + 2])) +
                 static_cast<std::uint64_t>(_mm_popcnt_u64(c[k + 3] ^ q[k + 3]));
        }
        for (; k < w && d <= r; ++k) d += static_cast<std::uint64_t>(_mm_popcnt_u64(c[k] ^ q[k]));
        hits[count] = static_cast<std::uint32_t>(i);
        count += d <= r;
    }
    return count;
}

}  // namespace

}  // namespace quorvalent::codes

QV_END_ISA

namespace quorvalent::codes {
QV_DEFINE_SCAN_KERNEL(avx2, avx2, avx2_within, avx2_within_wide);
}

#endif
