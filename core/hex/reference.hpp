// The straightforward routines: the definition of the answers, and the yardstick that every
// faster kernel is tested and fuzzed against.
#ifndef QUORVALENT_HEX_REFERENCE_HPP
#define QUORVALENT_HEX_REFERENCE_HPP

#include <cstddef>
#include <cstdint>

#include "quorvalent/hex_distance.hpp"

namespace quorvalent {

inline constexpr int invalid_digit = -1;

// Set bits of each 4-bit value. The vector kernels build their popcount lookups from it.
inline constexpr unsigned char nibble_bit_count[16] = {0, 1, 1, 2, 1, 2, 2, 3,
                                                       1, 2, 2, 3, 2, 3, 3, 4};

// Arithmetic decode: unsigned wrap-around turns each range test into one comparison, and
// folding to lower case makes 'A'..'F' and 'a'..'f' one range.
constexpr int hex_digit_value(unsigned char c) noexcept {
    const unsigned digit = static_cast<unsigned>(c) - '0';
    if (digit < 10) return static_cast<int>(digit);
    const unsigned letter = (static_cast<unsigned>(c) | 0x20u) - 'a';
    if (letter < 6) return static_cast<int>(letter) + 10;
    return invalid_digit;
}

distance_t reference_hex_distance(const char* a, const char* b, std::size_t n) noexcept;

// The counting step alone: positions in order, decode before add, stop once past the limit.
outcome reference_count_within(const char* a, const char* b, std::size_t n,
                               std::uint64_t limit) noexcept;

// The whole bounded test: limit short cut, identity short cut, then the count.
outcome reference_hex_within_dist(const char* a, const char* b, std::size_t n,
                                  std::uint64_t limit) noexcept;

// True when a limit answers "within" for strings of n digits without reading any of them. The
// reference and the dispatched entry point both start the bounded test with this.
constexpr bool limit_exceeds_max_distance(std::size_t n, std::uint64_t limit) noexcept {
    // 4n is the largest possible distance; compare without overflowing 4n.
    return limit / 4 > n || (limit / 4 == n && limit % 4 != 0);
}

}  // namespace quorvalent

#endif
