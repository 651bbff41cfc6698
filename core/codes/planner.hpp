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
search_plan plan_within(const table_set& ts, std::size_t count, std::size_t words, unsigned bits, unsigned r);
// With `live`, the tables are priced by what they hold that is live (one entry a table),
// rather than by all they were built with: removed codes, and the copies a grouping hides,
// may crowd buckets that are nearly empty of live codes.
search_plan plan_pairs(const table_set& ts, std::size_t count, std::size_t words, unsigned bits, unsigned r,
                       const std::vector<table_stats>* live = nullptr, std::size_t live_count = 0);
// What probing every table at key distance s costs one query.
double stage_cost(const table_set& ts, unsigned s);

}  // namespace quorvalent::codes

#endif
