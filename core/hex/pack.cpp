// Packing uses the SWAR decoder of the distance kernels, eight digits a step: one validation
// rule and one decoding rule for the whole library.
#include "hex/blocks/pack_word.hpp"
#include "quorvalent/hex_codes.hpp"

namespace quorvalent {


bool pack_hex(const char* s, std::size_t n, std::uint64_t* words) noexcept {
    std::uint64_t bad = 0;
    std::size_t j = 0;
    for (std::size_t i = 0; i < n; i += digits_per_word, ++j) {
        const std::size_t k = n - i < digits_per_word ? n - i : digits_per_word;
        words[j] = pack_word(s + i, k, bad);
    }
    return bad == 0;
}

std::size_t first_invalid_digit(const char* s, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        if (hex_digit_value(static_cast<unsigned char>(s[i])) == invalid_digit) return i;
    }
    return n;
}

void unpack_hex(const std::uint64_t* words, std::size_t n, char* out) noexcept {
    static constexpr char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < n; i += digits_per_word) {
        const std::size_t k = n - i < digits_per_word ? n - i : digits_per_word;
        const std::uint64_t w = words[i / digits_per_word];
        for (std::size_t d = 0; d < k; ++d) out[i + d] = digits[(w >> (4 * (k - 1 - d))) & 15];
    }
}

// A code's bytes spell its digits two to a byte, most significant first, so a row of B bytes
// holds 2B digits of which the code is the last digits_for_bits(bits): with an odd number of
// digits the row's first nibble lies above the code and must be zero. Word j of the code holds
// digits [16j, 16j + 16), so the bytes are read as one big-endian number per 8-byte group,
// counted from the code's first digit.
bool pack_be_bytes(const std::uint8_t* bytes, unsigned bits, std::uint64_t* words) noexcept {
    const std::size_t digits = digits_for_bits(bits);
    const std::size_t row = bytes_for_bits(bits);
    const std::size_t skip = 2 * row - digits;  // 0 or 1 nibble above the code
    const std::size_t nw = words_for_bits(bits);
    if (skip == 1 && (bytes[0] >> 4) != 0) return false;
    for (std::size_t j = 0; j < nw; ++j) {
        const std::size_t first = j * digits_per_word;
        const std::size_t count = digits - first < digits_per_word ? digits - first : digits_per_word;
        std::uint64_t value = 0;
        std::size_t nibble = skip + first;
        std::size_t k = 0;
        if (nibble % 2 == 1) {  // starts in the low half of a byte
            value = bytes[nibble / 2] & 15u;
            ++nibble;
            ++k;
        }
        for (; k + 2 <= count; k += 2, nibble += 2) value = (value << 8) | bytes[nibble / 2];
        if (k < count) value = (value << 4) | (bytes[nibble / 2] >> 4);
        words[j] = value;
    }
    return fits_width(words, bits);
}

std::size_t pack_be_rows(const std::uint8_t* rows, std::size_t n, std::size_t stride, unsigned bits,
                         std::uint64_t* words) noexcept {
    const std::size_t nw = words_for_bits(bits);
    for (std::size_t i = 0; i < n; ++i) {
        if (!pack_be_bytes(rows + i * stride, bits, words + i * nw)) return i;
    }
    return n;
}

namespace {

bool is_continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// Characters of UTF-8 text: every byte but the continuation bytes.
std::size_t characters(const char* s, std::size_t n) noexcept {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) count += !is_continuation(static_cast<unsigned char>(s[i]));
    return count;
}

}  // namespace

text_check pack_hex_text(const char* s, std::size_t n, unsigned& bits, std::uint64_t* words) noexcept {
    text_check c;
    // The common case first: as many digits as the width needs, all of them valid (which makes
    // the text ASCII, one byte a digit).
    if (bits != 0 && n == digits_for_bits(bits) && pack_hex(s, n, words) && (bits % 4 == 0 || fits_width(words, bits))) {
        c.digits = n;
        return c;
    }
    bool ascii = true;
    for (std::size_t i = 0; i < n && ascii; ++i) ascii = static_cast<unsigned char>(s[i]) < 0x80;
    c.digits = ascii ? n : characters(s, n);
    if (bits == 0) {
        if (c.digits == 0) {
            c.outcome = text_check::empty;
            return c;
        }
        if (c.digits > max_code_bits / 4) {
            c.outcome = text_check::too_long;
            return c;
        }
    }
    const std::size_t want = bits == 0 ? c.digits : digits_for_bits(bits);
    if (c.digits != want) {
        c.outcome = text_check::wrong_length;
        return c;
    }
    if (!ascii || !pack_hex(s, n, words)) {
        const std::size_t at = first_invalid_digit(s, n);
        c.outcome = text_check::invalid_character;
        c.byte_offset = at;
        c.offset = characters(s, at);
        std::size_t length = 1;
        while (at + length < n && is_continuation(static_cast<unsigned char>(s[at + length]))) ++length;
        c.byte_length = length;
        return c;
    }
    const unsigned width = bits == 0 ? static_cast<unsigned>(4 * c.digits) : bits;
    // Digits hold four bits each: only a width that is not a multiple of four leaves room above it.
    if (width % 4 != 0 && !fits_width(words, width)) {
        c.outcome = text_check::above_width;
        return c;
    }
    bits = width;
    return c;
}

}  // namespace quorvalent
