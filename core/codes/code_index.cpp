#include "quorvalent/code_index.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>

#include "codes/large_array.hpp"
#include "codes/scan_kernels.hpp"
#include "common/portability.hpp"

namespace quorvalent::codes {

//--- Tables ---------------------------------------------------------------------------------

// One table of the multi-index: every indexed code filed under the top `prefix` bits of its
// block, with the word that holds the block copied beside its id, so that probing a bucket
// reads one contiguous run and touches the codes themselves only for a long code's survivors.
class table {
   public:
    explicit table(table_layout layout) : lay(layout) {
        width_mask = lay.width >= 64 ? ~0ull : (1ull << lay.width) - 1;
        prefix_shift = lay.shift + lay.width - lay.prefix;
        prefix_mask = (1ull << lay.prefix) - 1;
    }

    std::size_t key(std::uint64_t word) const noexcept {
        return static_cast<std::size_t>((word >> prefix_shift) & prefix_mask);
    }
    // Differing bits of the block, given the XOR of the words that hold it.
    unsigned block_distance(std::uint64_t x) const noexcept {
        return popcount64_baseline((x >> lay.shift) & width_mask);
    }
    unsigned prefix_distance(std::uint64_t x) const noexcept {
        return popcount64_baseline((x >> prefix_shift) & prefix_mask);
    }
    std::size_t buckets() const noexcept { return std::size_t{1} << lay.prefix; }

    // Files codes [0, n) by bucket, each bucket in id order. `spare_words` and `spare_ids` are
    // scratch of n entries each, shared by the tables of one build.
    void build(const std::uint64_t* codes, std::size_t n, std::size_t w,
               large_array<std::uint64_t>& spare_words, large_array<code_id>& spare_ids) {
        offsets.reset(buckets() + 1);
        for (std::size_t i = 0; i < n; ++i) ++offsets[key(codes[i * w + lay.word]) + 1];
        for (std::size_t b = 0; b < buckets(); ++b) offsets[b + 1] += offsets[b];
        words.reset(n);
        ids.reset(n);
        std::vector<std::uint32_t> cursor(offsets.data(), offsets.data() + buckets());
        constexpr unsigned run_bits = 8;
        if (lay.prefix <= run_bits + 4) {
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t word = codes[i * w + lay.word];
                const std::uint32_t at = cursor[key(word)]++;
                words[at] = word;
                ids[at] = static_cast<code_id>(i);
            }
            return;
        }
        // Placing each code straight into its bucket writes all over a table of many
        // megabytes, a cache miss per code. Two passes are faster: first into 256 runs by the
        // top bits of the key (256 write streams, each sequential), then each run into its
        // buckets, which all lie in a slice of the table small enough to stay in cache.
        const unsigned run_shift = lay.prefix - run_bits;
        std::uint32_t run_cursor[1u << run_bits];
        for (std::size_t r = 0; r < (1u << run_bits); ++r) run_cursor[r] = offsets[r << run_shift];
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t word = codes[i * w + lay.word];
            const std::uint32_t at = run_cursor[key(word) >> run_shift]++;
            spare_words[at] = word;
            spare_ids[at] = static_cast<code_id>(i);
        }
        for (std::size_t at = 0; at < n; ++at) {
            const std::uint64_t word = spare_words[at];
            const std::uint32_t to = cursor[key(word)]++;
            words[to] = word;
            ids[to] = spare_ids[at];
        }
    }

    std::size_t memory_bytes() const noexcept {
        return offsets.bytes() + words.bytes() + ids.bytes();
    }

    table_layout lay;
    std::uint64_t width_mask, prefix_mask;
    unsigned prefix_shift;
    large_array<std::uint32_t> offsets;
    large_array<std::uint64_t> words;
    large_array<code_id> ids;
};

namespace {

// Codes appended after the last build are scanned until they pass this share of the index.
constexpr std::size_t tail_divisor = 8;

// Costs of the model, in about nanoseconds as measured on a 2-vCPU AMD EPYC VM: a bucket probe
// (two dependent cache misses, overlapped with other probes), a candidate
// checked inside a bucket, a code of one word scanned, and a pair checked in a join.
constexpr double cost_bucket = 50.0;
constexpr double cost_entry = 1.0;
constexpr double cost_scan_word = 0.35;
constexpr double cost_pair = 1.2;
constexpr double cost_bucket_pair = 3.0;

double binomial(unsigned n, unsigned k) {
    if (k > n) return 0;
    double c = 1;
    for (unsigned i = 0; i < k; ++i) c = c * (n - i) / (i + 1);
    return c;
}

double buckets_within(unsigned p, int t) {
    double total = 0;
    for (int k = 0; k <= t && k <= static_cast<int>(p); ++k) total += binomial(p, static_cast<unsigned>(k));
    return total;
}

// Calls visit(mask) for every mask of exactly k bits among the low p bits.
template <class F>
void for_each_mask(unsigned p, unsigned k, F&& visit) {
    if (k > p) return;
    if (k == 0) {
        visit(std::uint64_t{0});
        return;
    }
    const std::uint64_t limit = std::uint64_t{1} << p;
    std::uint64_t v = (std::uint64_t{1} << k) - 1;
    while (v < limit) {
        visit(v);
        // The next larger number with as many bits set (Gosper).
        const std::uint64_t t = v | (v - 1);
        v = (t + 1) | (((~t & (t + 1)) - 1) >> (lowest_set_bit(v) + 1));
    }
}

std::vector<std::uint32_t> masks_within(unsigned p, int t) {
    std::vector<std::uint32_t> masks;
    for (int k = 0; k <= t && k <= static_cast<int>(p); ++k) {
        for_each_mask(p, static_cast<unsigned>(k),
                      [&](std::uint64_t m) { masks.push_back(static_cast<std::uint32_t>(m)); });
    }
    return masks;
}

unsigned word_bits(unsigned bits, std::size_t words, std::size_t j) {
    return j + 1 < words ? 64u : bits - 64u * static_cast<unsigned>(words - 1);
}

// Blocks of one word's bits, `parts` of them, as equal as they come.
void split_word(std::vector<table_layout>& out, unsigned word, unsigned width, unsigned parts) {
    unsigned shift = 0;
    for (unsigned k = 0; k < parts; ++k) {
        const unsigned w = width / parts + (k < width % parts ? 1u : 0u);
        out.push_back({word, shift, w, 0});
        shift += w;
    }
}

// The blocks of a code; each table keys on one. Blocks never straddle a word, so a table's
// inline word holds its whole block.
std::vector<table_layout> choose_blocks(unsigned bits, std::size_t words, std::size_t n) {
    std::vector<table_layout> blocks;
    if (words == 1) {
        const unsigned parts = bits >= 30 ? 3u : bits >= 12 ? 2u : 1u;
        split_word(blocks, 0, bits, parts);
    } else {
        // Two blocks a word while that makes at most eight tables; otherwise a whole-word block
        // in each of up to eight distinct words spread over the code. The pigeonhole holds
        // over any set of disjoint blocks, so the words left out only cost selectivity.
        constexpr std::size_t max_tables = 8;
        if (2 * words <= max_tables) {
            for (std::size_t j = 0; j < words; ++j) {
                const unsigned wb = word_bits(bits, words, j);
                split_word(blocks, static_cast<unsigned>(j), wb, wb >= 16 ? 2u : 1u);
            }
        } else {
            const std::size_t tables = std::min(words, max_tables);
            for (std::size_t k = 0; k < tables; ++k) {
                const std::size_t j = k * words / tables;
                blocks.push_back({static_cast<unsigned>(j), 0, word_bits(bits, words, j), 0});
            }
        }
        // A sliver of a last word filters nothing.
        blocks.erase(std::remove_if(blocks.begin(), blocks.end(),
                                    [](const table_layout& b) { return b.width < 8; }),
                     blocks.end());
    }
    // About four codes a bucket: the offsets stay at a byte or so per code and table.
    const double per_bucket = 4.0;
    const int wanted = static_cast<int>(std::lround(std::log2(std::max(2.0, n / per_bucket))));
    for (auto& b : blocks) {
        b.prefix = static_cast<unsigned>(std::clamp(wanted, 1, static_cast<int>(std::min(b.width, 24u))));
    }
    return blocks;
}

// Spends r + 1 threshold increments one at a time where they cost least. Returns false when
// the blocks cannot reach r + 1 (they cover too few bits), and a scan must answer.
template <class Cost>
bool greedy_thresholds(const std::vector<table>& tables, unsigned r, Cost cost,
                       std::vector<int>& t, double& total) {
    t.assign(tables.size(), -1);
    total = 0;
    for (unsigned step = 0; step <= r; ++step) {
        std::size_t best = tables.size();
        double best_delta = 0;
        for (std::size_t i = 0; i < tables.size(); ++i) {
            if (t[i] >= static_cast<int>(tables[i].lay.width)) continue;
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

void sort_pairs(std::vector<pair_hit>& pairs) {
    std::sort(pairs.begin(), pairs.end(), [](const pair_hit& x, const pair_hit& y) {
        return x.i != y.i ? x.i < y.i : x.j < y.j;
    });
}

unsigned full_distance(const std::uint64_t* a, const std::uint64_t* b, std::size_t w) {
    unsigned d = 0;
    for (std::size_t k = 0; k < w; ++k) d += popcount64_baseline(a[k] ^ b[k]);
    return d;
}

inline bool cancelled(const std::atomic<bool>* cancel) noexcept {
    return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

// Runs task(unit) for units [0, units) on `threads` threads, stopping early on cancel.
template <class Task>
void run_parallel(std::size_t units, unsigned threads, const std::atomic<bool>* cancel,
                  std::atomic<std::size_t>* done, Task&& task) {
    std::atomic<std::size_t> next{0};
    auto worker = [&](unsigned thread) {
        for (;;) {
            if (cancelled(cancel)) return;
            const std::size_t unit = next.fetch_add(1, std::memory_order_relaxed);
            if (unit >= units) return;
            task(thread, unit);
            if (done) done->fetch_add(1, std::memory_order_relaxed);
        }
    };
    threads = std::max(1u, std::min<unsigned>(threads, static_cast<unsigned>(std::max<std::size_t>(units, 1))));
    std::vector<std::thread> pool;
    pool.reserve(threads - 1);
    for (unsigned k = 1; k < threads; ++k) pool.emplace_back(worker, k);
    worker(0);
    for (auto& th : pool) th.join();
}

}  // namespace

//--- The index ------------------------------------------------------------------------------

code_index::code_index(unsigned bits, const scan_kernel* scan, std::size_t table_threshold)
    : bits_(bits),
      words_((bits + 63) / 64),
      scan_(scan ? scan : &active_scan_kernel()),
      table_threshold_(std::max<std::size_t>(table_threshold, 1)) {}
code_index::~code_index() = default;

const std::uint64_t* code_index::data() const noexcept {
    return borrowed_ ? borrowed_ : owned_.data();
}

std::size_t code_index::size() const {
    std::shared_lock lock(mutex_);
    return count_;
}

void code_index::rebuild_locked() {
    tables_.clear();
    within_plans_.clear();
    indexed_ = 0;
    if (count_ < table_threshold_) return;
    large_array<std::uint64_t> spare_words(count_);
    large_array<code_id> spare_ids(count_);
    for (const table_layout& b : choose_blocks(bits_, words_, count_)) {
        tables_.emplace_back(b);
        tables_.back().build(data(), count_, words_, spare_words, spare_ids);
    }
    indexed_ = count_;
    // The plans of the small radii, computed once per build: a query of 64-bit codes at radius
    // 4 takes a few microseconds, of which planning would be a tenth.
    within_plans_.clear();
    for (unsigned r = 0; r <= std::min(bits_, 64u); ++r) within_plans_.push_back(compute_within_plan(r));
}

bool code_index::append(const std::uint64_t* codes, std::size_t n) {
    std::unique_lock lock(mutex_);
    if (n > max_codes - count_) return false;
    if (borrowed_) {
        owned_.assign(borrowed_, borrowed_ + count_ * words_);
        borrowed_ = nullptr;
    }
    owned_.insert(owned_.end(), codes, codes + n * words_);
    count_ += n;
    if (count_ - indexed_ > std::max(table_threshold_, indexed_ / tail_divisor)) rebuild_locked();
    return true;
}

void code_index::borrow(const std::uint64_t* codes, std::size_t n) {
    std::unique_lock lock(mutex_);
    owned_.clear();
    owned_.shrink_to_fit();
    borrowed_ = codes;
    count_ = n;
    rebuild_locked();
}

void code_index::code(code_id id, std::uint64_t* out) const {
    std::shared_lock lock(mutex_);
    std::memcpy(out, data() + static_cast<std::size_t>(id) * words_, words_ * sizeof(std::uint64_t));
}

std::vector<std::uint64_t> code_index::all_codes() const {
    std::shared_lock lock(mutex_);
    return std::vector<std::uint64_t>(data(), data() + count_ * words_);
}

std::vector<table_layout> code_index::layout() const {
    std::shared_lock lock(mutex_);
    std::vector<table_layout> out;
    for (const table& t : tables_) out.push_back(t.lay);
    return out;
}

std::size_t code_index::memory_bytes() const {
    std::shared_lock lock(mutex_);
    std::size_t total = owned_.capacity() * sizeof(std::uint64_t);
    for (const table& t : tables_) total += t.memory_bytes();
    return total;
}

std::string search_plan::describe() const {
    std::ostringstream s;
    if (scan) {
        s << "scan (model: scan " << scan_cost << " <= tables " << estimated_cost << ")";
        return s.str();
    }
    s << "tables, thresholds [";
    for (std::size_t i = 0; i < thresholds.size(); ++i) s << (i ? "," : "") << thresholds[i];
    s << "] (model: tables " << estimated_cost << " < scan " << scan_cost << ")";
    return s.str();
}

//--- Searching ------------------------------------------------------------------------------

namespace {

// The scan of codes [from, to) with one query, appending hits.
void scan_range(const scan_kernel& k, const std::uint64_t* codes, std::size_t w, std::size_t from,
                std::size_t to, const std::uint64_t* q, unsigned r, std::vector<hit>& out) {
    constexpr std::size_t chunk = 1 << 14;
    std::uint32_t hits[chunk];
    for (std::size_t start = from; start < to; start += chunk) {
        const std::size_t n = std::min(chunk, to - start);
        const std::uint64_t* c = codes + start * w;
        const std::size_t found = w == 1 ? k.within(c, n, q[0], r, hits) : k.within_wide(c, n, w, q, r, hits);
        for (std::size_t h = 0; h < found; ++h) {
            const std::size_t at = start + hits[h];
            out.push_back({full_distance(codes + at * w, q, w), static_cast<code_id>(at)});
        }
    }
}

// Whether a candidate found through table i was already found through an earlier table: the
// first table whose block lies within its threshold reports it, and no other.
inline bool found_earlier(const std::vector<table>& tables, const std::vector<int>& t,
                          std::size_t i, const std::uint64_t* c, const std::uint64_t* q,
                          std::uint64_t x1) {
    for (std::size_t j = 0; j < i; ++j) {
        if (t[j] < 0) continue;
        const std::uint64_t x = c ? c[tables[j].lay.word] ^ q[tables[j].lay.word] : x1;
        if (tables[j].block_distance(x) <= static_cast<unsigned>(t[j])) return true;
    }
    return false;
}

// Probes are scattered over the tables, so each costs two dependent cache misses: the bucket's
// offsets, then its run of entries. They go through a software pipeline: a bucket's offsets are
// asked for when it is added, its entries `lead` buckets later, and it is read `2 * lead`
// buckets later, so that many misses are in flight at once instead of one after another.
template <class Visit>
class bucket_pipeline {
   public:
    bucket_pipeline(const std::vector<table>& tables, Visit visit) : tables_(tables), visit_(visit) {}
    ~bucket_pipeline() { finish(); }
    void add(std::size_t t, std::size_t bucket) {
        prefetch(&tables_[t].offsets[bucket]);
        slots_[added_ % ring] = {static_cast<std::uint32_t>(t), static_cast<std::uint32_t>(bucket)};
        ++added_;
        if (added_ > lead) ask_entries(added_ - lead - 1);
        if (added_ > 2 * lead) read(added_ - 2 * lead - 1);
    }
    void finish() {
        const std::size_t first_unasked = added_ > lead ? added_ - lead : 0;
        for (std::size_t k = first_unasked; k < added_; ++k) ask_entries(k);
        const std::size_t first_unread = added_ > 2 * lead ? added_ - 2 * lead : 0;
        for (std::size_t k = first_unread; k < added_; ++k) read(k);
        added_ = 0;
    }

   private:
    static constexpr std::size_t lead = 12;
    static constexpr std::size_t ring = 2 * lead + 1;
    struct slot {
        std::uint32_t table, bucket;
    };

    void ask_entries(std::size_t k) {
        const slot& s = slots_[k % ring];
        const table& T = tables_[s.table];
        prefetch(&T.words[T.offsets[s.bucket]]);
    }
    void read(std::size_t k) {
        const slot& s = slots_[k % ring];
        const table& T = tables_[s.table];
        const std::uint32_t end = T.offsets[s.bucket + 1];
        for (std::uint32_t e = T.offsets[s.bucket]; e < end; ++e) visit_(s.table, T, e);
    }

    const std::vector<table>& tables_;
    Visit visit_;
    slot slots_[ring];
    std::size_t added_ = 0;
};

// Every code of the tables within r of q, each reported once: through the first table whose
// block lies within its threshold.
void probe_tables(const std::vector<table>& tables, const std::vector<int>& t,
                  const std::uint64_t* codes, std::size_t w, const std::uint64_t* q, unsigned r,
                  std::vector<hit>& out) {
    auto visit = [&](std::size_t i, const table& T, std::uint32_t e) {
        const std::uint64_t x = T.words[e] ^ q[T.lay.word];
        const unsigned near = popcount64_baseline(x);
        if (near > r || T.block_distance(x) > static_cast<unsigned>(t[i])) return;
        if (w == 1) {
            if (found_earlier(tables, t, i, nullptr, q, x)) return;
            out.push_back({near, T.ids[e]});
        } else {
            const std::uint64_t* c = codes + static_cast<std::size_t>(T.ids[e]) * w;
            const unsigned d = full_distance(c, q, w);
            if (d > r || found_earlier(tables, t, i, c, q, 0)) return;
            out.push_back({d, T.ids[e]});
        }
    };
    bucket_pipeline<decltype(visit)> batch(tables, visit);
    for (std::size_t i = 0; i < tables.size(); ++i) {
        if (t[i] < 0) continue;
        const table& T = tables[i];
        const std::size_t qkey = T.key(q[T.lay.word]);
        const unsigned reach = std::min(static_cast<unsigned>(t[i]), T.lay.prefix);
        for (unsigned k = 0; k <= reach; ++k) {
            for_each_mask(T.lay.prefix, k, [&](std::uint64_t mask) {
                batch.add(i, qkey ^ static_cast<std::size_t>(mask));
            });
        }
    }
}

}  // namespace

search_plan code_index::plan_within(unsigned r) const {
    std::shared_lock lock(mutex_);
    return plan_within_locked(r);
}

search_plan code_index::plan_within_locked(unsigned r) const {
    if (r < within_plans_.size()) return within_plans_[r];
    return compute_within_plan(r);
}

search_plan code_index::compute_within_plan(unsigned r) const {
    search_plan plan;
    plan.scan_cost = static_cast<double>(count_) * cost_scan_word * static_cast<double>(words_);
    plan.scan = true;
    if (tables_.empty() || r >= bits_) return plan;
    const double tail = static_cast<double>(count_ - indexed_) * cost_scan_word * static_cast<double>(words_);
    auto cost = [&](std::size_t i, int ti) {
        if (ti < 0) return 0.0;
        const unsigned p = tables_[i].lay.prefix;
        const double buckets = buckets_within(p, ti);
        return buckets * (cost_bucket + cost_entry * static_cast<double>(indexed_) / std::ldexp(1.0, static_cast<int>(p)));
    };
    double total = 0;
    if (!greedy_thresholds(tables_, r, cost, plan.thresholds, total)) return plan;
    plan.estimated_cost = total + tail;
    plan.scan = plan.estimated_cost >= plan.scan_cost;
    return plan;
}

std::vector<hit> code_index::within(const std::uint64_t* q, unsigned r) const {
    std::shared_lock lock(mutex_);
    search_plan computed;
    const search_plan* plan = &computed;
    if (r < within_plans_.size()) {
        plan = &within_plans_[r];
    } else {
        computed = compute_within_plan(r);
    }
    std::vector<hit> out;
    if (plan->scan) {
        scan_range(*scan_, data(), words_, 0, count_, q, r, out);
    } else {
        probe_tables(tables_, plan->thresholds, data(), words_, q, r, out);
        scan_range(*scan_, data(), words_, indexed_, count_, q, r, out);
    }
    std::sort(out.begin(), out.end());
    return out;
}

namespace {

// The k best (distance, id) seen so far; a code enters only if it beats the worst kept.
class best_k {
   public:
    explicit best_k(std::size_t k) : k_(k) {}
    // The largest distance that can still enter.
    unsigned bound(unsigned cap) const noexcept {
        return heap_.size() < k_ ? cap : heap_.front().dist;
    }
    void offer(hit h) {
        if (heap_.size() < k_) {
            heap_.push_back(h);
            std::push_heap(heap_.begin(), heap_.end());
        } else if (h < heap_.front()) {
            std::pop_heap(heap_.begin(), heap_.end());
            heap_.back() = h;
            std::push_heap(heap_.begin(), heap_.end());
        }
    }
    bool full() const noexcept { return heap_.size() == k_; }
    bool admits(const hit& h) const noexcept { return heap_.size() < k_ || h < heap_.front(); }
    std::vector<hit> sorted() && {
        std::sort(heap_.begin(), heap_.end());
        return std::move(heap_);
    }

   private:
    std::size_t k_;
    std::vector<hit> heap_;
};

void scan_best(const scan_kernel& k, const std::uint64_t* codes, std::size_t w, std::size_t from,
               std::size_t to, const std::uint64_t* q, unsigned cap, best_k& best) {
    constexpr std::size_t chunk = 1 << 12;
    std::uint32_t hits[chunk];
    for (std::size_t start = from; start < to; start += chunk) {
        const std::size_t n = std::min(chunk, to - start);
        const std::uint64_t* c = codes + start * w;
        const unsigned r = best.bound(cap);
        const std::size_t found = w == 1 ? k.within(c, n, q[0], r, hits) : k.within_wide(c, n, w, q, r, hits);
        for (std::size_t h = 0; h < found; ++h) {
            const std::size_t at = start + hits[h];
            best.offer({full_distance(codes + at * w, q, w), static_cast<code_id>(at)});
        }
    }
}

}  // namespace

std::vector<hit> code_index::nearest(const std::uint64_t* q, std::size_t k) const {
    std::shared_lock lock(mutex_);
    k = std::min(k, count_);
    best_k best(k);
    if (k == 0) return {};
    const std::uint64_t* codes = data();
    const double scan_cost = static_cast<double>(count_) * cost_scan_word * static_cast<double>(words_);
    bool exact = false;
    if (!tables_.empty()) {
        // Stage s visits, in every table, the buckets whose prefix differs from the query's in
        // exactly s bits. A code is taken at the first (stage, table) that visits it. After
        // stage s every unvisited code differs in at least s + 1 bits in each of the m disjoint
        // prefixes, so in at least m(s + 1) bits overall.
        const std::size_t m = tables_.size();
        unsigned max_prefix = 0;
        for (const table& T : tables_) max_prefix = std::max(max_prefix, T.lay.prefix);
        double spent = 0;
        for (unsigned s = 0; s <= max_prefix; ++s) {
            double stage = 0;
            for (const table& T : tables_) {
                stage += binomial(T.lay.prefix, s) *
                         (cost_bucket + cost_entry * static_cast<double>(indexed_) / std::ldexp(1.0, static_cast<int>(T.lay.prefix)));
            }
            // Probes cost more than the model's figure when the tables are far from the cache,
            // so the stages get a quarter of a scan: enough for a query whose neighbours are
            // near, little waste for one whose neighbours are not.
            if (spent + stage > scan_cost / 4) break;
            spent += stage;
            {
                auto visit = [&](std::size_t i, const table& T, std::uint32_t e) {
                    // A code of one word is its table's inline word: no trip to the codes, and
                    // none to the ids (another cache miss) for the many that cannot enter.
                    const std::uint64_t* c =
                        words_ == 1 ? &T.words[e] : codes + static_cast<std::size_t>(T.ids[e]) * words_;
                    const unsigned d = full_distance(c, q, words_);
                    if (d > best.bound(bits_)) return;
                    const hit h{d, T.ids[e]};
                    // Only the candidates that can enter need the test that keeps a code from
                    // entering twice.
                    if (!best.admits(h)) return;
                    for (std::size_t j = 0; j < m; ++j) {
                        if (j == i) continue;
                        const table& U = tables_[j];
                        const unsigned pd = U.prefix_distance(c[U.lay.word] ^ q[U.lay.word]);
                        if (pd < s || (pd == s && j < i)) return;
                    }
                    best.offer(h);
                };
                bucket_pipeline<decltype(visit)> batch(tables_, visit);
                for (std::size_t i = 0; i < m; ++i) {
                    const table& T = tables_[i];
                    const std::size_t qkey = T.key(q[T.lay.word]);
                    for_each_mask(T.lay.prefix, s, [&](std::uint64_t mask) {
                        batch.add(i, qkey ^ static_cast<std::size_t>(mask));
                    });
                }
            }
            const std::uint64_t unseen_floor = static_cast<std::uint64_t>(m) * (s + 1);
            if (best.full() && best.bound(bits_) < unseen_floor) {
                exact = true;
                break;
            }
        }
    }
    if (exact) {
        scan_best(*scan_, codes, words_, indexed_, count_, q, bits_, best);
    } else {
        // The probes would cost more than a scan from here on; the best so far bound it.
        best_k fresh(k);
        scan_best(*scan_, codes, words_, 0, count_, q, best.bound(bits_), fresh);
        return std::move(fresh).sorted();
    }
    return std::move(best).sorted();
}

namespace {

// Queries a few at a time per thread: one would not repay the hand-over.
constexpr std::size_t queries_per_unit = 16;

template <class Search>
std::vector<std::vector<hit>> many(std::size_t n, unsigned threads, Search search) {
    std::vector<std::vector<hit>> rows(n);
    run_parallel((n + queries_per_unit - 1) / queries_per_unit, threads, nullptr, nullptr,
                 [&](unsigned, std::size_t unit) {
                     for (std::size_t q = unit * queries_per_unit; q < std::min(n, (unit + 1) * queries_per_unit); ++q) {
                         rows[q] = search(q);
                     }
                 });
    return rows;
}

}  // namespace

std::vector<std::vector<hit>> code_index::within_many(const std::uint64_t* queries, std::size_t n,
                                                      unsigned r, unsigned threads) const {
    return many(n, threads, [&](std::size_t q) { return within(queries + q * words_, r); });
}

std::vector<std::vector<hit>> code_index::nearest_many(const std::uint64_t* queries, std::size_t n,
                                                       std::size_t k, unsigned threads) const {
    return many(n, threads, [&](std::size_t q) { return nearest(queries + q * words_, k); });
}

//--- Joins ----------------------------------------------------------------------------------

search_plan code_index::plan_pairs(unsigned r) const {
    std::shared_lock lock(mutex_);
    return plan_pairs_locked(r);
}

search_plan code_index::plan_pairs_locked(unsigned r) const {
    search_plan plan;
    const double n = static_cast<double>(count_);
    plan.scan_cost = n * n / 2 * cost_scan_word * static_cast<double>(words_);
    plan.scan = true;
    if (tables_.empty() || r >= bits_) return plan;
    auto cost = [&](std::size_t i, int ti) {
        if (ti < 0) return 0.0;
        const unsigned p = tables_[i].lay.prefix;
        const double buckets = std::ldexp(1.0, static_cast<int>(p));
        const double per = static_cast<double>(indexed_) / buckets;
        return buckets * buckets_within(p, ti) / 2 * (cost_bucket_pair + per * per * cost_pair);
    };
    double total = 0;
    if (!greedy_thresholds(tables_, r, cost, plan.thresholds, total)) return plan;
    // Each code of the tail is a query against the tables and a scan of the rest of the tail.
    const double tail = static_cast<double>(count_ - indexed_);
    plan.estimated_cost = total + tail * (tail / 2 * cost_scan_word * static_cast<double>(words_) + 2000.0);
    plan.scan = plan.estimated_cost >= plan.scan_cost;
    return plan;
}

std::vector<pair_hit> code_index::pairs(unsigned r, unsigned threads,
                                        const std::atomic<bool>* cancel,
                                        std::atomic<std::size_t>* done,
                                        std::atomic<std::size_t>* total) const {
    std::shared_lock lock(mutex_);
    const search_plan plan = plan_pairs_locked(r);
    const std::uint64_t* codes = data();
    const std::size_t w = words_;
    threads = std::max(1u, threads);
    std::vector<std::vector<pair_hit>> found(threads);

    if (plan.scan) {
        // Every code against all that follow it.
        constexpr std::size_t rows = 256;
        const std::size_t units = (count_ + rows - 1) / rows;
        if (total) total->store(units);
        run_parallel(units, threads, cancel, done, [&](unsigned th, std::size_t unit) {
            std::vector<hit> hits;
            for (std::size_t i = unit * rows; i < std::min(count_, (unit + 1) * rows); ++i) {
                if (cancelled(cancel)) return;
                hits.clear();
                scan_range(*scan_, codes, w, i + 1, count_, codes + i * w, r, hits);
                for (const hit& h : hits) found[th].push_back({static_cast<code_id>(i), h.id, h.dist});
            }
        });
    } else {
        const std::vector<int>& t = plan.thresholds;
        struct unit_range {
            std::size_t table, first, last;
        };
        std::vector<unit_range> units;
        std::vector<std::vector<std::uint32_t>> masks(tables_.size());
        for (std::size_t i = 0; i < tables_.size(); ++i) {
            if (t[i] < 0) continue;
            masks[i] = masks_within(tables_[i].lay.prefix, t[i]);
            const std::size_t nb = tables_[i].buckets();
            const std::size_t step = std::max<std::size_t>(1, nb / 512);
            for (std::size_t b = 0; b < nb; b += step) units.push_back({i, b, std::min(nb, b + step)});
        }
        // The tail: each of its codes against the tables and the tail after it.
        constexpr std::size_t tail_rows = 64;
        const std::size_t tail_units = (count_ - indexed_ + tail_rows - 1) / tail_rows;
        if (total) total->store(units.size() + tail_units);
        run_parallel(units.size() + tail_units, threads, cancel, done, [&](unsigned th, std::size_t u) {
            std::vector<pair_hit>& out = found[th];
            if (u >= units.size()) {
                std::vector<hit> hits;
                const std::size_t first = indexed_ + (u - units.size()) * tail_rows;
                for (std::size_t v = first; v < std::min(count_, first + tail_rows); ++v) {
                    if (cancelled(cancel)) return;
                    hits.clear();
                    const std::uint64_t* q = codes + v * w;
                    probe_tables(tables_, t, codes, w, q, r, hits);
                    for (const hit& h : hits) out.push_back({h.id, static_cast<code_id>(v), h.dist});
                    hits.clear();
                    scan_range(*scan_, codes, w, v + 1, count_, q, r, hits);
                    for (const hit& h : hits) out.push_back({static_cast<code_id>(v), h.id, h.dist});
                }
                return;
            }
            const unit_range& ur = units[u];
            const table& T = tables_[ur.table];
            const unsigned ti = static_cast<unsigned>(t[ur.table]);
            auto check = [&](std::uint32_t x, std::uint32_t y) {
                const std::uint64_t z = T.words[x] ^ T.words[y];
                const unsigned near = popcount64_baseline(z);
                if (near > r || T.block_distance(z) > ti) return;
                const code_id a = T.ids[x], b = T.ids[y];
                unsigned d = near;
                if (w == 1) {
                    if (found_earlier(tables_, t, ur.table, nullptr, nullptr, z)) return;
                } else {
                    const std::uint64_t* ca = codes + static_cast<std::size_t>(a) * w;
                    const std::uint64_t* cb = codes + static_cast<std::size_t>(b) * w;
                    d = full_distance(ca, cb, w);
                    if (d > r || found_earlier(tables_, t, ur.table, ca, cb, 0)) return;
                }
                out.push_back({std::min(a, b), std::max(a, b), d});
            };
            for (std::size_t bucket = ur.first; bucket < ur.last; ++bucket) {
                if (cancelled(cancel)) return;
                const std::uint32_t lo = T.offsets[bucket], hi = T.offsets[bucket + 1];
                if (lo == hi) continue;
                for (const std::uint32_t mask : masks[ur.table]) {
                    const std::size_t other = bucket ^ mask;
                    if (other < bucket) continue;
                    if (other == bucket) {
                        for (std::uint32_t x = lo; x < hi; ++x) {
                            for (std::uint32_t y = x + 1; y < hi; ++y) check(x, y);
                        }
                    } else {
                        const std::uint32_t lo2 = T.offsets[other], hi2 = T.offsets[other + 1];
                        for (std::uint32_t x = lo; x < hi; ++x) {
                            for (std::uint32_t y = lo2; y < hi2; ++y) check(x, y);
                        }
                    }
                }
            }
        });
    }
    // A cancelled join's partial answer is dropped unsorted: the caller raises instead.
    if (cancelled(cancel)) return {};
    std::vector<pair_hit> all;
    std::size_t n = 0;
    for (const auto& f : found) n += f.size();
    all.reserve(n);
    for (auto& f : found) all.insert(all.end(), f.begin(), f.end());
    sort_pairs(all);
    return all;
}

std::vector<pair_hit> code_index::cross_pairs(const code_index& other, unsigned r, unsigned threads,
                                              const std::atomic<bool>* cancel,
                                              std::atomic<std::size_t>* done,
                                              std::atomic<std::size_t>* total) const {
    // The queries come from `other`; each is a search of this index.
    std::shared_lock other_lock(other.mutex_, std::defer_lock);
    if (&other != this) other_lock.lock();
    const std::size_t queries = other.count_;
    const std::uint64_t* qcodes = other.data();
    const std::size_t w = other.words_;
    constexpr std::size_t rows = 256;
    const std::size_t units = (queries + rows - 1) / rows;
    if (total) total->store(units);
    threads = std::max(1u, threads);
    std::vector<std::vector<pair_hit>> found(threads);
    // within() takes this index's lock for each query, so an append to this index may slip in
    // between two of them; every query still answers against a whole state of the index.
    run_parallel(units, threads, cancel, done, [&](unsigned th, std::size_t unit) {
        for (std::size_t j = unit * rows; j < std::min(queries, (unit + 1) * rows); ++j) {
            if (cancelled(cancel)) return;
            for (const hit& h : within(qcodes + j * w, r)) {
                found[th].push_back({h.id, static_cast<code_id>(j), h.dist});
            }
        }
    });
    if (cancelled(cancel)) return {};
    std::vector<pair_hit> all;
    for (auto& f : found) all.insert(all.end(), f.begin(), f.end());
    sort_pairs(all);
    return all;
}

}  // namespace quorvalent::codes
