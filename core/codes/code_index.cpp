// The index: publishing states, appending, building tables, and the single-query searches.
#include "quorvalent/code_index.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "codes/block_layout.hpp"
#include "codes/parallel.hpp"
#include "codes/planner.hpp"
#include "codes/search.hpp"
#include "codes/state.hpp"
#include "quorvalent/hex_codes.hpp"

namespace quorvalent::codes {

invalid_code::invalid_code(std::size_t position, unsigned bits)
    : std::invalid_argument("code at position " + std::to_string(position) + " sets bits above the index's " +
                            std::to_string(bits) + " bits"),
      position(position) {}

duplicate_id::duplicate_id(code_id id, bool held)
    : std::invalid_argument("id " + std::to_string(id) + (held ? " is already in the index" : " is given more than once")),
      id(id),
      held(held) {}

unknown_id::unknown_id(code_id id) : std::out_of_range("id " + std::to_string(id) + " is not in the index"), id(id) {}

id_mode_error::id_mode_error(bool index_has_given_ids)
    : std::invalid_argument(index_has_given_ids ? "this index holds given ids: every add must give ids"
                                                : "this index numbers its codes by insertion: no add may give ids") {}

namespace {

// The radii whose plans are computed once per build: a query of 64-bit codes at radius 4
// takes a few microseconds, of which planning would be a tenth.
constexpr unsigned planned_radii = 64;

// The share of an index's tables and codes that this machine's cache cannot hold.
double memory_share_of(const table_set& ts, std::size_t count, std::size_t words) {
    std::size_t bytes = count * words * sizeof(std::uint64_t);
    for (const table& t : ts.tables) bytes += t.memory_bytes();
    return memory_share(bytes, last_level_cache_bytes());
}

// Tables over the first `count` codes of the state, built on the job's threads.
std::shared_ptr<const table_set> build_tables(const index_state& s, std::size_t count, job& j) {
    auto ts = std::make_shared<table_set>();
    const bit_statistics stats = measure_bits(s.codes(), count, s.words);
    for (const table_layout& layout : choose_tables(stats, count)) ts->tables.emplace_back(layout);
    // One table after another, each on all the job's threads, sharing one scratch.
    large_array<std::uint64_t> scratch_words(count);
    large_array<slot_t> scratch_slots(count);
    for (table& t : ts->tables) {
        check_cancelled(j);
        t.build(s.codes(), count, s.words, scratch_words, scratch_slots, j);
    }
    ts->indexed = count;
    const double memory = memory_share_of(*ts, count, s.words);
    for (unsigned r = 0; r <= std::min(s.bits, planned_radii); ++r) {
        ts->within_plans.push_back(plan_within(*ts, count, s.words, s.bits, r, memory));
    }
    return ts;
}

bool tables_are_due(const index_state& s) {
    if (s.count < s.table_threshold) return false;
    return s.count - s.indexed() > std::max(s.table_threshold, s.indexed() / tail_divisor);
}

}  // namespace

void check_codes(const std::uint64_t* codes, std::size_t n, unsigned bits) {
    const std::size_t w = words_for_bits(bits);
    for (std::size_t i = 0; i < n; ++i) {
        if (!fits_width(codes + i * w, bits)) throw invalid_code(i, bits);
    }
}

search_plan within_plan(const index_state& s, unsigned r) {
    static const table_set none;
    const table_set& ts = s.tables ? *s.tables : none;
    return plan_within(ts, s.count, s.words, s.bits, r, memory_share_of(ts, s.count, s.words));
}

search_plan pairs_plan(const index_state& s, unsigned r) {
    static const table_set none;
    if (!s.tables) return plan_pairs(none, s.count, s.words, s.bits, r);
    // Past this share of removed codes in the tables (removals not yet compacted, or the copies
    // a grouping hides), their buckets are priced by what they hold that is live.
    constexpr std::size_t live_pricing_divisor = 16;
    if (s.dead_count * live_pricing_divisor <= s.indexed()) return plan_pairs(*s.tables, s.count, s.words, s.bits, r);
    std::vector<table_stats> live;
    std::size_t live_indexed = 0;
    for (const table& t : s.tables->tables) {
        table_stats stats;
        stats.occupancy = t.live_occupancy([&](slot_t slot) { return s.live(slot); }, stats.filled);
        live.push_back(std::move(stats));
    }
    for (std::size_t slot = 0; slot < s.indexed(); ++slot) live_indexed += s.live(slot);
    return plan_pairs(*s.tables, s.count, s.words, s.bits, r, &live, live_indexed);
}

//--- The index: states and writers --------------------------------------------------------

code_index::code_index(unsigned bits, index_options options) : bits_(bits), options_(options) {
    if (!valid_code_bits(bits)) throw std::invalid_argument("bits must be between 1 and 4096");
    auto s = std::make_shared<index_state>();
    s->bits = bits;
    s->words = words_for_bits(bits);
    s->scan = options.scan ? options.scan : &active_scan_kernel();
    s->table_threshold = std::max<std::size_t>(options.table_threshold, 1);
    current_ = std::move(s);
}
code_index::~code_index() = default;

std::shared_ptr<const index_state> code_index::current_state() const {
    std::lock_guard<std::mutex> lock(current_mutex_);
    return current_;
}

index_snapshot code_index::snapshot() const { return index_snapshot(current_state()); }

void code_index::publish(std::shared_ptr<const index_state> next) {
    std::lock_guard<std::mutex> lock(current_mutex_);
    current_ = std::move(next);
}

namespace {

// Room for `count` elements when `keep` are held: half again as many as held, so that appends
// cost amortised constant work.
std::size_t capacity_for(std::size_t keep, std::size_t count) {
    return std::min<std::size_t>(max_codes, std::max(count, keep + keep / 2));
}

// Room for `count` codes of `words` words, keeping the first `keep` of `from` (or none).
std::shared_ptr<code_store> room_for(const code_store* from, std::size_t keep, std::size_t words, std::size_t count) {
    return grow_store(from, keep, words, capacity_for(keep, count));
}

// The slots of `s` in id order followed by new slots [s.count, s.count + n) in the order of
// their ids: the merge that keeps by_id sorted when given ids stop ascending.
std::shared_ptr<const std::vector<slot_t>> merged_order(const index_state& s, const code_id* ids, std::size_t n) {
    std::vector<slot_t> fresh(n);
    for (std::size_t k = 0; k < n; ++k) fresh[k] = static_cast<slot_t>(s.count + k);
    std::stable_sort(fresh.begin(), fresh.end(), [&](slot_t a, slot_t b) { return ids[a - s.count] < ids[b - s.count]; });
    auto order = std::make_shared<std::vector<slot_t>>();
    order->reserve(s.count + n);
    std::size_t old = 0, k = 0;
    while (old < s.count || k < n) {
        if (k == n || (old < s.count && s.id_of(s.slot_at_rank(old)) <= ids[fresh[k] - s.count])) {
            order->push_back(s.slot_at_rank(old++));
        } else {
            order->push_back(fresh[k++]);
        }
    }
    return order;
}

// Refuses ids given twice within `ids`, or that `s` already holds.
void check_new_ids(const index_state& s, const code_id* ids, std::size_t n) {
    std::vector<code_id> sorted(ids, ids + n);
    std::sort(sorted.begin(), sorted.end());
    std::vector<code_id> repeated;
    for (std::size_t k = 1; k < n; ++k) {
        if (sorted[k] == sorted[k - 1] && (repeated.empty() || repeated.back() != sorted[k])) repeated.push_back(sorted[k]);
    }
    // Named in the caller's order: the first id that the call repeats or the index holds.
    for (std::size_t k = 0; k < n; ++k) {
        slot_t slot;
        if (s.slot_of(ids[k], slot)) throw duplicate_id(ids[k], true);
        if (std::binary_search(repeated.begin(), repeated.end(), ids[k])) throw duplicate_id(ids[k], false);
    }
}

// The state with its removed codes gone: codes, ids (kept as they were) and tables anew.
std::shared_ptr<index_state> compacted(const index_state& s, job& j) {
    auto next = std::make_shared<index_state>(s);
    const std::size_t live = s.live_count();
    std::vector<slot_t> new_slot(s.count, 0);
    auto store = std::make_shared<code_store>(s.words, live);
    // The live ids' range sizes the id store (none live: an empty range, and an empty store).
    code_id low = std::numeric_limits<code_id>::max(), high = std::numeric_limits<code_id>::min();
    for (std::size_t slot = 0; slot < s.count; ++slot) {
        if (!s.live(slot)) continue;
        low = std::min(low, s.id_of(static_cast<slot_t>(slot)));
        high = std::max(high, s.id_of(static_cast<slot_t>(slot)));
    }
    auto ids = std::make_shared<id_store>(live, low, high);
    std::size_t at = 0;
    for (std::size_t slot = 0; slot < s.count; ++slot) {
        if (!s.live(slot)) continue;
        if ((at & 0xFFFF) == 0) check_cancelled(j);
        new_slot[slot] = static_cast<slot_t>(at);
        store->write(at, s.code(slot), 1);
        const code_id id = s.id_of(static_cast<slot_t>(slot));
        ids->write(at, &id, 1);
        ++at;
    }
    next->store = std::move(store);
    next->ids = std::move(ids);
    next->count = live;
    next->dead.reset();
    next->dead_count = 0;
    if (s.by_id) {
        auto order = std::make_shared<std::vector<slot_t>>();
        order->reserve(live);
        for (slot_t slot : *s.by_id) {
            if (s.live(slot)) order->push_back(new_slot[slot]);
        }
        next->by_id = std::move(order);
    }
    next->tables.reset();
    if (live >= next->table_threshold) next->tables = build_tables(*next, live, j);
    return next;
}

}  // namespace

void code_index::append(const std::uint64_t* codes, const code_id* ids, std::size_t n, job& j) {
    std::lock_guard<std::mutex> writer(writer_);
    check_codes(codes, n, bits_);
    if (n == 0) return;
    const std::shared_ptr<const index_state> current = current_state();
    const bool fresh = current->count == 0 && current->next_id == 0 && !current->given_ids;
    if (!fresh && current->given_ids != (ids != nullptr)) throw id_mode_error(current->given_ids);
    if (n > max_codes - current->count) throw std::length_error("an index holds at most 4294967295 codes");
    if (ids) check_new_ids(*current, ids, n);
    auto next = std::make_shared<index_state>(*current);
    const std::size_t count = current->count + n;

    std::shared_ptr<code_store> store = writable_;
    if (!current->store || current->store.get() != store.get() || store->capacity() < count) {
        store = room_for(current->store.get(), current->count, current->words, count);
    }
    // Past the count of every published state: no reader looks here.
    store->write(current->count, codes, n);
    next->store = store;

    // Ids: stored when given, or once a compaction has made slots and insertion numbers differ.
    std::shared_ptr<id_store> kept_ids = writable_ids_;
    std::vector<code_id> new_ids(n);
    if (ids) {
        next->given_ids = true;
        std::copy(ids, ids + n, new_ids.begin());
        bool ascend = current->ids_ascend && (current->count == 0 || ids[0] > current->id_of(static_cast<slot_t>(current->count - 1)));
        for (std::size_t k = 1; k < n && ascend; ++k) ascend = ids[k] > ids[k - 1];
        if (!ascend) next->by_id = merged_order(*current, ids, n);
        next->ids_ascend = ascend;
    } else {
        for (std::size_t k = 0; k < n; ++k) new_ids[k] = current->next_id + static_cast<code_id>(k);
        next->next_id = current->next_id + static_cast<code_id>(n);
    }
    if (ids || current->ids) {
        const auto [low, high] = std::minmax_element(new_ids.begin(), new_ids.end());
        const auto fits = [&](code_id id) { return kept_ids && kept_ids->fits(id); };
        const bool fit = std::all_of(new_ids.begin(), new_ids.end(), fits);
        if (!current->ids || current->ids.get() != kept_ids.get() || kept_ids->capacity() < count || !fit) {
            kept_ids = grow_ids(current->ids.get(), current->count, capacity_for(current->count, count), *low, *high);
        }
        kept_ids->write(current->count, new_ids.data(), n);
        next->ids = kept_ids;
    }
    next->count = count;
    if (tables_are_due(*next)) next->tables = build_tables(*next, count, j);
    publish(std::move(next));
    writable_ = std::move(store);
    if (ids || current->ids) writable_ids_ = std::move(kept_ids);
}

void code_index::borrow(const borrowed_codes& b, job& j) {
    const std::uint64_t* codes = b.codes;
    const code_id* ids = b.ids;
    const std::size_t n = b.n;
    const bool given_ids = b.given_ids;
    const code_id next_id = b.next_id < 0 ? static_cast<code_id>(n) : b.next_id;
    std::lock_guard<std::mutex> writer(writer_);
    check_codes(codes, n, bits_);
    const std::shared_ptr<const index_state> current = current_state();
    if (current->count != 0 || current->next_id != 0 || current->given_ids) throw std::logic_error("borrow() needs an empty index");
    if (n > max_codes) throw std::length_error("an index holds at most 4294967295 codes");
    auto next = std::make_shared<index_state>(*current);
    next->store = std::make_shared<code_store>(current->words, codes, n, b.held);
    next->count = n;
    next->given_ids = given_ids;
    next->next_id = given_ids ? 0 : next_id;
    // Without an id store a slot is its own id, which holds only for codes numbered from 0 with
    // none removed; any other ids are stored.
    if (ids || next->next_id != static_cast<code_id>(n) || given_ids) {
        std::vector<code_id> numbered;
        if (!ids) {
            numbered.resize(n);
            for (std::size_t k = 0; k < n; ++k) numbered[k] = static_cast<code_id>(k);
            ids = numbered.data();
        }
        check_new_ids(*current, ids, n);
        const auto [low, high] = std::minmax_element(ids, ids + n);
        auto kept_ids = std::make_shared<id_store>(n, n ? *low : 0, n ? *high : 0);
        kept_ids->write(0, ids, n);
        bool ascend = true;
        for (std::size_t k = 1; k < n && ascend; ++k) ascend = ids[k] > ids[k - 1];
        next->ids = kept_ids;
        next->ids_ascend = ascend;
        if (!ascend) next->by_id = merged_order(*current, ids, n);
        writable_ids_ = std::move(kept_ids);
    }
    if (n >= next->table_threshold) next->tables = build_tables(*next, n, j);
    publish(std::move(next));
    writable_.reset();
}

std::size_t code_index::remove(const code_id* ids, std::size_t n, job& j) {
    std::lock_guard<std::mutex> writer(writer_);
    const std::shared_ptr<const index_state> current = current_state();
    std::vector<slot_t> slots(n);
    for (std::size_t k = 0; k < n; ++k) {
        if (!current->slot_of(ids[k], slots[k])) throw unknown_id(ids[k]);
    }
    std::sort(slots.begin(), slots.end());
    slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
    if (slots.empty()) return 0;
    auto dead = current->dead ? std::make_shared<std::vector<std::uint64_t>>(*current->dead)
                              : std::make_shared<std::vector<std::uint64_t>>();
    dead->resize((current->count + 63) / 64, 0);
    for (slot_t slot : slots) (*dead)[slot >> 6] |= std::uint64_t{1} << (slot & 63);
    auto next = std::make_shared<index_state>(*current);
    next->dead = std::move(dead);
    next->dead_count += slots.size();
    if (next->dead_count * compaction_divisor > next->count) {
        next = compacted(*next, j);
        writable_.reset();
        writable_ids_.reset();
    }
    publish(std::move(next));
    return slots.size();
}

void code_index::compact(job& j) {
    std::lock_guard<std::mutex> writer(writer_);
    const std::shared_ptr<const index_state> current = current_state();
    if (current->dead_count == 0) return;
    publish(compacted(*current, j));
    writable_.reset();
    writable_ids_.reset();
}

bool index_state::slot_of(code_id id, slot_t& slot) const noexcept {
    if (!ids) {
        if (id < 0 || static_cast<std::uint64_t>(id) >= count) return false;
        slot = static_cast<slot_t>(id);
        return live(slot);
    }
    // Binary search in id order; a removed id added again leaves a dead twin beside its live one.
    std::size_t lo = 0, hi = count;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (id_of(slot_at_rank(mid)) < id) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    for (; lo < count && id_of(slot_at_rank(lo)) == id; ++lo) {
        if (live(slot_at_rank(lo))) {
            slot = slot_at_rank(lo);
            return true;
        }
    }
    return false;
}

std::vector<std::uint32_t> ranks_of(const index_state& s) {
    std::vector<std::uint32_t> rank;
    if (!s.by_id) return rank;
    rank.resize(s.count);
    for (std::size_t r = 0; r < s.count; ++r) rank[(*s.by_id)[r]] = static_cast<std::uint32_t>(r);
    return rank;
}

//--- Snapshots: single queries ------------------------------------------------------------

index_snapshot::index_snapshot(std::shared_ptr<const index_state> state) noexcept : state_(std::move(state)) {}

unsigned index_snapshot::bits() const noexcept { return state_->bits; }
std::size_t index_snapshot::words_per_code() const noexcept { return state_->words; }
std::size_t index_snapshot::size() const noexcept { return state_->live_count(); }
bool index_snapshot::given_ids() const noexcept { return state_->given_ids; }
code_id index_snapshot::next_id() const noexcept { return state_->next_id; }

bool index_snapshot::contains(code_id id) const noexcept {
    slot_t slot;
    return state_->slot_of(id, slot);
}

bool index_snapshot::code_of(code_id id, std::uint64_t* out) const noexcept {
    slot_t slot;
    if (!state_->slot_of(id, slot)) return false;
    std::memcpy(out, state_->code(slot), state_->words * sizeof(std::uint64_t));
    return true;
}

void index_snapshot::copy_live(std::uint64_t* codes, code_id* ids) const noexcept {
    const index_state& s = *state_;
    std::size_t at = 0;
    for (std::size_t slot = 0; slot < s.count; ++slot) {
        if (!s.live(slot)) continue;
        if (codes) std::memcpy(codes + at * s.words, s.code(slot), s.words * sizeof(std::uint64_t));
        if (ids) ids[at] = s.id_of(static_cast<slot_t>(slot));
        ++at;
    }
}

search_plan index_snapshot::plan_within(unsigned r) const {
    const index_state& s = *state_;
    if (s.tables && r < s.tables->within_plans.size()) return s.tables->within_plans[r];
    return within_plan(s, r);
}

search_plan index_snapshot::plan_pairs(unsigned r) const { return pairs_plan(*state_, r); }

std::vector<table_description> index_snapshot::tables() const {
    std::vector<table_description> out;
    if (!state_->tables) return out;
    for (const table& t : state_->tables->tables) out.push_back({t.layout().blk, t.layout().key_mask, t.key_bits()});
    return out;
}

std::size_t index_snapshot::memory_bytes() const noexcept {
    std::size_t total = state_->store ? state_->store->memory_bytes() : 0;
    if (state_->ids) total += state_->ids->memory_bytes();
    if (state_->by_id) total += state_->by_id->capacity() * sizeof(slot_t);
    if (state_->dead) total += state_->dead->capacity() * sizeof(std::uint64_t);
    if (state_->tables) {
        for (const table& t : state_->tables->tables) total += t.memory_bytes();
    }
    return total;
}

std::vector<hit> search_within(const index_state& s, const std::uint64_t* q, unsigned r) {
    std::vector<hit> out;
    if (s.count == 0) return out;
    range_handler h{s, r, out};
    const bool cached = s.tables && r < s.tables->within_plans.size();
    const search_plan computed = cached ? search_plan{} : within_plan(s, r);
    const search_plan& plan = cached ? s.tables->within_plans[r] : computed;
    if (plan.scan) {
        scan_codes(s, 0, s.count, q, h);
    } else {
        probe_tables(s, plan.thresholds, q, h);
        scan_codes(s, s.indexed(), s.count, q, h);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<hit> index_snapshot::within(const std::uint64_t* q, unsigned r) const {
    check_codes(q, 1, state_->bits);
    return search_within(*state_, q, r);
}

hit_rows index_snapshot::within_many(const std::uint64_t* queries, std::size_t n, unsigned r, job& j) const {
    const index_state& s = *state_;
    check_codes(queries, n, s.bits);
    std::vector<std::vector<hit>> rows(n);
    std::atomic<std::size_t> found{0};
    const std::size_t units = (n + queries_per_unit - 1) / queries_per_unit;
    j.set_total(units);
    parallel_for(units, j, [&](unsigned, std::size_t unit) {
        for (std::size_t q = unit * queries_per_unit; q < std::min(n, (unit + 1) * queries_per_unit); ++q) {
            rows[q] = search_within(s, queries + q * s.words, r);
            // Each hit is held twice for a moment: in its row, and in the columns.
            const std::size_t total = found.fetch_add(rows[q].size(), std::memory_order_relaxed) + rows[q].size();
            if (total > j.result_budget / (sizeof(hit) + sizeof(code_id) + sizeof(std::int32_t))) {
                throw result_too_large(total * (sizeof(hit) + sizeof(code_id) + sizeof(std::int32_t)));
            }
        }
    });
    hit_rows out;
    out.lims.assign(n + 1, 0);
    for (std::size_t q = 0; q < n; ++q) out.lims[q + 1] = out.lims[q] + static_cast<std::int64_t>(rows[q].size());
    const auto total = static_cast<std::size_t>(out.lims[n]);
    out.ids.resize(total);
    out.dists.resize(total);
    for (std::size_t q = 0; q < n; ++q) {
        auto at = static_cast<std::size_t>(out.lims[q]);
        for (const hit& h : rows[q]) {
            out.ids[at] = h.id;
            out.dists[at++] = static_cast<std::int32_t>(h.dist);
        }
        std::vector<hit>().swap(rows[q]);
    }
    return out;
}

}  // namespace quorvalent::codes
