// The join a worker of a distributed join runs over the bucket rows it holds.
//
// Codes in one bucket agree on its block, so a pair of them within r bits is within r on the
// other bits too, and, cut into r + 1 disjoint sub-blocks, agrees exactly on one of them (the
// same pigeonhole again). A bucket is joined by grouping its rows on each sub-block in turn and
// comparing only the rows that agree there, each pair through the first sub-block it agrees
// on. A worker's rows come from thousands of buckets of about a thousand codes each, where an
// index over all of them would compare every code with the near codes of the other buckets too.
#include <algorithm>
#include <cstring>
#include <numeric>
#include <utility>

#include "codes/block_layout.hpp"
#include "common/portability.hpp"
#include "quorvalent/block_layout.hpp"
#include "quorvalent/hex_codes.hpp"

namespace quorvalent::codes {

namespace {

// Buckets of at most this many rows compare all their pairs: the sub-block grouping costs
// (r + 1) passes over the rows and their bins, more than a few hundred pair tests.
constexpr std::size_t all_pairs_up_to = 32;

std::uint64_t mix(std::uint64_t x) noexcept {  // splitmix64's finaliser
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

unsigned bits_for(std::size_t n) noexcept {  // the least b with 2^b >= n, at least 1
    unsigned b = 1;
    while ((std::size_t{1} << b) < n) ++b;
    return b;
}

// Stable counting sort of positions 0..m by bin[0..m) < 2^b, into `order`; `at` is scratch.
template <class Position>
void sort_by_bins(const std::uint32_t* bin, std::size_t m, unsigned b, std::vector<std::size_t>& starts,
                  std::vector<std::size_t>& at, std::vector<Position>& order) {
    const std::size_t bins = std::size_t{1} << b;
    starts.assign(bins + 1, 0);
    for (std::size_t t = 0; t < m; ++t) ++starts[bin[t] + 1];
    for (std::size_t k = 0; k < bins; ++k) starts[k + 1] += starts[k];
    order.resize(m);
    at.assign(starts.begin(), starts.end() - 1);
    for (std::size_t t = 0; t < m; ++t) order[at[bin[t]]++] = static_cast<Position>(t);
}

class bucket_joiner {
   public:
    bucket_joiner(unsigned bits, const std::vector<block>& blocks, const std::int8_t* side_of, unsigned r,
                  bool collapse, std::vector<owned_pair>& out)
        : words_(words_for_bits(bits)), blocks_(blocks), zeros_(blocks.size(), 0), side_of_(side_of),
          r_(r), collapse_(collapse), out_(out) {
        // Each block's bucket is joined on r + 1 sub-blocks of the code's other bits; fewer
        // when those bits are fewer, and the bucket then compares all its pairs. Without
        // blocks, the one bucket (and its parts) is joined on sub-blocks of every bit.
        for (std::size_t k = 0; k < std::max<std::size_t>(blocks.size(), 1); ++k) {
            std::vector<std::uint64_t> rest(words_);
            for (std::size_t j = 0; j < words_; ++j) {
                const bool own = !blocks.empty() && j == blocks[k].word;
                rest[j] = code_word_mask(bits, j) & ~(own ? blocks[k].mask : 0);
            }
            std::vector<block> subs = split_bits(rest, r + 1);
            if (subs.size() < r + 1) subs.clear();
            sub_blocks_.push_back(std::move(subs));
        }
    }

    // One bucket part of block k: m codes side by side, which are rows rows[0..m).
    void join(const std::uint64_t* part_codes, const std::size_t* rows, std::size_t m, std::size_t k) {
        if (collapse_ && m >= 2) {
            const std::size_t kept = collapse(part_codes, rows, m, k);
            if (kept < m) {
                part_codes = kept_codes_.data();
                rows = kept_rows_.data();
                m = kept;
            }
        }
        local_ = part_codes;
        const std::vector<block>& subs = sub_blocks_[k];
        if (m <= all_pairs_up_to || subs.empty()) {
            for (std::size_t x = 0; x < m; ++x) {
                for (std::size_t y = x + 1; y < m; ++y) test(rows, x, y, k);
            }
            return;
        }
        const unsigned b = bits_for(m);
        keys_.resize(m);
        bins_.resize(m);
        for (std::size_t s = 0; s < subs.size(); ++s) {
            const block& sub = subs[s];
            for (std::size_t t = 0; t < m; ++t) {
                keys_[t] = code(t)[sub.word] & sub.mask;
                bins_[t] = static_cast<std::uint32_t>(mix(keys_[t]) >> (64 - b));
            }
            sort_by_bins(bins_.data(), m, b, starts_, cursor_, order_);
            for (std::size_t bin = 0; bin + 1 < starts_.size(); ++bin) {
                const std::size_t from = starts_[bin], to = starts_[bin + 1];
                for (std::size_t x = from; x < to; ++x) {
                    for (std::size_t y = x + 1; y < to; ++y) {
                        const std::uint32_t u = order_[x], v = order_[y];
                        if (keys_[u] != keys_[v] || agree_before(u, v, subs, s)) continue;
                        test(rows, u, v, k);
                    }
                }
            }
        }
    }

   private:
    const std::uint64_t* code(std::size_t t) const noexcept { return local_ + t * words_; }

    std::int8_t side(std::size_t row) const noexcept { return side_of_ ? side_of_[row] : std::int8_t{-1}; }

    // Copies of one code on one side of the part are joined as their first member alone, each
    // other member reported beside it at distance 0 (where that pair is this bucket's and the
    // part's side rule lets it count). Returns the members kept, which are in kept_codes_ and
    // kept_rows_ when fewer than m. A copy on the part's other side is a code of its own here,
    // so the side rule holds for the pairs of the members kept: the copies of a million-row
    // bucket cost a sort, not a million squared pair tests.
    std::size_t collapse(const std::uint64_t* part_codes, const std::size_t* rows, std::size_t m, std::size_t k) {
        const auto at = [&](std::size_t t) { return part_codes + t * words_; };
        tagged_.resize(m);
        for (std::size_t t = 0; t < m; ++t) {
            std::uint64_t h = mix(static_cast<std::uint64_t>(side(rows[t])) + 2);
            for (std::size_t w = 0; w < words_; ++w) h = mix(h ^ at(t)[w]);
            tagged_[t] = {h, t};
        }
        std::sort(tagged_.begin(), tagged_.end());
        bool any = false;
        for (std::size_t t = 1; t < m && !any; ++t) any = tagged_[t].first == tagged_[t - 1].first;
        if (!any) return m;
        kept_.assign(m, 1);
        for (std::size_t from = 0; from < m;) {
            std::size_t to = from + 1;
            while (to < m && tagged_[to].first == tagged_[from].first) ++to;
            // Members of one hash, nearly always copies of one code: each joins the first
            // earlier member it equals (hashes that collide leave two or more leaders).
            leaders_.clear();
            for (std::size_t t = from; t < to; ++t) {
                const std::size_t x = tagged_[t].second;
                bool copy = false;
                for (std::size_t lead : leaders_) {
                    if (side(rows[lead]) != side(rows[x]) || std::memcmp(at(lead), at(x), words_ * sizeof(std::uint64_t)) != 0) {
                        continue;
                    }
                    copy = true;
                    kept_[x] = 0;
                    const bool owned = blocks_.empty() || owning_block(blocks_, zeros_, at(x), at(x)) == k;
                    if (owned && side(rows[x]) == -1) {
                        out_.push_back({std::min(rows[lead], rows[x]), std::max(rows[lead], rows[x]), 0});
                    }
                    break;
                }
                if (!copy) leaders_.push_back(x);
            }
            from = to;
        }
        kept_codes_.clear();
        kept_rows_.clear();
        for (std::size_t t = 0; t < m; ++t) {
            if (!kept_[t]) continue;
            kept_codes_.insert(kept_codes_.end(), at(t), at(t) + words_);
            kept_rows_.push_back(rows[t]);
        }
        return kept_rows_.size();
    }

    // Whether the two agree on a sub-block before s: the pair is then that sub-block's.
    bool agree_before(std::size_t x, std::size_t y, const std::vector<block>& subs, std::size_t s) const noexcept {
        for (std::size_t t = 0; t < s; ++t) {
            if (((code(x)[subs[t].word] ^ code(y)[subs[t].word]) & subs[t].mask) == 0) return true;
        }
        return false;
    }

    // Part members x and y, rows rows[x] and rows[y].
    void test(const std::size_t* rows, std::size_t x, std::size_t y, std::size_t k) {
        const std::size_t i = rows[x], j = rows[y];
        if (side_of_ != nullptr && side_of_[i] != -1 && side_of_[i] == side_of_[j]) return;
        unsigned d = 0;
        for (std::size_t w = 0; w < words_; ++w) d += popcount64_baseline(code(x)[w] ^ code(y)[w]);
        if (d > r_) return;
        if (!blocks_.empty() && owning_block(blocks_, zeros_, code(x), code(y)) != k) return;
        out_.push_back({std::min(i, j), std::max(i, j), d});
    }

    std::size_t words_;
    const std::vector<block>& blocks_;
    std::vector<int> zeros_;
    const std::int8_t* side_of_;
    unsigned r_;
    bool collapse_;
    std::vector<owned_pair>& out_;
    std::vector<std::vector<block>> sub_blocks_;
    const std::uint64_t* local_ = nullptr;
    std::vector<std::uint64_t> keys_;
    std::vector<std::uint32_t> bins_;
    std::vector<std::size_t> starts_, cursor_;
    std::vector<std::uint32_t> order_;
    std::vector<std::pair<std::uint64_t, std::size_t>> tagged_;
    std::vector<std::size_t> leaders_;
    std::vector<char> kept_;
    std::vector<std::uint64_t> kept_codes_;
    std::vector<std::size_t> kept_rows_;
};

}  // namespace

std::vector<owned_pair> owned_bucket_pairs(const std::uint64_t* codes, std::size_t n, unsigned bits,
                                           const std::vector<block>& blocks, const std::int64_t* block_of,
                                           const std::uint64_t* value_of, const std::int64_t* part_of,
                                           const std::int8_t* side_of, unsigned r, bool collapse) {
    std::vector<owned_pair> out;
    if (n < 2) return out;
    const std::size_t words = words_for_bits(bits);
    struct part_key {
        std::int64_t block, part;
        std::uint64_t value;
        bool operator==(const part_key& o) const noexcept { return block == o.block && part == o.part && value == o.value; }
        bool operator<(const part_key& o) const noexcept {
            return block != o.block ? block < o.block : value != o.value ? value < o.value : part < o.part;
        }
    };
    // The rows, with their codes and keys, scattered into bins by a hash of their bucket part:
    // read in order and written to a few thousand places, where gathering each part's rows
    // from wherever they arrived would wait on memory for every one.
    const unsigned b = std::min(bits_for(n), 16u);
    std::vector<std::uint32_t> bin(n);
    std::vector<std::size_t> starts(std::size_t{1} << b, 0);
    starts.push_back(0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t part = part_of ? static_cast<std::uint64_t>(part_of[i]) : 0;
        const std::uint64_t h = mix(value_of[i] ^ mix(static_cast<std::uint64_t>(block_of[i]) * 0x9e3779b97f4a7c15ull + part));
        bin[i] = static_cast<std::uint32_t>(h >> (64 - b));
        ++starts[bin[i] + 1];
    }
    for (std::size_t k = 0; k + 1 < starts.size(); ++k) starts[k + 1] += starts[k];
    std::vector<std::uint64_t> binned_codes(n * words);
    std::vector<std::size_t> binned_rows(n);
    std::vector<part_key> binned_keys(n);
    {
        std::vector<std::size_t> at(starts.begin(), starts.end() - 1);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t to = at[bin[i]]++;
            std::memcpy(&binned_codes[to * words], codes + i * words, words * sizeof(std::uint64_t));
            binned_rows[to] = i;
            binned_keys[to] = part_key{block_of[i], part_of ? part_of[i] : 0, value_of[i]};
        }
    }
    std::vector<std::uint32_t>().swap(bin);

    bucket_joiner joiner(bits, blocks, side_of, r, collapse, out);
    std::vector<std::size_t> by_key, sorted_rows;
    std::vector<std::uint64_t> sorted_codes;
    for (std::size_t k = 0; k + 1 < starts.size(); ++k) {
        const std::size_t from = starts[k], to = starts[k + 1];
        if (to - from < 2) continue;
        const part_key* keys = binned_keys.data() + from;
        const std::size_t m = to - from;
        if (std::all_of(keys + 1, keys + m, [&](const part_key& key) { return key == keys[0]; })) {
            joiner.join(&binned_codes[from * words], &binned_rows[from], m, static_cast<std::size_t>(keys[0].block));
            continue;
        }
        // Parts whose hashes met in one bin: sorted apart, then each joined.
        by_key.resize(m);
        std::iota(by_key.begin(), by_key.end(), std::size_t{0});
        std::sort(by_key.begin(), by_key.end(), [&](std::size_t x, std::size_t y) { return keys[x] < keys[y]; });
        sorted_codes.resize(m * words);
        sorted_rows.resize(m);
        for (std::size_t t = 0; t < m; ++t) {
            std::memcpy(&sorted_codes[t * words], &binned_codes[(from + by_key[t]) * words], words * sizeof(std::uint64_t));
            sorted_rows[t] = binned_rows[from + by_key[t]];
        }
        for (std::size_t run = 0; run < m;) {
            std::size_t end = run + 1;
            while (end < m && keys[by_key[end]] == keys[by_key[run]]) ++end;
            if (end - run >= 2) {
                joiner.join(&sorted_codes[run * words], &sorted_rows[run], end - run, static_cast<std::size_t>(keys[by_key[run]].block));
            }
            run = end;
        }
    }
    return out;
}

}  // namespace quorvalent::codes
