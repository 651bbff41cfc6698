// Hex text and big-endian bytes to packed binary codes and back, for the near-duplicate index,
// and the rules of a code's width.
//
// A code of `bits` bits occupies W = ceil(bits / 64) 64-bit words. Word j holds the value of
// digits [16j, 16j + 16) read as one hexadecimal number, so a code of up to 16 digits is simply
// its integer value, and the Hamming distance of two codes is the popcount of their XOR: the
// same count that hex_distance gives for the texts. No bit at or above `bits` is ever set in
// the last word; fits_width() is the one test of that rule.
#ifndef QUORVALENT_HEX_CODES_HPP
#define QUORVALENT_HEX_CODES_HPP

#include <cstddef>
#include <cstdint>

namespace quorvalent {

inline constexpr std::size_t digits_per_word = 16;
inline constexpr unsigned max_code_bits = 4096;  // 1024 hex digits
inline constexpr std::size_t max_code_words = max_code_bits / 64;

constexpr bool valid_code_bits(unsigned long long bits) noexcept {
    return bits >= 1 && bits <= max_code_bits;
}
constexpr std::size_t words_for_digits(std::size_t digits) noexcept {
    return (digits + digits_per_word - 1) / digits_per_word;
}
constexpr std::size_t words_for_bits(unsigned bits) noexcept { return (bits + 63u) / 64u; }
constexpr std::size_t digits_for_bits(unsigned bits) noexcept { return (bits + 3u) / 4u; }
constexpr std::size_t bytes_for_bits(unsigned bits) noexcept { return (bits + 7u) / 8u; }

// The bits of word j of a code that belong to it. A code is the number its digits spell, so
// when `bits` is not a multiple of four its first digit holds fewer than four bits, and the
// top of that digit, in word 0, lies above the code; the last word holds the last digits,
// in its low bits.
constexpr std::uint64_t code_word_mask(unsigned bits, std::size_t j) noexcept {
    const std::size_t digits = digits_for_bits(bits);
    const std::size_t words = words_for_bits(bits);
    const std::size_t held = j + 1 < words ? digits_per_word : digits - digits_per_word * (words - 1);
    std::uint64_t mask = held >= digits_per_word ? ~std::uint64_t{0} : (std::uint64_t{1} << (4 * held)) - 1;
    const unsigned padding = static_cast<unsigned>(4 * digits - bits);  // 0 to 3 bits
    if (j == 0 && padding != 0) {
        const std::size_t first_word_digits = digits < digits_per_word ? digits : digits_per_word;
        mask &= ~(((std::uint64_t{1} << padding) - 1) << (4 * first_word_digits - padding));
    }
    return mask;
}

// Whether a code of words_for_bits(bits) words sets no bit outside the code: the one test of
// the rule that no bit at or above `bits` is set. Only the first and last words can fail it.
constexpr bool fits_width(const std::uint64_t* code, unsigned bits) noexcept {
    const std::size_t last = words_for_bits(bits) - 1;
    return (code[0] & ~code_word_mask(bits, 0)) == 0 && (code[last] & ~code_word_mask(bits, last)) == 0;
}

// Packs s[0..n) into words_for_digits(n) words; false when some byte is not a hex digit (the
// words are then unspecified).
bool pack_hex(const char* s, std::size_t n, std::uint64_t* words) noexcept;

// Position of the first byte of s[0..n) that is not a hex digit, or n.
std::size_t first_invalid_digit(const char* s, std::size_t n) noexcept;

// Writes the n lower-case digits of a packed code.
void unpack_hex(const std::uint64_t* words, std::size_t n, char* out) noexcept;

// The outcome of reading one hash as text: the rules every input of hex text follows, whether
// it comes from a Python str, an Arrow column or a file.
struct text_check {
    enum outcome_t { ok, empty, too_long, wrong_length, invalid_character, above_width } outcome = ok;
    std::size_t digits = 0;       // characters of the text
    std::size_t offset = 0;       // the invalid character's place, in characters
    std::size_t byte_offset = 0;  // and in bytes, with its length in bytes
    std::size_t byte_length = 0;
};

// Packs a hash given as UTF-8 text into words_for_bits(bits) words. With bits == 0 the text sets
// the width (four bits a digit, up to max_code_bits); otherwise it must have
// digits_for_bits(bits) digits and fit the width. The words are unspecified unless ok.
text_check pack_hex_text(const char* s, std::size_t n, unsigned& bits, std::uint64_t* words) noexcept;

// Packs a code of `bits` bits given as its bytes_for_bits(bits) big-endian bytes, as
// bytes.fromhex gives them; false when the bytes set a bit at or above `bits`.
bool pack_be_bytes(const std::uint8_t* bytes, unsigned bits, std::uint64_t* words) noexcept;

// The same for n rows of bytes_for_bits(bits) bytes each, `stride` bytes apart; returns the
// first row that sets a bit above `bits`, or n.
std::size_t pack_be_rows(const std::uint8_t* rows, std::size_t n, std::size_t stride, unsigned bits,
                         std::uint64_t* words) noexcept;

}  // namespace quorvalent

#endif
