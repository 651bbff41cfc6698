// Eight digits per 64-bit word. Portable to every 64-bit target, and the tail handler of the
// wider kernels.
//
// A digit's value is its low nibble, plus 9 for a letter (bit 6 of the code marks the letters),
// so no lookup is needed. The XOR of two values fits in 4 bits, so counting the bits of a whole
// word of XORs gives the sum of the per-digit distances.
#ifndef QUORVALENT_HEX_SWAR_HPP
#define QUORVALENT_HEX_SWAR_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/portability.hpp"
#include "quorvalent/hex_distance.hpp"

namespace quorvalent {

// Per-byte counts grow by at most 4 a step (a word here, a vector in the AVX2 kernel), so 63
// steps fit in a byte (252) before the bytes must be widened and added up.
inline constexpr std::size_t steps_per_byte_sum = 63;

}  // namespace quorvalent

namespace quorvalent::swar {

inline constexpr std::uint64_t ones = 0x0101010101010101ull;
inline constexpr std::uint64_t high_bits = 0x8080808080808080ull;
inline constexpr std::uint64_t low_nibbles = 0x0F0F0F0F0F0F0F0Full;

constexpr std::uint64_t broadcast(unsigned char c) { return ones * c; }

// Byte i of the string lands in bits 8i..8i+7, on any byte order, so that the lowest flagged
// byte is the first flagged position.
inline std::uint64_t load_word(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
}

// Fewer than 8 bytes, padded with '0': a padding digit is valid and adds nothing, since both
// strings get the same padding. Built from loads that stay inside [p, p + k): bytes just past a
// short string usually belong to another object whose reference count was stored a moment ago,
// and a load overlapping such a store waits for it. Two overlapping loads cover the k bytes; the
// bytes read twice become padding, so positions keep their order.
inline std::uint64_t load_partial_word(const char* p, std::size_t k) noexcept {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    char buf[8];
    std::memset(buf, '0', sizeof buf);
    std::memcpy(buf, p, k);
    return load_word(buf);
#else
    std::uint64_t w = 0;
    std::uint64_t padding = ~std::uint64_t{0};
    if (k >= 4) {
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + k - 4, 4);
        w = lo | (std::uint64_t{hi} << 32);
        padding = ((std::uint64_t{1} << (8 * (8 - k))) - 1) << 32;
    } else if (k >= 2) {
        std::uint16_t lo, hi;
        std::memcpy(&lo, p, 2);
        std::memcpy(&hi, p + k - 2, 2);
        w = lo | (std::uint64_t{hi} << 16);
        padding = (((std::uint64_t{1} << (8 * (4 - k))) - 1) << 16) | 0xFFFFFFFF00000000ull;
    } else if (k == 1) {
        w = static_cast<unsigned char>(p[0]);
        padding = ~std::uint64_t{0xFF};
    }
    return (w & ~padding) | (broadcast('0') & padding);
#endif
}

// Bit 7 of each byte set where that byte is not a hex digit. For x < 0x80, adding 0x80 - lo
// sets bit 7 exactly when x >= lo, and never carries into the next byte.
constexpr std::uint64_t invalid_bytes(std::uint64_t w) noexcept {
    const std::uint64_t x = w & ~high_bits;
    const std::uint64_t lower = x | broadcast(0x20);
    const std::uint64_t digit = (x + broadcast(0x80 - '0')) & ~(x + broadcast(0x80 - '9' - 1));
    const std::uint64_t letter =
        (lower + broadcast(0x80 - 'a')) & ~(lower + broadcast(0x80 - 'f' - 1));
    return (~(digit | letter) | w) & high_bits;
}

// Digit values, meaningful at valid bytes only; never carries between bytes.
constexpr std::uint64_t digit_values(std::uint64_t w) noexcept {
    return (w & low_nibbles) + 9 * ((w >> 6) & ones);
}

// Set bits of a word whose bytes each hold at most 4 bits.
constexpr unsigned nibble_word_popcount(std::uint64_t x) noexcept {
    x = x - ((x >> 1) & broadcast(0x55));
    x = (x & broadcast(0x33)) + ((x >> 2) & broadcast(0x33));
    return static_cast<unsigned>((x * ones) >> 56);
}

// Every byte below the lowest flagged one; all bytes when none is flagged.
constexpr std::uint64_t bytes_before_first(std::uint64_t flags) noexcept {
    const std::uint64_t first = flags & (~flags + 1);
    return first ? (first >> 7) - 1 : ~std::uint64_t{0};
}

// Per-byte set-bit counts (0..4) of a word whose bytes each hold at most 4 bits.
constexpr std::uint64_t nibble_byte_counts(std::uint64_t x) noexcept {
    x = x - ((x >> 1) & broadcast(0x55));
    return (x & broadcast(0x33)) + ((x >> 2) & broadcast(0x33));
}

// Sum of the bytes of a word, each at most 252.
constexpr std::uint64_t sum_bytes(std::uint64_t x) noexcept {
    constexpr std::uint64_t low_bytes = 0x00FF00FF00FF00FFull;
    x = (x & low_bytes) + ((x >> 8) & low_bytes);
    return (x * 0x0001000100010001ull) >> 48;
}

// Adds the distance of a[0..n) and b[0..n) to `count`; false when a digit is invalid.
inline bool add_distance(const char* a, const char* b, std::size_t n,
                         std::uint64_t& count) noexcept {
    std::uint64_t bad = 0;
    std::uint64_t sum = 0;
    std::size_t i = 0;
    while (n - i >= 8) {
        const std::size_t words =
            (n - i) / 8 < steps_per_byte_sum ? (n - i) / 8 : steps_per_byte_sum;
        std::uint64_t bytes = 0;
        for (std::size_t w = 0; w < words; ++w, i += 8) {
            const std::uint64_t wa = load_word(a + i);
            const std::uint64_t wb = load_word(b + i);
            bad |= invalid_bytes(wa) | invalid_bytes(wb);
            bytes += nibble_byte_counts(digit_values(wa) ^ digit_values(wb));
        }
        sum += sum_bytes(bytes);
    }
    if (i < n) {
        const std::uint64_t wa = load_partial_word(a + i, n - i);
        const std::uint64_t wb = load_partial_word(b + i, n - i);
        bad |= invalid_bytes(wa) | invalid_bytes(wb);
        sum += nibble_word_popcount(digit_values(wa) ^ digit_values(wb));
    }
    count += sum;
    return bad == 0;
}

// One word of the bounded count: the answer when this word decides it, or else nothing and
// `count` advanced. Only the digits before the first invalid one count, because the count
// passes the limit before reaching an invalid digit or not at all.
inline bool decide_word(std::uint64_t wa, std::uint64_t wb, std::uint64_t limit,
                        std::uint64_t& count, outcome& answer) noexcept {
    const std::uint64_t bad = invalid_bytes(wa) | invalid_bytes(wb);
    const std::uint64_t diff = (digit_values(wa) ^ digit_values(wb)) & bytes_before_first(bad);
    count += nibble_word_popcount(diff);
    if (count > limit) {
        answer = outcome::beyond;
        return true;
    }
    if (bad) {
        answer = outcome::invalid;
        return true;
    }
    return false;
}

// The bounded count over a[0..n) and b[0..n), starting from a running count already within.
inline outcome count_within_from(const char* a, const char* b, std::size_t n, std::uint64_t limit,
                                 std::uint64_t count) noexcept {
    outcome answer = outcome::within;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        if (decide_word(load_word(a + i), load_word(b + i), limit, count, answer)) return answer;
    }
    if (i < n && decide_word(load_partial_word(a + i, n - i), load_partial_word(b + i, n - i),
                             limit, count, answer)) {
        return answer;
    }
    return outcome::within;
}

}  // namespace quorvalent::swar

#endif
