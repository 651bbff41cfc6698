// Joins: every pair of codes within r bits, of one state (a self-join) or of two (a cross join),
// whole or streamed in order.
//
// A self-join visits each pair of buckets within a table's threshold once and compares their
// runs, which stay in cache; codes outside the tables (the tail) are queries of the tables and
// of the tail after them. A cross join, and a streamed join, are queries: every code of one side
// searches the other, and reports its partners in order.
#include <algorithm>
#include <atomic>

#include "codes/joins.hpp"

namespace quorvalent::codes {

namespace {

// Every code of `owners` [from, to) as a query of `searched`; pairs are (owner, partner) when
// owners_first, else (partner, owner). With `after`, the two states are one and only partners
// of a higher slot count.
template <class Sink>
void search_partners(const index_state& owners, std::size_t owner, const index_state& searched, const search_plan& plan,
                     unsigned r, bool owners_first, bool after, const std::uint32_t* rank, Sink& sink) {
    if (!owners.live(owner)) return;
    partner_handler<Sink> h{static_cast<slot_t>(owner), r, after, owners_first, sink, rank};
    const std::uint64_t* q = owners.code(owner);
    // Without ranks, partners later in id order are those of a higher slot: the scan starts there.
    const std::size_t scan_from = after && !rank ? owner + 1 : 0;
    if (plan.scan) {
        scan_codes(searched, scan_from, searched.count, q, h);
    } else {
        probe_tables(searched, plan.thresholds, q, h);
        scan_codes(searched, std::max(scan_from, searched.indexed()), searched.count, q, h);
    }
}

// Many owners searched together, a table at a time, region by region. One query's buckets lie
// all over a table, so each probed bucket waits on its own misses, and thousands of queries
// bring each bucket's lines in again and again (100,000 64-bit queries at r = 8 visit each of a
// table's million buckets about 20 times). Here a table is read a region (2^12 buckets, about
// 250 KB of entries at five codes a bucket) at a time: every owner whose buckets at some mask
// fall in the region visits them while the region's lines are in cache. The owners, sorted by
// key, are found by the high bits of their key: a region is reached from the owners of the
// regions whose high bits differ from its own within the threshold. Pairs are those
// search_partners() finds for each owner, in another order. In a table of whole words, a
// region's visits are then grouped by bucket, so that a bucket's entries meet all their
// visitors in one short loop. (100,000 64-bit codes against 5 million at r = 8, one thread:
// 0.41-0.46 s; 0.92-0.99 visiting owner by owner; 2.44-2.90 a query at a time. Regions of 2^10
// and 2^14 buckets did no better, nor reading a region's lines in order before its visits.)
template <class Sink>
void search_partners_sorted(const index_state& owners, const slot_t* batch, std::size_t n, const index_state& searched,
                            const search_plan& plan, unsigned r, bool owners_first, bool after, const std::uint32_t* rank,
                            Sink& sink, const job& j) {
    constexpr unsigned region_bits = 12;
    const std::vector<table>& tables = searched.tables->tables;
    const std::vector<int>& thresholds = plan.thresholds;
    struct owner {
        std::uint64_t key;
        std::uint64_t word;  // the word the table keys on (its block's bits alone, for a compact table)
        slot_t slot;
        std::uint16_t rest;  // a compact table's rest of the block
    };
    std::vector<owner> order;
    order.reserve(n);
    std::vector<std::size_t> starts;
    std::vector<std::uint32_t> ends, visitors;
    std::vector<std::uint64_t> visitor_words;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        if (thresholds[i] < 0) continue;
        const table& t = tables[i];
        const unsigned w = t.word();
        const std::uint64_t held = t.held_mask();
        order.clear();
        for (std::size_t k = 0; k < n; ++k) {
            if (!owners.live(batch[k])) continue;
            const std::uint64_t word = owners.code(batch[k])[w];
            order.push_back({t.key(word), word & held, batch[k], static_cast<std::uint16_t>(t.compact() ? t.rest_of(word) : 0)});
        }
        std::sort(order.begin(), order.end(), [](const owner& x, const owner& y) { return x.key < y.key; });
        const auto threshold = static_cast<unsigned>(thresholds[i]);
        const unsigned low = std::min(region_bits, t.key_bits()), high = t.key_bits() - low;
        const int reach = static_cast<int>(std::min(threshold, t.key_bits()));
        // Owners of each region: order[starts[g], starts[g + 1]).
        starts.assign((std::size_t{1} << high) + 1, 0);
        for (const owner& o : order) ++starts[(o.key >> low) + 1];
        for (std::size_t g = 1; g < starts.size(); ++g) starts[g] += starts[g - 1];
        // Masks of the low bits by weight; within[k]: how many weigh at most k.
        const std::vector<std::uint32_t> lows = masks_within(low, reach), highs = masks_within(high, reach);
        std::vector<std::size_t> within(static_cast<std::size_t>(reach) + 1, 0);
        for (std::uint32_t m : lows) {
            for (auto k = static_cast<std::size_t>(popcount64_baseline(m)); k < within.size(); ++k) ++within[k];
        }
        const unsigned most = std::min(threshold, r);
        auto check = [&](const owner& o, std::size_t bucket, std::uint32_t e) {
            const std::uint64_t bits = t.entry_bits(e, bucket);
            partner_handler<Sink> h{o.slot, r, after, owners_first, sink, rank};
            check_entry(searched, thresholds, i, e, bits, bits ^ o.word, owners.code(o.slot), h);
        };
        const std::uint16_t* rests = t.entry_rests();
        auto visit = [&](const owner& o, std::size_t bucket) {
            const std::uint32_t begin = t.begin(bucket), end = t.end(bucket);
            if (!t.compact()) {
                for (std::uint32_t e = begin; e < end; ++e) check(o, bucket, e);
                return;
            }
            // As a probe does: the rests against what the keys leave of the threshold.
            const unsigned keys = popcount64_baseline(static_cast<std::uint64_t>(bucket ^ o.key));
            if (keys > most) return;
            each_rest_within(rests, begin, end, o.rest, most - keys, [&](std::uint32_t e) { check(o, bucket, e); });
        };
        // Every (owner, bucket) visit that lands in the region, as f(place in order, bucket's
        // place in the region).
        auto each_visit = [&](std::size_t region, auto&& f) {
            const std::size_t base = region << low;
            for (std::uint32_t mh : highs) {
                const std::size_t from_region = region ^ mh;
                const std::size_t lo = starts[from_region], hi = starts[from_region + 1];
                const std::size_t masks = within[static_cast<std::size_t>(reach - popcount64_baseline(mh))];
                const std::size_t flip = std::size_t{mh} << low;
                for (std::size_t k = lo; k < hi; ++k) {
                    const std::size_t key = (order[k].key ^ flip) - base;
                    for (std::size_t m = 0; m < masks; ++m) f(k, key ^ lows[m]);
                }
            }
        };
        const std::uint64_t* words = t.compact() ? nullptr : t.entry_words();
        for (std::size_t region = 0; region < starts.size() - 1; ++region) {
            check_cancelled(j);
            const std::size_t base = region << low;
            std::size_t visits = 0;
            for (std::uint32_t mh : highs) {
                const std::size_t from_region = region ^ mh;
                visits += (starts[from_region + 1] - starts[from_region]) *
                          within[static_cast<std::size_t>(reach - popcount64_baseline(mh))];
            }
            // The grouping holds 12 bytes a visit: past 2^22 visits (a small table, one region,
            // searched by a million owners) they are made owner by owner instead.
            if (!t.compact() && visits <= std::size_t{1} << 22) {
                // The region's visits grouped by bucket: each bucket's entries then meet all
                // their visitors in one short loop, without a branch on where a bucket ends at
                // every visit.
                const std::size_t nb = std::size_t{1} << low;
                ends.assign(nb + 1, 0);
                each_visit(region, [&](std::size_t, std::size_t b) { ++ends[b + 1]; });
                for (std::size_t b = 1; b <= nb; ++b) ends[b] += ends[b - 1];
                visitors.resize(ends[nb]);
                visitor_words.resize(ends[nb]);
                each_visit(region, [&](std::size_t k, std::size_t b) {
                    const std::uint32_t at = ends[b]++;
                    visitors[at] = static_cast<std::uint32_t>(k);
                    visitor_words[at] = order[k].word;
                });
                // ends[b] is now where bucket b's visitors end, and bucket b - 1's where they begin.
                for (std::size_t b = 0; b < nb; ++b) {
                    const std::uint32_t lo = b ? ends[b - 1] : 0, hi = ends[b];
                    if (lo == hi) continue;
                    const std::size_t bucket = base + b;
                    const std::uint32_t end = t.end(bucket);
                    for (std::uint32_t e = t.begin(bucket); e < end; ++e) {
                        const std::uint64_t word = words[e];
                        for (std::uint32_t v = lo; v < hi; ++v) {
                            if (popcount64_baseline(word ^ visitor_words[v]) <= r) check(order[visitors[v]], bucket, e);
                        }
                    }
                }
                continue;
            }
            each_visit(region, [&](std::size_t k, std::size_t b) { visit(order[k], base + b); });
        }
    }
    // Codes appended since the tables were built are scanned, as by search_partners().
    for (std::size_t k = 0; k < n; ++k) {
        const slot_t o = batch[k];
        if (!owners.live(o)) continue;
        partner_handler<Sink> h{o, r, after, owners_first, sink, rank};
        const std::size_t scan_from = after && !rank ? o + std::size_t{1} : 0;
        scan_codes(searched, std::max(scan_from, searched.indexed()), searched.count, owners.code(o), h);
    }
}

// Whether owners are many enough, against the searched side's tables, to be searched together.
// 64-bit codes against 5 million (2^20 buckets a table) at r = 8, one thread: 2,100 owners
// 0.038 s against 0.052 a query at a time, 16,400 0.12 against 0.40; 1,100 0.040 against 0.03.
bool search_sorted(const index_state& searched, const search_plan& plan, std::size_t owners) {
    if (plan.scan || !searched.tables) return false;
    std::size_t buckets = 0;
    for (const table& t : searched.tables->tables) buckets = std::max(buckets, t.buckets());
    return owners * 512 >= buckets;
}

// Owners a unit of such a search takes: a share of them a thread, at most 2^20, so that the
// sorted list (32 bytes an owner) stays bounded whatever the join's size.
std::size_t sorted_owners_per_unit(const job& j, std::size_t owners) {
    const std::size_t share = (owners + j.threads() - 1) / std::max(1u, j.threads());
    return std::clamp<std::size_t>(share, 1, std::size_t{1} << 20);
}

search_plan query_plan(const index_state& s, unsigned r) {
    return s.tables && r < s.tables->within_plans.size() ? s.tables->within_plans[r] : within_plan(s, r);
}

// A side of a join as collect_pairs() orders it: place in id order of each slot.
struct side {
    const index_state& s;
    const std::vector<std::uint32_t>& rank;  // empty when ids ascend with slots
    std::size_t place(slot_t slot) const noexcept { return rank.empty() ? slot : rank[slot]; }
    code_id id_at(std::size_t place) const noexcept { return s.id_of(s.slot_at_rank(place)); }
};

// Per-worker pair vectors into columns sorted by (first id, second id): a counting sort on the
// first's place in id order, then a sort of each first's partners, checking for cancellation
// as it goes. A self-join's pairs are turned so that the first comes first in id order. Only
// pairs whose first lies at a place below `places` can occur.
pair_columns collect_pairs(std::vector<std::vector<slot_pair>>& found, const side& a, const side& b, bool self_join,
                           std::size_t places, const job& j) {
    std::size_t total = 0;
    for (const auto& f : found) total += f.size();
    if (total > j.result_budget / bytes_per_found_pair) throw result_too_large(total * bytes_per_found_pair);
    auto orient = [&](const slot_pair& p) {
        std::size_t x = a.place(p.first), y = b.place(p.second);
        if (self_join && x > y) std::swap(x, y);
        return std::pair<std::size_t, std::size_t>(x, y);
    };
    std::vector<std::size_t> starts(places + 1, 0);
    for (const auto& f : found) {
        for (const slot_pair& p : f) ++starts[orient(p).first + 1];
    }
    for (std::size_t k = 0; k < places; ++k) starts[k + 1] += starts[k];
    // The partner's place above its distance in one word, so that sorting the words sorts both.
    std::vector<std::uint64_t> packed(total);
    constexpr std::size_t check_every = 1 << 16;
    for (auto& f : found) {
        for (std::size_t k = 0; k < f.size(); ++k) {
            if (k % check_every == 0) check_cancelled(j);
            const auto [x, y] = orient(f[k]);
            packed[starts[x]++] = static_cast<std::uint64_t>(y) << 32 | f[k].dist;
        }
        std::vector<slot_pair>().swap(f);
    }
    // The scatter moved every start to the next one's place.
    for (std::size_t k = places; k > 0; --k) starts[k] = starts[k - 1];
    starts[0] = 0;
    pair_columns out;
    out.first.resize(total);
    out.second.resize(total);
    out.dists.resize(total);
    std::size_t since_check = 0;
    for (std::size_t f = 0; f < places; ++f) {
        const std::size_t lo = starts[f], hi = starts[f + 1];
        if (lo == hi) continue;
        if (hi - lo > 1) std::sort(packed.begin() + static_cast<std::ptrdiff_t>(lo), packed.begin() + static_cast<std::ptrdiff_t>(hi));
        const code_id id = a.id_at(f);
        for (std::size_t k = lo; k < hi; ++k) {
            out.first[k] = id;
            out.second[k] = b.id_at(static_cast<std::size_t>(packed[k] >> 32));
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

// The pairs of the owners at places [from, to) of id order, as queries of `searched`: a
// self-join (the same state, partners later in id order) or a cross join.
pair_columns join_window(const side& owners, std::size_t from, std::size_t to, const side& searched, unsigned r, bool self_join,
                         job& j) {
    const search_plan plan = query_plan(searched.s, r);
    const bool sorted = search_sorted(searched.s, plan, to - from);
    // Sorted, a large share of the owners a unit; otherwise a few, shared out as threads free up.
    const std::size_t owners_per_unit = sorted ? sorted_owners_per_unit(j, to - from) : 16;
    const std::size_t units = (to - from + owners_per_unit - 1) / owners_per_unit;
    j.set_total(units);
    std::vector<std::vector<slot_pair>> found(threads_for(j, units));
    std::atomic<std::size_t> shared{0};
    std::vector<pair_sink> sinks;
    sinks.reserve(found.size());
    for (auto& f : found) sinks.emplace_back(f, shared, j);
    const std::uint32_t* rank = self_join && !owners.rank.empty() ? owners.rank.data() : nullptr;
    parallel_for(units, j, [&](unsigned worker, std::size_t unit) {
        const std::size_t first = from + unit * owners_per_unit, last = std::min(to, first + owners_per_unit);
        if (sorted) {
            std::vector<slot_t> batch;
            batch.reserve(last - first);
            for (std::size_t place = first; place < last; ++place) batch.push_back(owners.s.slot_at_rank(place));
            search_partners_sorted(owners.s, batch.data(), batch.size(), searched.s, plan, r, true, self_join, rank,
                                   sinks[worker], j);
            return;
        }
        for (std::size_t place = first; place < last; ++place) {
            check_cancelled(j);
            search_partners(owners.s, owners.s.slot_at_rank(place), searched.s, plan, r, true, self_join, rank, sinks[worker]);
        }
    });
    for (auto& sink : sinks) sink.share();
    return collect_pairs(found, owners, searched, false, to, j);
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
                search_partners(a, v, *b, plan, r, true, false, nullptr, counts[worker]);
            }
        });
    }
    std::size_t total = 0;
    for (const count_sink& c : counts) total += c.count;
    return total;
}

}  // namespace

std::vector<std::vector<slot_pair>> self_join_pairs(const index_state& s, unsigned r, job& j) {
    std::vector<std::vector<slot_pair>> found(j.threads());
    std::atomic<std::size_t> shared{0};
    std::vector<pair_sink> sinks;
    sinks.reserve(found.size());
    for (auto& f : found) sinks.emplace_back(f, shared, j);
    self_join<pair_sink>(s, r, j, [&](unsigned worker) -> pair_sink& { return sinks[worker]; });
    for (auto& sink : sinks) sink.share();
    return found;
}

pair_columns index_snapshot::pairs(unsigned r, job& j) const {
    const index_state& s = *state_;
    if (s.count < 2) return {};
    std::vector<std::vector<slot_pair>> found = self_join_pairs(s, r, j);
    const std::vector<std::uint32_t> rank = ranks_of(s);
    const side both{s, rank};
    return collect_pairs(found, both, both, true, s.count, j);
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
        const bool sorted = search_sorted(a, plan, b.count);
        // Sorted, a share of the codes a thread; otherwise in short runs, shared out as threads free up.
        const std::size_t rows = sorted ? sorted_owners_per_unit(j, b.count) : scan_rows;
        const std::size_t units = (b.count + rows - 1) / rows;
        std::vector<std::vector<slot_pair>> found(threads_for(j, units));
        std::atomic<std::size_t> shared{0};
        std::vector<pair_sink> sinks;
        sinks.reserve(found.size());
        for (auto& f : found) sinks.emplace_back(f, shared, j);
        j.set_total(units);
        parallel_for(units, j, [&](unsigned worker, std::size_t unit) {
            const std::size_t first = unit * rows, last = std::min(b.count, first + rows);
            if (sorted) {
                std::vector<slot_t> batch(last - first);
                for (std::size_t v = first; v < last; ++v) batch[v - first] = static_cast<slot_t>(v);
                search_partners_sorted(b, batch.data(), batch.size(), a, plan, r, false, false, nullptr, sinks[worker], j);
                return;
            }
            for (std::size_t v = first; v < last; ++v) {
                check_cancelled(j);
                search_partners(b, v, a, plan, r, false, false, nullptr, sinks[worker]);
            }
        });
        for (auto& sink : sinks) sink.share();
        const std::vector<std::uint32_t> rank_a = ranks_of(a), rank_b = ranks_of(b);
        return collect_pairs(found, side{a, rank_a}, side{b, rank_b}, false, a.count, j);
    }
    const std::vector<std::uint32_t> rank_a = ranks_of(a), rank_b = ranks_of(b);
    return join_window(side{a, rank_a}, 0, a.count, side{b, rank_b}, r, false, j);
}

//--- Streams ------------------------------------------------------------------------------

namespace {
// Owners searched at once, at most: beyond it a window's pairs are no cheaper to find.
constexpr double max_window = 65536;
// A stream of at most this many pairs is one join, held whole (about 80 MB at its peak).
constexpr std::size_t whole_join_pairs = std::size_t{1} << 21;
}  // namespace

struct pair_stream::impl {
    impl(index_snapshot self, std::unique_ptr<index_snapshot> other, unsigned r, std::size_t batch)
        : self(std::move(self)), other(std::move(other)), r(r), batch(batch) {}
    index_snapshot self;
    std::unique_ptr<index_snapshot> other;
    unsigned r;
    std::size_t batch;
    std::vector<std::uint32_t> rank_self, rank_other;  // places in id order, computed once
    bool planned = false;
    pair_columns pending;     // found, not yet given
    std::size_t given = 0;    // of pending
    std::size_t next_owner = 0;
    std::size_t window = 1024;  // owners searched at once; adapts to how many pairs they have

    std::size_t owners() const noexcept { return self.state().count; }
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
        // A join is much faster than a query per code, so the stream is one join whenever its
        // pairs fit in a bounded amount of memory, whatever the batch; otherwise it searches the
        // owners a window at a time, sized to find about a batch of pairs.
        m.rank_self = ranks_of(a);
        if (b) m.rank_other = ranks_of(*b);
        job whole(j, std::min(j.result_budget, std::max(m.batch, whole_join_pairs) * bytes_per_found_pair));
        try {
            m.pending = b ? m.self.cross_pairs(*m.other, m.r, whole) : m.self.pairs(m.r, whole);
            m.next_owner = m.owners();
        } catch (const result_too_large&) {
            check_cancelled(j);
            const std::size_t total = count_pairs(a, b, m.r, j);
            const double per_owner = static_cast<double>(total) / static_cast<double>(std::max<std::size_t>(m.owners(), 1));
            m.window = static_cast<std::size_t>(std::clamp(static_cast<double>(m.batch) / per_owner, 1.0, max_window));
        }
        m.planned = true;
    }
    while (m.left() < m.batch && m.next_owner < m.owners()) {
        const std::size_t to = std::min(m.owners(), m.next_owner + m.window);
        pair_columns found;
        try {
            const side owners{a, m.rank_self};
            found = b ? join_window(owners, m.next_owner, to, side{*b, m.rank_other}, m.r, false, j)
                      : join_window(owners, m.next_owner, to, owners, m.r, true, j);
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
