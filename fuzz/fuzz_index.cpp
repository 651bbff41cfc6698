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
//   the bucket join of a distributed join over every code's r + 1 buckets (one bucket of
//   every code at r >= the width) == pairs(r)
// and, on an index with ids of its own from which some codes were removed, before and after a
// compaction:
//   within(q, r), pairs(r) == the same over the surviving codes, by their ids
//   groups(r, components)  == union-find over the survivors' pairs, the lowest id representing
//   groups(r, star)        == the greedy star, lowest id first
//   sweep({0, r})          == pairs, groups, dropped codes and the largest group of union-find
#include <algorithm>
#include <bitset>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

#include "codes/scan_kernels.hpp"
#include "common/cpu_features.hpp"
#include "common/kernel_table.hpp"
#include "quorvalent/block_layout.hpp"
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

std::size_t find_root(std::vector<std::size_t>& parent, std::size_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
}

// The survivors' answers by brute force; ids[k] names survivor k (insertion order).
void check_survivors(const qc::index_snapshot& s, const std::vector<std::uint64_t>& codes, const std::vector<qc::code_id>& ids,
                     std::size_t w, const std::uint64_t* q, unsigned r, const qc::scan_kernel& kernel, unsigned bits) {
    const std::size_t n = ids.size();
    auto code = [&](std::size_t k) { return codes.data() + k * w; };
    std::vector<qc::hit> want;
    for (std::size_t k = 0; k < n; ++k) {
        const unsigned d = distance(code(k), q, w);
        if (d <= r) want.push_back({d, ids[k]});
    }
    std::sort(want.begin(), want.end());
    if (!same(s.within(q, r), want)) disagree("within after removals", kernel, bits, n);
    std::vector<std::size_t> by_id(n);
    for (std::size_t k = 0; k < n; ++k) by_id[k] = k;
    std::sort(by_id.begin(), by_id.end(), [&](std::size_t a, std::size_t b) { return ids[a] < ids[b]; });
    std::vector<row> pairs;
    std::vector<std::size_t> parent(n);
    for (std::size_t k = 0; k < n; ++k) parent[k] = k;
    std::uint64_t pairs_at_zero = 0;
    for (std::size_t x = 0; x < n; ++x) {
        for (std::size_t y = x + 1; y < n; ++y) {
            const unsigned d = distance(code(by_id[x]), code(by_id[y]), w);
            pairs_at_zero += d == 0;
            if (d > r) continue;
            pairs.push_back({ids[by_id[x]], ids[by_id[y]], d});
            parent[find_root(parent, x)] = find_root(parent, y);
        }
    }
    qc::job j(2);
    const qc::pair_columns got = s.pairs(r, j);
    if (got.size() != pairs.size() || !same(got, 0, pairs, 0)) disagree("pairs after removals", kernel, bits, n);
    // Components: the lowest id (the first in by_id order) represents.
    std::vector<qc::code_id> rep_of_root(n, 0);
    std::vector<bool> seen(n, false);
    for (std::size_t x = 0; x < n; ++x) {
        const std::size_t root = find_root(parent, x);
        if (!seen[root]) rep_of_root[root] = ids[by_id[x]];
        seen[root] = true;
    }
    const qc::group_columns components = s.groups(r, qc::group_method::components, nullptr, j);
    for (std::size_t x = 0; x < n; ++x) {
        if (components.ids[x] != ids[by_id[x]] || components.reps[x] != rep_of_root[find_root(parent, x)]) {
            disagree("groups by components", kernel, bits, n);
        }
    }
    std::vector<qc::code_id> star(n, 0);
    std::vector<bool> taken(n, false);
    for (std::size_t x = 0; x < n; ++x) {
        if (taken[x]) continue;
        for (std::size_t y = 0; y < n; ++y) {
            if (!taken[y] && distance(code(by_id[x]), code(by_id[y]), w) <= r) {
                taken[y] = true;
                star[y] = ids[by_id[x]];
            }
        }
    }
    const qc::group_columns stars = s.groups(r, qc::group_method::star, nullptr, j);
    for (std::size_t x = 0; x < n; ++x) {
        if (stars.reps[x] != star[x]) disagree("groups by stars", kernel, bits, n);
    }
    std::vector<std::uint64_t> size(n, 0);
    for (std::size_t x = 0; x < n; ++x) ++size[find_root(parent, x)];
    std::uint64_t groups = 0, largest = 0, components_count = 0;
    for (std::size_t x = 0; x < n; ++x) {
        if (size[x] == 0) continue;
        ++components_count;
        groups += size[x] >= 2;
        largest = std::max(largest, size[x]);
    }
    const auto rows = s.sweep({r, 0}, j);
    if (rows[0].pairs != pairs.size() || rows[0].groups != groups || rows[0].largest != largest ||
        rows[0].dropped != n - components_count || rows[1].pairs != pairs_at_zero) {
        disagree("sweep", kernel, bits, n);
    }
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

    {
        // Each code sent to the bucket of each of r + 1 blocks, as a distributed join sends it;
        // at a radius of the width or more, no blocks: one bucket of every code.
        const std::vector<qc::block> blocks = r < bits ? qc::split_into_blocks(bits, r + 1) : std::vector<qc::block>{};
        std::vector<std::uint64_t> row_codes;
        std::vector<std::int64_t> block_of;
        std::vector<std::uint64_t> value_of;
        std::vector<std::size_t> code_of;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t b = 0; b < std::max<std::size_t>(blocks.size(), 1); ++b) {
                row_codes.insert(row_codes.end(), codes.begin() + static_cast<std::ptrdiff_t>(i * w),
                                 codes.begin() + static_cast<std::ptrdiff_t>((i + 1) * w));
                block_of.push_back(static_cast<std::int64_t>(b));
                value_of.push_back(blocks.empty() ? 0 : qc::block_value(blocks[b], codes.data() + i * w));
                code_of.push_back(i);
            }
        }
        std::vector<row> joined;
        for (const qc::owned_pair& p : qc::owned_bucket_pairs(row_codes.data(), code_of.size(), bits, blocks, block_of.data(),
                                                              value_of.data(), nullptr, nullptr, r)) {
            const std::size_t a = std::min(code_of[p.a], code_of[p.b]), b = std::max(code_of[p.a], code_of[p.b]);
            joined.push_back({static_cast<qc::code_id>(a), static_cast<qc::code_id>(b), p.distance});
        }
        std::sort(joined.begin(), joined.end(), [](const row& x, const row& y) { return x.i != y.i ? x.i < y.i : x.j < y.j; });
        bool agree = joined.size() == pairs.size();
        for (std::size_t i = 0; agree && i < pairs.size(); ++i) {
            agree = joined[i].i == pairs[i].i && joined[i].j == pairs[i].j && joined[i].d == pairs[i].d;
        }
        if (!agree) {
            std::fprintf(stderr, "the bucket join disagrees with brute force (bits=%u n=%zu r=%u)\n", bits, n, r);
            std::abort();
        }
        // Joined for components, the pairs must connect exactly what all pairs connect.
        std::vector<std::size_t> parent(n), brute(n);
        const auto find = [&](std::size_t x) {
            while (parent[x] != x) x = parent[x] = parent[parent[x]];
            return x;
        };
        const auto unite = [&](std::size_t x, std::size_t y) {
            x = find(x);
            y = find(y);
            parent[std::max(x, y)] = std::min(x, y);
        };
        std::iota(parent.begin(), parent.end(), std::size_t{0});
        for (const row& p : pairs) unite(p.i, p.j);
        for (std::size_t i = 0; i < n; ++i) brute[i] = find(i);
        std::iota(parent.begin(), parent.end(), std::size_t{0});
        for (const qc::owned_pair& p : qc::owned_bucket_pairs(row_codes.data(), code_of.size(), bits, blocks, block_of.data(),
                                                              value_of.data(), nullptr, nullptr, r, true)) {
            unite(code_of[p.a], code_of[p.b]);
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (find(i) != brute[i]) {
                std::fprintf(stderr, "the collapsed bucket join connects other codes (bits=%u n=%zu r=%u)\n", bits, n, r);
                std::abort();
            }
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

        // Ids of its own (descending, so not in slot order), and removals chosen by the input.
        // Ids far apart (more than 2^32 for eight codes or more), added in two parts: the
        // second part's ids may not fit the window of the first's.
        qc::code_index named(bits, {&kernel, threshold});
        std::vector<qc::code_id> ids(n);
        const qc::code_id stride = (data[3] & 2) != 0 ? (qc::code_id{1} << 29) + 3 : 3;
        for (std::size_t k = 0; k < n; ++k) ids[k] = 1000 - stride * static_cast<qc::code_id>(k);
        named.append(codes.data(), ids.data(), n / 2, j);
        named.append(codes.data() + n / 2 * w, ids.data() + n / 2, n - n / 2, j);
        std::vector<qc::code_id> gone, kept_ids;
        std::vector<std::uint64_t> kept;
        for (std::size_t k = 0; k < n; ++k) {
            if ((data[4 + (k * 8) % (size - 4)] >> (k % 8) & 1) != 0 && (data[3] & 1) != 0) {
                gone.push_back(ids[k]);
            } else {
                kept_ids.push_back(ids[k]);
                kept.insert(kept.end(), codes.begin() + static_cast<std::ptrdiff_t>(k * w), codes.begin() + static_cast<std::ptrdiff_t>((k + 1) * w));
            }
        }
        named.remove(gone.data(), gone.size(), j);
        const unsigned group_radius = r % 9;
        check_survivors(named.snapshot(), kept, kept_ids, w, q.data(), group_radius, kernel, bits);
        named.compact(j);
        check_survivors(named.snapshot(), kept, kept_ids, w, q.data(), group_radius, kernel, bits);
    }
    return 0;
}
