#include <cstring>

#include "hex/blocks/swar.hpp"
#include "hex/kernels.hpp"

namespace quorvalent {

namespace {

distance_t swar_distance(const char* a, const char* b, std::size_t n) noexcept {
    std::uint64_t count = 0;
    if (!swar::add_distance(a, b, n, count)) return invalid_distance;
    return static_cast<distance_t>(count);
}

bounded_result swar_count_within(const char* a, const char* b, std::size_t n,
                                 std::uint64_t limit) noexcept {
    const outcome answer = swar::count_within_from(a, b, n, limit, 0);
    return {answer, answer == outcome::within};
}

}  // namespace

// glibc's memchr is already vectorised; nothing to gain by hand here.
bool scan_contains_nul(const char* a, const char* b, std::size_t n) noexcept {
    return n != 0 && (std::memchr(a, 0, n) != nullptr || std::memchr(b, 0, n) != nullptr);
}

QV_DEFINE_HEX_KERNEL(swar, portable, swar_distance, swar_count_within, scan_contains_nul);

}  // namespace quorvalent
