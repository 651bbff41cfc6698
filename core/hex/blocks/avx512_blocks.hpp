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
//   __mmask64 D::invalid(health, constants)        bytes not valid in either string
//   __m512i D::lane_popcount(v)                    set bits of each 64-bit lane
#ifndef QUORVALENT_HEX_AVX512_BLOCKS_HPP
#define QUORVALENT_HEX_AVX512_BLOCKS_HPP

#include <immintrin.h>

#include "hex/blocks/short_words.hpp"
#include "hex/kernels.hpp"

// Its inline routines must come from before the switch to the wider instruction set.
#ifndef QUORVALENT_HEX_SWAR_HPP
#error "include swar.hpp before switching the target"
#endif

namespace quorvalent {
namespace {

constexpr std::size_t block = 64;
// Bytes per validity check in the full count: rare enough to cost nothing, often enough that a
// bad digit near the front of a huge string ends the work early.
constexpr std::size_t check_every = 64 * block;

// The compiler would rather read a block from memory again than copy a register that a
// permute overwrites; in the main loops that doubles the loads, which are the bottleneck. The
// empty asm hides where the value came from, so it stays in its register.
QV_ALWAYS_INLINE __m512i load(const char* p) {
    __m512i v = _mm512_loadu_si512(p);
    QV_KEEP_IN_REGISTER(v);
    return v;
}

// The first `count` bytes of v replaced by the padding digit '0', which is valid and adds
// nothing because both strings get the same padding.
QV_ALWAYS_INLINE __m512i pad_front(__m512i v, std::size_t count) {
    return _mm512_mask_mov_epi8(v, _bzhi_u64(~0ull, static_cast<unsigned>(count)),
                                _mm512_set1_epi8('0'));
}

// The first `keep` bytes of a string longer than a block, the rest of the block turned into
// padding.
QV_ALWAYS_INLINE __m512i load_first(const char* p, std::size_t keep) {
    return _mm512_mask_mov_epi8(load(p), ~_bzhi_u64(~0ull, static_cast<unsigned>(keep)),
                                _mm512_set1_epi8('0'));
}

// Strings of this many bytes start with a head block that ends where a's first cache line
// does, so that the loads after it do not straddle two lines. Python's string data sits 16 or
// 48 bytes past a line boundary, and two strings of one size usually share that offset, so
// this aligns b's loads as well. The distance always does this. The bounded count and the NUL
// scan do it where the kernel asks (`aligned`): on Intel cores a split load costs a second
// access, while on Zen 5 the head block made the bounded count slower at 1 KiB and the NUL
// scan slower at 64 KiB (benchmarks/block_cycles.cpp).
constexpr std::size_t align_from = 8 * block;

// From this length both strings come from L3 or memory, and prefetching a few lines ahead of
// the loads keeps more of them in flight than the hardware prefetcher alone: on Zen 5 it took
// a tenth off every loop at 1 MiB. Below it, the same prefetches only cost issue slots. On
// Zen 4 they cost a quarter past the L2: without them (`prefetching` false) the NUL scan of
// two 1 MiB strings took 21.5-21.6 us against 28.6-31.2, and 87 against 115-116 at 4 MiB; the
// distance 21.5-22.0 against 26.9-28.4, and 86-88 against 117-121 (the same at 256 KiB).
constexpr std::size_t prefetch_from = 256 * 1024;
constexpr std::size_t prefetch_ahead = 1024;

// The lines that `blocks` blocks of both strings will read prefetch_ahead bytes from now.
QV_ALWAYS_INLINE void prefetch_ahead_of(const char* a, const char* b, std::size_t blocks) {
    for (std::size_t line = 0; line < blocks * block; line += block) {
        prefetch(a + prefetch_ahead + line);
        prefetch(b + prefetch_ahead + line);
    }
}

QV_ALWAYS_INLINE std::size_t head_length(const char* a) {
    return block - reinterpret_cast<std::uintptr_t>(a) % block;
}

// The last bytes of a string longer than a block: one load ending exactly at the end, with the
// bytes already counted turned into padding.
QV_ALWAYS_INLINE __m512i load_last(const char* p, std::size_t remaining) {
    return pad_front(load(p + remaining - block), block - remaining);
}

// A whole string of at most 16 bytes, padded. Masked loads are avoided on purpose: the bytes
// after a short string usually belong to another object whose reference count the interpreter
// has just written, and on some CPUs a masked load waits for such a store even where the mask
// hides it. Two overlapping loads inside the string cover it instead; the bytes they share
// become padding, which keeps the digits in order.
QV_ALWAYS_INLINE __m128i load_upto16(const char* p, std::size_t n) {
    if (n == 16) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if (n >= 8) {
        const __m128i pair =
            _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                               _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + n - 8)));
        return _mm_mask_mov_epi8(
            pair, static_cast<__mmask16>(_bzhi_u32(~0u, static_cast<unsigned>(16 - n)) << 8),
            _mm_set1_epi8('0'));
    }
    return _mm_insert_epi64(_mm_set1_epi8('0'),
                            static_cast<long long>(swar::load_partial_word(p, n)), 0);
}

// A whole string of fewer than 64 bytes, padded, in the same way.
QV_ALWAYS_INLINE __m512i load_short(const char* p, std::size_t n) {
    const __m512i padding = _mm512_set1_epi8('0');
    if (n >= 32) {
        const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i hi = _mm256_mask_mov_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + n - 32)),
            _bzhi_u32(~0u, static_cast<unsigned>(64 - n)), _mm256_set1_epi8('0'));
        const __m512i low_half = _mm512_mask_inserti64x4(padding, 0xFF, padding, lo, 0);
        return _mm512_mask_inserti64x4(low_half, 0xFF, low_half, hi, 1);
    }
    if (n > 16) {
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hi =
            _mm_mask_mov_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16)),
                              static_cast<__mmask16>(_bzhi_u32(~0u, static_cast<unsigned>(32 - n))),
                              _mm_set1_epi8('0'));
        return _mm512_mask_inserti64x4(padding, 0xFF, padding, _mm256_set_m128i(hi, lo), 0);
    }
    return _mm512_mask_inserti32x4(padding, 0xF, padding, load_upto16(p, n), 0);
}

// A whole string of at most 64 bytes as one block of each string; `live` marks the bytes that
// belong to the strings (the others are zero and must not count as invalid).
struct single_block {
    __m512i a, b;
    __mmask64 live;
};

QV_ALWAYS_INLINE single_block load_single_block(const char* a, const char* b, std::size_t n) {
    if (n == block) return {load(a), load(b), ~__mmask64{0}};
    if (n <= 16) {
        return {_mm512_zextsi128_si512(load_upto16(a, n)),
                _mm512_zextsi128_si512(load_upto16(b, n)), 0xFFFF};
    }
    return {load_short(a, n), load_short(b, n), ~__mmask64{0}};
}

// Sum of the eight 64-bit lanes, each holding at most 255. A short string waits for this sum,
// so it takes few dependent steps: narrow the lanes to bytes, then one sum of absolute
// differences adds them.
QV_ALWAYS_INLINE std::uint64_t sum_small_lanes(__m512i lanes) {
    const __m128i bytes = _mm512_maskz_cvtepi64_epi8(0xFF, lanes);
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_sad_epu8(bytes, _mm_setzero_si128())));
}

// Sum of eight 64-bit lanes of any size. Written out because GCC 12's _mm512_reduce_add_epi64
// warns about its own undefined temporaries.
QV_ALWAYS_INLINE std::uint64_t sum_lanes(__m512i v) {
    const __m256i half = _mm256_add_epi64(_mm512_maskz_extracti64x4_epi64(0xF, v, 0),
                                          _mm512_maskz_extracti64x4_epi64(0xF, v, 1));
    const __m128i quarter =
        _mm_add_epi64(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(quarter)) +
           static_cast<std::uint64_t>(_mm_extract_epi64(quarter, 1));
}

template <class D, bool prefetching = true>
QV_ALWAYS_INLINE distance_t blocks_distance(const char* a, const char* b, std::size_t n) noexcept {
    const typename D::constants c = D::load();
    __m512i health = D::healthy();
    if (n <= short_limit) {
        // The vector unit only validates; the count takes the shorter road through general
        // registers, which is what the caller waits for.
        D::diff(_mm512_zextsi128_si512(load_upto16(a, n)),
                _mm512_zextsi128_si512(load_upto16(b, n)), c, health);
        // Bytes past the first 16 are zero: invalid, but not part of the strings.
        if (D::invalid(health, c) & 0xFFFF) return invalid_distance;
        return short_distance_unchecked(a, b, n);
    }
    if (n <= block) {
        const __m512i d = D::diff(n == block ? load(a) : load_short(a, n),
                                  n == block ? load(b) : load_short(b, n), c, health);
        if (D::invalid(health, c)) return invalid_distance;
        return static_cast<distance_t>(sum_small_lanes(D::lane_popcount(d)));
    }
    // Two blocks a step, each with its own accumulators, so that neither running sum waits for
    // the other.
    __m512i lanes = _mm512_setzero_si512();
    __m512i lanes2 = _mm512_setzero_si512();
    __m512i health2 = D::healthy();
    std::size_t i = 0;
    if (n >= align_from) {
        i = head_length(a);
        lanes = D::lane_popcount(D::diff(load_first(a, i), load_first(b, i), c, health));
    }
    const bool far = prefetching && n >= prefetch_from;
    while (n - i >= 2 * block) {
        const std::size_t stop = i + std::min(n - i, check_every) / (2 * block) * (2 * block);
        for (; i < stop; i += 2 * block) {
            if (far) prefetch_ahead_of(a + i, b + i, 2);
            lanes = _mm512_add_epi64(
                lanes, D::lane_popcount(D::diff(load(a + i), load(b + i), c, health)));
            lanes2 = _mm512_add_epi64(
                lanes2,
                D::lane_popcount(D::diff(load(a + i + block), load(b + i + block), c, health2)));
        }
        if (D::invalid(health, c) | D::invalid(health2, c)) return invalid_distance;
    }
    lanes = _mm512_add_epi64(lanes, lanes2);
    if (n - i >= block) {
        lanes =
            _mm512_add_epi64(lanes, D::lane_popcount(D::diff(load(a + i), load(b + i), c, health)));
        i += block;
    }
    if (i < n) {
        lanes = _mm512_add_epi64(
            lanes,
            D::lane_popcount(D::diff(load_last(a + i, n - i), load_last(b + i, n - i), c, health)));
    }
    if (D::invalid(health, c)) return invalid_distance;
    return static_cast<distance_t>(sum_lanes(lanes));
}

// One block of the bounded count. It answers beyond or invalid when the block decides the
// test, and within when the count goes on, with `count` advanced; validated_all says that the
// block held no invalid byte. Only
// the digits before the first invalid one can carry the count past the limit, because the count
// stops at that invalid digit otherwise. Padding is valid and sits between real digits without
// reordering them, so it changes neither rule.
template <class D>
QV_ALWAYS_INLINE bounded_result decide_block(__m512i xa, __m512i xb, __mmask64 live,
                                            const typename D::constants& c, std::uint64_t limit,
                                            std::uint64_t& count) {
    __m512i health = D::healthy();
    const __m512i d = D::diff(xa, xb, c, health);
    const __mmask64 bad = D::invalid(health, c) & live;
    const __mmask64 before_bad = (bad - 1) & ~bad;
    const std::uint64_t block_count =
        sum_small_lanes(D::lane_popcount(_mm512_maskz_mov_epi8(before_bad, d)));
    if (block_count > limit - count) return {outcome::beyond, bad == 0};
    if (bad) return {outcome::invalid, false};
    count += block_count;
    return {outcome::within, true};
}

template <class D, bool aligned, bool prefetching = true>
QV_ALWAYS_INLINE bounded_result blocks_count_within(const char* a, const char* b, std::size_t n,
                                                    std::uint64_t limit) noexcept {
    const typename D::constants c = D::load();
    std::uint64_t count = 0;
    if (n <= block) {
        const single_block s = load_single_block(a, b, n);
        // The block held the whole strings: a clean block validated every digit.
        return decide_block<D>(s.a, s.b, s.live, c, limit, count);
    }
    constexpr __mmask64 all = ~__mmask64{0};
    std::size_t i = 0;
    if (aligned && n >= align_from) {
        i = head_length(a);
        const bounded_result v =
            decide_block<D>(load_first(a, i), load_first(b, i), all, c, limit, count);
        if (v.answer != outcome::within) return {v.answer, false};
    }
    const std::size_t last = i + (n - i - 1) / block * block;
    // Four blocks are accepted together when all their digits are valid and the count stays
    // within the limit; otherwise they are replayed one by one to find the deciding digit.
    const bool far = prefetching && n >= prefetch_from;
    for (; last - i >= 4 * block; i += 4 * block) {
        if (far) prefetch_ahead_of(a + i, b + i, 4);
        __m512i health = D::healthy();
        __m512i lanes = D::lane_popcount(D::diff(load(a + i), load(b + i), c, health));
        for (std::size_t k = 1; k < 4; ++k) {
            lanes = _mm512_add_epi64(
                lanes, D::lane_popcount(
                           D::diff(load(a + i + k * block), load(b + i + k * block), c, health)));
        }
        const std::uint64_t group_count = sum_lanes(lanes);
        if (D::invalid(health, c) == 0 && group_count <= limit - count) {
            count += group_count;
            continue;
        }
        for (std::size_t k = 0; k < 4; ++k) {
            const bounded_result v = decide_block<D>(load(a + i + k * block),
                                                     load(b + i + k * block), all, c, limit, count);
            if (v.answer != outcome::within) return {v.answer, false};
        }
    }
    for (; i < last; i += block) {
        const bounded_result v = decide_block<D>(load(a + i), load(b + i), all, c, limit, count);
        if (v.answer != outcome::within) return {v.answer, false};
    }
    return decide_block<D>(load_last(a + last, n - last), load_last(b + last, n - last), all, c,
                           limit, count);
}

QV_ALWAYS_INLINE bool has_zero_byte(__m512i v) { return _mm512_testn_epi8_mask(v, v) != 0; }

QV_ALWAYS_INLINE __m512i min4(const char* a, const char* b) {
    return _mm512_min_epu8(_mm512_min_epu8(_mm512_min_epu8(load(a), load(b)),
                                           _mm512_min_epu8(load(a + block), load(b + block))),
                           _mm512_min_epu8(_mm512_min_epu8(load(a + 2 * block), load(b + 2 * block)),
                                           _mm512_min_epu8(load(a + 3 * block), load(b + 3 * block))));
}

template <bool aligned, bool prefetching = true>
QV_ALWAYS_INLINE bool blocks_contain_nul(const char* a, const char* b, std::size_t n) noexcept {
    if (n <= block) {
        const single_block s = load_single_block(a, b, n);
        const __m512i m = _mm512_min_epu8(s.a, s.b);
        return (_mm512_testn_epi8_mask(m, m) & s.live) != 0;
    }
    // Reading is the whole cost here, so two blocks share one test and one branch. The head
    // block and the last one may read bytes twice, which cannot change the answer.
    std::size_t i = 0;
    if (aligned && n >= align_from) {
        if (has_zero_byte(_mm512_min_epu8(load(a), load(b)))) return true;
        i = head_length(a);
    }
    if (prefetching && n >= prefetch_from) {
        for (; n - i >= prefetch_ahead + 4 * block; i += 4 * block) {
            prefetch_ahead_of(a + i, b + i, 4);
            if (has_zero_byte(min4(a + i, b + i))) return true;
        }
    }
    for (; n - i >= 2 * block; i += 2 * block) {
        const __m512i m =
            _mm512_min_epu8(_mm512_min_epu8(load(a + i), load(b + i)),
                            _mm512_min_epu8(load(a + i + block), load(b + i + block)));
        if (has_zero_byte(m)) return true;
    }
    if (n - i >= block) {
        if (has_zero_byte(_mm512_min_epu8(load(a + i), load(b + i)))) return true;
        i += block;
    }
    return i < n &&
           has_zero_byte(_mm512_min_epu8(load_last(a + i, n - i), load_last(b + i, n - i)));
}

}  // namespace
}  // namespace quorvalent

#endif
