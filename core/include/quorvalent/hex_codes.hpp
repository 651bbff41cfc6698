// Hex text to packed binary codes and back, for the near-duplicate index.
//
// A code of D digits occupies W = ceil(D / 16) 64-bit words. Word j holds the value of digits
// [16j, 16j + 16) read as one hexadecimal number, so a code of up to 16 digits is simply its
// integer value, and the Hamming distance of two codes is the popcount of their XOR: the same
// count that hex_distance gives for the texts.
#ifndef QUORVALENT_HEX_CODES_HPP
#define QUORVALENT_HEX_CODES_HPP

#include <cstddef>
#include <cstdint>

namespace quorvalent {

inline constexpr std::size_t digits_per_word = 16;

constexpr std::size_t words_for_digits(std::size_t digits) noexcept {
    return (digits + digits_per_word - 1) / digits_per_word;
}

// Packs s[0..n) into words_for_digits(n) words; false when some byte is not a hex digit (the
// words are then unspecified).
bool pack_hex(const char* s, std::size_t n, std::uint64_t* words) noexcept;

// Position of the first byte of s[0..n) that is not a hex digit, or n.
std::size_t first_invalid_digit(const char* s, std::size_t n) noexcept;

// Writes the n lower-case digits of a packed code.
void unpack_hex(const std::uint64_t* words, std::size_t n, char* out) noexcept;

}  // namespace quorvalent

#endif
