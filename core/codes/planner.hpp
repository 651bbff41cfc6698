// The cost model: every constant the index plans with, and the choice, per radius, of the
// per-table thresholds or of a plain scan.
//
// The model prices work in about nanoseconds of one core. Its occupancies come from the
// tables themselves (table::occupancy), so skewed data, whose codes crowd into a few buckets,
// is priced as it is, not as a uniform model would have it.
#ifndef QUORVALENT_CODES_PLANNER_HPP
#define QUORVALENT_CODES_PLANNER_HPP

#include <cstddef>
#include <vector>

#include "codes/tables.hpp"
#include "quorvalent/code_index.hpp"

namespace quorvalent::codes {

namespace cost {
// A bucket probed by a query: two dependent cache misses, overlapped with other probes.
inline constexpr double bucket_probe = 50.0;
// The same for a compact table (codes of several words), whose probe tests a bucket's entries
// eight at a time and keeps more buckets in flight. Measured on uniform 256-bit codes: 10-11
// ns a bucket at r = 31 (8,000 buckets), 7.3-7.6 at r = 44 and 48 (75,000 and 119,000), where
// the tables beat a scan (870 against 1,120 us at r = 48).
inline constexpr double compact_bucket_probe = 5.0;
// The same where the tables' lines come from memory, not from the last-level cache. Measured on
// an AMD Zen 4 whose 32 MB L3 holds 38% of an 84 MB index of a million 256-bit codes: 8-15 ns
// a bucket at r = 44 and 48 (noisy: the memory is shared with other machines' work), so a scan
// (730-980 us) beats the tables at r = 48 there, which an in-cache price does not foresee.
inline constexpr double compact_bucket_probe_from_memory = 13.0;
// A candidate checked inside a probed bucket.
inline constexpr double candidate = 1.0;
// One word of one code in a plain scan.
inline constexpr double scan_word = 0.35;
// A pair of codes compared in a join, and a pair of buckets visited by one.
inline constexpr double join_pair = 1.2;
inline constexpr double join_bucket_pair = 3.0;
}  // namespace cost

// Codes appended after the last table build are scanned until they pass 1 / tail_divisor of
// the index; then the tables are built again.
inline constexpr std::size_t tail_divisor = 8;
// The exact k-nearest search probes stage after stage while their cost stays under this share
// of a scan: probes cost more than the model says when the tables are far from the cache, so
// a query whose neighbours are near is answered by probes, and one whose are not wastes little.
inline constexpr double knn_probe_share = 0.25;

// The tables of one build, and the plans of the radii that queries use most.
struct table_set {
    std::vector<table> tables;
    std::size_t indexed = 0;  // codes [0, indexed) are in the tables
    std::vector<search_plan> within_plans;  // by radius
};

// What a table holds, as the model prices it: the occupancy seen from a code of its own at each
// key distance (see table::occupancy), and its buckets that hold anything.
struct table_stats {
    std::vector<double> occupancy;
    std::size_t filled = 0;
};

double scan_cost(std::size_t count, std::size_t words);
// The share of an index's bytes (`working_bytes`: its tables and codes) that a cache of
// `cache_bytes` cannot hold, 0 to 1; 0 when the cache's size is unknown (0).
double memory_share(std::size_t working_bytes, std::size_t cache_bytes) noexcept;
// The size of this machine's largest cache shared by the core that first asks, read once; 0
// where it cannot be read. Only prices depend on it, never an answer.
std::size_t last_level_cache_bytes() noexcept;
// A cache size as Linux's sysfs writes it ("32768K", "1M", "512"); 0 for anything else.
std::size_t parse_cache_size(const char* text) noexcept;
// `memory` is the memory_share of the index: compact tables' buckets are priced between their
// in-cache and from-memory prices by it.
search_plan plan_within(const table_set& ts, std::size_t count, std::size_t words, unsigned bits, unsigned r,
                        double memory);
// With `live`, the tables are priced by what they hold that is live (one entry a table),
// rather than by all they were built with: removed codes, and the copies a grouping hides,
// may crowd buckets that are nearly empty of live codes.
search_plan plan_pairs(const table_set& ts, std::size_t count, std::size_t words, unsigned bits, unsigned r,
                       const std::vector<table_stats>* live = nullptr, std::size_t live_count = 0);
// What probing every table at key distance s costs one query.
double stage_cost(const table_set& ts, unsigned s);

}  // namespace quorvalent::codes

#endif
