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
    std::size_t count = 0;                    // codes [0, count) of the store
    std::shared_ptr<const table_set> tables;  // null below table_threshold codes

    const std::uint64_t* codes() const noexcept { return store ? store->data() : nullptr; }
    const std::uint64_t* code(std::size_t slot) const noexcept { return store->code(slot); }
    std::size_t indexed() const noexcept { return tables ? tables->indexed : 0; }
    // The public id of a slot. Ids are insertion positions, so for now the two coincide; the
    // conversion stays here so that an id map can replace it.
    code_id id_of(slot_t slot) const noexcept { return static_cast<code_id>(slot); }
    bool slot_of(code_id id, slot_t& slot) const noexcept {
        if (id < 0 || static_cast<std::uint64_t>(id) >= count) return false;
        slot = static_cast<slot_t>(id);
        return true;
    }
};

// Queries a few at a time per unit of a batch: one would not repay the hand-over.
inline constexpr std::size_t queries_per_unit = 16;

// The plans of a state, with or without tables.
search_plan within_plan(const index_state& s, unsigned r);
search_plan pairs_plan(const index_state& s, unsigned r);
// within() of a query already checked against the width.
std::vector<hit> search_within(const index_state& s, const std::uint64_t* q, unsigned r);
// The same check for queries and appended codes: invalid_code names the first that fails.
void check_codes(const std::uint64_t* codes, std::size_t n, unsigned bits);

}  // namespace quorvalent::codes

#endif
