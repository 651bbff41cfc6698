// Blocks: the layout a distributed join computes from (bits, count) alone, the owning-block
// rule, and the layout the index chooses from its data.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <tuple>

#include "codes/block_layout.hpp"
#include "index_test_data.hpp"

namespace qc = quorvalent::codes;
using index_tests::rng;

namespace {

// The pigeonhole argument needs disjoint blocks; the search is silently wrong without it.
void expect_disjoint_inside_words(const std::vector<qc::block>& blocks, unsigned bits, const std::string& what) {
    const std::size_t words = quorvalent::words_for_bits(bits);
    std::vector<std::uint64_t> used(words, 0);
    for (const qc::block& b : blocks) {
        ASSERT_LT(b.word, words) << what;
        ASSERT_NE(b.mask, 0u) << what;
        ASSERT_EQ(b.mask & ~quorvalent::code_word_mask(bits, b.word), 0u) << what << ": outside the code";
        ASSERT_EQ(used[b.word] & b.mask, 0u) << what << ": two blocks share a bit";
        used[b.word] |= b.mask;
    }
}

TEST(BlockLayout, SplitCoversEveryBitDisjointlyAndEvenly) {
    for (unsigned bits = 1; bits <= 4096; bits += (bits < 300 ? 1 : 61)) {
        const std::size_t words = quorvalent::words_for_bits(bits);
        for (unsigned count : {1u, 2u, 3u, 5u, 9u, 17u, 64u}) {
            if (count > bits) continue;
            const auto blocks = qc::split_into_blocks(bits, count);
            const std::string what = "bits=" + std::to_string(bits) + " count=" + std::to_string(count);
            ASSERT_EQ(blocks.size(), count) << what;
            expect_disjoint_inside_words(blocks, bits, what);
            std::size_t covered = 0;
            unsigned smallest = 64, largest = 0;
            for (const qc::block& b : blocks) {
                const unsigned n = index_tests::model_popcount(b.mask);
                covered += n;
                // A short first or last word may hold a short block; the full words must be even.
                if (quorvalent::code_word_mask(bits, b.word) == ~0ull) {
                    smallest = std::min(smallest, n);
                    largest = std::max(largest, n);
                }
            }
            if (count >= words) {
                EXPECT_EQ(covered, bits) << what;
                // Blocks never straddle words, so equal is up to splitting a word in whole parts.
                if (largest > 0) {
                    EXPECT_LE(largest, 2 * smallest + 1) << what;
                }
            }
            // A function of (bits, count) alone.
            EXPECT_EQ(qc::split_into_blocks(bits, count), blocks) << what;
        }
    }
    EXPECT_TRUE(qc::split_into_blocks(64, 0).empty());
}

TEST(BlockLayout, OwningBlockIsTheFirstWithinItsThreshold) {
    const auto blocks = qc::split_into_blocks(64, 4);  // 16 bits each
    const std::uint64_t a = 0;
    // Differs in 2 bits of block 0, none of block 1, 3 of block 2.
    const std::uint64_t b = (0b11ull << 0) | (0b111ull << 32);
    EXPECT_EQ(qc::owning_block(blocks, {0, 0, 0, 0}, &a, &b), 1u);
    EXPECT_EQ(qc::owning_block(blocks, {2, 0, 0, 0}, &a, &b), 0u);
    EXPECT_EQ(qc::owning_block(blocks, {-1, -1, 3, -1}, &a, &b), 2u);
    EXPECT_EQ(qc::owning_block(blocks, {1, -1, 2, -1}, &a, &b), 4u) << "no block qualifies";
    EXPECT_EQ(qc::block_distance(blocks[2], &a, &b), 3u);
    EXPECT_EQ(qc::block_value(blocks[2], &b), 0b111u);
    EXPECT_TRUE(qc::thresholds_cover({0, 0, 0, 0}, 3));
    EXPECT_FALSE(qc::thresholds_cover({0, 0, 0, 0}, 4));
    EXPECT_FALSE(qc::thresholds_cover({-1, 1, -1, 1}, 4));
}

// The rule a distributed join rests on: with thresholds covering r, every pair within r has
// exactly one owning block, so bucketing by (block, value) finds every pair once.
TEST(BlockLayout, EveryPairWithinRadiusHasOneOwnerByExactBlocks) {
    for (unsigned bits : {64u, 256u, 37u}) {
        const std::size_t w = quorvalent::words_for_bits(bits);
        for (unsigned r = 0; r <= 12 && r < bits; ++r) {
            const auto blocks = qc::split_into_blocks(bits, r + 1);
            const std::vector<int> exact(blocks.size(), 0);
            const auto d = index_tests::make_codes(bits, 300);
            // Group by (block, value); a pair is reported in the group of its owning block.
            std::map<std::pair<std::size_t, std::vector<std::uint64_t>>, std::vector<std::size_t>> groups;
            for (std::size_t i = 0; i < d.size(); ++i) {
                for (std::size_t k = 0; k < blocks.size(); ++k) groups[{k, {qc::block_value(blocks[k], d.code(i))}}].push_back(i);
            }
            std::size_t reported = 0;
            for (const auto& [key, members] : groups) {
                for (std::size_t x = 0; x < members.size(); ++x) {
                    for (std::size_t y = x + 1; y < members.size(); ++y) {
                        const auto* a = d.code(members[x]);
                        const auto* b = d.code(members[y]);
                        if (index_tests::distance(a, b, w) <= r && qc::owning_block(blocks, exact, a, b) == key.first) ++reported;
                    }
                }
            }
            EXPECT_EQ(reported, index_tests::brute_pairs(d, nullptr, r).size()) << "bits=" << bits << " r=" << r;
        }
    }
}

TEST(BlockLayout, GatherCollectsTheMaskedBitsInOrder) {
    for (int rep = 0; rep < 2000; ++rep) {
        const std::uint64_t mask = (rng()() & rng()()) ^ (rep % 3 ? 0 : rng()());
        const std::uint64_t x = rng()();
        std::uint64_t want = 0;
        unsigned to = 0;
        for (unsigned b = 0; b < 64; ++b) {
            if (mask >> b & 1) want |= (x >> b & 1) << to++;
        }
        ASSERT_EQ(qc::bit_gather(mask)(x), want) << std::hex << mask;
    }
    EXPECT_EQ(qc::bit_gather(~0ull)(0x1234), 0x1234u);
}

// Bits that never vary are left out of every block, so codes that vary only in their low 24
// bits get the layout of 24-bit codes.
TEST(BlockLayout, TheIndexBuildsItsBlocksFromTheBitsThatVary) {
    std::vector<std::uint64_t> low(100000), narrow(100000);
    for (std::size_t i = 0; i < low.size(); ++i) low[i] = narrow[i] = rng()() & 0xFFFFFF;
    const auto wide_tables = qc::choose_tables(qc::measure_bits(low.data(), low.size(), 1), low.size());
    const auto narrow_tables = qc::choose_tables(qc::measure_bits(narrow.data(), narrow.size(), 1), narrow.size());
    ASSERT_EQ(wide_tables.size(), 2u);
    for (std::size_t k = 0; k < wide_tables.size(); ++k) {
        EXPECT_EQ(wide_tables[k].blk.mask & ~0xFFFFFFull, 0u) << "a block holds a constant bit";
        EXPECT_EQ(wide_tables[k].blk, narrow_tables[k].blk);
        EXPECT_EQ(wide_tables[k].key_mask, narrow_tables[k].key_mask);
    }
    // Scattered constant bits: the blocks skip them, and still hold every varying bit.
    const std::uint64_t varying = 0xF0F0F0F0F0F0F0F0ull;
    for (auto& c : low) c = rng()() & varying;
    const auto tables = qc::choose_tables(qc::measure_bits(low.data(), low.size(), 1), low.size());
    std::uint64_t covered = 0;
    for (const auto& t : tables) {
        EXPECT_EQ(t.blk.mask & ~varying, 0u);
        EXPECT_EQ(t.key_mask & ~t.blk.mask, 0u);
        covered |= t.blk.mask;
    }
    EXPECT_EQ(covered, varying);
    // Identical codes: nothing varies, no tables.
    std::fill(low.begin(), low.end(), 42);
    EXPECT_TRUE(qc::choose_tables(qc::measure_bits(low.data(), low.size(), 1), low.size()).empty());
}

// Where bits vary unequally, blocks balance information, not bit counts.
TEST(BlockLayout, BlocksShareTheEntropyEvenly) {
    // The low 32 bits are nearly constant (one in 64 set), the high 32 random.
    std::vector<std::uint64_t> codes(100000);
    for (auto& c : codes) {
        std::uint64_t low = 0;
        for (unsigned b = 0; b < 32; ++b) low |= static_cast<std::uint64_t>(rng()() % 64 == 0) << b;
        c = (rng()() << 32) | low;
    }
    const auto stats = qc::measure_bits(codes.data(), codes.size(), 1);
    const auto tables = qc::choose_tables(stats, codes.size());
    ASSERT_EQ(tables.size(), 3u);
    std::vector<double> entropy;
    for (const auto& t : tables) {
        double e = 0;
        for (unsigned b = 0; b < 64; ++b) {
            if (t.blk.mask >> b & 1) e += stats.entropy[b];
        }
        entropy.push_back(e);
    }
    const auto [lo, hi] = std::minmax_element(entropy.begin(), entropy.end());
    EXPECT_LT(*hi, 1.5 * *lo) << "blocks of equal length would differ about fivefold";
}

}  // namespace

namespace {

// Codes around a few centres, a few bits from each, and many copies of one: buckets of
// hundreds of rows, past the size below which a bucket compares all its pairs.
index_tests::data_set clustered_codes(unsigned bits, std::size_t n) {
    index_tests::data_set d = index_tests::make_codes(bits, 40);
    const std::size_t w = d.words;
    for (std::size_t i = 40; i < n; ++i) {
        const std::size_t from = i < 300 ? 0 : rng()() % 40;
        for (std::size_t k = 0; k < w; ++k) d.codes.push_back(d.codes[from * w + k]);
        if (i >= 300) {
            for (std::uint64_t f = rng()() % 5; f > 0; --f) {
                const unsigned bit = static_cast<unsigned>(rng()() % bits);
                d.codes[i * w + bit / 64] ^= 1ull << (bit % 64);
            }
        }
        index_tests::clip(d.codes.data() + i * w, bits);
    }
    return d;
}

struct bucket_rows {
    std::vector<std::uint64_t> codes;
    std::vector<std::int64_t> block, part;
    std::vector<std::uint64_t> value;
    std::vector<std::int8_t> side;
    std::vector<std::size_t> code_of;  // the code each row carries
};

// Each code sent to the bucket of each block, as a distributed join sends it.
bucket_rows rows_of_codes(const index_tests::data_set& d, const std::vector<qc::block>& blocks) {
    bucket_rows rows;
    for (std::size_t i = 0; i < d.size(); ++i) {
        for (std::size_t k = 0; k < blocks.size(); ++k) {
            rows.codes.insert(rows.codes.end(), d.code(i), d.code(i) + d.words);
            rows.block.push_back(static_cast<std::int64_t>(k));
            rows.value.push_back(qc::block_value(blocks[k], d.code(i)));
            rows.part.push_back(0);
            rows.side.push_back(-1);
            rows.code_of.push_back(i);
        }
    }
    return rows;
}

std::vector<std::tuple<std::size_t, std::size_t, unsigned>> sorted(const std::vector<qc::owned_pair>& pairs) {
    std::vector<std::tuple<std::size_t, std::size_t, unsigned>> out;
    for (const auto& p : pairs) out.emplace_back(p.a, p.b, p.distance);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

// The worker's join against its definition, pair by pair of rows: the same bucket part,
// across sides where the part has two, within r, and owned by the bucket's block.
TEST(BucketJoin, ReportsExactlyThePairsItsBucketsOwn) {
    for (unsigned bits : {64u, 256u, 37u, 13u}) {
        const std::size_t w = quorvalent::words_for_bits(bits);
        for (unsigned r = 0; r <= 12 && r < bits; ++r) {
            const auto blocks = qc::split_into_blocks(bits, r + 1);
            const std::vector<int> exact(blocks.size(), 0);
            const auto d = clustered_codes(bits, 700);
            bucket_rows rows = rows_of_codes(d, blocks);
            const bool cut = r % 2 == 1;  // half the radii with buckets cut into parts
            if (cut) {
                for (std::size_t i = 0; i < rows.block.size(); ++i) {
                    rows.part[i] = static_cast<std::int64_t>(rng()() % 3);
                    rows.side[i] = static_cast<std::int8_t>(static_cast<int>(rng()() % 3) - 1);
                }
            }
            const std::size_t n = rows.block.size();
            std::vector<std::tuple<std::size_t, std::size_t, unsigned>> want;
            std::map<std::tuple<std::int64_t, std::uint64_t, std::int64_t>, std::size_t> bucket_size;
            for (std::size_t i = 0; i < n; ++i) ++bucket_size[{rows.block[i], rows.value[i], rows.part[i]}];
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t j = i + 1; j < n; ++j) {
                    if (rows.block[i] != rows.block[j] || rows.value[i] != rows.value[j] || rows.part[i] != rows.part[j]) continue;
                    if (rows.side[i] != -1 && rows.side[i] == rows.side[j]) continue;
                    const auto* a = rows.codes.data() + i * w;
                    const auto* b = rows.codes.data() + j * w;
                    const unsigned dist = index_tests::distance(a, b, w);
                    if (dist <= r && qc::owning_block(blocks, exact, a, b) == static_cast<std::size_t>(rows.block[i])) {
                        want.emplace_back(i, j, dist);
                    }
                }
            }
            std::size_t largest = 0;
            for (const auto& [key, size] : bucket_size) largest = std::max(largest, size);
            ASSERT_GT(largest, 64u) << "the data must reach the sub-block grouping";
            const auto got = qc::owned_bucket_pairs(rows.codes.data(), n, bits, blocks, rows.block.data(), rows.value.data(),
                                                    cut ? rows.part.data() : nullptr, cut ? rows.side.data() : nullptr, r);
            EXPECT_EQ(sorted(got), want) << "bits=" << bits << " r=" << r;
        }
    }
}

// Over every bucket of every code, each pair within r comes out once, however many buckets the
// two meet in: the pairs of one process's join, whatever order the rows arrive in.
TEST(BucketJoin, EveryPairWithinRadiusOnceOverAllBuckets) {
    for (unsigned bits : {64u, 256u, 37u}) {
        for (unsigned r : {0u, 1u, 4u, 8u, 12u}) {
            const auto blocks = qc::split_into_blocks(bits, r + 1);
            const auto d = clustered_codes(bits, 900);
            bucket_rows rows = rows_of_codes(d, blocks);
            // Shuffle the rows: a worker receives its buckets in any order.
            std::vector<std::size_t> perm(rows.block.size());
            std::iota(perm.begin(), perm.end(), 0);
            std::shuffle(perm.begin(), perm.end(), rng());
            bucket_rows mixed;
            for (std::size_t p : perm) {
                mixed.codes.insert(mixed.codes.end(), rows.codes.begin() + static_cast<std::ptrdiff_t>(p * d.words),
                                   rows.codes.begin() + static_cast<std::ptrdiff_t>((p + 1) * d.words));
                mixed.block.push_back(rows.block[p]);
                mixed.value.push_back(rows.value[p]);
                mixed.code_of.push_back(rows.code_of[p]);
            }
            std::vector<index_tests::pair_row> got;
            for (const auto& p : qc::owned_bucket_pairs(mixed.codes.data(), mixed.block.size(), bits, blocks, mixed.block.data(),
                                                        mixed.value.data(), nullptr, nullptr, r)) {
                const auto i = mixed.code_of[p.a], j = mixed.code_of[p.b];
                got.push_back({static_cast<qc::code_id>(std::min(i, j)), static_cast<qc::code_id>(std::max(i, j)),
                               static_cast<std::int32_t>(p.distance)});
            }
            auto by_codes = [](const index_tests::pair_row& a, const index_tests::pair_row& b) {
                return std::tie(a.i, a.j, a.d) < std::tie(b.i, b.j, b.d);
            };
            std::sort(got.begin(), got.end(), by_codes);
            auto want = index_tests::brute_pairs(d, nullptr, r);
            std::sort(want.begin(), want.end(), by_codes);
            EXPECT_EQ(got, want) << "bits=" << bits << " r=" << r;
        }
    }
}

// With no blocks, the rows form one bucket (cut into parts or not), and every pair of a part
// within r counts: a radius of the width or more, where blocks cannot cut anything.
TEST(BucketJoin, WithoutBlocksEveryPairOfAPartWithinRadius) {
    for (unsigned bits : {64u, 37u}) {
        const std::size_t w = quorvalent::words_for_bits(bits);
        const auto d = clustered_codes(bits, 200);
        const std::size_t n = d.size();
        std::vector<std::int64_t> block(n, 0), part(n);
        std::vector<std::uint64_t> value(n, 0);
        std::vector<std::int8_t> side(n);
        for (std::size_t i = 0; i < n; ++i) {
            part[i] = static_cast<std::int64_t>(rng()() % 2);
            side[i] = static_cast<std::int8_t>(static_cast<int>(rng()() % 3) - 1);
        }
        for (unsigned r : {0u, 3u, bits / 2, bits}) {
            for (bool cut : {false, true}) {
                std::vector<std::tuple<std::size_t, std::size_t, unsigned>> want;
                for (std::size_t i = 0; i < n; ++i) {
                    for (std::size_t j = i + 1; j < n; ++j) {
                        if (cut && (part[i] != part[j] || (side[i] != -1 && side[i] == side[j]))) continue;
                        const unsigned dist = index_tests::distance(d.code(i), d.code(j), w);
                        if (dist <= r) want.emplace_back(i, j, dist);
                    }
                }
                const auto got = qc::owned_bucket_pairs(d.codes.data(), n, bits, {}, block.data(), value.data(),
                                                        cut ? part.data() : nullptr, cut ? side.data() : nullptr, r);
                EXPECT_EQ(sorted(got), want) << "bits=" << bits << " r=" << r << " cut=" << cut;
            }
        }
    }
}

namespace {

// The smallest member of each element's component.
std::vector<std::size_t> components(std::size_t n, const std::vector<std::pair<std::size_t, std::size_t>>& edges) {
    std::vector<std::size_t> parent(n);
    std::iota(parent.begin(), parent.end(), std::size_t{0});
    const auto find = [&](std::size_t x) {
        while (parent[x] != x) x = parent[x] = parent[parent[x]];
        return x;
    };
    for (const auto& [a, b] : edges) {
        const std::size_t x = find(a), y = find(b);
        parent[std::max(x, y)] = std::min(x, y);
    }
    std::vector<std::size_t> low(n);
    for (std::size_t i = 0; i < n; ++i) low[i] = find(i);
    return low;
}

}  // namespace

// Joined for components, the rows of copies are each reported once beside one copy rather than
// beside every other, and the pairs reported connect exactly what all pairs within r connect:
// with buckets whole, and cut into three chunks whose parts pair them as a distributed join does.
TEST(BucketJoin, CollapsedCopiesConnectWhatThePairsConnect) {
    for (unsigned bits : {64u, 256u, 37u}) {
        const std::size_t w = quorvalent::words_for_bits(bits);
        const auto d = clustered_codes(bits, 900);  // 261 copies of code 0, and a few of others
        const std::size_t n = d.size();
        for (unsigned r : {0u, 2u, 5u, 9u}) {
            const auto blocks = qc::split_into_blocks(bits, r + 1);
            std::vector<std::pair<std::size_t, std::size_t>> all;
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t j = i + 1; j < n; ++j) {
                    if (index_tests::distance(d.code(i), d.code(j), w) <= r) all.emplace_back(i, j);
                }
            }
            const auto want = components(n, all);
            for (bool cut : {false, true}) {
                bucket_rows rows;
                constexpr std::int64_t chunks = 3;
                for (std::size_t i = 0; i < n; ++i) {
                    const auto own = static_cast<std::int64_t>(rng()() % chunks);
                    for (std::size_t k = 0; k < blocks.size(); ++k) {
                        for (std::int64_t other = 0; other < (cut ? chunks : 1); ++other) {
                            rows.codes.insert(rows.codes.end(), d.code(i), d.code(i) + w);
                            rows.block.push_back(static_cast<std::int64_t>(k));
                            rows.value.push_back(qc::block_value(blocks[k], d.code(i)));
                            const std::int64_t low = std::min(own, other), high = std::max(own, other);
                            rows.part.push_back(cut ? 1 + low * chunks + high : 0);
                            rows.side.push_back(!cut || own == other ? -1 : own == low ? 0 : 1);
                            rows.code_of.push_back(i);
                        }
                    }
                }
                const auto got = qc::owned_bucket_pairs(rows.codes.data(), rows.block.size(), bits, blocks, rows.block.data(),
                                                        rows.value.data(), rows.part.data(), rows.side.data(), r, true);
                std::vector<std::pair<std::size_t, std::size_t>> edges;
                for (const auto& p : got) {
                    const std::size_t i = rows.code_of[p.a], j = rows.code_of[p.b];
                    ASSERT_EQ(p.distance, index_tests::distance(d.code(i), d.code(j), w));
                    ASSERT_LE(p.distance, r);
                    edges.emplace_back(i, j);
                }
                EXPECT_EQ(components(n, edges), want) << "bits=" << bits << " r=" << r << " cut=" << cut;
                // All pairs hold the 261 copies' 33,930 among themselves; collapsed, a few per copy.
                EXPECT_LT(got.size(), all.size() - 30000) << "bits=" << bits << " r=" << r << " cut=" << cut;
            }
        }
    }
}
