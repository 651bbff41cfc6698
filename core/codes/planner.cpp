#include "codes/planner.hpp"

#include <algorithm>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

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
// `memory` is the share of the index the cache cannot hold.
double probe_cost(const table& t, int th, double memory) {
    double c = 0;
    const double compact = cost::compact_bucket_probe + (cost::compact_bucket_probe_from_memory - cost::compact_bucket_probe) * memory;
    const double bucket = t.compact() ? compact : cost::bucket_probe;
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

double memory_share(std::size_t working_bytes, std::size_t cache_bytes) noexcept {
    if (cache_bytes == 0 || working_bytes <= cache_bytes) return 0.0;
    return 1.0 - static_cast<double>(cache_bytes) / static_cast<double>(working_bytes);
}

std::size_t parse_cache_size(const char* text) noexcept {
    std::size_t n = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (n > (std::numeric_limits<std::size_t>::max() - 9) / 10) return 0;
        n = n * 10 + static_cast<std::size_t>(*p - '0');
    }
    if (p == text) return 0;
    unsigned shift = 0;
    if (*p == 'K') shift = 10, ++p;
    else if (*p == 'M') shift = 20, ++p;
    else if (*p == 'G') shift = 30, ++p;
    while (*p == '\n' || *p == ' ') ++p;
    if (*p != '\0' || n > (std::numeric_limits<std::size_t>::max() >> shift)) return 0;
    return n << shift;
}

namespace {

std::size_t read_last_level_cache_bytes() {
#if defined(__linux__)
    // The cache of the highest level among cpu0's, data or unified: on a CPU of several L3s
    // (AMD's chiplets) it is the one this core shares, where getconf may give their sum.
    unsigned best_level = 0;
    std::size_t best = 0;
    for (unsigned i = 0; i < 16; ++i) {
        const std::string dir = "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(i) + "/";
        std::ifstream level_file(dir + "level"), type_file(dir + "type"), size_file(dir + "size");
        unsigned level = 0;
        std::string type, size;
        if (!(level_file >> level) || !(type_file >> type) || !(size_file >> size)) continue;
        if (type == "Instruction" || level < best_level) continue;
        const std::size_t bytes = parse_cache_size(size.c_str());
        if (bytes == 0) continue;
        best_level = level;
        best = bytes;
    }
    return best;
#else
    return 0;
#endif
}

}  // namespace

std::size_t last_level_cache_bytes() noexcept {
    static const std::size_t bytes = [] {
        try {
            return read_last_level_cache_bytes();
        } catch (...) {
            return std::size_t{0};
        }
    }();
    return bytes;
}

search_plan plan_within(const table_set& ts, std::size_t count, std::size_t words, unsigned bits, unsigned r, double memory) {
    search_plan plan;
    plan.scan_cost = scan_cost(count, words);
    plan.scan = true;
    plan.estimated_cost = std::numeric_limits<double>::infinity();
    if (ts.tables.empty() || r >= bits) return plan;
    auto cost = [&](std::size_t i, int th) { return th < 0 ? 0.0 : probe_cost(ts.tables[i], th, memory); };
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
        if (plan.thresholds[i] >= 0) per_query += probe_cost(ts.tables[i], plan.thresholds[i], 0.0);
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
