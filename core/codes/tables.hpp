// The tables of the multi-index: each files every indexed code under a key cut from one block,
// with the word that holds the block stored beside the code's slot, so that probing a bucket
// reads one contiguous run and touches the codes themselves only for a long code's survivors.
//
// Memory per code and table: 8 bytes for the word (2 for the block's rest, in a compact table
// of codes of several words) and 4 for the slot, plus about 2 bytes of bucket offset per
// bucket (half a byte per code, at codes_per_bucket codes a bucket).
#ifndef QUORVALENT_CODES_TABLES_HPP
#define QUORVALENT_CODES_TABLES_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codes/block_layout.hpp"
#include "codes/large_array.hpp"
#include "common/portability.hpp"
#include "quorvalent/job.hpp"

namespace quorvalent::codes {

using slot_t = std::uint32_t;  // a code's place in the store; internal, never an id

class table {
   public:
    explicit table(const table_layout& layout);

    const table_layout& layout() const noexcept { return layout_; }
    unsigned word() const noexcept { return layout_.blk.word; }
    unsigned key_bits() const noexcept { return key_bits_; }
    std::size_t buckets() const noexcept { return std::size_t{1} << key_bits_; }

    std::size_t key(std::uint64_t word) const noexcept { return static_cast<std::size_t>(gather_(word)); }
    // Differing bits of the block and of its key, given the XOR of the words that hold it.
    unsigned block_distance(std::uint64_t x) const noexcept { return popcount64_baseline(x & layout_.blk.mask); }
    unsigned key_distance(std::uint64_t x) const noexcept { return popcount64_baseline(x & layout_.key_mask); }

    // Files codes [0, n) by bucket, each bucket in slot order, on the job's threads. The
    // scratch arrays hold n entries each; tables built one after another share them.
    void build(const std::uint64_t* codes, std::size_t n, std::size_t words, large_array<std::uint64_t>& scratch_words,
               large_array<slot_t>& scratch_slots, job& j);

    // A bucket's entries begin at its group's base plus its own 16-bit delta: 2 bytes a bucket
    // and 4 a group of 64 buckets, instead of 4 a bucket. The bases (16 KiB for 2^18 buckets)
    // stay in cache, so a probe still waits on one line of offsets. A table where a delta
    // cannot span a group (tens of thousands of copies of one code) has groups of one bucket.
    std::uint32_t begin(std::size_t bucket) const noexcept { return bases_[bucket >> group_shift_] + deltas_[bucket]; }
    std::uint32_t end(std::size_t bucket) const noexcept { return begin(bucket + 1); }
    void prefetch_offsets(std::size_t bucket) const noexcept { prefetch(deltas_.data() + bucket); }
    slot_t entry_slot(std::uint32_t e) const noexcept { return slots_[e]; }
    void prefetch_slot(std::uint32_t e) const noexcept { prefetch(slots_.data() + e); }

    // Whether the entries hold only the block's bits outside the key (its "rest", 16 bits at
    // most) rather than the whole word: tables of codes of more than one word, whose blocks
    // leave few bits beside the key. The word's other bits belong to the code, read in full
    // by a candidate that passes the block's test anyway.
    bool compact() const noexcept { return compact_; }
    // The entry's word, for a table that is not compact.
    std::uint64_t entry_word(std::uint32_t e) const noexcept { return words_[e]; }
    const std::uint64_t* entry_words() const noexcept { return words_.data(); }
    const std::uint16_t* entry_rests() const noexcept { return rests_.data(); }
    // A word's rest, in the form entry_rests() holds it (compact tables).
    std::uint64_t rest_of(std::uint64_t word) const noexcept { return rest_gather_(word); }
    // A compact table keeps this many readable entries past its last, so that a probe reads a
    // bucket's rests eight at a time with no test of where the bucket ends, or of whether it is
    // empty (the last buckets' entries begin at the end).
    static constexpr std::size_t rest_padding = 8;
    // The bits an entry of `bucket` holds, in their places in the word: the whole word, or for
    // a compact table the block's bits alone.
    std::uint64_t entry_bits(std::uint32_t e, std::size_t bucket) const noexcept {
        return compact_ ? compact_entry_bits(e, bucket) : words_[e];
    }
    std::uint64_t compact_entry_bits(std::uint32_t e, std::size_t bucket) const noexcept {
        return gather_.scatter(bucket) | rest_gather_.scatter(rests_[e]);
    }
    // Which of a query word's bits entry_bits() can be compared with.
    std::uint64_t held_mask() const noexcept { return compact_ ? layout_.blk.mask : ~0ull; }
    void prefetch_entry(std::uint32_t e) const noexcept {
        prefetch(static_cast<const char*>(entries_) + (std::size_t{e} << entry_shift_));
    }

    std::size_t memory_bytes() const noexcept {
        return bases_.bytes() + deltas_.bytes() + words_.bytes() + rests_.bytes() + slots_.bytes();
    }

    // Occupancy seen by a code drawn from the table itself: entry s is the mean number of
    // codes in the buckets whose key differs from that code's key in exactly s bits. Entry 0
    // is exact (sum of squared bucket sizes over n); the others are estimated from a sample.
    const std::vector<double>& occupancy() const noexcept { return occupancy_; }
    // The same, counting only the entries `live` keeps (a removal's or a grouping's view);
    // returns the live buckets' number in `filled`.
    template <class Live>
    std::vector<double> live_occupancy(Live&& live, std::size_t& filled) const;
    std::size_t filled_buckets() const noexcept { return filled_; }

   private:
    void measure_occupancy(std::size_t n);
    // Files the offsets (buckets() + 1 of them, the last the entries' number) as bases and deltas.
    void store_offsets(const std::uint32_t* offsets);
    // The bucket an entry is filed in: the last whose entries begin at or before it.
    std::size_t bucket_of(std::uint32_t e) const noexcept {
        std::size_t lo = 0, hi = buckets();  // the bucket lies in [lo, hi]
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo + 1) / 2;
            if (begin(mid) <= e) {
                lo = mid;
            } else {
                hi = mid - 1;
            }
        }
        return lo;
    }

    table_layout layout_;
    bit_gather gather_;
    unsigned key_bits_;
    bool compact_ = false;
    unsigned group_shift_ = 0;
    large_array<std::uint32_t> bases_;
    large_array<std::uint16_t> deltas_;
    large_array<std::uint64_t> words_;   // tables that are not compact
    large_array<std::uint16_t> rests_;   // compact tables
    large_array<slot_t> slots_;
    const void* entries_ = nullptr;      // words_ or rests_, for prefetches
    unsigned entry_shift_ = 3;
    std::vector<double> occupancy_;
    std::size_t filled_ = 0;
    bit_gather rest_gather_;  // last: the members a probe reads stay together
};

template <class Live>
std::vector<double> table::live_occupancy(Live&& live, std::size_t& filled) const {
    std::vector<std::uint32_t> counts(buckets(), 0);
    std::size_t total = 0;
    for (std::size_t b = 0; b < buckets(); ++b) {
        for (std::uint32_t e = begin(b); e < end(b); ++e) {
            if (!live(slots_[e])) continue;
            ++counts[b];
            ++total;
        }
    }
    std::vector<double> occupancy(key_bits_ + 1, 0.0);
    filled = 0;
    if (total == 0) return occupancy;
    double squares = 0;
    for (std::uint32_t c : counts) {
        squares += static_cast<double>(c) * c;
        filled += c > 0;
    }
    occupancy[0] = squares / static_cast<double>(total);
    // The other distances from a sample of live entries, as measure_occupancy() takes them.
    std::size_t seed = 0x9e3779b97f4a7c15ull ^ total;
    auto next = [&seed] { return seed = seed * 6364136223846793005ull + 1442695040888963407ull, seed >> 17; };
    constexpr std::size_t samples = 256;
    const std::size_t n = slots_.size();
    for (unsigned s = 1; s <= key_bits_; ++s) {
        double sum = 0;
        std::size_t taken = 0;
        for (std::size_t attempt = 0; taken < samples && attempt < 16 * samples; ++attempt) {
            const std::size_t entry = next() % n;
            if (!live(slots_[entry])) continue;
            std::uint64_t mask = 0;
            while (static_cast<unsigned>(popcount64_baseline(mask)) < s) mask |= 1ull << (next() % key_bits_);
            sum += counts[bucket_of(static_cast<std::uint32_t>(entry)) ^ static_cast<std::size_t>(mask)];
            ++taken;
        }
        occupancy[s] = taken ? sum / static_cast<double>(taken) : 0.0;
    }
    return occupancy;
}

// Every mask of exactly k bits among the low p bits, in increasing order.
template <class F>
void for_each_mask(unsigned p, unsigned k, F&& visit) {
    if (k > p) return;
    if (k == 0) {
        visit(std::uint64_t{0});
        return;
    }
    const std::uint64_t limit = p >= 64 ? ~0ull : std::uint64_t{1} << p;
    std::uint64_t v = (std::uint64_t{1} << k) - 1;
    while (v < limit) {
        visit(v);
        // The next larger number with as many bits set (Gosper).
        const std::uint64_t t = v | (v - 1);
        v = (t + 1) | (((~t & (t + 1)) - 1) >> (lowest_set_bit(v) + 1));
    }
}

// Every mask of at most t bits among the low p bits, by weight then value.
std::vector<std::uint32_t> masks_within(unsigned p, int t);

}  // namespace quorvalent::codes

#endif
