#include "hex/reference.hpp"

#include <cstring>

#include "hex/kernels.hpp"

namespace quorvalent {

distance_t reference_hex_distance(const char* a, const char* b, std::size_t n) noexcept {
    distance_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const int va = hex_digit_value(static_cast<unsigned char>(a[i]));
        const int vb = hex_digit_value(static_cast<unsigned char>(b[i]));
        if (va == invalid_digit || vb == invalid_digit) return invalid_distance;
        count += nibble_bit_count[va ^ vb];
    }
    return count;
}

outcome reference_count_within(const char* a, const char* b, std::size_t n,
                               std::uint64_t limit) noexcept {
    std::uint64_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const int va = hex_digit_value(static_cast<unsigned char>(a[i]));
        const int vb = hex_digit_value(static_cast<unsigned char>(b[i]));
        if (va == invalid_digit || vb == invalid_digit) return outcome::invalid;
        count += nibble_bit_count[va ^ vb];
        if (count > limit) return outcome::beyond;
    }
    return outcome::within;
}

outcome reference_hex_within_dist(const char* a, const char* b, std::size_t n,
                                  std::uint64_t limit) noexcept {
    if (limit_exceeds_max_distance(n, limit)) return outcome::within;
    if (n == 0 || std::memcmp(a, b, n) == 0) return outcome::within;
    return reference_count_within(a, b, n, limit);
}

namespace {

bounded_result reference_kernel_count_within(const char* a, const char* b, std::size_t n,
                                             std::uint64_t limit) noexcept {
    const outcome answer = reference_count_within(a, b, n, limit);
    return {answer, answer == outcome::within};
}

}  // namespace

QV_DEFINE_HEX_KERNEL(scalar, portable, reference_hex_distance, reference_kernel_count_within,
                     scan_contains_nul);

}  // namespace quorvalent
