// One whole state of an index: what every query and join reads. A state never changes once it
// is published; a writer publishes a new one (see code_index in quorvalent/code_index.hpp).
#ifndef QUORVALENT_CODES_STATE_HPP
#define QUORVALENT_CODES_STATE_HPP

#include <cstddef>
#include <cstdint>
#include <memory>

#include "codes/planner.hpp"
#include "codes/scan_kernels.hpp"
#include "codes/storage.hpp"
#include "quorvalent/code_index.hpp"

namespace quorvalent::codes {

struct index_state {
    unsigned bits = 0;
    std::size_t words = 0;
    const scan_kernel* scan = nullptr;
    std::size_t table_threshold = default_table_threshold;
    std::shared_ptr<const code_store> store;  // null while empty
    std::size_t count = 0;                    // slots [0, count) of the store, live or removed
    std::shared_ptr<const table_set> tables;  // null below table_threshold codes

    // Ids. Without an id store a slot's id is the slot itself: an index numbered by insertion
    // that was never compacted. Otherwise `ids` holds each slot's id, and
    // when ids do not ascend with slots, `by_id` lists the slots in id order.
    std::shared_ptr<const id_store> ids;
    bool ids_ascend = true;
    std::shared_ptr<const std::vector<slot_t>> by_id;
    bool given_ids = false;  // the caller names the ids, on every add
    code_id next_id = 0;     // the insertion number the next code gets, without given ids

    // Removed slots, one bit each; null when none was removed since the last compaction. Slots
    // appended after the last removal lie past its end, and are live.
    std::shared_ptr<const std::vector<std::uint64_t>> dead;
    std::size_t dead_count = 0;

    const std::uint64_t* codes() const noexcept { return store ? store->data() : nullptr; }
    const std::uint64_t* code(std::size_t slot) const noexcept { return store->code(slot); }
    std::size_t indexed() const noexcept { return tables ? tables->indexed : 0; }
    std::size_t live_count() const noexcept { return count - dead_count; }

    // The one test of a removal, for every loop that reads slots.
    bool live(std::size_t slot) const noexcept {
        return !dead || (slot >> 6) >= dead->size() || ((*dead)[slot >> 6] >> (slot & 63) & 1) == 0;
    }

    code_id id_of(slot_t slot) const noexcept {
        return ids ? (*ids)[slot] : static_cast<code_id>(slot);
    }
    // The slot at place `rank` in id order, removed slots included.
    slot_t slot_at_rank(std::size_t rank) const noexcept {
        return by_id ? (*by_id)[rank] : static_cast<slot_t>(rank);
    }
    // The live slot of an id.
    bool slot_of(code_id id, slot_t& slot) const noexcept;
};

// Each slot's place in id order, when ids do not ascend with slots; empty when they do (the
// place is then the slot).
std::vector<std::uint32_t> ranks_of(const index_state& s);

// Queries a few at a time per unit of a batch: one would not repay the hand-over.
inline constexpr std::size_t queries_per_unit = 16;

// The plans of a state, with or without tables.
search_plan within_plan(const index_state& s, unsigned r);
search_plan pairs_plan(const index_state& s, unsigned r);
// The state a snapshot answers from, for the core's own layers and its tests.
inline const index_state& state_of(const index_snapshot& s) noexcept { return *s.state_; }
// within() of a query already checked against the width.
std::vector<hit> search_within(const index_state& s, const std::uint64_t* q, unsigned r);
// The same check for queries and appended codes: invalid_code names the first that fails.
void check_codes(const std::uint64_t* codes, std::size_t n, unsigned bits);

}  // namespace quorvalent::codes

#endif
