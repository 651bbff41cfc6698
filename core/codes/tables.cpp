#include "codes/tables.hpp"

#include <algorithm>
#include <cstdint>
#include <random>

#include "codes/parallel.hpp"

namespace quorvalent::codes {

table::table(const table_layout& layout)
    : layout_(layout), gather_(layout.key_mask), key_bits_(layout.key_bits()), rest_gather_(layout.blk.mask & ~layout.key_mask) {}

void table::build(const std::uint64_t* codes, std::size_t n, std::size_t words, large_array<std::uint64_t>& scratch_words,
                  large_array<slot_t>& scratch_slots, job& j) {
    // Locals, so that the stores below cannot be taken to change them: the compiler then keeps
    // them in registers instead of reloading them for every code.
    const unsigned w = word();
    const bit_gather gather = gather_;
    const unsigned key_bits = key_bits_;
    const std::size_t buckets = std::size_t{1} << key_bits;
    // Placing each code straight into its bucket writes all over a table of many megabytes, a
    // cache miss per code. Two passes are faster: first into 2^run_bits runs by the top bits of
    // the key (as many sequential write streams), then each run into its buckets, which all lie
    // in a slice of the table small enough to stay in cache. The codes are cut into one part a
    // thread for the first pass, and the runs shared out for the second; each part's entries
    // follow the parts before it, so every bucket lists its codes in slot order.
    const unsigned run_bits = std::min(key_bits, 8u);
    const unsigned run_shift = key_bits - run_bits;
    const std::size_t runs = std::size_t{1} << run_bits;
    const std::size_t parts = std::max<std::size_t>(1, std::min<std::size_t>(j.threads(), n / (1 << 16)));
    auto part_begin = [&](std::size_t p) { return n * p / parts; };
    std::vector<std::vector<std::uint32_t>> counts(parts, std::vector<std::uint32_t>(buckets, 0));
    parallel_for(parts, j, [&](unsigned, std::size_t p) {
        std::uint32_t* count = counts[p].data();
        for (std::size_t i = part_begin(p); i < part_begin(p + 1); ++i) ++count[gather(codes[i * words + w])];
    });
    // Whole offsets while the table is built; filed as bases and deltas once it is.
    large_array<std::uint32_t> whole_offsets(buckets + 1);
    std::uint32_t* offsets = whole_offsets.data();
    // Bucket offsets, and where each part starts in each run.
    std::vector<std::vector<std::uint32_t>> run_cursor(parts, std::vector<std::uint32_t>(runs, 0));
    std::uint32_t total = 0;
    for (std::size_t r = 0; r < runs; ++r) {
        std::vector<std::uint32_t> in_run(parts, 0);
        for (std::size_t b = r << run_shift; b < (r + 1) << run_shift; ++b) {
            offsets[b] = total;
            for (std::size_t p = 0; p < parts; ++p) {
                total += counts[p][b];
                in_run[p] += counts[p][b];
            }
        }
        std::uint32_t at = offsets[r << run_shift];
        for (std::size_t p = 0; p < parts; ++p) {
            run_cursor[p][r] = at;
            at += in_run[p];
        }
    }
    offsets[buckets] = total;
    counts.clear();
    const std::uint64_t rest_mask = layout_.blk.mask & ~layout_.key_mask;
    compact_ = words > 1 && popcount64_baseline(rest_mask) <= compact_rest_bits;
    const bit_gather rest_gather = rest_gather_;
    words_.reset(compact_ ? 0 : n);
    rests_.reset(compact_ ? n + rest_padding : 0);
    slots_.reset(n);
    std::uint64_t* out_words = words_.data();
    std::uint16_t* out_rests = rests_.data();
    entries_ = compact_ ? static_cast<const void*>(out_rests) : static_cast<const void*>(out_words);
    entry_shift_ = compact_ ? 1 : 3;
    const bool compact = compact_;
    slot_t* out_slots = slots_.data();
    std::uint64_t* spare_words = scratch_words.data();
    slot_t* spare_slots = scratch_slots.data();
    parallel_for(parts, j, [&](unsigned, std::size_t p) {
        std::uint32_t* cursor = run_cursor[p].data();
        for (std::size_t i = part_begin(p); i < part_begin(p + 1); ++i) {
            const std::uint64_t v = codes[i * words + w];
            const std::uint32_t at = cursor[gather(v) >> run_shift]++;
            spare_words[at] = v;
            spare_slots[at] = static_cast<slot_t>(i);
        }
    });
    // Runs cover disjoint buckets: threads take runs in blocks.
    constexpr std::size_t runs_per_unit = 16;
    parallel_for((runs + runs_per_unit - 1) / runs_per_unit, j, [&](unsigned, std::size_t unit) {
        for (std::size_t r = unit * runs_per_unit; r < std::min(runs, (unit + 1) * runs_per_unit); ++r) {
            const std::size_t first_bucket = r << run_shift, end_bucket = (r + 1) << run_shift;
            std::vector<std::uint32_t> cursor(offsets + first_bucket, offsets + end_bucket);
            for (std::uint32_t at = offsets[first_bucket]; at < offsets[end_bucket]; ++at) {
                const std::uint64_t v = spare_words[at];
                const std::uint32_t to = cursor[gather(v) - first_bucket]++;
                if (compact) {
                    out_rests[to] = static_cast<std::uint16_t>(rest_gather(v));
                } else {
                    out_words[to] = v;
                }
                out_slots[to] = spare_slots[at];
            }
        }
    });
    store_offsets(offsets);
    measure_occupancy(n);
}

void table::store_offsets(const std::uint32_t* offsets) {
    const std::size_t count = buckets() + 1;
    // Groups of 64 buckets, unless a delta cannot span one (tens of thousands of copies of one
    // code in a bucket): then a base a bucket, all deltas 0, which costs 6 bytes a bucket but
    // keeps begin() free of a branch.
    constexpr unsigned widest = 6;
    bool fits = true;
    for (std::size_t b = 0; b < count && fits; ++b) fits = offsets[b] - offsets[(b >> widest) << widest] <= 0xffffu;
    group_shift_ = fits ? widest : 0;
    bases_.reset(((count - 1) >> group_shift_) + 1);
    deltas_.reset(count);
    for (std::size_t g = 0; g < bases_.size(); ++g) bases_[g] = offsets[g << group_shift_];
    for (std::size_t b = 0; b < count; ++b) deltas_[b] = static_cast<std::uint16_t>(offsets[b] - bases_[b >> group_shift_]);
}

void table::measure_occupancy(std::size_t n) {
    occupancy_.assign(key_bits_ + 1, 0.0);
    filled_ = 0;
    if (n == 0) return;
    double squares = 0;
    for (std::size_t b = 0; b < buckets(); ++b) {
        const double size = static_cast<double>(end(b) - begin(b));
        squares += size * size;
        filled_ += size > 0;
    }
    occupancy_[0] = squares / static_cast<double>(n);
    // A fixed seed: the same codes always give the same plan.
    std::mt19937_64 rng(0x9e3779b97f4a7c15ull ^ n);
    constexpr std::size_t samples = 256;
    for (unsigned s = 1; s <= key_bits_; ++s) {
        double sum = 0;
        for (std::size_t k = 0; k < samples; ++k) {
            const std::size_t entry = static_cast<std::size_t>(rng() % n);
            // A random mask of s bits among the key's.
            std::uint64_t mask = 0;
            while (static_cast<unsigned>(popcount64_baseline(mask)) < s) mask |= 1ull << (rng() % key_bits_);
            const std::size_t bucket = bucket_of(static_cast<std::uint32_t>(entry)) ^ static_cast<std::size_t>(mask);
            sum += static_cast<double>(end(bucket) - begin(bucket));
        }
        occupancy_[s] = sum / samples;
    }
}

std::vector<std::uint32_t> masks_within(unsigned p, int t) {
    std::vector<std::uint32_t> masks;
    for (int k = 0; k <= t && k <= static_cast<int>(p); ++k) {
        for_each_mask(p, static_cast<unsigned>(k), [&](std::uint64_t m) { masks.push_back(static_cast<std::uint32_t>(m)); });
    }
    return masks;
}

}  // namespace quorvalent::codes
