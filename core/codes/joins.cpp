// Joins: every pair of codes within r bits, of one state (a self-join) or of two (a cross join),
// whole or streamed in order.
//
// A self-join visits each pair of buckets within a table's threshold once and compares their
// runs, which stay in cache; codes outside the tables (the tail) are queries of the tables and
// of the tail after them. A cross join, and a streamed join, are queries: every code of one side
// searches the other, and reports its partners in order.
#include <algorithm>
#include <atomic>

#include "codes/parallel.hpp"
#include "codes/planner.hpp"
#include "codes/search.hpp"
#include "codes/state.hpp"

namespace quorvalent::codes {

namespace {

// Bytes a found pair costs on its way out: held as a slot_pair, sorted as one packed word, and
// returned as three columns.
constexpr std::size_t bytes_per_found_pair = sizeof(slot_pair) + sizeof(std::uint64_t) + 2 * sizeof(code_id) + sizeof(std::int32_t);

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
constexpr std::size_t unit_codes = 1 << 13;
// Rows of a large bucket per unit; each row is compared with the whole bucket at most.
constexpr std::uint32_t unit_rows = 256;
// Rows of a scan join and codes of the tail per unit.
constexpr std::size_t scan_rows = 256;
constexpr std::size_t tail_rows = 64;

std::vector<bucket_unit> bucket_units(const table_set& ts, const std::vector<int>& thresholds) {
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
    auto check = [&](std::uint32_t x, std::uint32_t y) {
        const std::uint64_t z = words[x] ^ words[y];
        const unsigned word_distance = popcount64_baseline(z);
        if (word_distance > r || t.block_distance(z) > th) return;
        const slot_t a = t.entry_slot(x), b = t.entry_slot(y);
        unsigned d = word_distance;
        if (s.words == 1) {
            if (!owned_by(tables, thresholds, u.table, words + x, words + y)) return;
        } else {
            d = full_distance(s.code(a), s.code(b), s.words);
            if (d > r || !owned_by(tables, thresholds, u.table, s.code(a), s.code(b))) return;
        }
        sink.push(a < b ? slot_pair{a, b, d} : slot_pair{b, a, d});
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
            for (std::uint32_t x = x_begin; x < x_end; ++x) {
                if (rows_of_one) check_cancelled(j);
                for (std::uint32_t y = other == bucket ? x + 1 : lo2; y < hi2; ++y) check(x, y);
            }
        }
    }
}

// A self-join of the whole state into per-worker sinks.
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
                partner_handler<Sink> h{static_cast<slot_t>(i), r, true, true, sink};
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
            partner_handler<Sink> earlier{static_cast<slot_t>(v), r, false, false, sink};
            probe_tables(s, t, s.code(v), earlier);
            partner_handler<Sink> later{static_cast<slot_t>(v), r, true, true, sink};
            scan_codes(s, v + 1, s.count, s.code(v), later);
        }
    });
}

// Every code of `owners` [from, to) as a query of `searched`; pairs are (owner, partner) when
// owners_first, else (partner, owner). With `after`, the two states are one and only partners
// of a higher slot count.
template <class Sink>
void search_partners(const index_state& owners, std::size_t owner, const index_state& searched, const search_plan& plan,
                     unsigned r, bool owners_first, bool after, Sink& sink) {
    partner_handler<Sink> h{static_cast<slot_t>(owner), r, after, owners_first, sink};
    const std::uint64_t* q = owners.code(owner);
    if (plan.scan) {
        scan_codes(searched, after ? owner + 1 : 0, searched.count, q, h);
    } else {
        probe_tables(searched, plan.thresholds, q, h);
        scan_codes(searched, after ? std::max(owner + 1, searched.indexed()) : searched.indexed(), searched.count, q, h);
    }
}

search_plan query_plan(const index_state& s, unsigned r) {
    return s.tables && r < s.tables->within_plans.size() ? s.tables->within_plans[r] : within_plan(s, r);
}

// Per-worker pair vectors into columns sorted by (first, second): a counting sort on the first
// slot, then a sort of each first slot's partners, checking for cancellation as it goes.
pair_columns collect_pairs(std::vector<std::vector<slot_pair>>& found, std::size_t first_slots,
                           const index_state& first_state, const index_state& second_state, const job& j) {
    std::size_t total = 0;
    for (const auto& f : found) total += f.size();
    if (total > j.result_budget / bytes_per_found_pair) throw result_too_large(total * bytes_per_found_pair);
    std::vector<std::size_t> starts(first_slots + 1, 0);
    for (const auto& f : found) {
        for (const slot_pair& p : f) ++starts[p.first + 1];
    }
    for (std::size_t k = 0; k < first_slots; ++k) starts[k + 1] += starts[k];
    // The partner's slot above its distance in one word, so that sorting the words sorts both.
    std::vector<std::uint64_t> packed(total);
    constexpr std::size_t check_every = 1 << 16;
    for (auto& f : found) {
        for (std::size_t k = 0; k < f.size(); ++k) {
            if (k % check_every == 0) check_cancelled(j);
            const slot_pair& p = f[k];
            packed[starts[p.first]++] = static_cast<std::uint64_t>(p.second) << 32 | p.dist;
        }
        std::vector<slot_pair>().swap(f);
    }
    // The scatter moved every start to the next one's place.
    for (std::size_t k = first_slots; k > 0; --k) starts[k] = starts[k - 1];
    starts[0] = 0;
    pair_columns out;
    out.first.resize(total);
    out.second.resize(total);
    out.dists.resize(total);
    std::size_t since_check = 0;
    for (std::size_t f = 0; f < first_slots; ++f) {
        const std::size_t lo = starts[f], hi = starts[f + 1];
        if (lo == hi) continue;
        if (hi - lo > 1) std::sort(packed.begin() + static_cast<std::ptrdiff_t>(lo), packed.begin() + static_cast<std::ptrdiff_t>(hi));
        const code_id id = first_state.id_of(static_cast<slot_t>(f));
        for (std::size_t k = lo; k < hi; ++k) {
            out.first[k] = id;
            out.second[k] = second_state.id_of(static_cast<slot_t>(packed[k] >> 32));
            out.dists[k] = static_cast<std::int32_t>(packed[k] & 0xFFFFFFFFu);
        }
        since_check += hi - lo + 1;
        if (since_check >= check_every) {
            check_cancelled(j);
            since_check = 0;
        }
    }
    return out;
}

// The pairs of owners [from, to) of a self-join (searched == owners, after) or of a cross join.
pair_columns join_window(const index_state& owners, std::size_t from, std::size_t to, const index_state& searched,
                         unsigned r, bool after, job& j) {
    const search_plan plan = query_plan(searched, r);
    constexpr std::size_t owners_per_unit = 16;
    const std::size_t units = (to - from + owners_per_unit - 1) / owners_per_unit;
    j.set_total(units);
    std::vector<std::vector<slot_pair>> found(threads_for(j, units));
    std::atomic<std::size_t> shared{0};
    std::vector<pair_sink> sinks;
    sinks.reserve(found.size());
    for (auto& f : found) sinks.emplace_back(f, shared, j);
    parallel_for(units, j, [&](unsigned worker, std::size_t unit) {
        const std::size_t first = from + unit * owners_per_unit;
        for (std::size_t v = first; v < std::min(to, first + owners_per_unit); ++v) {
            check_cancelled(j);
            search_partners(owners, v, searched, plan, r, true, after, sinks[worker]);
        }
    });
    for (auto& sink : sinks) sink.share();
    // Owners below `from` have no pairs here; the counting sort covers [0, to).
    return collect_pairs(found, to, owners, searched, j);
}

std::size_t count_pairs(const index_state& a, const index_state* b, unsigned r, job& j) {
    std::vector<count_sink> counts;
    if (b == nullptr) {
        counts.resize(j.threads());
        self_join<count_sink>(a, r, j, [&](unsigned worker) -> count_sink& { return counts[worker]; });
    } else {
        const search_plan plan = query_plan(*b, r);
        const std::size_t units = (a.count + scan_rows - 1) / scan_rows;
        counts.resize(threads_for(j, units));
        parallel_for(units, j, [&](unsigned worker, std::size_t unit) {
            for (std::size_t v = unit * scan_rows; v < std::min(a.count, (unit + 1) * scan_rows); ++v) {
                check_cancelled(j);
                search_partners(a, v, *b, plan, r, true, false, counts[worker]);
            }
        });
    }
    std::size_t total = 0;
    for (const count_sink& c : counts) total += c.count;
    return total;
}

}  // namespace

pair_columns index_snapshot::pairs(unsigned r, job& j) const {
    const index_state& s = *state_;
    if (s.count < 2) return {};
    std::vector<std::vector<slot_pair>> found(j.threads());
    std::atomic<std::size_t> shared{0};
    std::vector<pair_sink> sinks;
    sinks.reserve(found.size());
    for (auto& f : found) sinks.emplace_back(f, shared, j);
    self_join<pair_sink>(s, r, j, [&](unsigned worker) -> pair_sink& { return sinks[worker]; });
    for (auto& sink : sinks) sink.share();
    return collect_pairs(found, s.count, s, s, j);
}

pair_columns index_snapshot::cross_pairs(const index_snapshot& other, unsigned r, job& j) const {
    const index_state& a = *state_;
    const index_state& b = *other.state_;
    if (a.count == 0 || b.count == 0) return {};
    // The smaller side's codes are the queries: a query's cost grows slowly with the size of
    // what it searches.
    if (b.count <= a.count) {
        // Queries from b: pairs (partner in a, owner in b), collected as (a, b) all the same.
        const search_plan plan = query_plan(a, r);
        const std::size_t units = (b.count + scan_rows - 1) / scan_rows;
        std::vector<std::vector<slot_pair>> found(threads_for(j, units));
        std::atomic<std::size_t> shared{0};
        std::vector<pair_sink> sinks;
        sinks.reserve(found.size());
        for (auto& f : found) sinks.emplace_back(f, shared, j);
        j.set_total(units);
        parallel_for(units, j, [&](unsigned worker, std::size_t unit) {
            for (std::size_t v = unit * scan_rows; v < std::min(b.count, (unit + 1) * scan_rows); ++v) {
                check_cancelled(j);
                search_partners(b, v, a, plan, r, false, false, sinks[worker]);
            }
        });
        for (auto& sink : sinks) sink.share();
        return collect_pairs(found, a.count, a, b, j);
    }
    return join_window(a, 0, a.count, b, r, false, j);
}

//--- Streams ------------------------------------------------------------------------------

namespace {
// Owners searched at once, at most: beyond it a window's pairs are no cheaper to find.
constexpr double max_window = 65536;
}  // namespace

struct pair_stream::impl {
    impl(index_snapshot self, std::unique_ptr<index_snapshot> other, unsigned r, std::size_t batch)
        : self(std::move(self)), other(std::move(other)), r(r), batch(batch) {}
    index_snapshot self;
    std::unique_ptr<index_snapshot> other;
    unsigned r;
    std::size_t batch;
    bool planned = false;
    pair_columns pending;     // found, not yet given
    std::size_t given = 0;    // of pending
    std::size_t next_owner = 0;
    std::size_t window = 1024;  // owners searched at once; adapts to how many pairs they have

    std::size_t owners() const noexcept { return self.size(); }
    std::size_t left() const noexcept { return pending.size() - given; }
};

pair_stream::pair_stream(index_snapshot self, std::unique_ptr<index_snapshot> other, unsigned r, std::size_t batch)
    : impl_(std::make_unique<impl>(std::move(self), std::move(other), r, std::max<std::size_t>(batch, 1))) {}
pair_stream::~pair_stream() = default;

pair_columns pair_stream::next(job& j) {
    impl& m = *impl_;
    const index_state& a = m.self.state();
    const index_state* b = m.other ? &m.other->state() : nullptr;
    if (!m.planned) {
        // A join is much faster than a query per code, so when all the pairs fit in a batch the
        // stream is one join; otherwise it searches the owners a window at a time, sized to
        // find about a batch of pairs.
        const std::size_t total = count_pairs(a, b, m.r, j);
        if (total <= m.batch) {
            m.pending = b ? m.self.cross_pairs(*m.other, m.r, j) : m.self.pairs(m.r, j);
            m.next_owner = m.owners();
        } else {
            const double per_owner = static_cast<double>(total) / static_cast<double>(m.owners());
            m.window = static_cast<std::size_t>(std::clamp(static_cast<double>(m.batch) / per_owner, 1.0, max_window));
        }
        m.planned = true;
    }
    while (m.left() < m.batch && m.next_owner < m.owners()) {
        const std::size_t to = std::min(m.owners(), m.next_owner + m.window);
        pair_columns found;
        try {
            found = join_window(a, m.next_owner, to, b ? *b : a, m.r, b == nullptr, j);
        } catch (const result_too_large&) {
            // Owners with more partners than the window was sized for: try fewer at once.
            if (m.window == 1) throw;
            m.window /= 2;
            continue;
        }
        m.next_owner = to;
        if (found.size() > 2 * m.batch && m.window > 1) m.window /= 2;
        if (found.size() < m.batch / 2 && m.window < max_window) m.window *= 2;
        // Keep what is not yet given, then what was found.
        pair_columns merged;
        const std::size_t keep = m.left();
        merged.first.reserve(keep + found.size());
        merged.second.reserve(keep + found.size());
        merged.dists.reserve(keep + found.size());
        const auto from = static_cast<std::ptrdiff_t>(m.given);
        merged.first.insert(merged.first.end(), m.pending.first.begin() + from, m.pending.first.end());
        merged.second.insert(merged.second.end(), m.pending.second.begin() + from, m.pending.second.end());
        merged.dists.insert(merged.dists.end(), m.pending.dists.begin() + from, m.pending.dists.end());
        merged.first.insert(merged.first.end(), found.first.begin(), found.first.end());
        merged.second.insert(merged.second.end(), found.second.begin(), found.second.end());
        merged.dists.insert(merged.dists.end(), found.dists.begin(), found.dists.end());
        m.pending = std::move(merged);
        m.given = 0;
    }
    const std::size_t n = std::min(m.batch, m.left());
    pair_columns out;
    const auto from = static_cast<std::ptrdiff_t>(m.given), to = static_cast<std::ptrdiff_t>(m.given + n);
    out.first.assign(m.pending.first.begin() + from, m.pending.first.begin() + to);
    out.second.assign(m.pending.second.begin() + from, m.pending.second.begin() + to);
    out.dists.assign(m.pending.dists.begin() + from, m.pending.dists.begin() + to);
    m.given += n;
    return out;
}

}  // namespace quorvalent::codes
