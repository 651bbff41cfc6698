// Exact near-duplicate search over packed binary codes: the interpreter-free core of
// quorvalent_index.
//
// Codes are W 64-bit words each (see hex_codes.hpp for how hex text maps onto them). Search is
// multi-index hashing: each code is filed in m tables, table i keyed by one block of its bits.
// Two codes within r bits agree within t_i bits on block i for some i whenever the thresholds
// satisfy sum(t_i + 1) > r, so probing every table's buckets within t_i of the query finds
// every answer, and each candidate is verified exactly. The thresholds are chosen per radius
// from a cost model, which also decides when a plain scan is cheaper.
//
// Memory, for N codes of W words and m tables of 2^p buckets each:
//   8W bytes per code for the codes themselves,
//   12 bytes per code per table (the word holding the block, stored inline by bucket, and the
//   id), and 4 * 2^p bytes per table of bucket offsets, where 2^p is about N / 4.
// For 64-bit codes that is 8 + 3 * 12 + about 3 = 47 bytes per code.
//
// Thread safety: every const member may run concurrently with every other and with append();
// the class locks itself.
#ifndef QUORVALENT_CODE_INDEX_HPP
#define QUORVALENT_CODE_INDEX_HPP

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

namespace quorvalent::codes {

using code_id = std::uint32_t;
inline constexpr std::size_t max_codes = 0xFFFFFFFFu;  // ids are 32-bit

struct hit {
    std::uint32_t dist;
    code_id id;
    friend bool operator<(const hit& x, const hit& y) noexcept {
        return x.dist != y.dist ? x.dist < y.dist : x.id < y.id;
    }
};

struct pair_hit {
    code_id i, j;
    std::uint32_t dist;
};

// The plan chosen for one search, for reports and tests.
struct search_plan {
    bool scan = false;                  // a plain scan instead of the tables
    std::vector<int> thresholds;        // per table; -1 leaves the table out
    double estimated_cost = 0;          // model units, about nanoseconds
    double scan_cost = 0;
    std::string describe() const;
};

struct table_layout {
    unsigned word, shift, width, prefix;  // block = (code[word] >> shift) & (2^width - 1)
};

class table;        // defined in the implementation
struct scan_kernel;  // codes/scan_kernels.hpp

class code_index {
   public:
    // An empty index of codes of `bits` bits (1..4096). Its scans use `scan`, or the kernel
    // chosen for this CPU when null; tests pass each kernel in turn.
    // Below `table_threshold` codes there are no tables, only scans; tests lower it to reach
    // the tables with few codes.
    explicit code_index(unsigned bits, const scan_kernel* scan = nullptr,
                        std::size_t table_threshold = 4096);
    ~code_index();
    code_index(const code_index&) = delete;
    code_index& operator=(const code_index&) = delete;

    unsigned bits() const noexcept { return bits_; }
    std::size_t words_per_code() const noexcept { return words_; }
    std::size_t size() const;

    // Appends n codes of words_per_code() words, all already validated (no bit at or above
    // `bits` set). False, and nothing added, when the index would pass max_codes.
    bool append(const std::uint64_t* codes, std::size_t n);

    // Uses n codes that live elsewhere (a mapped file) instead of copying them; the memory must
    // outlive the index or the next append, which copies them first.
    void borrow(const std::uint64_t* codes, std::size_t n);

    // Copies code `id` (< size()) into out.
    void code(code_id id, std::uint64_t* out) const;
    // Every code, size() * words_per_code() words, copied under one lock.
    std::vector<std::uint64_t> all_codes() const;

    // Every code within r bits of q, sorted by (distance, id).
    std::vector<hit> within(const std::uint64_t* q, unsigned r) const;
    // The k nearest codes, sorted by (distance, id).
    std::vector<hit> nearest(const std::uint64_t* q, std::size_t k) const;
    // within() and nearest() for n queries of words_per_code() words each, on `threads` threads.
    std::vector<std::vector<hit>> within_many(const std::uint64_t* queries, std::size_t n, unsigned r,
                                              unsigned threads) const;
    std::vector<std::vector<hit>> nearest_many(const std::uint64_t* queries, std::size_t n,
                                               std::size_t k, unsigned threads) const;

    // Every pair i < j within r bits, sorted by (i, j). Runs on `threads` threads; stops early,
    // with an unspecified result, once `cancel` becomes true. `done` counts finished work units
    // out of `total` (both may be null).
    std::vector<pair_hit> pairs(unsigned r, unsigned threads, const std::atomic<bool>* cancel,
                                std::atomic<std::size_t>* done = nullptr,
                                std::atomic<std::size_t>* total = nullptr) const;
    // Every pair (i in this, j in other) within r bits, sorted by (i, j). Same width required.
    std::vector<pair_hit> cross_pairs(const code_index& other, unsigned r, unsigned threads,
                                      const std::atomic<bool>* cancel,
                                      std::atomic<std::size_t>* done = nullptr,
                                      std::atomic<std::size_t>* total = nullptr) const;

    search_plan plan_within(unsigned r) const;
    search_plan plan_pairs(unsigned r) const;
    std::vector<table_layout> layout() const;

    // Bytes this index holds: the codes (when owned) and every table.
    std::size_t memory_bytes() const;

   private:
    const std::uint64_t* data() const noexcept;
    void rebuild_locked();
    search_plan plan_within_locked(unsigned r) const;
    search_plan compute_within_plan(unsigned r) const;
    search_plan plan_pairs_locked(unsigned r) const;

    unsigned bits_;
    std::size_t words_;
    const scan_kernel* scan_;
    std::size_t table_threshold_;
    std::vector<std::uint64_t> owned_;
    const std::uint64_t* borrowed_ = nullptr;
    std::size_t count_ = 0;
    std::size_t indexed_ = 0;  // codes [0, indexed_) are in the tables; the rest are scanned
    std::vector<table> tables_;
    std::vector<search_plan> within_plans_;  // by radius, for the radii queries use most
    mutable std::shared_mutex mutex_;
};

// The scan kernels behind the plain scans, for tests and reports.
const char* active_scan_kernel_name() noexcept;

}  // namespace quorvalent::codes

#endif
