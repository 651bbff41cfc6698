// AVX2 scan: four codes a step, counted with the nibble-table popcount (VPSHUFB) and tested
// against the radius all at once; long codes use POPCNT word by word.
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

std::size_t avx2_within_wide(const std::uint64_t* codes, std::size_t n, std::size_t w,
                             const std::uint64_t* q, unsigned r, std::uint32_t* hits) noexcept {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
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
