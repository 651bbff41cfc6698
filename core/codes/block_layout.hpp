// How the index chooses its blocks: from the codes it holds, not from their width alone.
//
// Bits that never vary carry no information, and a block made of them puts every code in one
// bucket, so blocks are cut from the bits that vary. Among those, bits vary unequally in real
// hashes, so each word's varying bits are cut into contiguous runs of equal entropy (as GPH,
// Qin et al., ICDE 2018, balances its partitions), not of equal length.
#ifndef QUORVALENT_CODES_BLOCK_LAYOUT_HPP
#define QUORVALENT_CODES_BLOCK_LAYOUT_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quorvalent/block_layout.hpp"

namespace quorvalent::codes {

// `count` disjoint blocks over the bits of word_masks (word j's usable bits), as equal in size
// as whole words allow, none straddling a word; fewer when there are fewer bits. Over every bit
// of a code, this is split_into_blocks.
std::vector<block> split_bits(const std::vector<std::uint64_t>& word_masks, unsigned count);

// What the layout needs to know of a set of codes.
struct bit_statistics {
    std::vector<std::uint64_t> varying;  // per word: the bits that are not the same in every code
    std::vector<double> entropy;         // per bit (64 per word), in bits, from a sample
};

bit_statistics measure_bits(const std::uint64_t* codes, std::size_t n, std::size_t words);

// One table of the index: a block, and the bits of it that key the table's buckets.
struct table_layout {
    block blk;
    std::uint64_t key_mask;  // a subset of blk.mask
    unsigned key_bits() const noexcept;
};

// Tables wider than this would cost more in bucket offsets than they save in candidates.
inline constexpr unsigned max_key_bits = 24;
// Blocks of fewer varying bits than this filter too little to pay for a table (codes of one
// word excepted, where they may be all there is).
inline constexpr unsigned min_block_bits = 8;
// A code of many words gets at most this many tables.
inline constexpr std::size_t max_tables = 8;
// The buckets of a table hold about this many codes: the offsets then cost about half a byte
// per code and table.
inline constexpr double codes_per_bucket = 4.0;
// A table of codes of several words stores, for each entry, the block's bits beside the key
// rather than the whole word when they are at most this many.
inline constexpr unsigned compact_rest_bits = 16;

// The tables for n codes with these statistics; empty when no bit varies.
std::vector<table_layout> choose_tables(const bit_statistics& stats, std::size_t n);

// Gathers the bits of `mask` from a word into the low bits of the answer, lowest first.
class bit_gather {
   public:
    bit_gather() = default;
    explicit bit_gather(std::uint64_t mask);
    std::uint64_t operator()(std::uint64_t x) const noexcept {
        if (runs_ == 1) return (x >> run_[0].shift) & run_[0].mask;  // the common case: one run
        std::uint64_t out = 0;
        for (unsigned k = 0; k < runs_; ++k) out |= ((x >> run_[k].shift) & run_[k].mask) << run_[k].to;
        return out;
    }
    // The inverse: gathered bits back to their places in the word.
    std::uint64_t scatter(std::uint64_t x) const noexcept {
        if (runs_ == 1) return (x & run_[0].mask) << run_[0].shift;
        std::uint64_t out = 0;
        for (unsigned k = 0; k < runs_; ++k) out |= ((x >> run_[k].to) & run_[k].mask) << run_[k].shift;
        return out;
    }

   private:
    struct run {
        unsigned shift, to;
        std::uint64_t mask;
    };
    run run_[32] = {};
    unsigned runs_ = 0;
};

}  // namespace quorvalent::codes

#endif
