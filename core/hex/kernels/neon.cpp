// 64 digits per step with NEON, which every AArch64 CPU has. Each 16-byte vector of a string is
// decoded by one 64-entry table lookup indexed by c - '0' (TBL over four registers), the
// lookups of both strings are XORed, and two such XORs share one byte count (CNT) by packing
// their low nibbles into one byte. Validation costs one OR a vector:
//   - a's table gives value | 0x10 for a digit, and 0 for any other byte (TBL reads 0 for an
//     index past the table);
//   - b's table gives value | 0x10 for a digit and 0xE0 for a non-digit inside the table; past
//     the table TBX leaves the index itself, c - '0' >= 0x40;
// so the XOR has a zero high nibble exactly where both bytes are digits (1 ^ 1), and a non-zero
// one wherever either is not (0 ^ 1, 1 ^ 0xE or 1 ^ 4..F, 0 ^ 0xE or 0 ^ 4..F).
// Strings of up to 16 digits take one vector each; tails shorter than a vector go to the SWAR
// routines.
#include "common/portability.hpp"

#if QV_AARCH64

#include <arm_neon.h>

#include <algorithm>

#include "hex/blocks/swar.hpp"
#include "hex/kernels.hpp"
#include "hex/reference.hpp"

namespace quorvalent {

namespace {

constexpr std::size_t vector = 16;
constexpr std::size_t block = 4 * vector;
// Each step adds at most 2 x 8 to a byte of the count accumulator.
constexpr std::size_t steps_per_byte_sum_neon = 15;

struct lookup_tables {
    unsigned char a[64];
    unsigned char b[64];
};

constexpr lookup_tables make_tables() {
    lookup_tables t{};
    for (unsigned i = 0; i < 64; ++i) {
        const int v = hex_digit_value(static_cast<unsigned char>('0' + i));
        t.a[i] = v == invalid_digit ? 0x00 : static_cast<unsigned char>(v | 0x10);
        t.b[i] = v == invalid_digit ? 0xE0 : static_cast<unsigned char>(v | 0x10);
    }
    return t;
}

alignas(64) constexpr lookup_tables tables = make_tables();

// What the header's argument needs of every single byte: a's lookup is value | 0x10 for a
// digit and 0 otherwise; b's is value | 0x10 for a digit and has a high nibble of 4 or more
// otherwise. The core tests then check the XOR on all 256 x 256 byte pairs.
constexpr bool lookups_mark_every_non_digit() {
    for (unsigned c = 0; c < 256; ++c) {
        const unsigned index = (c - '0') & 0xFF;
        const unsigned va = index < 64 ? tables.a[index] : 0;
        const unsigned vb = index < 64 ? tables.b[index] : index;
        const int d = hex_digit_value(static_cast<unsigned char>(c));
        if (d == invalid_digit ? (va != 0 || (vb >> 4) < 4)
                               : (va != (static_cast<unsigned>(d) | 0x10) || va != vb)) {
            return false;
        }
    }
    return true;
}
static_assert(lookups_mark_every_non_digit());

struct decoder {
    uint8x16x4_t a, b;
    uint8x16_t zero_digit;
};

QV_ALWAYS_INLINE decoder load_decoder() {
    return {vld1q_u8_x4(tables.a), vld1q_u8_x4(tables.b), vdupq_n_u8('0')};
}

// value(a) ^ value(b) in the low nibble; a non-zero high nibble marks a non-digit.
QV_ALWAYS_INLINE uint8x16_t combine(uint8x16_t a, uint8x16_t b, const decoder& d) {
    const uint8x16_t ia = vsubq_u8(a, d.zero_digit);
    const uint8x16_t ib = vsubq_u8(b, d.zero_digit);
    return veorq_u8(vqtbl4q_u8(d.a, ia), vqtbx4q_u8(ib, d.b, ib));
}

QV_ALWAYS_INLINE uint8x16_t load(const char* p) {
    return vld1q_u8(reinterpret_cast<const std::uint8_t*>(p));
}

QV_ALWAYS_INLINE bool any_non_digit(uint8x16_t health) { return vmaxvq_u8(health) >= 16; }

// Bits set in the low nibbles of x, a vector of combined digits.
QV_ALWAYS_INLINE unsigned vector_bits(uint8x16_t x) {
    return vaddlvq_u8(vcntq_u8(vandq_u8(x, vdupq_n_u8(0x0F))));
}

struct block_result {
    uint8x16_t health;  // the OR of the four combined vectors
    uint8x16_t counts;  // per-byte bit counts of the block, at most 16 each
};

QV_ALWAYS_INLINE block_result combine_block(const char* a, const char* b, const decoder& d) {
    const uint8x16x4_t va = vld1q_u8_x4(reinterpret_cast<const std::uint8_t*>(a));
    const uint8x16x4_t vb = vld1q_u8_x4(reinterpret_cast<const std::uint8_t*>(b));
    const uint8x16_t x0 = combine(va.val[0], vb.val[0], d);
    const uint8x16_t x1 = combine(va.val[1], vb.val[1], d);
    const uint8x16_t x2 = combine(va.val[2], vb.val[2], d);
    const uint8x16_t x3 = combine(va.val[3], vb.val[3], d);
    // The marks are gathered first: SLI then overwrites x0 and x2 in place instead of copies.
    const uint8x16_t health = vorrq_u8(vorrq_u8(x0, x1), vorrq_u8(x2, x3));
    // SLI keeps the low nibble of its first operand under the shifted second one, so each byte
    // holds two digits' XORs and the high nibbles' marks drop out of the count.
    const uint8x16_t counts =
        vaddq_u8(vcntq_u8(vsliq_n_u8(x0, x1, 4)), vcntq_u8(vsliq_n_u8(x2, x3, 4)));
    return {health, counts};
}

// Up to 16 digits in one vector per string: loads that stay inside the strings, padded with
// '0' (valid, and equal in both), so the same lookup serves every short length.
QV_ALWAYS_INLINE uint8x16_t load_short(const char* p, std::size_t n) {
    if (n == vector) return load(p);
    const std::uint64_t low = n >= 8 ? swar::load_word(p) : swar::load_partial_word(p, n);
    std::uint64_t high = swar::broadcast('0');
    if (n > 8) {
        // The last 8 bytes, with the ones already in `low` turned into padding.
        const std::uint64_t last = swar::load_word(p + n - 8);
        const unsigned repeated_bits = static_cast<unsigned>(8 * (16 - n));  // 0..56
        const std::uint64_t padding = (1ull << repeated_bits) - 1;
        high = (last & ~padding) | (swar::broadcast('0') & padding);
    }
    return vcombine_u8(vcreate_u8(low), vcreate_u8(high));
}

distance_t neon_distance(const char* a, const char* b, std::size_t n) noexcept {
    const decoder d = load_decoder();
    if (n <= vector) {
        const uint8x16_t x = combine(load_short(a, n), load_short(b, n), d);
        if (any_non_digit(x)) return invalid_distance;
        return vector_bits(x);
    }
    uint64x2_t lanes = vdupq_n_u64(0);
    uint8x16_t health = vdupq_n_u8(0);
    std::size_t i = 0;
    while (n - i >= block) {
        const std::size_t steps = std::min((n - i) / block, steps_per_byte_sum_neon);
        uint8x16_t counts = vdupq_n_u8(0);
        for (std::size_t s = 0; s < steps; ++s, i += block) {
            const block_result r = combine_block(a + i, b + i, d);
            health = vorrq_u8(health, r.health);
            counts = vaddq_u8(counts, r.counts);
        }
        // Checked once per chunk: stops early on a bad digit without a branch per block.
        if (any_non_digit(health)) return invalid_distance;
        lanes = vpadalq_u32(lanes, vpaddlq_u16(vpaddlq_u8(counts)));
    }
    std::uint64_t count = vgetq_lane_u64(lanes, 0) + vgetq_lane_u64(lanes, 1);
    for (; n - i >= vector; i += vector) {
        const uint8x16_t x = combine(load(a + i), load(b + i), d);
        health = vorrq_u8(health, x);
        count += vector_bits(x);
    }
    if (any_non_digit(health)) return invalid_distance;
    if (!swar::add_distance(a + i, b + i, n - i, count)) return invalid_distance;
    return static_cast<distance_t>(count);
}

bounded_result neon_count_within(const char* a, const char* b, std::size_t n,
                                 std::uint64_t limit) noexcept {
    const decoder d = load_decoder();
    if (n <= vector) {
        const uint8x16_t x = combine(load_short(a, n), load_short(b, n), d);
        const std::uint64_t c = vector_bits(x);
        if (any_non_digit(x) || c > limit) {
            // The deciding vector is replayed digit by digit, for the order of the answers.
            return {swar::count_within_from(a, b, n, limit, 0), false};
        }
        return {outcome::within, true};
    }
    std::uint64_t count = 0;
    std::size_t i = 0;
    for (; n - i >= block; i += block) {
        const block_result r = combine_block(a + i, b + i, d);
        const std::uint64_t c = vaddlvq_u8(r.counts);
        if (any_non_digit(r.health) || c > limit - count) {
            return {swar::count_within_from(a + i, b + i, block, limit, count), false};
        }
        count += c;
    }
    for (; n - i >= vector; i += vector) {
        const uint8x16_t x = combine(load(a + i), load(b + i), d);
        const std::uint64_t c = vector_bits(x);
        if (any_non_digit(x) || c > limit - count) {
            return {swar::count_within_from(a + i, b + i, vector, limit, count), false};
        }
        count += c;
    }
    const outcome answer = swar::count_within_from(a + i, b + i, n - i, limit, count);
    return {answer, answer == outcome::within};
}

bool neon_contains_nul(const char* a, const char* b, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; n - i >= block; i += block) {
        const uint8x16x4_t va = vld1q_u8_x4(reinterpret_cast<const std::uint8_t*>(a + i));
        const uint8x16x4_t vb = vld1q_u8_x4(reinterpret_cast<const std::uint8_t*>(b + i));
        const uint8x16_t m = vminq_u8(vminq_u8(vminq_u8(va.val[0], va.val[1]),
                                               vminq_u8(va.val[2], va.val[3])),
                                      vminq_u8(vminq_u8(vb.val[0], vb.val[1]),
                                               vminq_u8(vb.val[2], vb.val[3])));
        if (vminvq_u8(m) == 0) return true;
    }
    return scan_contains_nul(a + i, b + i, n - i);
}

}  // namespace

QV_DEFINE_HEX_KERNEL(neon, portable, neon_distance, neon_count_within, neon_contains_nul);

}  // namespace quorvalent

#endif
