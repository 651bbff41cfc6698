// AVX-512 kernel with VBMI and VPOPCNTDQ, 64 digits per step.
//
// It decodes each byte with one 64-entry permute (VBMI), validates with the high nibble of the
// result, and counts with VPOPCNTQ. CPUs without those get avx512bw.cpp.
#include "common/portability.hpp"

#if QV_X86_64

#include <algorithm>
#include <array>
#include <cstdint>

#include "hex/blocks/swar.hpp"
#include "hex/kernels.hpp"
#include "hex/reference.hpp"

namespace quorvalent {
namespace {

// Indexed by the low 6 bits of a byte, which tell the 22 digits apart ('0'..'9' at 0x30..0x39,
// 'A'..'F' at 0x01..0x06, 'a'..'f' at 0x21..0x26). A digit's slot holds value(c) ^ c, so that
// the entry XOR the byte is the value for that digit and has a non-zero high nibble for the
// three other bytes sharing its slot, which differ from it in bits 7:6. Every other slot holds
// its index with bits 5:4 inverted, so the entry XOR any byte of that slot has them set.
constexpr std::array<unsigned char, 64> value_xor_code_table() {
    std::array<unsigned char, 64> t{};
    for (unsigned s = 0; s < 64; ++s) t[s] = static_cast<unsigned char>(s ^ 0x30);
    for (unsigned c = 0; c < 128; ++c) {
        const int v = hex_digit_value(static_cast<unsigned char>(c));
        if (v != invalid_digit) t[c & 63] = static_cast<unsigned char>(v ^ static_cast<int>(c));
    }
    return t;
}
alignas(64) constexpr std::array<unsigned char, 64> value_xor_code = value_xor_code_table();

// The decoder's whole claim, on every byte: the entry XOR the byte has a zero high nibble
// exactly for the digits, and then holds the digit's value.
constexpr bool table_decodes_every_byte() {
    for (unsigned x = 0; x < 256; ++x) {
        const unsigned r = value_xor_code[x & 63] ^ x;
        const int v = hex_digit_value(static_cast<unsigned char>(x));
        if ((r < 16) != (v != invalid_digit)) return false;
        if (r < 16 && static_cast<int>(r) != v) return false;
    }
    return true;
}
static_assert(table_decodes_every_byte());

}  // namespace
}  // namespace quorvalent

QV_BEGIN_ISA(avx512vbmi)

#include "hex/blocks/avx512_blocks.hpp"

namespace quorvalent {
namespace {

// Seven vector operations a block, two of them 64-entry permutes. A 128-entry permute
// (VPERMT2B) would validate in the lookup itself, but Intel runs it as two operations on the
// one port that permutes, and the block loop is bound by that port.
// The masked form with every lane selected, because GCC 12's plain one warns about its own
// undefined source.
QV_ALWAYS_INLINE __m512i lookup(__m512i index, __m512i table) {
    return _mm512_mask_permutexvar_epi8(table, ~__mmask64{0}, index, table);
}

struct vbmi_decoder {
    struct constants {
        __m512i table, high_nibble;
    };
    static constants load() {
        return {_mm512_load_si512(value_xor_code.data()), _mm512_set1_epi8(-16)};
    }
    static __m512i healthy() { return _mm512_setzero_si512(); }
    static __m512i diff(__m512i xa, __m512i xb, const constants& c, __m512i& health) {
        // Each value has a non-zero high nibble where its byte is not a digit. In the XOR of
        // both, two such nibbles could cancel, so a's own value goes into health beside it.
        const __m512i va = _mm512_xor_si512(lookup(xa, c.table), xa);
        // The three-way XOR is symmetric; with the fresh lookup first, the instruction can
        // write over it instead of a copy of va, which health still needs.
        const __m512i d = _mm512_ternarylogic_epi64(lookup(xb, c.table), va, xb, 0x96);
        health = _mm512_ternarylogic_epi64(health, va, d, 0xFE);
        return d;
    }
    static __mmask64 invalid(__m512i health, const constants& c) {
        return _mm512_test_epi8_mask(health, c.high_nibble);
    }
    static __m512i lane_popcount(__m512i v) { return _mm512_popcnt_epi64(v); }
};

template <bool prefetching>
distance_t vbmi_distance(const char* a, const char* b, std::size_t n) noexcept {
    return blocks_distance<vbmi_decoder, prefetching>(a, b, n);
}
template <bool aligned, bool prefetching>
bounded_result vbmi_count_within(const char* a, const char* b, std::size_t n,
                                 std::uint64_t limit) noexcept {
    return blocks_count_within<vbmi_decoder, aligned, prefetching>(a, b, n, limit);
}
template <bool aligned, bool prefetching>
bool vbmi_contains_nul(const char* a, const char* b, std::size_t n) noexcept {
    return blocks_contain_nul<aligned, prefetching>(a, b, n);
}

}  // namespace
}  // namespace quorvalent

QV_END_ISA

namespace quorvalent {

QV_DEFINE_HEX_KERNEL(avx512vbmi, avx512vbmi, vbmi_distance<true>, (vbmi_count_within<false, true>),
                     (vbmi_contains_nul<false, true>));
// The same blocks with every long loop aligned, for Intel cores; see avx512_blocks.hpp.
QV_DEFINE_TUNED_HEX_KERNEL(avx512vbmi_aligned, avx512vbmi, feature_intel_core, vbmi_distance<true>,
                           (vbmi_count_within<true, true>), (vbmi_contains_nul<true, true>));
// The same blocks without software prefetches, for AMD's family 19h (Zen 4), where they slow
// the long loops down; see avx512_blocks.hpp.
QV_DEFINE_TUNED_HEX_KERNEL(avx512vbmi_no_prefetch, avx512vbmi, feature_amd_family_19h,
                           vbmi_distance<false>, (vbmi_count_within<false, false>),
                           (vbmi_contains_nul<false, false>));

}  // namespace quorvalent

#endif
