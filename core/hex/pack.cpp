// Packing uses the SWAR decoder of the distance kernels, eight digits a step: one validation
// rule and one decoding rule for the whole library.
#include "hex/blocks/swar.hpp"
#include "hex/reference.hpp"
#include "quorvalent/hex_codes.hpp"

namespace quorvalent {

namespace {

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

}  // namespace

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

}  // namespace quorvalent
