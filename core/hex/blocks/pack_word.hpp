// One word of a packed code from up to 16 hex digits, inline: the step every packer of hex
// text repeats, shared by pack_hex and the loops that pack columns of hashes.
#ifndef QUORVALENT_HEX_BLOCKS_PACK_WORD_HPP
#define QUORVALENT_HEX_BLOCKS_PACK_WORD_HPP

#include <cstddef>
#include <cstdint>

#include "hex/blocks/swar.hpp"
#include "hex/reference.hpp"

namespace quorvalent {

// Eight digit values, one per byte with the first digit in the lowest byte, as the 32-bit
// number they spell.
constexpr std::uint32_t gather_nibbles(std::uint64_t values) noexcept {
    // Each byte pair becomes one byte, first digit high: then the four bytes are the number
    // in little-endian order, which a byte swap turns around.
    std::uint64_t x = ((values << 4) | (values >> 8)) & 0x00FF00FF00FF00FFull;
    x = (x | (x >> 8)) & 0x0000FFFF0000FFFFull;
    x = (x | (x >> 16)) & 0x00000000FFFFFFFFull;
    const auto v = static_cast<std::uint32_t>(x);
    return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

// The value of k <= 16 digits; `bad` collects the invalid-byte flags.
inline std::uint64_t pack_word(const char* s, std::size_t k, std::uint64_t& bad) noexcept {
    std::uint64_t value = 0;
    std::size_t i = 0;
    for (; i + 8 <= k; i += 8) {
        const std::uint64_t w = swar::load_word(s + i);
        bad |= swar::invalid_bytes(w);
        value = (value << 32) | gather_nibbles(swar::digit_values(w));
    }
    for (; i < k; ++i) {
        const int v = hex_digit_value(static_cast<unsigned char>(s[i]));
        if (v == invalid_digit) bad = 1;
        value = (value << 4) | static_cast<std::uint64_t>(v & 15);
    }
    return value;
}


}  // namespace quorvalent

#endif
