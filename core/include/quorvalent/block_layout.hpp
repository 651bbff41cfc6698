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

}  // namespace quorvalent::codes

#endif
