// AVX-512 kernel for CPUs with BW but without VBMI or VPOPCNTDQ: the 16-entry shuffles of the
// AVX2 kernel (see nibble_tables.hpp) on 64 digits per step, and a shuffle-and-sum popcount.
#include "common/portability.hpp"

#if QV_X86_64

#include <algorithm>
#include <cstdint>

#include "hex/blocks/nibble_tables.hpp"
#include "hex/blocks/swar.hpp"
#include "hex/kernels.hpp"

QV_BEGIN_ISA(avx512bw)

#include "hex/blocks/avx512_blocks.hpp"

namespace quorvalent {
namespace {

__m512i broadcast16(const unsigned char (&t)[16]) {
    // The masked form, because GCC 12's plain one warns about its own undefined source.
    return _mm512_maskz_broadcast_i32x4(0xFFFF,
                                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

struct bw_decoder {
    struct constants {
        __m512i by_high, by_low, popcount, low_nibble;
    };
    static constants load() {
        return {broadcast16(nibble_tables::class_by_high), broadcast16(nibble_tables::class_by_low),
                broadcast16(nibble_bit_count), _mm512_set1_epi8(0x0F)};
    }
    // Health is the running minimum of the digit classes: zero marks a bad byte.
    static __m512i healthy() { return _mm512_set1_epi8(-1); }
    // The digit's value in the low nibble; `cls` is zero where the byte is not a digit.
    static __m512i decode(__m512i x, const constants& c, __m512i& cls) {
        const __m512i row =
            _mm512_shuffle_epi8(c.by_high, _mm512_and_si512(_mm512_srli_epi16(x, 4), c.low_nibble));
        cls = _mm512_and_si512(row, _mm512_shuffle_epi8(c.by_low, x));
        return _mm512_add_epi8(x, row);
    }
    // Returns per-byte distances rather than XORs; lane_popcount only has to sum them.
    static __m512i diff(__m512i xa, __m512i xb, const constants& c, __m512i& health) {
        __m512i cls_a, cls_b;
        const __m512i va = decode(xa, c, cls_a);
        const __m512i vb = decode(xb, c, cls_b);
        health = _mm512_min_epu8(health, _mm512_min_epu8(cls_a, cls_b));
        return _mm512_shuffle_epi8(c.popcount, _mm512_xor_si512(va, vb));
    }
    static __mmask64 invalid(__m512i health, const constants&) { return _mm512_testn_epi8_mask(health, health); }
    static __m512i lane_popcount(__m512i per_byte) {
        return _mm512_sad_epu8(per_byte, _mm512_setzero_si512());
    }
};

distance_t bw_distance(const char* a, const char* b, std::size_t n) noexcept {
    return blocks_distance<bw_decoder>(a, b, n);
}
bounded_result bw_count_within(const char* a, const char* b, std::size_t n,
                               std::uint64_t limit) noexcept {
    return blocks_count_within<bw_decoder, false>(a, b, n, limit);
}
bool bw_contains_nul(const char* a, const char* b, std::size_t n) noexcept {
    return blocks_contain_nul<false>(a, b, n);
}

}  // namespace
}  // namespace quorvalent

QV_END_ISA

namespace quorvalent {

QV_DEFINE_HEX_KERNEL(avx512bw, avx512bw, bw_distance, bw_count_within, bw_contains_nul);

}  // namespace quorvalent

#endif
