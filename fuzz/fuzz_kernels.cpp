// Differential fuzzer: every kernel this CPU runs against the scalar reference, on the same
// input.
//
// Input layout: byte 0 chooses the limit's form, the next 8 bytes (if present) are the limit,
// and the rest is split into two strings of equal length (a = first half, b = second half;
// an odd byte is dropped). Each string gets its own exact-size heap copy, so that
// AddressSanitizer sees any read past either end.
//
// Invariants checked for each kernel k and every input:
//   k.distance(a, b, n)             == reference_hex_distance(a, b, n)
//   k.count_within(a, b, n, L).answer == reference_count_within(a, b, n, L)
//   k.count_within(...).validated_all implies that every byte of a and b is a hex digit,
//     and an answer of "within" implies validated_all
//   k.contains_nul(a, b, n)         == (a or b holds a zero byte)
// and for the public entry points:
//   hex_within_dist(a, b, n, L).answer == reference_hex_within_dist(a, b, n, L)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "hex/kernels.hpp"
#include "quorvalent/hex_distance.hpp"
#include "hex/reference.hpp"

namespace qv = quorvalent;

namespace {

[[noreturn]] void disagree(const char* what, const qv::kernel& k, std::size_t n) {
    std::fprintf(stderr, "kernel %s disagrees with the reference on %s (n=%zu)\n", k.name, what, n);
    std::abort();
}

std::uint64_t limit_from(const std::uint8_t* data, std::size_t size, std::size_t n,
                         std::int64_t distance) {
    std::uint64_t raw = 0;
    std::memcpy(&raw, data + 1, size >= 9 ? 8 : 0);
    // Mostly limits near the true distance, where the answers change; sometimes any value.
    switch (data[0] % 4) {
        case 0:
            return raw;
        case 1:
            return raw % (4 * n + 2);
        default: {
            const std::uint64_t d =
                distance < 0 ? raw % (4 * n + 1) : static_cast<std::uint64_t>(distance);
            return d + (raw % 3) - (d > 0 ? 1 : 0);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t header = size >= 9 ? 9 : 1;
    const std::size_t n = (size - header) / 2;
    std::unique_ptr<char[]> a(new char[n ? n : 1]);
    std::unique_ptr<char[]> b(new char[n ? n : 1]);
    std::memcpy(a.get(), data + header, n);
    std::memcpy(b.get(), data + header + n, n);

    const std::int64_t distance = qv::reference_hex_distance(a.get(), b.get(), n);
    const std::uint64_t limit = limit_from(data, size, n, distance);
    const qv::outcome counted = qv::reference_count_within(a.get(), b.get(), n, limit);
    const bool has_nul =
        std::memchr(a.get(), 0, n) != nullptr || std::memchr(b.get(), 0, n) != nullptr;
    const bool all_valid = qv::reference_hex_distance(a.get(), b.get(), n) >= 0;

    const auto kernels = qv::compiled_kernels();
    for (std::size_t i = 0; i < kernels.size; ++i) {
        const qv::kernel& k = *kernels.items[i];
        if (!qv::kernel_runs_here(k)) continue;
        if (k.distance(a.get(), b.get(), n) != distance) disagree("distance", k, n);
        const qv::bounded_result r = k.count_within(a.get(), b.get(), n, limit);
        if (r.answer != counted) disagree("the bounded count", k, n);
        if (r.validated_all && !all_valid) disagree("full validation", k, n);
        if (r.answer == qv::outcome::within && !r.validated_all) disagree("within", k, n);
        if (k.contains_nul(a.get(), b.get(), n) != has_nul) disagree("NUL", k, n);
    }
    if (qv::hex_within_dist(a.get(), b.get(), n, limit).answer !=
        qv::reference_hex_within_dist(a.get(), b.get(), n, limit)) {
        disagree("the bounded test", qv::active_kernel(), n);
    }
    return 0;
}
