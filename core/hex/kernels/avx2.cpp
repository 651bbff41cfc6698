// 32 digits per step with AVX2: decode and validate by two 16-entry shuffles (see
// nibble_tables.hpp), count by a third. Strings of up to 16 digits use two registers and POPCNT;
// tails shorter than a vector go to the SWAR routines.
#include "common/portability.hpp"

#if QV_X86_64

#include <algorithm>

#include "hex/blocks/nibble_tables.hpp"
#include "hex/blocks/swar.hpp"
#include "hex/kernels.hpp"

QV_BEGIN_ISA(avx2)

#include <immintrin.h>

#include "hex/blocks/short_words.hpp"

namespace quorvalent {

namespace {

constexpr std::size_t block = 32;

struct tables {
    __m256i by_high, by_low, popcount, low_nibble;
};

inline __m256i broadcast16(const unsigned char (&t)[16]) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

inline tables load_tables() {
    return {broadcast16(nibble_tables::class_by_high), broadcast16(nibble_tables::class_by_low),
            broadcast16(nibble_bit_count), _mm256_set1_epi8(0x0F)};
}

inline __m256i load(const char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// `cls` is zero exactly at the bytes that are not hex digits; `value` holds each digit's
// value in its low nibble, with bit 7 clear.
inline __m256i decode(__m256i x, const tables& t, __m256i& cls) {
    const __m256i row =
        _mm256_shuffle_epi8(t.by_high, _mm256_and_si256(_mm256_srli_epi16(x, 4), t.low_nibble));
    cls = _mm256_and_si256(row, _mm256_shuffle_epi8(t.by_low, x));
    return _mm256_add_epi8(x, row);
}

// Per-byte distances of one block, and the per-byte minimum of both classes.
inline __m256i block_distances(const char* a, const char* b, const tables& t, __m256i& cls) {
    __m256i cls_a, cls_b;
    const __m256i va = decode(load(a), t, cls_a);
    const __m256i vb = decode(load(b), t, cls_b);
    cls = _mm256_min_epu8(cls_a, cls_b);
    // Both values have bit 7 clear, so the shuffle reads the XOR's low nibble.
    return _mm256_shuffle_epi8(t.popcount, _mm256_xor_si256(va, vb));
}

inline bool any_zero_byte(__m256i v) {
    return _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256())) != 0;
}

inline std::uint64_t sum_lanes(__m256i v) {
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(s)) +
           static_cast<std::uint64_t>(_mm_extract_epi64(s, 1));
}

distance_t avx2_distance(const char* a, const char* b, std::size_t n) noexcept {
    if (n <= short_limit) return short_distance_checked(a, b, n);
    const tables t = load_tables();
    const __m256i zero = _mm256_setzero_si256();
    __m256i lanes = zero;
    std::size_t i = 0;
    while (n - i >= block) {
        const std::size_t steps = std::min((n - i) / block, steps_per_byte_sum);
        __m256i bytes = zero;
        __m256i cls_min = _mm256_set1_epi8(-1);
        for (std::size_t s = 0; s < steps; ++s, i += block) {
            __m256i cls;
            bytes = _mm256_add_epi8(bytes, block_distances(a + i, b + i, t, cls));
            cls_min = _mm256_min_epu8(cls_min, cls);
        }
        // Checked once per chunk: stops early on a bad digit without a branch per block.
        if (any_zero_byte(cls_min)) return invalid_distance;
        lanes = _mm256_add_epi64(lanes, _mm256_sad_epu8(bytes, zero));
    }
    std::uint64_t count = sum_lanes(lanes);
    if (!swar::add_distance(a + i, b + i, n - i, count)) return invalid_distance;
    return static_cast<distance_t>(count);
}

bounded_result avx2_count_within(const char* a, const char* b, std::size_t n,
                                 std::uint64_t limit) noexcept {
    if (n <= short_limit) return short_count_within(a, b, n, limit);
    const tables t = load_tables();
    const __m256i zero = _mm256_setzero_si256();
    std::uint64_t count = 0;
    std::size_t i = 0;
    for (; n - i >= block; i += block) {
        __m256i cls;
        const __m256i d = block_distances(a + i, b + i, t, cls);
        const std::uint64_t c = sum_lanes(_mm256_sad_epu8(d, zero));
        // The block that decides the answer is replayed digit by digit.
        if (any_zero_byte(cls) || c > limit - count) {
            return {swar::count_within_from(a + i, b + i, block, limit, count), false};
        }
        count += c;
    }
    const outcome answer = swar::count_within_from(a + i, b + i, n - i, limit, count);
    return {answer, answer == outcome::within};
}

bool avx2_contains_nul(const char* a, const char* b, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; n - i >= block; i += block) {
        if (any_zero_byte(_mm256_min_epu8(load(a + i), load(b + i)))) return true;
    }
    return scan_contains_nul(a + i, b + i, n - i);
}

}  // namespace
}  // namespace quorvalent

QV_END_ISA

namespace quorvalent {

QV_DEFINE_HEX_KERNEL(avx2, avx2, avx2_distance, avx2_count_within, avx2_contains_nul);

}  // namespace quorvalent

#endif
