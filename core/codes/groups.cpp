// Groups of near-duplicates (connected components, or stars around representatives chosen by
// precedence) and the sweep of radii, all from one join.
//
// Identical codes are collapsed first: every copy of a code joins its first copy's group, and
// the join runs over one copy of each code, with the others treated as removed. A million
// copies of a blank image's hash then cost a sort, not the 5 x 10^11 pairs among them.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "codes/joins.hpp"

namespace quorvalent::codes {

namespace {

// One bucket's live codes as (a word of the code, slot), in slot order.
using keyed_slots = std::vector<std::pair<std::uint64_t, slot_t>>;

// Points every code of `run` at the first (lowest) slot in `run` that holds the same code.
void mark_copies(const index_state& s, keyed_slots& run, std::vector<slot_t>& first) {
    const std::size_t bytes = s.words * sizeof(std::uint64_t);
    auto same = [&](const std::pair<std::uint64_t, slot_t>& a, const std::pair<std::uint64_t, slot_t>& b) {
        return a.first == b.first && (s.words == 1 || std::memcmp(s.code(a.second), s.code(b.second), bytes) == 0);
    };
    // Small runs (nearly all) by pairs, in place; a run where codes crowd by a sort.
    constexpr std::size_t pairwise_run = 16;
    if (run.size() <= pairwise_run) {
        for (std::size_t k = 1; k < run.size(); ++k) {
            for (std::size_t i = 0; i < k; ++i) {
                if (same(run[i], run[k])) {
                    first[run[k].second] = first[run[i].second];
                    break;
                }
            }
        }
        return;
    }
    std::sort(run.begin(), run.end(), [&](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first < b.first;
        if (s.words > 1) {
            const int c = std::memcmp(s.code(a.second), s.code(b.second), bytes);
            if (c != 0) return c < 0;
        }
        return a.second < b.second;
    });
    for (std::size_t k = 1; k < run.size(); ++k) {
        if (same(run[k - 1], run[k])) first[run[k].second] = first[run[k - 1].second];
    }
}

// first[slot]: the first live slot (in slot order) that holds the same code, for every live
// slot; the state's removed slots are left as they are.
//
// Identical codes share every key, so the copies of a code all sit in one bucket of the first
// table, or among the codes appended since it was built that have the bucket's key: a pass over
// the buckets finds them, sorting only the runs where codes crowd, and needs no copy of the
// index. Without tables, all live codes are one run.
std::vector<slot_t> first_copies(const index_state& s, job& j) {
    std::vector<slot_t> first(s.count);
    for (std::size_t slot = 0; slot < s.count; ++slot) first[slot] = static_cast<slot_t>(slot);
    keyed_slots run;
    if (!s.tables || s.tables->tables.empty()) {
        run.reserve(s.live_count());
        for (std::size_t slot = 0; slot < s.count; ++slot) {
            if (s.live(slot)) run.emplace_back(s.code(slot)[0], static_cast<slot_t>(slot));
        }
        mark_copies(s, run, first);
        return first;
    }
    const table& t = s.tables->tables[0];
    // The appended codes (an eighth of the index at most), by key and then slot.
    std::vector<std::uint64_t> tail;
    for (std::size_t slot = s.indexed(); slot < s.count; ++slot) {
        if (s.live(slot)) tail.push_back(std::uint64_t{t.key(s.code(slot)[t.word()])} << 32 | slot);
    }
    std::sort(tail.begin(), tail.end());
    std::size_t next_tail = 0;
    for (std::size_t b = 0; b < t.buckets(); ++b) {
        if ((b & 0xFFFF) == 0) check_cancelled(j);
        run.clear();
        for (std::uint32_t e = t.begin(b); e < t.end(b); ++e) {
            const slot_t slot = t.entry_slot(e);
            if (s.live(slot)) run.emplace_back(t.entry_bits(e, b), slot);
        }
        for (; next_tail < tail.size() && (tail[next_tail] >> 32) == b; ++next_tail) {
            const auto slot = static_cast<slot_t>(tail[next_tail]);
            run.emplace_back(s.code(slot)[t.word()] & t.held_mask(), slot);
        }
        if (run.size() > 1) mark_copies(s, run, first);
    }
    return first;
}

// The state with every copy but the first of each code treated as removed; `copies` is how
// many copies that hides. Shares the codes and tables of `s`.
index_state without_copies(const index_state& s, const std::vector<slot_t>& first, std::size_t& copies) {
    index_state view = s;
    copies = 0;
    auto dead = s.dead ? std::make_shared<std::vector<std::uint64_t>>(*s.dead) : std::make_shared<std::vector<std::uint64_t>>();
    dead->resize((s.count + 63) / 64, 0);
    for (std::size_t slot = 0; slot < s.count; ++slot) {
        if (s.live(slot) && first[slot] != slot) {
            (*dead)[slot >> 6] |= std::uint64_t{1} << (slot & 63);
            ++copies;
        }
    }
    view.dead = std::move(dead);
    view.dead_count = s.dead_count + copies;
    return view;
}

// Union-find over slots that threads may share: roots are linked larger index under smaller,
// with a compare-and-swap, and paths are halved as they are walked (Anderson and Woll).
class shared_union_find {
   public:
    // Starts from a forest given as parents (every root its own parent).
    explicit shared_union_find(const std::vector<std::uint32_t>& parents) : parent_(parents.size()) {
        for (std::size_t k = 0; k < parents.size(); ++k) parent_[k].store(parents[k], std::memory_order_relaxed);
    }
    std::uint32_t find(std::uint32_t x) noexcept {
        for (;;) {
            std::uint32_t p = parent_[x].load(std::memory_order_relaxed);
            if (p == x) return x;
            const std::uint32_t g = parent_[p].load(std::memory_order_relaxed);
            if (g != p) parent_[x].compare_exchange_weak(p, g, std::memory_order_relaxed);
            x = g;
        }
    }
    void unite(std::uint32_t a, std::uint32_t b) noexcept {
        for (;;) {
            a = find(a);
            b = find(b);
            if (a == b) return;
            if (a < b) std::swap(a, b);
            std::uint32_t expected = a;
            if (parent_[a].compare_exchange_strong(expected, b, std::memory_order_relaxed)) return;
        }
    }

   private:
    std::vector<std::atomic<std::uint32_t>> parent_;
};

// A sink that unites the two codes of every pair it is given.
struct union_sink {
    shared_union_find* sets;
    void push(const slot_pair& p) noexcept { sets->unite(p.first, p.second); }
};

// Precedence of each slot: lower wins. From the caller's ranking of live codes in insertion
// order, or else each code's place in id order (the lowest id wins). Where ids ascend with
// slots (the common case), the place is the slot itself and takes no memory.
class slot_precedence {
   public:
    slot_precedence(const index_state& s, const std::uint32_t* precedence) {
        if (precedence) {
            prec_.assign(s.count, ~0u);
            std::size_t k = 0;
            for (std::size_t slot = 0; slot < s.count; ++slot) {
                if (s.live(slot)) prec_[slot] = precedence[k++];
            }
        } else if (s.by_id) {
            prec_.assign(s.count, ~0u);
            for (std::size_t place = 0; place < s.count; ++place) prec_[s.slot_at_rank(place)] = static_cast<std::uint32_t>(place);
        }
    }
    std::uint32_t operator()(slot_t slot) const noexcept { return prec_.empty() ? slot : prec_[slot]; }
    void release() { std::vector<std::uint32_t>().swap(prec_); }

   private:
    std::vector<std::uint32_t> prec_;
};

// Columns of every live code's id and its representative's, in id order.
group_columns columns_in_id_order(const index_state& s, const std::vector<slot_t>& rep_of) {
    group_columns out;
    out.ids.reserve(s.live_count());
    out.reps.reserve(s.live_count());
    for (std::size_t place = 0; place < s.count; ++place) {
        const slot_t slot = s.slot_at_rank(place);
        if (!s.live(slot)) continue;
        out.ids.push_back(s.id_of(slot));
        out.reps.push_back(s.id_of(rep_of[slot]));
    }
    return out;
}

// The pairs of the distinct codes within r, as adjacency lists over slots (CSR).
struct adjacency {
    std::vector<std::size_t> starts;
    std::vector<slot_t> neighbours;
};

adjacency adjacency_of(const index_state& distinct, unsigned r, job& j) {
    std::vector<std::vector<slot_pair>> found = self_join_pairs(distinct, r, j);
    adjacency a;
    a.starts.assign(distinct.count + 1, 0);
    for (const auto& f : found) {
        for (const slot_pair& p : f) {
            ++a.starts[p.first + 1];
            ++a.starts[p.second + 1];
        }
    }
    for (std::size_t k = 0; k < distinct.count; ++k) a.starts[k + 1] += a.starts[k];
    a.neighbours.resize(a.starts[distinct.count]);
    std::vector<std::size_t> at(a.starts.begin(), a.starts.end() - 1);
    for (auto& f : found) {
        for (const slot_pair& p : f) {
            a.neighbours[at[p.first]++] = p.second;
            a.neighbours[at[p.second]++] = p.first;
        }
        std::vector<slot_pair>().swap(f);
    }
    return a;
}

}  // namespace

group_columns index_snapshot::groups(unsigned r, group_method method, const std::uint32_t* precedence, job& j) const {
    const index_state& s = *state_;
    if (s.live_count() == 0) return {};
    std::vector<slot_t> first = first_copies(s, j);
    std::size_t copies = 0;
    const index_state distinct = without_copies(s, first, copies);
    slot_precedence prec(s, precedence);

    if (method == group_method::components) {
        // Every copy starts in its first copy's set, so the first copies are let go before the
        // join; each array after them is dropped as soon as it is spent, since at this size
        // the working arrays outweigh the index's own.
        shared_union_find sets(first);
        std::vector<slot_t>().swap(first);
        std::vector<union_sink> sinks(j.threads(), union_sink{&sets});
        if (r > 0 && distinct.live_count() > 1) {
            self_join<union_sink>(distinct, r, j, [&](unsigned worker) -> union_sink& { return sinks[worker]; });
        }
        // A component's representative is its member of lowest precedence, kept at its root
        // and then copied to every member (a root's own entry is its component's answer).
        std::vector<slot_t> rep_of(s.count, ~slot_t{0});
        for (std::size_t slot = 0; slot < s.count; ++slot) {
            if (!s.live(slot)) continue;
            slot_t& best = rep_of[sets.find(static_cast<std::uint32_t>(slot))];
            if (best == ~slot_t{0} || prec(static_cast<slot_t>(slot)) < prec(best)) best = static_cast<slot_t>(slot);
        }
        for (std::size_t slot = 0; slot < s.count; ++slot) {
            if (s.live(slot)) rep_of[slot] = rep_of[sets.find(static_cast<std::uint32_t>(slot))];
        }
        check_cancelled(j);
        prec.release();
        { shared_union_find spent = std::move(sets); }
        return columns_in_id_order(s, rep_of);
    }
    std::vector<slot_t> rep_of(s.count);

    // Star: distinct codes in the order of their best copy; an unassigned one becomes a centre,
    // represented by that copy, and takes every unassigned distinct code within r.
    adjacency near;
    if (r > 0 && distinct.live_count() > 1) near = adjacency_of(distinct, r, j);
    std::vector<slot_t> best(s.count, ~slot_t{0});
    for (std::size_t slot = 0; slot < s.count; ++slot) {
        if (!s.live(slot)) continue;
        slot_t& b = best[first[slot]];
        if (b == ~slot_t{0} || prec(static_cast<slot_t>(slot)) < prec(b)) b = static_cast<slot_t>(slot);
    }
    std::vector<slot_t> centres;
    for (std::size_t slot = 0; slot < s.count; ++slot) {
        if (s.live(slot) && first[slot] == slot) centres.push_back(static_cast<slot_t>(slot));
    }
    std::sort(centres.begin(), centres.end(), [&](slot_t a, slot_t b) { return prec(best[a]) < prec(best[b]); });
    std::vector<slot_t> centre_of(s.count, ~slot_t{0});  // per distinct code: its group's representative
    for (std::size_t k = 0; k < centres.size(); ++k) {
        if ((k & 0xFFFF) == 0) check_cancelled(j);
        const slot_t c = centres[k];
        if (centre_of[c] != ~slot_t{0}) continue;
        const slot_t rep = best[c];
        centre_of[c] = rep;
        if (near.starts.empty()) continue;
        for (std::size_t e = near.starts[c]; e < near.starts[c + 1]; ++e) {
            if (centre_of[near.neighbours[e]] == ~slot_t{0}) centre_of[near.neighbours[e]] = rep;
        }
    }
    for (std::size_t slot = 0; slot < s.count; ++slot) {
        if (s.live(slot)) rep_of[slot] = centre_of[first[slot]];
    }
    return columns_in_id_order(s, rep_of);
}

std::vector<sweep_row> index_snapshot::sweep(const std::vector<unsigned>& radii, job& j) const {
    const index_state& s = *state_;
    std::vector<sweep_row> rows;
    if (radii.empty()) return rows;
    const unsigned largest_radius = *std::max_element(radii.begin(), radii.end());
    const std::vector<slot_t> first = first_copies(s, j);
    std::size_t copies = 0;
    const index_state distinct = without_copies(s, first, copies);
    std::vector<std::uint64_t> copies_of(s.count, 0);  // per distinct code
    for (std::size_t slot = 0; slot < s.count; ++slot) {
        if (s.live(slot)) ++copies_of[first[slot]];
    }
    std::vector<std::vector<slot_pair>> found;
    if (largest_radius > 0 && distinct.live_count() > 1) found = self_join_pairs(distinct, largest_radius, j);
    // Edges by distance: a counting sort over 1..largest_radius.
    std::vector<std::size_t> by_distance(largest_radius + 2, 0);
    for (const auto& f : found) {
        for (const slot_pair& p : f) ++by_distance[p.dist + 1];
    }
    for (unsigned d = 0; d <= largest_radius; ++d) by_distance[d + 1] += by_distance[d];
    std::vector<slot_pair> edges(by_distance[largest_radius + 1]);
    {
        std::vector<std::size_t> at(by_distance.begin(), by_distance.end() - 1);
        for (auto& f : found) {
            for (const slot_pair& p : f) edges[at[p.dist]++] = p;
            std::vector<slot_pair>().swap(f);
        }
    }
    // Union by size over the distinct codes, radius after radius; a component's size counts
    // every copy of its codes.
    std::vector<std::uint32_t> parent(s.count);
    for (std::size_t k = 0; k < s.count; ++k) parent[k] = static_cast<std::uint32_t>(k);
    std::vector<std::uint64_t> size(copies_of);
    auto find = [&](std::uint32_t x) {
        while (parent[x] != x) x = parent[x] = parent[parent[x]];
        return x;
    };
    std::uint64_t pairs = 0, groups = 0, components = 0, largest = 0;
    for (std::size_t slot = 0; slot < s.count; ++slot) {
        if (!s.live(slot) || first[slot] != slot) continue;
        ++components;
        pairs += copies_of[slot] * (copies_of[slot] - 1) / 2;  // identical codes, by formula
        groups += copies_of[slot] >= 2;
        largest = std::max(largest, copies_of[slot]);
    }
    std::vector<unsigned> ascending(radii);
    std::sort(ascending.begin(), ascending.end());
    ascending.erase(std::unique(ascending.begin(), ascending.end()), ascending.end());
    std::vector<sweep_row> at_radius;
    std::size_t next_edge = 0;
    for (unsigned radius : ascending) {
        for (; next_edge < by_distance[std::min(radius, largest_radius) + 1]; ++next_edge) {
            const slot_pair& e = edges[next_edge];
            // Every copy of one code pairs with every copy of the other.
            pairs += copies_of[e.first] * copies_of[e.second];
            std::uint32_t a = find(e.first), b = find(e.second);
            if (a == b) continue;
            if (size[a] < size[b]) std::swap(a, b);
            groups -= static_cast<std::uint64_t>(size[a] >= 2) + static_cast<std::uint64_t>(size[b] >= 2);
            parent[b] = a;
            size[a] += size[b];
            groups += 1;
            --components;
            largest = std::max(largest, size[a]);
        }
        at_radius.push_back({radius, pairs, groups, s.live_count() - components, largest});
    }
    for (unsigned radius : radii) {
        rows.push_back(*std::find_if(at_radius.begin(), at_radius.end(), [&](const sweep_row& row) { return row.radius == radius; }));
    }
    return rows;
}

}  // namespace quorvalent::codes
