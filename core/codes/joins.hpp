// The self-join by bucket pairs, shared by the joins and the groups: a template over the sink
// each worker hands its pairs to (collect them, count them, unite their groups).
#ifndef QUORVALENT_CODES_JOINS_HPP
#define QUORVALENT_CODES_JOINS_HPP

#include <algorithm>
#include <atomic>
#include <type_traits>
#include <vector>

#include "codes/parallel.hpp"
#include "codes/planner.hpp"
#include "codes/search.hpp"
#include "codes/state.hpp"

namespace quorvalent::codes {


// Bytes a found pair costs on its way out: held as a slot_pair, sorted as one packed word, and
// returned as three columns.
inline constexpr std::size_t bytes_per_found_pair = sizeof(slot_pair) + sizeof(std::uint64_t) + 2 * sizeof(code_id) + sizeof(std::int32_t);

// Collects one worker's pairs, and stops the join once all workers together would pass the
// job's result budget.
class pair_sink {
   public:
    pair_sink(std::vector<slot_pair>& out, std::atomic<std::size_t>& shared, const job& j)
        : out_(out), shared_(shared), limit_(j.result_budget / bytes_per_found_pair) {}
    void push(const slot_pair& p) {
        out_.push_back(p);
        if (++unshared_ == share_every) share();
    }
    void share() {
        const std::size_t total = shared_.fetch_add(unshared_, std::memory_order_relaxed) + unshared_;
        unshared_ = 0;
        if (total > limit_) throw result_too_large(total * bytes_per_found_pair);
    }

   private:
    static constexpr std::size_t share_every = 4096;
    std::vector<slot_pair>& out_;
    std::atomic<std::size_t>& shared_;
    std::size_t limit_;
    std::size_t unshared_ = 0;
};

// Counts instead of collecting.
struct count_sink {
    std::size_t count = 0;
    void push(const slot_pair&) noexcept { ++count; }
};

// A unit of a self-join's bucket work: buckets [first, last) of one table, or, for one bucket
// too large to be one unit, the rows [row_begin, row_end) of it against the rest.
struct bucket_unit {
    std::size_t table, first, last;
    std::uint32_t row_begin, row_end;
};

// About this many codes a unit: units small enough to balance threads and to notice a
// cancellation soon, large enough that handing them out costs nothing.
inline constexpr std::size_t unit_codes = 1 << 13;
// Rows of a large bucket per unit; each row is compared with the whole bucket at most.
inline constexpr std::uint32_t unit_rows = 256;
// Rows of a scan join and codes of the tail per unit.
inline constexpr std::size_t scan_rows = 256;
inline constexpr std::size_t tail_rows = 64;

inline std::vector<bucket_unit> bucket_units(const table_set& ts, const std::vector<int>& thresholds) {
    std::vector<bucket_unit> units;
    for (std::size_t i = 0; i < ts.tables.size(); ++i) {
        if (thresholds[i] < 0) continue;
        const table& t = ts.tables[i];
        std::size_t first = 0, held = 0;
        for (std::size_t b = 0; b < t.buckets(); ++b) {
            const std::size_t size = t.end(b) - t.begin(b);
            if (size > unit_codes) {
                if (first < b) units.push_back({i, first, b, 0, ~0u});
                for (std::uint32_t row = 0; row < size; row += unit_rows) units.push_back({i, b, b + 1, row, row + unit_rows});
                first = b + 1;
                held = 0;
                continue;
            }
            held += size;
            if (held >= unit_codes) {
                units.push_back({i, first, b + 1, 0, ~0u});
                first = b + 1;
                held = 0;
            }
        }
        if (first < t.buckets()) units.push_back({i, first, t.buckets(), 0, ~0u});
    }
    return units;
}

// The pairs of one bucket unit that its table owns.
template <class Sink>
void join_bucket_unit(const index_state& s, const std::vector<int>& thresholds, const std::vector<std::uint32_t>& masks,
                      const bucket_unit& u, unsigned r, const job& j, Sink& sink) {
    const std::vector<table>& tables = s.tables->tables;
    const table& t = tables[u.table];
    const auto th = static_cast<unsigned>(thresholds[u.table]);
    const std::uint64_t* words = t.entry_words();
    // A compact table's entries hold the block's rest: the pair's bits then differ by the key
    // difference of their buckets and by their rests.
    auto join = [&](auto compact_table) {
        constexpr bool compact = decltype(compact_table)::value;
        // Entries x and y, whose blocks are within the table's threshold and whose words differ
        // in word_distance bits, at most r.
        auto found = [&](std::uint32_t x, std::uint32_t y, unsigned word_distance) {
            const slot_t a = t.entry_slot(x), b = t.entry_slot(y);
            if (!s.live(b)) return;
            unsigned d = word_distance;
            if (!compact && s.words == 1) {
                if (!owned_by(tables, thresholds, u.table, words + x, words + y)) return;
            } else {
                d = full_distance(s.code(a), s.code(b), s.words);
                if (d > r || !owned_by(tables, thresholds, u.table, s.code(a), s.code(b))) return;
            }
            sink.push(slot_pair{a, b, d});
        };
        auto check = [&](std::uint32_t x, std::uint32_t y) {
            const std::uint64_t z = words[x] ^ words[y];
            const unsigned word_distance = popcount64_baseline(z);
            if (word_distance > r || t.block_distance(z) > th) return;
            found(x, y, word_distance);
        };
        const std::uint16_t* rests = t.entry_rests();
        // Pairs whose blocks pass wait in a short queue with the second code's line asked for,
        // so that several pairs' misses overlap: a pair's code is a miss of its own, and the
        // pairs of crowded buckets each cost one (100,000 clustered 256-bit codes at r = 31:
        // 40 million pairs of blocks within the threshold for 7 million pairs within r).
        struct passed {
            std::uint32_t x, y;
            unsigned word_distance;
        };
        constexpr std::size_t depth = 16;
        passed queue[depth];
        std::size_t queued = 0, taken = 0;
        auto take = [&] {
            const passed& p = queue[taken++ % depth];
            found(p.x, p.y, p.word_distance);
        };
        auto enqueue = [&](std::uint32_t x, std::uint32_t y, unsigned word_distance) {
            prefetch(s.code(t.entry_slot(y)));
            if (queued - taken == depth) take();
            queue[queued++ % depth] = {x, y, word_distance};
        };
        const bool rows_of_one = u.row_end != ~0u;
        for (std::size_t bucket = u.first; bucket < u.last; ++bucket) {
            check_cancelled(j);
            const std::uint32_t lo = t.begin(bucket), hi = t.end(bucket);
            if (lo == hi) continue;
            const std::uint32_t x_begin = rows_of_one ? lo + u.row_begin : lo;
            const std::uint32_t x_end = rows_of_one ? std::min(hi, lo + u.row_end) : hi;
            for (const std::uint32_t mask : masks) {
                const std::size_t other = bucket ^ mask;
                if (other < bucket) continue;
                const std::uint32_t lo2 = other == bucket ? 0 : t.begin(other), hi2 = other == bucket ? hi : t.end(other);
                // A compact table's two blocks differ in the mask's key bits and in their rests'
                // bits: what the mask leaves of the threshold is tested on eight rests at once.
                // Buckets of clustered codes are crowded with chance neighbours (100,000 256-bit
                // codes at r = 31: 776 million entry pairs for 7 million pairs within r).
                const unsigned key_distance = popcount64_baseline(mask);
                if (compact && key_distance > std::min(th, r)) continue;
                const unsigned most = compact ? std::min(th, r) - key_distance : 0;
                for (std::uint32_t x = x_begin; x < x_end; ++x) {
                    if (rows_of_one) check_cancelled(j);
                    // A removed code is skipped whole: a bucket of a million removed copies costs a
                    // pass over them, not a million passes.
                    if (!s.live(t.entry_slot(x))) continue;
                    const std::uint32_t y_begin = other == bucket ? x + 1 : lo2;
                    if constexpr (compact) {
                        const std::uint16_t rest = rests[x];
                        // The rests past hi2 that the last read takes are masked off (a compact
                        // table keeps rest_padding readable entries past its last).
                        for (std::uint32_t y = y_begin; y < hi2; y += 8) {
                            const unsigned left = std::min<std::uint32_t>(hi2 - y, 8);
                            for (unsigned m = rests_within(rests + y, rest, most) & ((1u << left) - 1); m != 0; m &= m - 1) {
                                const std::uint32_t e = y + lowest_set_bit(m);
                                enqueue(x, e, key_distance + popcount64_baseline(static_cast<std::uint64_t>(rest ^ rests[e])));
                            }
                        }
                    } else {
                        for (std::uint32_t y = y_begin; y < hi2; ++y) check(x, y);
                    }
                }
            }
        }
        while (taken != queued) take();
    };
    if (t.compact()) {
        join(std::true_type{});
    } else {
        join(std::false_type{});
    }
}

// A self-join of the whole state into per-worker sinks. Each pair is found once, in no
// particular orientation: collect_pairs() orders it.
template <class Sink, class MakeSink>
void self_join(const index_state& s, unsigned r, job& j, MakeSink&& sink_of) {
    const search_plan plan = pairs_plan(s, r);
    if (plan.scan) {
        const std::size_t units = (s.count + scan_rows - 1) / scan_rows;
        j.set_total(units);
        parallel_for(units, j, [&](unsigned worker, std::size_t unit) {
            Sink& sink = sink_of(worker);
            for (std::size_t i = unit * scan_rows; i < std::min(s.count, (unit + 1) * scan_rows); ++i) {
                check_cancelled(j);
                if (!s.live(i)) continue;
                partner_handler<Sink> h{static_cast<slot_t>(i), r, false, true, sink};
                scan_codes(s, i + 1, s.count, s.code(i), h);
            }
        });
        return;
    }
    const std::vector<int>& t = plan.thresholds;
    std::vector<std::vector<std::uint32_t>> masks(s.tables->tables.size());
    for (std::size_t i = 0; i < masks.size(); ++i) {
        if (t[i] >= 0) masks[i] = masks_within(s.tables->tables[i].key_bits(), t[i]);
    }
    const std::vector<bucket_unit> units = bucket_units(*s.tables, t);
    const std::size_t indexed = s.indexed();
    const std::size_t tail_units = (s.count - indexed + tail_rows - 1) / tail_rows;
    j.set_total(units.size() + tail_units);
    parallel_for(units.size() + tail_units, j, [&](unsigned worker, std::size_t u) {
        Sink& sink = sink_of(worker);
        if (u < units.size()) {
            join_bucket_unit(s, t, masks[units[u].table], units[u], r, j, sink);
            return;
        }
        // A code of the tail: its partners in the tables come before it, those in the tail after.
        const std::size_t first = indexed + (u - units.size()) * tail_rows;
        for (std::size_t v = first; v < std::min(s.count, first + tail_rows); ++v) {
            check_cancelled(j);
            if (!s.live(v)) continue;
            partner_handler<Sink> earlier{static_cast<slot_t>(v), r, false, false, sink};
            probe_tables(s, t, s.code(v), earlier);
            partner_handler<Sink> later{static_cast<slot_t>(v), r, false, true, sink};
            scan_codes(s, v + 1, s.count, s.code(v), later);
        }
    });
}

// The self-join's pairs, each found once in no particular orientation, per worker.
std::vector<std::vector<slot_pair>> self_join_pairs(const index_state& s, unsigned r, job& j);

}  // namespace quorvalent::codes

#endif
