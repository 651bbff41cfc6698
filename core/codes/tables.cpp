#include "codes/tables.hpp"

#include <algorithm>
#include <random>

namespace quorvalent::codes {

table::table(const table_layout& layout)
    : layout_(layout), gather_(layout.key_mask), key_bits_(layout.key_bits()) {}

void table::build(const std::uint64_t* codes, std::size_t n, std::size_t words, large_array<std::uint64_t>& scratch_words,
                  large_array<slot_t>& scratch_slots) {
    // Locals, so that the stores below cannot be taken to change them: the compiler then keeps
    // them in registers instead of reloading them for every code.
    const unsigned w = word();
    const bit_gather gather = gather_;
    const unsigned key_bits = key_bits_;
    const std::size_t buckets = std::size_t{1} << key_bits;
    offsets_.reset(buckets + 1);
    std::uint32_t* offsets = offsets_.data();
    for (std::size_t i = 0; i < n; ++i) ++offsets[gather(codes[i * words + w]) + 1];
    for (std::size_t b = 0; b < buckets; ++b) offsets[b + 1] += offsets[b];
    words_.reset(n);
    slots_.reset(n);
    std::uint64_t* out_words = words_.data();
    slot_t* out_slots = slots_.data();
    // Placing each code straight into its bucket writes all over a table of many megabytes, a
    // cache miss per code. Two passes are faster for large tables: first into 2^run_bits runs
    // by the top bits of the key (as many sequential write streams), then each run into its
    // buckets, which all lie in a slice of the table small enough to stay in cache.
    constexpr unsigned run_bits = 8;
    constexpr unsigned direct_below = run_bits + 4;
    if (key_bits <= direct_below) {
        std::vector<std::uint32_t> cursor(offsets, offsets + buckets);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t v = codes[i * words + w];
            const std::uint32_t at = cursor[gather(v)]++;
            out_words[at] = v;
            out_slots[at] = static_cast<slot_t>(i);
        }
        measure_occupancy(n);
        return;
    }
    const unsigned run_shift = key_bits - run_bits;
    std::uint32_t run_cursor[1u << run_bits];
    for (std::size_t r = 0; r < (1u << run_bits); ++r) run_cursor[r] = offsets[r << run_shift];
    std::uint64_t* spare_words = scratch_words.data();
    slot_t* spare_slots = scratch_slots.data();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t v = codes[i * words + w];
        const std::uint32_t at = run_cursor[gather(v) >> run_shift]++;
        spare_words[at] = v;
        spare_slots[at] = static_cast<slot_t>(i);
    }
    std::vector<std::uint32_t> cursor(offsets, offsets + buckets);
    std::uint32_t* next = cursor.data();
    for (std::size_t at = 0; at < n; ++at) {
        const std::uint64_t v = spare_words[at];
        const std::uint32_t to = next[gather(v)]++;
        out_words[to] = v;
        out_slots[to] = spare_slots[at];
    }
    measure_occupancy(n);
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
            const std::size_t bucket = key(words_[entry]) ^ static_cast<std::size_t>(mask);
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
