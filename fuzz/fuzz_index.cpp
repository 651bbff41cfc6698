// Differential fuzzer of the index: multi-index search against a brute-force scan, on every
// scan kernel this CPU runs, on the same codes.
//
// Input layout: byte 0 picks the width (1..200 bits), byte 1 the table threshold (how few
// codes get tables) and the threads, byte 2 the radius, byte 3 k; the rest are code words,
// then one query. Each code is cut to the width. Repeated input words give repeated codes, and
// skewed data (codes that vary in a few bits) comes from inputs whose words repeat.
//
// Invariants, for every kernel:
//   within(q, r)          == every code with distance <= r, sorted by (distance, id)
//   nearest(q, k)         == the first k of all codes sorted by (distance, id)
//   pairs(r)              == every i < j with distance <= r, sorted by (i, j)
//   a stream of pairs(r)  == pairs(r), in batches of at most its batch size
//   cross_pairs(other, r) == every (i, j) with distance <= r, sorted by (i, j)
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
#include "quorvalent/hex_codes.hpp"

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

struct row {
    qc::code_id i, j;
    std::uint32_t d;
};

bool same(const qc::pair_columns& got, std::size_t from, const std::vector<row>& want, std::size_t at) {
    if (at + got.size() > want.size()) return false;
    for (std::size_t k = 0; k < got.size(); ++k) {
        const row& w = want[at + k];
        if (got.first[from + k] != w.i || got.second[from + k] != w.j || got.dists[from + k] != static_cast<std::int32_t>(w.d)) return false;
    }
    return true;
}

void clip(std::uint64_t* code, unsigned bits) {
    for (std::size_t k = 0; k < quorvalent::words_for_bits(bits); ++k) code[k] &= quorvalent::code_word_mask(bits, k);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const unsigned bits = 1 + data[0] % 200;
    const std::size_t threshold = 1 + data[1] % 64;
    const std::size_t w = quorvalent::words_for_bits(bits);
    const unsigned r = data[2] % (bits + 2);
    const std::size_t k = data[3] % 20;
    const unsigned threads = 1 + (data[1] >> 6);
    std::vector<std::uint64_t> words((size - 4) / 8);
    if (words.size() < w) return 0;
    std::memcpy(words.data(), data + 4, words.size() * 8);
    // The query is the last code's worth of words; repeated inputs give duplicates on purpose.
    std::vector<std::uint64_t> q(words.end() - static_cast<std::ptrdiff_t>(w), words.end());
    clip(q.data(), bits);
    const std::size_t n = std::min<std::size_t>(words.size() / w, 300);
    std::vector<std::uint64_t> codes(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(n * w));
    for (std::size_t i = 0; i < n; ++i) clip(codes.data() + i * w, bits);

    std::vector<qc::hit> all;
    for (std::size_t i = 0; i < n; ++i) all.push_back({distance(codes.data() + i * w, q.data(), w), static_cast<qc::code_id>(i)});
    std::sort(all.begin(), all.end());
    std::vector<qc::hit> within;
    for (const qc::hit& h : all) {
        if (h.dist <= r) within.push_back(h);
    }
    const std::vector<qc::hit> nearest(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(k, n)));
    std::vector<row> pairs, cross;
    const std::size_t half = n / 2;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            const unsigned d = distance(codes.data() + i * w, codes.data() + j * w, w);
            if (d <= r) pairs.push_back({static_cast<qc::code_id>(i), static_cast<qc::code_id>(j), d});
        }
        // The cross join of every code against the first half.
        for (std::size_t j = 0; j < half; ++j) {
            const unsigned d = distance(codes.data() + i * w, codes.data() + j * w, w);
            if (d <= r) cross.push_back({static_cast<qc::code_id>(i), static_cast<qc::code_id>(j), d});
        }
    }

    const auto kernels = qc::compiled_scan_kernels();
    for (std::size_t i = 0; i < kernels.size; ++i) {
        const qc::scan_kernel& kernel = *kernels.items[i];
        if (!quorvalent::supports(kernel, quorvalent::cpu_features())) continue;
        qc::code_index index(bits, {&kernel, threshold}), first_half(bits, {&kernel, threshold});
        qc::job j(threads);
        // Two appends, so that the second part may stay in the scanned tail.
        index.append(codes.data(), n / 2, j);
        index.append(codes.data() + (n / 2) * w, n - n / 2, j);
        first_half.append(codes.data(), half, j);
        const qc::index_snapshot s = index.snapshot();
        if (!same(s.within(q.data(), r), within)) disagree("within", kernel, bits, n);
        if (!same(s.nearest(q.data(), k), nearest)) disagree("nearest", kernel, bits, n);
        qc::job pj(threads);
        const qc::pair_columns got = s.pairs(r, pj);
        if (got.size() != pairs.size() || !same(got, 0, pairs, 0)) disagree("pairs", kernel, bits, n);
        qc::job cj(threads);
        const qc::pair_columns crossed = s.cross_pairs(first_half.snapshot(), r, cj);
        if (crossed.size() != cross.size() || !same(crossed, 0, cross, 0)) disagree("cross_pairs", kernel, bits, n);
        const std::size_t batch = 1 + data[3] % 7;
        qc::pair_stream stream(s, nullptr, r, batch);
        std::size_t at = 0;
        qc::job sj(threads);
        for (qc::pair_columns part = stream.next(sj); part.size() != 0; part = stream.next(sj)) {
            if (part.size() > batch || !same(part, 0, pairs, at)) disagree("a stream of pairs", kernel, bits, n);
            at += part.size();
        }
        if (at != pairs.size()) disagree("a stream of pairs", kernel, bits, n);
    }
    return 0;
}
