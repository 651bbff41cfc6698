// AVX-512 kernel with VBMI and VPOPCNTDQ, 64 digits per step.
//
// It decodes and validates each byte with one 128-entry permute (VBMI) and counts with
// VPOPCNTQ. CPUs without those get avx512bw.cpp.
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

// Digit value of each 7-bit code, or 0x80 where the code is not a digit.
constexpr std::array<unsigned char, 128> digit_value_table() {
    std::array<unsigned char, 128> t{};
    for (unsigned c = 0; c < 128; ++c) {
        const int v = hex_digit_value(static_cast<unsigned char>(c));
        t[c] = static_cast<unsigned char>(v == invalid_digit ? 0x80 : v);
    }
    return t;
}
alignas(64) constexpr std::array<unsigned char, 128> digit_values = digit_value_table();

}  // namespace
}  // namespace quorvalent

QV_BEGIN_ISA(avx512vbmi)

#include "hex/blocks/avx512_blocks.hpp"

namespace quorvalent {
namespace {

struct vbmi_decoder {
    struct constants {
        __m512i low_half, high_half;
    };
    static constants load() {
        return {_mm512_load_si512(digit_values.data()),
                _mm512_load_si512(digit_values.data() + 64)};
    }
    static __m512i healthy() { return _mm512_setzero_si512(); }
    static __m512i diff(__m512i xa, __m512i xb, const constants& c, __m512i& health) {
        // The permute ignores bit 7 of the index, so the byte itself is folded into health:
        // bit 7 of health ends up set for a code >= 0x80 as well as for a non-digit.
        // One step on the running health per block keeps the loop's dependency chain short.
        const __m512i raw = _mm512_or_si512(xa, xb);
        const __m512i va = _mm512_permutex2var_epi8(c.low_half, xa, c.high_half);
        const __m512i vb = _mm512_permutex2var_epi8(c.low_half, xb, c.high_half);
        health = _mm512_ternarylogic_epi64(health, _mm512_or_si512(va, vb), raw, 0xFE);
        return _mm512_xor_si512(va, vb);
    }
    static __mmask64 invalid(__m512i health) { return _mm512_movepi8_mask(health); }
    static __m512i lane_popcount(__m512i v) { return _mm512_popcnt_epi64(v); }
};

distance_t vbmi_distance(const char* a, const char* b, std::size_t n) noexcept {
    return blocks_distance<vbmi_decoder>(a, b, n);
}
bounded_result vbmi_count_within(const char* a, const char* b, std::size_t n,
                                 std::uint64_t limit) noexcept {
    return blocks_count_within<vbmi_decoder>(a, b, n, limit);
}
bool vbmi_contains_nul(const char* a, const char* b, std::size_t n) noexcept {
    return blocks_contain_nul(a, b, n);
}

}  // namespace
}  // namespace quorvalent

QV_END_ISA

namespace quorvalent {

QV_DEFINE_HEX_KERNEL(avx512vbmi, avx512vbmi, vbmi_distance, vbmi_count_within, vbmi_contains_nul);

}  // namespace quorvalent

#endif
