// Blocks of a code and the owning-block rule: the two facts every multi-index join rests on,
// whether it runs in one process or is spread over machines.
//
// A block is a set of bits of one word of a code. Given disjoint blocks and thresholds t_i with
// sum(t_i + 1) > r, two codes within r bits agree within t_i bits on at least one block i (the
// pigeonhole principle), so a search that looks at every block within its threshold misses no
// pair. A pair may agree on several blocks; it is reported only through the first of them, its
// owning block, so that no pair is reported twice and nothing needs deduplicating.
#ifndef QUORVALENT_BLOCK_LAYOUT_HPP
#define QUORVALENT_BLOCK_LAYOUT_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvalent::codes {

struct block {
    unsigned word;       // which 64-bit word of the code
    std::uint64_t mask;  // the block's bits in that word
    friend bool operator==(const block& a, const block& b) noexcept {
        return a.word == b.word && a.mask == b.mask;
    }
};

// `count` disjoint blocks that together cover every bit of a code of `bits` bits, none
// straddling a word, as equal in size as that allows. A function of (bits, count) alone, so
// that every process of a distributed join computes the same blocks. Needs 1 <= count <= bits.
std::vector<block> split_into_blocks(unsigned bits, unsigned count);

// Differing bits of two codes inside one block.
unsigned block_distance(const block& b, const std::uint64_t* x, const std::uint64_t* y) noexcept;

// The block's bits of a code, gathered into the low bits of the answer (lowest bit first): the
// key on which codes that agree exactly on the block meet.
std::uint64_t block_value(const block& b, const std::uint64_t* code) noexcept;

// The owning block of a pair: the first block i whose distance is at most thresholds[i]
// (a negative threshold leaves block i out). Returns blocks.size() when no block qualifies,
// which for a pair within r of each other means the thresholds break the pigeonhole.
std::size_t owning_block(const std::vector<block>& blocks, const std::vector<int>& thresholds,
                         const std::uint64_t* x, const std::uint64_t* y) noexcept;

// Whether thresholds cover radius r: sum over included blocks of (t_i + 1) > r.
bool thresholds_cover(const std::vector<int>& thresholds, unsigned r) noexcept;

// A pair of the rows a worker of a distributed join holds, by their positions.
struct owned_pair {
    std::size_t a, b;  // a < b
    unsigned distance;
};

// The join one worker of a distributed join runs on the rows it holds. Row i is code i of
// `codes` (n codes of `bits` bits, words_for_bits(bits) words each), sent to the bucket of
// block blocks[block_of[i]] whose value (block_value) is value_of[i], in part part_of[i] of it
// and on side side_of[i] of that part. A bucket too large for one worker is cut into parts that
// each hold one or two of its chunks: side -1 where every pair of the part counts, 0 or 1 for
// the lower or higher chunk where only pairs across the two count. part_of null means every
// row is in part 0, side_of null that every side is -1.
//
// Returns every pair of rows of one bucket part within r bits of each other whose owning block
// (the first of `blocks` on which the two agree exactly) is their bucket's block: so each pair
// of codes within r is reported once, however many buckets the two meet in. Needs every
// block_of[i] < blocks.size(). With no blocks (a radius of the width or more, or rows few
// enough for one worker), every block_of[i] must be 0, and every pair of a part within r counts.
//
// With `collapse`, for connected components rather than pairs: the copies of a code on one side
// of a part are joined as one of them, and each other copy is reported with that one (distance
// 0). The pairs reported then no longer hold every pair among copies, nor every pair of copies
// of two codes within r, but they connect exactly the rows that the full pairs connect.
std::vector<owned_pair> owned_bucket_pairs(const std::uint64_t* codes, std::size_t n, unsigned bits,
                                           const std::vector<block>& blocks, const std::int64_t* block_of,
                                           const std::uint64_t* value_of, const std::int64_t* part_of,
                                           const std::int8_t* side_of, unsigned r, bool collapse = false);

}  // namespace quorvalent::codes

#endif
