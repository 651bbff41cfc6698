#include "codes/planner.hpp"

#include <algorithm>
#include <limits>
#include <sstream>

namespace quorvalent::codes {

namespace {

double binomial(unsigned n, unsigned k) {
    if (k > n) return 0;
    double c = 1;
    for (unsigned i = 0; i < k; ++i) c = c * (n - i) / (i + 1);
    return c;
}

double occupancy_at(const std::vector<double>& occ, unsigned s) {
    return occ.empty() ? 0.0 : occ[std::min<std::size_t>(s, occ.size() - 1)];
}

double occupancy_at(const table& t, unsigned s) { return occupancy_at(t.occupancy(), s); }

// One query's cost of probing table t at threshold th: every bucket within min(th, key bits).
double probe_cost(const table& t, int th) {
    double c = 0;
    const double bucket = t.compact() ? cost::compact_bucket_probe : cost::bucket_probe;
    for (int s = 0; s <= th && s <= static_cast<int>(t.key_bits()); ++s) {
        const auto su = static_cast<unsigned>(s);
        c += binomial(t.key_bits(), su) * (bucket + cost::candidate * occupancy_at(t, su));
    }
    return c;
}

// A join's cost of a table at threshold th: every pair of filled buckets within it, once, and
// every pair of codes in them.
double join_cost(unsigned key_bits, const std::vector<double>& occupancy, std::size_t filled, std::size_t indexed, int th) {
    double c = 0;
    for (int s = 0; s <= th && s <= static_cast<int>(key_bits); ++s) {
        const auto su = static_cast<unsigned>(s);
        const double masks = binomial(key_bits, su);
        c += static_cast<double>(filled) * masks / 2 * cost::join_bucket_pair +
             static_cast<double>(indexed) * masks * occupancy_at(occupancy, su) / 2 * cost::join_pair;
    }
    return c;
}

// Spends the r + 1 threshold steps one at a time where they cost least. False when the
// blocks cannot take r + 1 steps (they cover too few bits), and a scan must answer.
template <class Cost>
bool spend_thresholds(const std::vector<table>& tables, unsigned r, Cost cost, std::vector<int>& t, double& total) {
    t.assign(tables.size(), -1);
    total = 0;
    for (unsigned step = 0; step <= r; ++step) {
        std::size_t best = tables.size();
        double best_delta = 0;
        for (std::size_t i = 0; i < tables.size(); ++i) {
            if (t[i] >= static_cast<int>(popcount64_baseline(tables[i].layout().blk.mask))) continue;
            const double delta = cost(i, t[i] + 1) - cost(i, t[i]);
            if (best == tables.size() || delta < best_delta) {
                best = i;
                best_delta = delta;
            }
        }
        if (best == tables.size()) return false;
        ++t[best];
        total += best_delta;
    }
    return true;
}

}  // namespace

double scan_cost(std::size_t count, std::size_t words) {
    return static_cast<double>(count) * cost::scan_word * static_cast<double>(words);
}

search_plan plan_within(const table_set& ts, std::size_t count, std::size_t words, unsigned bits, unsigned r) {
    search_plan plan;
    plan.scan_cost = scan_cost(count, words);
    plan.scan = true;
    plan.estimated_cost = std::numeric_limits<double>::infinity();
    if (ts.tables.empty() || r >= bits) return plan;
    auto cost = [&](std::size_t i, int th) { return th < 0 ? 0.0 : probe_cost(ts.tables[i], th); };
    double total = 0;
    if (!spend_thresholds(ts.tables, r, cost, plan.thresholds, total)) return plan;
    plan.estimated_cost = total + scan_cost(count - ts.indexed, words);
    plan.scan = plan.estimated_cost >= plan.scan_cost;
    return plan;
}

search_plan plan_pairs(const table_set& ts, std::size_t count, std::size_t words, unsigned bits, unsigned r,
                       const std::vector<table_stats>* live, std::size_t live_count) {
    search_plan plan;
    const double n = static_cast<double>(live ? live_count : count);
    plan.scan_cost = n * n / 2 * cost::scan_word * static_cast<double>(words);
    plan.scan = true;
    plan.estimated_cost = std::numeric_limits<double>::infinity();
    if (ts.tables.empty() || r >= bits) return plan;
    auto cost = [&](std::size_t i, int th) {
        if (th < 0) return 0.0;
        const table& t = ts.tables[i];
        return live ? join_cost(t.key_bits(), (*live)[i].occupancy, (*live)[i].filled, live_count, th)
                    : join_cost(t.key_bits(), t.occupancy(), t.filled_buckets(), ts.indexed, th);
    };
    double total = 0;
    if (!spend_thresholds(ts.tables, r, cost, plan.thresholds, total)) return plan;
    // Each code of the tail is a query of the tables and a scan of the tail after it.
    double per_query = 0;
    for (std::size_t i = 0; i < ts.tables.size(); ++i) {
        if (plan.thresholds[i] >= 0) per_query += probe_cost(ts.tables[i], plan.thresholds[i]);
    }
    const double tail = static_cast<double>(count - ts.indexed);
    plan.estimated_cost = total + tail * (tail / 2 * cost::scan_word * static_cast<double>(words) + per_query);
    plan.scan = plan.estimated_cost >= plan.scan_cost;
    return plan;
}

double stage_cost(const table_set& ts, unsigned s) {
    double c = 0;
    for (const table& t : ts.tables) {
        c += binomial(t.key_bits(), s) * (cost::bucket_probe + cost::candidate * occupancy_at(t, s));
    }
    return c;
}

std::string search_plan::describe() const {
    std::ostringstream s;
    if (scan && estimated_cost == std::numeric_limits<double>::infinity()) {
        s << "scan (no tables, or none that can serve this radius; model: scan " << scan_cost << ")";
        return s.str();
    }
    if (scan) {
        s << "scan (model: scan " << scan_cost << " <= tables " << estimated_cost << ")";
        return s.str();
    }
    s << "tables, thresholds [";
    for (std::size_t i = 0; i < thresholds.size(); ++i) s << (i ? "," : "") << thresholds[i];
    s << "] (model: tables " << estimated_cost << " < scan " << scan_cost << ")";
    return s.str();
}

}  // namespace quorvalent::codes
