// Up to 16 digits in two 64-bit registers, for the kernels of CPUs with POPCNT.
//
// On short hashes the time of a call is the latency of this path, not its throughput: the
// interpreter waits for the answer before it does anything else. Plain registers, two loads a
// string and one POPCNT a word reach the answer in fewer dependent steps than a vector block
// followed by a horizontal sum. Included after a kernel file has switched its target on (POPCNT
// must be part of it); everything stays in an anonymous namespace for the same reason as the
// block loops.
#ifndef QUORVALENT_HEX_SHORT_WORDS_HPP
#define QUORVALENT_HEX_SHORT_WORDS_HPP

#ifndef QUORVALENT_HEX_SWAR_HPP
#error "include swar.hpp before switching the target"
#endif

namespace quorvalent {
namespace {

constexpr std::size_t short_limit = 16;

struct word_pair {
    std::uint64_t first, second;  // positions 0..7, then the rest with padding in front
};

// n <= 16 digits. As in load_partial_word, only bytes inside the string are read, and bytes
// read twice become padding.
QV_ALWAYS_INLINE word_pair load_short_words(const char* p, std::size_t n) {
    // 16 digits, a 64-bit hash, is the commonest length of all.
    if (n == 16) return {swar::load_word(p), swar::load_word(p + 8)};
    if (n < 8) return {swar::load_partial_word(p, n), swar::broadcast('0')};
    const std::uint64_t second = swar::load_word(p + n - 8);
    const unsigned repeated_bits = static_cast<unsigned>(8 * (16 - n));  // 0..64
    const std::uint64_t padding = repeated_bits >= 64 ? ~0ull : (1ull << repeated_bits) - 1;
    return {swar::load_word(p), (second & ~padding) | (swar::broadcast('0') & padding)};
}

QV_ALWAYS_INLINE unsigned word_distance(std::uint64_t wa, std::uint64_t wb) {
    return static_cast<unsigned>(
        popcount64(swar::digit_values(wa) ^ swar::digit_values(wb)));
}

// The distance of two strings of at most 16 digits, counted without validating them: the
// caller has already checked every digit.
QV_ALWAYS_INLINE distance_t short_distance_unchecked(const char* a, const char* b, std::size_t n) {
    const word_pair x = load_short_words(a, n);
    const word_pair y = load_short_words(b, n);
    return word_distance(x.first, y.first) + word_distance(x.second, y.second);
}

// The distance of two strings of at most 16 digits, or invalid_distance: validates and counts.
QV_ALWAYS_INLINE distance_t short_distance_checked(const char* a, const char* b, std::size_t n) {
    const word_pair x = load_short_words(a, n);
    const word_pair y = load_short_words(b, n);
    const std::uint64_t bad = swar::invalid_bytes(x.first) | swar::invalid_bytes(x.second) |
                              swar::invalid_bytes(y.first) | swar::invalid_bytes(y.second);
    if (bad) return invalid_distance;
    return word_distance(x.first, y.first) + word_distance(x.second, y.second);
}

// The bounded count of two strings of at most 16 digits; validates as it goes.
QV_ALWAYS_INLINE bounded_result short_count_within(const char* a, const char* b, std::size_t n,
                                                   std::uint64_t limit) {
    const word_pair x = load_short_words(a, n);
    const word_pair y = load_short_words(b, n);
    const std::uint64_t bad_first = swar::invalid_bytes(x.first) | swar::invalid_bytes(y.first);
    const std::uint64_t bad_second = swar::invalid_bytes(x.second) | swar::invalid_bytes(y.second);
    const bool clean = (bad_first | bad_second) == 0;
    std::uint64_t count = static_cast<std::uint64_t>(
        popcount64((swar::digit_values(x.first) ^ swar::digit_values(y.first)) &
                             swar::bytes_before_first(bad_first)));
    if (count > limit) return {outcome::beyond, clean};
    if (bad_first) return {outcome::invalid, false};
    count += static_cast<std::uint64_t>(
        popcount64((swar::digit_values(x.second) ^ swar::digit_values(y.second)) &
                             swar::bytes_before_first(bad_second)));
    if (count > limit) return {outcome::beyond, clean};
    if (bad_second) return {outcome::invalid, false};
    return {outcome::within, true};
}

}  // namespace
}  // namespace quorvalent

#endif
