// The exact k nearest codes, by stages of probes that end in a bound, or in a scan.
#include <algorithm>

#include "codes/parallel.hpp"
#include "codes/planner.hpp"
#include "codes/search.hpp"
#include "codes/state.hpp"

namespace quorvalent::codes {

namespace {

// Probes at key distance s in every table. A code is taken at the first (stage, table) that
// visits it: its key distance to the query in every other table is at least s, and where it
// is exactly s, the other table comes later.
void probe_stage(const index_state& s, unsigned stage, const std::uint64_t* q, best_k_handler& best) {
    const std::vector<table>& tables = s.tables->tables;
    auto visit = [&](std::size_t i, const table& t, std::uint32_t e) {
        // A code of one word is its table's inline word: no trip to the codes, and none to the
        // slots (another cache miss) for the many that cannot enter.
        const std::uint64_t word = s.words == 1 ? t.entry_word(e) : 0;
        const std::uint64_t* c = s.words == 1 ? &word : s.code(t.entry_slot(e));
        const unsigned d = full_distance(c, q, s.words);
        if (d > best.bound()) return;
        const slot_t slot = t.entry_slot(e);
        // Only the candidates that can enter need the test that keeps a code from entering twice.
        if (!best.admits(d, slot) || !s.live(slot)) return;
        for (std::size_t j = 0; j < tables.size(); ++j) {
            if (j == i) continue;
            const unsigned w = tables[j].word();
            const unsigned kd = tables[j].key_distance(c[w] ^ q[w]);
            if (kd < stage || (kd == stage && j < i)) return;
        }
        best.add(d, slot);
    };
    for (std::size_t i = 0; i < tables.size(); ++i) {
        const table& t = tables[i];
        auto read = [&](std::size_t, std::uint32_t begin, std::uint32_t end, unsigned) {
            for (std::uint32_t e = begin; e < end; ++e) visit(i, t, e);
        };
        each_bucket_within<16>(t, q[t.word()], stage, stage, read);
    }
}

std::vector<hit> search_nearest(const index_state& s, const std::uint64_t* q, std::size_t k) {
    k = std::min(k, s.live_count());
    if (k == 0) return {};
    best_k_handler best(s, k, s.bits);
    bool exact = false;
    if (s.tables) {
        // After stage s every code not yet visited differs from q in at least s + 1 bits in
        // each of the m disjoint keys, so in at least m(s + 1) bits overall.
        const std::size_t m = s.tables->tables.size();
        unsigned max_key = 0;
        for (const table& t : s.tables->tables) max_key = std::max(max_key, t.key_bits());
        const double budget = scan_cost(s.count, s.words) * knn_probe_share;
        double spent = 0;
        for (unsigned stage = 0; stage <= max_key; ++stage) {
            const double c = stage_cost(*s.tables, stage);
            if (spent + c > budget) break;
            spent += c;
            probe_stage(s, stage, q, best);
            if (best.full() && best.bound() < m * (stage + 1)) {
                exact = true;
                break;
            }
        }
    }
    if (exact) {
        scan_codes(s, s.indexed(), s.count, q, best);
        return std::move(best).sorted();
    }
    // Probing on would cost more than a scan; the best found so far bound it.
    best_k_handler fresh(s, k, best.bound());
    scan_codes(s, 0, s.count, q, fresh);
    return std::move(fresh).sorted();
}

}  // namespace

std::vector<hit> index_snapshot::nearest(const std::uint64_t* q, std::size_t k) const {
    check_codes(q, 1, state_->bits);
    return search_nearest(*state_, q, k);
}

knn_rows index_snapshot::nearest_many(const std::uint64_t* queries, std::size_t n, std::size_t k, job& j) const {
    const index_state& s = *state_;
    check_codes(queries, n, s.bits);
    knn_rows out;
    out.rows = n;
    out.cols = std::min(k, s.live_count());
    const std::size_t cells = n * out.cols;
    if (out.cols != 0 && cells / out.cols != n) throw result_too_large(~std::size_t{0});
    const std::size_t bytes_per_cell = sizeof(code_id) + sizeof(std::int32_t);
    if (cells > j.result_budget / bytes_per_cell) throw result_too_large(cells * bytes_per_cell);
    out.ids.resize(cells);
    out.dists.resize(cells);
    const std::size_t units = (n + queries_per_unit - 1) / queries_per_unit;
    j.set_total(units);
    parallel_for(units, j, [&](unsigned, std::size_t unit) {
        for (std::size_t q = unit * queries_per_unit; q < std::min(n, (unit + 1) * queries_per_unit); ++q) {
            const std::vector<hit> row = search_nearest(s, queries + q * s.words, out.cols);
            for (std::size_t c = 0; c < out.cols; ++c) {
                out.ids[q * out.cols + c] = row[c].id;
                out.dists[q * out.cols + c] = static_cast<std::int32_t>(row[c].dist);
            }
        }
    });
    return out;
}

}  // namespace quorvalent::codes
