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

namespace {

// The radii whose plans are computed once per build: a query of 64-bit codes at radius 4
// takes a few microseconds, of which planning would be a tenth.
constexpr unsigned planned_radii = 64;

// Tables over the first `count` codes of the state, built on the job's threads.
std::shared_ptr<const table_set> build_tables(const index_state& s, std::size_t count, job& j) {
    auto ts = std::make_shared<table_set>();
    const bit_statistics stats = measure_bits(s.codes(), count, s.words);
    for (const table_layout& layout : choose_tables(stats, count)) ts->tables.emplace_back(layout);
    const unsigned threads = threads_for(j, ts->tables.size());
    std::vector<large_array<std::uint64_t>> scratch_words(threads);
    std::vector<large_array<slot_t>> scratch_slots(threads);
    parallel_for(ts->tables.size(), j, [&](unsigned worker, std::size_t t) {
        if (scratch_words[worker].size() < count) {
            scratch_words[worker].reset(count);
            scratch_slots[worker].reset(count);
        }
        ts->tables[t].build(s.codes(), count, s.words, scratch_words[worker], scratch_slots[worker]);
    });
    ts->indexed = count;
    for (unsigned r = 0; r <= std::min(s.bits, planned_radii); ++r) {
        ts->within_plans.push_back(plan_within(*ts, count, s.words, s.bits, r));
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
    return plan_within(s.tables ? *s.tables : none, s.count, s.words, s.bits, r);
}

search_plan pairs_plan(const index_state& s, unsigned r) {
    static const table_set none;
    return plan_pairs(s.tables ? *s.tables : none, s.count, s.words, s.bits, r);
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

void code_index::append(const std::uint64_t* codes, std::size_t n, job& j) {
    std::lock_guard<std::mutex> writer(writer_);
    check_codes(codes, n, bits_);
    if (n == 0) return;
    const std::shared_ptr<const index_state> current = current_state();
    if (n > max_codes - current->count) throw std::length_error("an index holds at most 4294967295 codes");
    auto next = std::make_shared<index_state>(*current);
    const std::size_t count = current->count + n;
    std::shared_ptr<code_store> store = writable_;
    if (!current->store || current->store.get() != store.get() || store->capacity() < count) {
        // Half again as much room as needed: appends cost amortised constant work per code.
        const std::size_t capacity = std::min<std::size_t>(max_codes, std::max(count, current->count + current->count / 2));
        store = grow_store(current->store.get(), current->count, current->words, capacity);
    }
    // Past the count of every published state: no reader looks here.
    store->write(current->count, codes, n);
    next->store = store;
    next->count = count;
    if (tables_are_due(*next)) next->tables = build_tables(*next, count, j);
    publish(std::move(next));
    writable_ = std::move(store);
}

void code_index::borrow(const std::uint64_t* codes, std::size_t n, job& j) {
    std::lock_guard<std::mutex> writer(writer_);
    check_codes(codes, n, bits_);
    const std::shared_ptr<const index_state> current = current_state();
    if (current->count != 0) throw std::logic_error("borrow() needs an empty index");
    if (n > max_codes) throw std::length_error("an index holds at most 4294967295 codes");
    auto next = std::make_shared<index_state>(*current);
    next->store = std::make_shared<code_store>(current->words, codes, n);
    next->count = n;
    if (n >= next->table_threshold) next->tables = build_tables(*next, n, j);
    publish(std::move(next));
    writable_.reset();
}

//--- Snapshots: single queries ------------------------------------------------------------

index_snapshot::index_snapshot(std::shared_ptr<const index_state> state) noexcept : state_(std::move(state)) {}

unsigned index_snapshot::bits() const noexcept { return state_->bits; }
std::size_t index_snapshot::words_per_code() const noexcept { return state_->words; }
std::size_t index_snapshot::size() const noexcept { return state_->count; }

bool index_snapshot::code_of(code_id id, std::uint64_t* out) const noexcept {
    slot_t slot;
    if (!state_->slot_of(id, slot)) return false;
    std::memcpy(out, state_->code(slot), state_->words * sizeof(std::uint64_t));
    return true;
}

void index_snapshot::copy_codes(std::uint64_t* out) const noexcept {
    if (state_->count) std::memcpy(out, state_->codes(), state_->count * state_->words * sizeof(std::uint64_t));
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
