// Bit distance between hexadecimal strings: the interpreter-free core.
//
// Every routine works on plain bytes (one hex digit per byte), never allocates and never throws.
// The kernel for the running CPU is chosen once, while the library is loaded, before any of
// these entry points can be called.
#ifndef QUORVALENT_HEX_DISTANCE_HPP
#define QUORVALENT_HEX_DISTANCE_HPP

#include <cstddef>
#include <cstdint>

namespace quorvalent {

// A distance is counted in 64 bits so that it stays exact for any length that fits in memory;
// the value -1 is reserved for "a character is not a hex digit".
using distance_t = std::int64_t;
inline constexpr distance_t invalid_distance = -1;

enum class outcome : unsigned char {
    within,   // the distance is at most the limit
    beyond,   // the distance exceeds the limit
    invalid,  // a character that had to be read is not a hex digit
};

struct bounded_result {
    outcome answer;
    // True only when every character of both strings was decoded and found to be a hex digit.
    // Callers that must know something about the unread bytes (a NUL, say) look there only
    // when this is false.
    bool validated_all;
};

// Number of bits in which the digits of a[0..n) and b[0..n) differ, or invalid_distance.
distance_t hex_distance(const char* a, const char* b, std::size_t n) noexcept;

// Whether a[0..n) and b[0..n) differ in at most `limit` bits, reading only as far as the answer
// needs: a limit above 4n answers at once, identical strings are within without being decoded,
// and the count stops at the first position where it passes the limit.
bounded_result hex_within_dist(const char* a, const char* b, std::size_t n,
                               std::uint64_t limit) noexcept;

// Whether a[0..n) or b[0..n) holds a zero byte.
bool contains_nul(const char* a, const char* b, std::size_t n) noexcept;

// Name of the kernel chosen for this CPU ("avx512vbmi", "avx2", "swar", ...).
const char* active_kernel_name() noexcept;

}  // namespace quorvalent

#endif
