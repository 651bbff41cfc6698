// Differential fuzzer: every kernel this CPU runs against the scalar reference, on the same
// input.
//
// Input layout: the low 2 bits of byte 0 choose the limit's form, the next 8 bytes (if
// present) are the limit, and the rest is split into two strings of equal length (a = first
// half, b = second half). Each string gets its own heap copy that ends where the allocation
// does, so that AddressSanitizer sees any read past either end. The copies start where the
// input puts them relative to a 64-byte boundary, which decides how a kernel's loads meet
// cache lines: a's offset is the high 6 bits of byte 0, and b's is the low 6 bits of the odd
// byte left over after the split, or a's when there is none. Bit 7 of that odd byte puts both
// strings between runs of '0' (which changes no answer) long enough that the input lands in
// the loops kernels keep for strings of hundreds of KiB.
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
#include <new>

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

// n bytes between `before` and `after` bytes of '0', copied to `offset` bytes past a 64-byte
// boundary, at the very end of their allocation.
class placed {
   public:
    placed(const std::uint8_t* bytes, std::size_t n, std::size_t offset, std::size_t before,
           std::size_t after)
        : block_(static_cast<char*>(
              ::operator new[](offset + before + n + after, std::align_val_t{64}))),
          data_(block_ + offset) {
        std::memset(data_, '0', before);
        std::memcpy(data_ + before, bytes, n);
        std::memset(data_ + before + n, '0', after);
    }
    ~placed() { ::operator delete[](block_, std::align_val_t{64}); }
    placed(const placed&) = delete;
    placed& operator=(const placed&) = delete;
    char* get() const { return data_; }

   private:
    char* block_;
    char* data_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t header = size >= 9 ? 9 : 1;
    std::size_t n = (size - header) / 2;
    const std::size_t offset_a = data[0] >> 2;
    const bool odd = (size - header) % 2 != 0;
    const std::size_t offset_b = odd ? data[size - 1] % 64 : offset_a;
    const bool stretched = odd && (data[size - 1] & 0x80) != 0;
    const std::size_t before = stretched ? 256 * 1024 + 3 : 0;
    const std::size_t after = stretched ? 2048 : 0;
    const placed a(data + header, n, offset_a, before, after);
    const placed b(data + header + n, n, offset_b, before, after);
    n += before + after;

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
