#include "codes/block_layout.hpp"

#include <algorithm>
#include <cmath>

#include "common/portability.hpp"
#include "quorvalent/hex_codes.hpp"

namespace quorvalent::codes {

namespace {

std::uint64_t low_bits(unsigned n) { return n >= 64 ? ~0ull : (1ull << n) - 1; }

// Cuts the set bits of `bits_of_word` (a word's usable bits) into `parts` contiguous groups;
// weight[b] says how much bit b counts, and the groups get equal shares of the total.
void cut_word(std::vector<block>& out, unsigned word, std::uint64_t bits_of_word, unsigned parts,
              const double* weight) {
    std::vector<unsigned> positions;
    for (unsigned b = 0; b < 64; ++b) {
        if (bits_of_word >> b & 1) positions.push_back(b);
    }
    if (parts == 0 || positions.empty()) return;
    parts = std::min<unsigned>(parts, static_cast<unsigned>(positions.size()));
    double total = 0;
    for (unsigned b : positions) total += weight ? weight[b] : 1.0;
    std::size_t at = 0;
    double seen = 0;
    for (unsigned k = 0; k < parts; ++k) {
        std::uint64_t mask = 0;
        const std::size_t left_after = parts - 1 - k;  // groups still to fill after this one
        const double goal = total * (k + 1) / parts;
        // At least one bit, and leave one for each group after this one.
        do {
            const unsigned b = positions[at++];
            mask |= 1ull << b;
            seen += weight ? weight[b] : 1.0;
        } while (at < positions.size() - left_after &&
                 (k + 1 == parts || seen + 0.5 * (weight ? weight[positions[at]] : 1.0) <= goal));
        out.push_back({word, mask});
    }
}

double bit_entropy(double p) {
    if (p <= 0 || p >= 1) return 0;
    return -(p * std::log2(p) + (1 - p) * std::log2(1 - p));
}

}  // namespace

std::vector<block> split_bits(const std::vector<std::uint64_t>& word_masks, unsigned count) {
    std::vector<block> out;
    // Words without a usable bit take no part: the blocks are spread over the others.
    std::vector<unsigned> used;
    for (std::size_t j = 0; j < word_masks.size(); ++j) {
        if (word_masks[j] != 0) used.push_back(static_cast<unsigned>(j));
    }
    const std::size_t words = used.size();
    if (count == 0 || words == 0) return out;
    auto word_bits = [&](std::size_t j) { return popcount64_baseline(word_masks[used[j]]); };
    std::vector<unsigned> per_word(words, 0);
    if (count < words) {
        // Too few blocks for every word to hold one: whole words, spread over the code.
        for (unsigned k = 0; k < count; ++k) per_word[k * words / count] = 1;
    } else {
        // One block a word, then each further block to the word whose blocks are largest, so
        // that blocks come out as equal as whole words allow.
        std::fill(per_word.begin(), per_word.end(), 1u);
        for (std::size_t given = words; given < count; ++given) {
            std::size_t best = words;
            for (std::size_t j = 0; j < words; ++j) {
                if (per_word[j] >= word_bits(j)) continue;
                // Compare word_bits(j) / per_word[j] without division, ties to the first word.
                if (best == words || word_bits(j) * per_word[best] > word_bits(best) * per_word[j]) best = j;
            }
            if (best == words) break;  // more blocks than bits
            ++per_word[best];
        }
    }
    for (std::size_t j = 0; j < words; ++j) cut_word(out, used[j], word_masks[used[j]], per_word[j], nullptr);
    return out;
}

std::vector<block> split_into_blocks(unsigned bits, unsigned count) {
    if (!valid_code_bits(bits)) return {};
    std::vector<std::uint64_t> masks(words_for_bits(bits));
    for (std::size_t j = 0; j < masks.size(); ++j) masks[j] = code_word_mask(bits, j);
    return split_bits(masks, count);
}

unsigned block_distance(const block& b, const std::uint64_t* x, const std::uint64_t* y) noexcept {
    return popcount64_baseline((x[b.word] ^ y[b.word]) & b.mask);
}

std::uint64_t block_value(const block& b, const std::uint64_t* code) noexcept {
    return bit_gather(b.mask)(code[b.word]);
}

std::size_t owning_block(const std::vector<block>& blocks, const std::vector<int>& thresholds,
                         const std::uint64_t* x, const std::uint64_t* y) noexcept {
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (thresholds[i] >= 0 && block_distance(blocks[i], x, y) <= static_cast<unsigned>(thresholds[i])) return i;
    }
    return blocks.size();
}

bool thresholds_cover(const std::vector<int>& thresholds, unsigned r) noexcept {
    unsigned long long sum = 0;
    for (int t : thresholds) {
        if (t >= 0) sum += static_cast<unsigned long long>(t) + 1;
    }
    return sum > r;
}

bit_statistics measure_bits(const std::uint64_t* codes, std::size_t n, std::size_t words) {
    bit_statistics s;
    s.varying.assign(words, 0);
    s.entropy.assign(words * 64, 0.0);
    if (n == 0) return s;
    // Exact: a bit varies when some code differs from the first in it.
    for (std::size_t i = 1; i < n; ++i) {
        for (std::size_t k = 0; k < words; ++k) s.varying[k] |= codes[i * words + k] ^ codes[k];
    }
    // Entropy from an evenly spaced sample, counted a byte at a time.
    constexpr std::size_t sample = 1 << 16;
    const std::size_t step = std::max<std::size_t>(1, n / sample);
    std::vector<std::uint32_t> ones(words * 64, 0);
    std::vector<std::uint32_t> byte_counts(words * 8 * 256, 0);
    std::size_t taken = 0;
    for (std::size_t i = 0; i < n; i += step, ++taken) {
        for (std::size_t k = 0; k < words; ++k) {
            const std::uint64_t w = codes[i * words + k];
            for (unsigned b = 0; b < 8; ++b) ++byte_counts[(k * 8 + b) * 256 + ((w >> (8 * b)) & 255)];
        }
    }
    for (std::size_t k = 0; k < words * 8; ++k) {
        for (unsigned v = 0; v < 256; ++v) {
            const std::uint32_t c = byte_counts[k * 256 + v];
            if (c == 0) continue;
            for (unsigned b = 0; b < 8; ++b) {
                if (v >> b & 1) ones[k * 8 + b] += c;
            }
        }
    }
    for (std::size_t b = 0; b < words * 64; ++b) {
        const bool varies = s.varying[b / 64] >> (b % 64) & 1;
        // A bit that varies outside the sample still carries a little information.
        s.entropy[b] = varies ? std::max(0.01, bit_entropy(static_cast<double>(ones[b]) / static_cast<double>(taken))) : 0.0;
    }
    return s;
}

unsigned table_layout::key_bits() const noexcept { return popcount64_baseline(key_mask); }

std::vector<table_layout> choose_tables(const bit_statistics& stats, std::size_t n) {
    const std::size_t words = stats.varying.size();
    std::vector<block> blocks;
    auto varying_bits = [&](std::size_t j) { return popcount64_baseline(stats.varying[j]); };
    if (words == 1) {
        const unsigned v = varying_bits(0);
        const unsigned parts = v >= 30 ? 3u : v >= 12 ? 2u : v >= 1 ? 1u : 0u;
        cut_word(blocks, 0, stats.varying[0], parts, stats.entropy.data());
    } else {
        // Two blocks a word while that makes at most max_tables tables; otherwise one block in
        // each of up to max_tables words spread over the code. The pigeonhole holds over any
        // set of disjoint blocks, so the words left out only cost selectivity.
        std::vector<std::size_t> useful;
        for (std::size_t j = 0; j < words; ++j) {
            if (varying_bits(j) >= min_block_bits) useful.push_back(j);
        }
        if (2 * useful.size() <= max_tables) {
            for (std::size_t j : useful) {
                cut_word(blocks, static_cast<unsigned>(j), stats.varying[j], varying_bits(j) >= 2 * min_block_bits ? 2u : 1u,
                         stats.entropy.data() + 64 * j);
            }
        } else {
            const std::size_t tables = std::min(useful.size(), max_tables);
            for (std::size_t k = 0; k < tables; ++k) {
                const std::size_t j = useful[k * useful.size() / tables];
                blocks.push_back({static_cast<unsigned>(j), stats.varying[j]});
            }
        }
    }
    const int wanted = static_cast<int>(std::lround(std::log2(std::max(2.0, static_cast<double>(n) / codes_per_bucket))));
    std::vector<table_layout> tables;
    for (const block& b : blocks) {
        const unsigned width = popcount64_baseline(b.mask);
        // Tables of codes of several words keep these keys too: keys a bit narrower would halve
        // the offsets (2 bytes a code less for 256-bit codes) but crowd the buckets of
        // clustered codes, whose self-join at r = 31 took 104 s instead of 77.
        const unsigned key = static_cast<unsigned>(std::clamp(wanted, 1, static_cast<int>(std::min(width, max_key_bits))));
        // The key is the block's highest `key` bits: for a block of one run, a shift and a mask.
        std::uint64_t key_mask = 0, rest = b.mask;
        for (unsigned k = 0; k < key; ++k) {
            const std::uint64_t top = 1ull << highest_set_bit(rest);
            key_mask |= top;
            rest &= ~top;
        }
        tables.push_back({b, key_mask});
    }
    return tables;
}

bit_gather::bit_gather(std::uint64_t mask) {
    unsigned to = 0;
    while (mask != 0 && runs_ < 32) {
        const unsigned shift = lowest_set_bit(mask);
        const std::uint64_t from_here = mask >> shift;
        const unsigned width = from_here == ~0ull ? 64u : lowest_set_bit(~from_here);
        run_[runs_++] = {shift, to, low_bits(width)};
        to += width;
        mask &= width + shift >= 64 ? 0 : ~0ull << (shift + width);
    }
}

}  // namespace quorvalent::codes
