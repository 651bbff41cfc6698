// Exact near-duplicate search over packed binary codes: the interpreter-free core of
// quorvalent_index.
//
// Codes are W 64-bit words each (see hex_codes.hpp for how hex text maps onto them). Search is
// multi-index hashing: each code is filed in m tables, table i keyed by one block of its bits
// (see block_layout.hpp for why that finds every answer). The thresholds are chosen per radius
// from a cost model, which also decides when a plain scan is cheaper.
//
// Memory, for N codes of W words and m tables of 2^p buckets each:
//   8W bytes per code for the codes themselves (none for borrowed codes), 12 bytes per code per
//   table (the word that holds the table's block, stored inline by bucket, and the slot), and
//   about 2 * 2^p bytes per table of bucket offsets, where 2^p is about N / 4. For 64-bit codes
//   that is 8 + 3 * 12 + about 1.5 = 45.6 bytes per code. Codes of several words whose blocks
//   leave at most 16 bits beside the key store those bits instead of the word, 6 bytes per code
//   per table: for 256-bit codes 32 + 8 * 6 + about 4 = 84 bytes per code.
//   Ids given by the caller add 4 bytes per code when they lie within 2^32 of one another (8
//   otherwise), and 4 more when they do not ascend in insertion order (the slots in id order,
//   for lookups);
//   an index numbered by insertion stores no ids until a compaction leaves gaps in them.
#ifndef QUORVALENT_CODE_INDEX_HPP
#define QUORVALENT_CODE_INDEX_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "quorvalent/block_layout.hpp"
#include "quorvalent/job.hpp"

namespace quorvalent::codes {

using code_id = std::int64_t;
inline constexpr std::size_t max_codes = 0xFFFFFFFFu;  // slots are 32-bit
// An index of fewer codes than this has no tables: a scan of it is as fast as a probe.
inline constexpr std::size_t default_table_threshold = 4096;
// Removed codes are compacted away once they pass this share of the slots: until then they
// cost each search a little, and each table a little memory.
inline constexpr std::size_t compaction_divisor = 8;

struct hit {
    std::uint32_t dist;
    code_id id;
    friend bool operator<(const hit& x, const hit& y) noexcept {
        return x.dist != y.dist ? x.dist < y.dist : x.id < y.id;
    }
};

// Answers of many range queries: query q's are [lims[q], lims[q + 1]), sorted by (dist, id).
struct hit_rows {
    std::vector<std::int64_t> lims;
    std::vector<code_id> ids;
    std::vector<std::int32_t> dists;
};

// Answers of many k-nearest queries: `rows` rows of `cols` (distance, id)-sorted answers.
struct knn_rows {
    std::size_t rows = 0, cols = 0;
    std::vector<code_id> ids;
    std::vector<std::int32_t> dists;
};

// Pairs as three columns, sorted by (first, second).
struct pair_columns {
    std::vector<code_id> first, second;
    std::vector<std::int32_t> dists;
    std::size_t size() const noexcept { return dists.size(); }
};

// The plan chosen for one search, for reports and tests.
struct search_plan {
    bool scan = false;            // a plain scan instead of the tables
    std::vector<int> thresholds;  // per table; -1 leaves the table out
    double estimated_cost = 0;    // model units, about nanoseconds; infinite where tables cannot serve
    double scan_cost = 0;
    std::string describe() const;
};

// One table of an index, for reports and tests.
struct table_description {
    block blk;
    std::uint64_t key_mask;
    unsigned key_bits;
};

// A code that sets a bit at or above the index's width; `position` is its place in the
// caller's input.
struct invalid_code : std::invalid_argument {
    invalid_code(std::size_t position, unsigned bits);
    std::size_t position;
};

// An id given twice within one call (held false), or that the index already holds (held true).
struct duplicate_id : std::invalid_argument {
    duplicate_id(code_id id, bool held);
    code_id id;
    bool held;
};

// An id the index does not hold (never added, or removed).
struct unknown_id : std::out_of_range {
    explicit unknown_id(code_id id);
    code_id id;
};

// Ids given to an index that numbers its codes by insertion, or none given to one that holds
// given ids: an index takes ids on every add, or on none.
struct id_mode_error : std::invalid_argument {
    explicit id_mode_error(bool index_has_given_ids);
};

// How groups() joins near-duplicates into groups.
enum class group_method {
    components,  // connected components of the graph of pairs within the radius
    star,        // by precedence, each unassigned code takes every unassigned code within reach
};

// A group for every live code, sorted by id: reps[k] is the id of the representative of ids[k]'s
// group, and a code alone is its own.
struct group_columns {
    std::vector<code_id> ids, reps;
};

// What deduplication by components gives at each radius of a sweep.
struct sweep_row {
    unsigned radius;
    std::uint64_t pairs;    // pairs within the radius, identical codes counted, not listed
    std::uint64_t groups;   // components of two or more codes
    std::uint64_t dropped;  // live codes less components: what deduplication drops
    std::uint64_t largest;  // codes in the largest component
};

struct scan_kernel;  // codes/scan_kernels.hpp
struct index_state;  // codes/state.hpp
class code_store;    // codes/storage.hpp
class id_store;      // codes/storage.hpp

// A whole state of an index, and every query of it. Copies are cheap and share the state.
class index_snapshot {
   public:
    explicit index_snapshot(std::shared_ptr<const index_state> state) noexcept;

    unsigned bits() const noexcept;
    std::size_t words_per_code() const noexcept;
    // Live codes.
    std::size_t size() const noexcept;

    // Whether ids were given by the caller, rather than numbered by insertion.
    bool given_ids() const noexcept;
    // The insertion number the next code added without ids gets.
    code_id next_id() const noexcept;
    bool contains(code_id id) const noexcept;
    // Copies the code of `id` into out; false when the state holds no such id.
    bool code_of(code_id id, std::uint64_t* out) const noexcept;
    // Every live code (size() * words_per_code() words) and its id, in insertion order; either
    // may be null.
    void copy_live(std::uint64_t* codes, code_id* ids) const noexcept;

    // Queries have words_per_code() words and must fit the width (else invalid_code).
    // Every code within r bits of q, sorted by (distance, id).
    std::vector<hit> within(const std::uint64_t* q, unsigned r) const;
    // The k nearest codes, sorted by (distance, id).
    std::vector<hit> nearest(const std::uint64_t* q, std::size_t k) const;
    hit_rows within_many(const std::uint64_t* queries, std::size_t n, unsigned r, job& j) const;
    knn_rows nearest_many(const std::uint64_t* queries, std::size_t n, std::size_t k, job& j) const;

    // Every pair within r bits, sorted by (first, second): first < second within this state, or
    // first in this state and second in `other` (which may be this very state).
    pair_columns pairs(unsigned r, job& j) const;
    pair_columns cross_pairs(const index_snapshot& other, unsigned r, job& j) const;

    // Groups of near-duplicates within r bits. precedence[k] ranks the k-th live code (in
    // insertion order) for representative, 0 first; it must be a permutation of 0..size()-1.
    // Identical codes are grouped in linear time, without enumerating the pairs among them.
    group_columns groups(unsigned r, group_method method, const std::uint32_t* precedence, job& j) const;
    // Deduplication by components at each radius, from one join at the largest.
    std::vector<sweep_row> sweep(const std::vector<unsigned>& radii, job& j) const;

    search_plan plan_within(unsigned r) const;
    search_plan plan_pairs(unsigned r) const;
    std::vector<table_description> tables() const;
    // Bytes this state holds: its codes (when owned), their ids (when stored), the removal
    // marks, and every table.
    std::size_t memory_bytes() const noexcept;

   private:
    friend class pair_stream;
    friend const index_state& state_of(const index_snapshot& s) noexcept;  // codes/state.hpp
    const index_state& state() const noexcept { return *state_; }
    std::shared_ptr<const index_state> state_;
};

// The pairs of pairs() or cross_pairs(), in the same order, a batch at a time, holding about
// `batch` pairs at once (more only while one code's partners alone outnumber them).
class pair_stream {
   public:
    // other may be null for a self-join.
    pair_stream(index_snapshot self, std::unique_ptr<index_snapshot> other, unsigned r, std::size_t batch);
    ~pair_stream();
    pair_stream(const pair_stream&) = delete;
    pair_stream& operator=(const pair_stream&) = delete;
    // The next batch of at most `batch` pairs; empty once every pair was given.
    pair_columns next(job& j);

   private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

struct index_options {
    const scan_kernel* scan = nullptr;  // the kernel chosen for this CPU when null; tests pass each
    std::size_t table_threshold = default_table_threshold;  // fewer codes get no tables; tests lower it
};

// The state model. An index is a sequence of immutable states. A reader takes the current state
// once (snapshot()) and answers from it alone, however long it runs: a query, a batch, a join,
// both sides of a cross join (the same state when the two indexes are one). A writer (append,
// borrow, remove, compact) builds the next state beside the current one and publishes it in one
// step, or, when anything fails (memory, cancellation, a bad code or id), publishes nothing. States share their codes
// and tables wherever they can (see codes/storage.hpp), so taking a snapshot is a pointer copy,
// and appending is amortised constant work per code plus a table build every time the codes
// outside the tables pass an eighth of the index. Writers take turns; readers never wait for
// them, except for the moment of the pointer copy.
class code_index {
   public:
    // An empty index of codes of `bits` bits (1..max_code_bits).
    explicit code_index(unsigned bits, index_options options = {});
    ~code_index();
    code_index(const code_index&) = delete;
    code_index& operator=(const code_index&) = delete;

    unsigned bits() const noexcept { return bits_; }
    index_snapshot snapshot() const;

    // Appends n codes of words_for_bits(bits) words, with their ids when `ids` is not null (an
    // index takes ids on every append or on none), or numbered by insertion. All or nothing: a
    // code that does not fit the width (invalid_code), an id given twice (duplicate_id), ids
    // where none are taken or the other way round (id_mode_error), an index that would pass
    // max_codes (std::length_error), memory (std::bad_alloc) or cancellation
    // (operation_cancelled) leaves the index as it was.
    void append(const std::uint64_t* codes, const code_id* ids, std::size_t n, job& j);
    void append(const std::uint64_t* codes, std::size_t n, job& j) { append(codes, nullptr, n, j); }
    // Replaces an empty index's codes with n codes that live elsewhere (a mapped file, or a
    // copy read from one, which `held` counts in memory_bytes()), checked as append checks
    // them; the memory must outlive every snapshot taken from now on. `ids` (copied, and unique)
    // are the codes' ids, or null for 0..n-1; `given_ids` says whether they were given by the
    // caller or numbered by insertion, which then goes on from next_id.
    struct borrowed_codes {
        const std::uint64_t* codes;
        std::size_t n;
        bool held;
        const code_id* ids = nullptr;
        bool given_ids = false;
        code_id next_id = -1;  // n when negative
    };
    void borrow(const borrowed_codes& b, job& j);
    void borrow(const std::uint64_t* codes, std::size_t n, job& j) { borrow({codes, n, false}, j); }
    // Removes the codes of these ids, all or none: an id not held raises unknown_id, naming the
    // first. Returns how many were removed (an id given twice counts once). Once more than
    // 1 / compaction_divisor of the slots are removed codes, compacts.
    std::size_t remove(const code_id* ids, std::size_t n, job& j);
    // Gives back the space of removed codes: the same answers, from a smaller state.
    void compact(job& j);

   private:
    std::shared_ptr<const index_state> current_state() const;
    void publish(std::shared_ptr<const index_state> next);

    unsigned bits_;
    index_options options_;
    std::mutex writer_;                 // one writer at a time
    mutable std::mutex current_mutex_;  // guards the pointer copy
    std::shared_ptr<const index_state> current_;
    std::shared_ptr<code_store> writable_;      // the store of current_, when this index may append to it
    std::shared_ptr<id_store> writable_ids_;    // the same for its ids
};

// The scan kernel behind the plain scans, for reports.
const char* active_scan_kernel_name() noexcept;

// An instruction this build of the index counts on and this CPU lacks ("POPCNT"), or null.
// Nothing of the index may run where it is not null.
const char* missing_instruction() noexcept;

}  // namespace quorvalent::codes

#endif
