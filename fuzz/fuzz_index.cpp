// Differential fuzzer of the index: multi-index search against a brute-force scan, on every
// scan kernel this CPU runs, on the same codes.
//
// Input layout: byte 0 picks the width (1..200 bits), byte 1 the table threshold (how few
// codes get tables), byte 2 the radius, byte 3 k; the rest are code words, then one query.
// Each code is cut to the width.
//
// Invariants, for every kernel:
//   within(q, r)   == every code with distance <= r, sorted by (distance, id)
//   nearest(q, k)  == the first k of all codes sorted by (distance, id)
//   pairs(r)       == every i < j with distance <= r, sorted by (i, j)
#include <algorithm>
#include <bitset>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codes/scan_kernels.hpp"
#include "common/cpu_features.hpp"
#include "common/kernel_table.hpp"
#include "quorvalent/code_index.hpp"

namespace qc = quorvalent::codes;

namespace {

[[noreturn]] void disagree(const char* what, const qc::scan_kernel& k, unsigned bits, std::size_t n) {
    std::fprintf(stderr, "index with scan kernel %s disagrees with brute force on %s (bits=%u n=%zu)\n",
                 k.name, what, bits, n);
    std::abort();
}

unsigned distance(const std::uint64_t* a, const std::uint64_t* b, std::size_t w) {
    unsigned d = 0;
    for (std::size_t k = 0; k < w; ++k) d += static_cast<unsigned>(std::bitset<64>(a[k] ^ b[k]).count());
    return d;
}

bool same(const std::vector<qc::hit>& x, const std::vector<qc::hit>& y) {
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i].id != y[i].id || x[i].dist != y[i].dist) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const unsigned bits = 1 + data[0] % 200;
    const std::size_t threshold = 1 + data[1] % 64;
    const std::size_t w = (bits + 63) / 64;
    const unsigned top = bits - 64 * static_cast<unsigned>(w - 1);
    const std::uint64_t mask = top >= 64 ? ~0ull : (1ull << top) - 1;
    const unsigned r = data[2] % (bits + 2);
    const std::size_t k = data[3] % 20;
    std::vector<std::uint64_t> words((size - 4) / 8);
    if (words.size() < w) return 0;
    std::memcpy(words.data(), data + 4, words.size() * 8);
    // The query is the last code's worth of words; repeated inputs give duplicates on purpose.
    std::vector<std::uint64_t> q(words.end() - static_cast<std::ptrdiff_t>(w), words.end());
    q[w - 1] &= mask;
    const std::size_t n = std::min<std::size_t>(words.size() / w, 300);
    std::vector<std::uint64_t> codes(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(n * w));
    for (std::size_t i = 0; i < n; ++i) codes[i * w + w - 1] &= mask;

    std::vector<qc::hit> all;
    for (std::size_t i = 0; i < n; ++i) all.push_back({distance(codes.data() + i * w, q.data(), w), static_cast<qc::code_id>(i)});
    std::sort(all.begin(), all.end());
    std::vector<qc::hit> within;
    for (const qc::hit& h : all) {
        if (h.dist <= r) within.push_back(h);
    }
    const std::vector<qc::hit> nearest(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(k, n)));
    std::vector<qc::pair_hit> pairs;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            const unsigned d = distance(codes.data() + i * w, codes.data() + j * w, w);
            if (d <= r) pairs.push_back({static_cast<qc::code_id>(i), static_cast<qc::code_id>(j), d});
        }
    }

    const auto kernels = qc::compiled_scan_kernels();
    for (std::size_t i = 0; i < kernels.size; ++i) {
        const qc::scan_kernel& kernel = *kernels.items[i];
        if (!quorvalent::supports(kernel, quorvalent::cpu_features())) continue;
        qc::code_index index(bits, &kernel, threshold);
        // Two appends, so that the second part may stay in the scanned tail.
        index.append(codes.data(), n / 2);
        index.append(codes.data() + (n / 2) * w, n - n / 2);
        if (!same(index.within(q.data(), r), within)) disagree("within", kernel, bits, n);
        if (!same(index.nearest(q.data(), k), nearest)) disagree("nearest", kernel, bits, n);
        const auto got = index.pairs(r, 1 + (data[1] & 1), nullptr);
        if (got.size() != pairs.size()) disagree("pairs", kernel, bits, n);
        for (std::size_t p = 0; p < got.size(); ++p) {
            if (got[p].i != pairs[p].i || got[p].j != pairs[p].j || got[p].dist != pairs[p].dist) {
                disagree("pairs", kernel, bits, n);
            }
        }
    }
    return 0;
}
