// The block loops shared by the AVX-512 kernels, parameterised by how a block of 64 digit
// pairs is decoded. A kernel file includes this after switching on its instruction set, so that
// every function here is compiled for that set. Everything stays in an anonymous namespace:
// a shared inline definition could otherwise be merged across files built for different sets.
//
// A decoder D provides:
//   D::constants D::load()                        the tables it needs, loaded once per call
//   __m512i D::healthy()                           the starting health vector
//   __m512i D::diff(xa, xb, constants, health&)    per-byte XOR of the digit values (4 bits at
//                                                  valid bytes); folds the validity into health
//   __mmask64 D::invalid(health)                   bytes not valid in either string
//   __m512i D::lane_popcount(v)                    set bits of each 64-bit lane
#ifndef QUORVALENT_AVX512_BLOCKS_HPP
#define QUORVALENT_AVX512_BLOCKS_HPP

#include <immintrin.h>

#include "kernels.hpp"

namespace quorvalent {
namespace {

constexpr std::size_t block = 64;
// Bytes per validity check in the full count: rare enough to cost nothing, often enough that a
// bad digit near the front of a huge string ends the work early.
constexpr std::size_t check_every = 64 * block;

inline __mmask64 first_bytes(std::size_t k) { return k >= 64 ? ~__mmask64{0} : _bzhi_u64(~0ull, k); }

// Fewer than 64 bytes, the rest filled with '0', which is valid and equal in both strings.
// Masked-off bytes are never touched, so reading stops exactly at the end of the string.
inline __m512i load_partial(const char* p, __mmask64 k) {
    return _mm512_mask_loadu_epi8(_mm512_set1_epi8('0'), k, p);
}

inline __m512i load(const char* p) { return _mm512_loadu_si512(p); }

// Sum of the eight 64-bit lanes. Written out because GCC 12's _mm512_reduce_add_epi64 warns
// about its own undefined temporaries.
inline std::uint64_t sum_lanes(__m512i v) {
    const __m256i half = _mm256_add_epi64(_mm512_maskz_extracti64x4_epi64(0xF, v, 0),
                                          _mm512_maskz_extracti64x4_epi64(0xF, v, 1));
    const __m128i quarter =
        _mm_add_epi64(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(quarter)) +
           static_cast<std::uint64_t>(_mm_extract_epi64(quarter, 1));
}

template <class D>
distance_t blocks_distance(const char* a, const char* b, std::size_t n) noexcept {
    const typename D::constants c = D::load();
    __m512i lanes = _mm512_setzero_si512();
    __m512i health = D::healthy();
    std::size_t i = 0;
    while (n - i >= block) {
        const std::size_t stop = i + std::min(n - i, check_every) / block * block;
        for (; i < stop; i += block) {
            lanes = _mm512_add_epi64(lanes, D::lane_popcount(D::diff(load(a + i), load(b + i),
                                                                     c, health)));
        }
        if (D::invalid(health)) return invalid_distance;
    }
    if (i < n) {
        const __mmask64 k = first_bytes(n - i);
        lanes = _mm512_add_epi64(
            lanes, D::lane_popcount(D::diff(load_partial(a + i, k), load_partial(b + i, k), c,
                                            health)));
        if (D::invalid(health)) return invalid_distance;
    }
    return static_cast<distance_t>(sum_lanes(lanes));
}

template <class D>
outcome blocks_count_within(const char* a, const char* b, std::size_t n,
                            std::uint64_t limit) noexcept {
    const typename D::constants c = D::load();
    std::uint64_t count = 0;
    for (std::size_t i = 0; i < n; i += block) {
        __m512i health = D::healthy();
        __m512i d;
        if (n - i >= block) {
            d = D::diff(load(a + i), load(b + i), c, health);
        } else {
            const __mmask64 k = first_bytes(n - i);
            d = D::diff(load_partial(a + i, k), load_partial(b + i, k), c, health);
        }
        // Only the digits before the first invalid one can carry the count past the limit:
        // the reference stops at that invalid digit otherwise.
        const __mmask64 bad = D::invalid(health);
        const __mmask64 before_bad = (bad - 1) & ~bad;
        const std::uint64_t block_count =
            sum_lanes(D::lane_popcount(_mm512_maskz_mov_epi8(before_bad, d)));
        if (block_count > limit - count) return outcome::beyond;
        if (bad) return outcome::invalid;
        count += block_count;
    }
    return outcome::within;
}

inline bool blocks_contain_nul(const char* a, const char* b, std::size_t n) noexcept {
    const __m512i zero = _mm512_setzero_si512();
    std::size_t i = 0;
    for (; n - i >= block; i += block) {
        if (_mm512_cmpeq_epi8_mask(_mm512_min_epu8(load(a + i), load(b + i)), zero)) return true;
    }
    if (i == n) return false;
    const __mmask64 k = first_bytes(n - i);
    return _mm512_cmpeq_epi8_mask(_mm512_min_epu8(load_partial(a + i, k), load_partial(b + i, k)),
                                  zero) != 0;
}

}  // namespace
}  // namespace quorvalent

#endif
