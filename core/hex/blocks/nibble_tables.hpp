// Lookup tables for the kernels that decode with 16-entry byte shuffles (AVX2, AVX-512BW).
//
// A byte x is split into its high nibble h and its low nibble l:
//   class_by_high[h] & class_by_low[l] is non-zero exactly for the hex digits;
//   x + class_by_high[h] has the digit's value in its low nibble and bit 7 clear.
// class_by_high therefore does two jobs: its 0x40 and 0x10 bits mark the digit rows ('0'..'9'
// and the two letter rows), and for letters its value is 9 modulo 16, the letter offset.
// class_by_low is indexed by the whole byte, so a byte with bit 7 set (not ASCII) reads 0.
#ifndef QUORVALENT_HEX_NIBBLE_TABLES_HPP
#define QUORVALENT_HEX_NIBBLE_TABLES_HPP

#include "hex/reference.hpp"

namespace quorvalent::nibble_tables {

inline constexpr unsigned char digit_row = 0x40;
inline constexpr unsigned char letter_row = 0x19;  // 0x10 marks the row, 0x09 is the offset

inline constexpr unsigned char class_by_high[16] = {
    0, 0, 0, digit_row, letter_row, 0, letter_row, 0, 0, 0, 0, 0, 0, 0, 0, 0};

inline constexpr unsigned char class_by_low[16] = {0x40, 0x50, 0x50, 0x50, 0x50, 0x50, 0x50, 0x40,
                                                   0x40, 0x40, 0,    0,    0,    0,    0,    0};

// The tables must agree with the reference decoder on every byte.
constexpr bool agree_with_reference() {
    for (unsigned c = 0; c < 256; ++c) {
        const unsigned h = c >> 4, l = c & 15;
        const bool valid = c < 0x80 && (class_by_high[h] & class_by_low[l]) != 0;
        if (valid != (hex_digit_value(static_cast<unsigned char>(c)) != invalid_digit)) {
            return false;
        }
        const unsigned adjusted = (c + class_by_high[h]) & 0xFF;
        if (valid && ((adjusted & 15) !=
                          static_cast<unsigned>(hex_digit_value(static_cast<unsigned char>(c))) ||
                      adjusted >= 0x80)) {
            return false;
        }
    }
    return true;
}
static_assert(agree_with_reference());

}  // namespace quorvalent::nibble_tables

#endif
