// Every kind of search against brute force, with tables and without, across widths and scan
// kernels; and the plans the cost model makes on uniform and on skewed data.
#include <gtest/gtest.h>

#include <bitset>
#include <numeric>

#include "codes/search.hpp"
#include "codes/state.hpp"
#include "index_test_data.hpp"

namespace qc = quorvalent::codes;
using index_tests::brute_hits;
using index_tests::brute_pairs;
using index_tests::rows_of;
using index_tests::data_set;
using index_tests::make_codes;
using index_tests::rng;

namespace {

void expect_same(const std::vector<qc::hit>& got, const std::vector<qc::hit>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t k = 0; k < got.size(); ++k) {
        ASSERT_EQ(got[k].id, want[k].id) << what << " at " << k;
        ASSERT_EQ(got[k].dist, want[k].dist) << what << " at " << k;
    }
}

struct search_case {
    unsigned bits;
    std::size_t n;
    std::size_t threshold;  // codes before tables are built
};

class Search : public ::testing::TestWithParam<std::tuple<search_case, const qc::scan_kernel*>> {};

TEST_P(Search, EveryKindAgreesWithBruteForce) {
    const auto [c, kernel] = GetParam();
    const data_set d = make_codes(c.bits, c.n);
    qc::code_index index(c.bits, {kernel, c.threshold});
    index_tests::fill(index, d);
    const qc::index_snapshot s = index.snapshot();
    ASSERT_EQ(s.size(), c.n);
    const std::vector<unsigned> radii = {0, 1, 2, 3, 4, 5, 8, 12, c.bits / 4, c.bits / 2, c.bits};
    const std::string name = "bits=" + std::to_string(c.bits) + " n=" + std::to_string(c.n);
    std::vector<std::uint64_t> batch;
    for (int rep = 0; rep < 12; ++rep) {
        std::vector<std::uint64_t> q(d.words);
        if (rep % 2 && c.n) {
            const std::size_t from = rng()() % c.n;
            std::copy(d.code(from), d.code(from) + d.words, q.begin());
            q[0] ^= 1ull << (rng()() % std::min(64u, c.bits));
            index_tests::clip(q.data(), c.bits);
        } else {
            for (auto& x : q) x = rng()();
            index_tests::clip(q.data(), c.bits);
        }
        batch.insert(batch.end(), q.begin(), q.end());
        const std::vector<qc::hit> all = brute_hits(d, q.data());
        for (unsigned r : radii) {
            std::vector<qc::hit> want;
            for (const qc::hit& h : all) {
                if (h.dist <= r) want.push_back(h);
            }
            expect_same(s.within(q.data(), r), want, name + " within r=" + std::to_string(r));
        }
        for (std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{10}, c.n + 3}) {
            const std::vector<qc::hit> want(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(k, all.size())));
            expect_same(s.nearest(q.data(), k), want, name + " nearest k=" + std::to_string(k));
        }
    }
    // Batches answer as the single queries do, on any number of threads.
    const std::size_t nq = batch.size() / d.words;
    for (unsigned threads : {1u, 3u}) {
        qc::job j(threads);
        const qc::hit_rows rows = s.within_many(batch.data(), nq, 5, j);
        ASSERT_EQ(rows.lims.size(), nq + 1);
        for (std::size_t q = 0; q < nq; ++q) {
            const auto want = s.within(batch.data() + q * d.words, 5);
            ASSERT_EQ(static_cast<std::size_t>(rows.lims[q + 1] - rows.lims[q]), want.size());
            for (std::size_t k = 0; k < want.size(); ++k) {
                ASSERT_EQ(rows.ids[static_cast<std::size_t>(rows.lims[q]) + k], want[k].id);
                ASSERT_EQ(rows.dists[static_cast<std::size_t>(rows.lims[q]) + k], static_cast<std::int32_t>(want[k].dist));
            }
        }
        qc::job j2(threads);
        const qc::knn_rows knn = s.nearest_many(batch.data(), nq, 4, j2);
        ASSERT_EQ(knn.cols, std::min<std::size_t>(4, c.n));
        for (std::size_t q = 0; q < nq; ++q) {
            const auto want = s.nearest(batch.data() + q * d.words, 4);
            for (std::size_t k = 0; k < knn.cols; ++k) ASSERT_EQ(knn.ids[q * knn.cols + k], want[k].id);
        }
    }
}

std::vector<search_case> search_cases() {
    return {
        {64, 0, 16},    {64, 1, 16},     {64, 300, 16},  {64, 3000, 64},  {64, 3000, 4096},
        {4, 200, 16},   {13, 500, 16},   {30, 800, 16},  {56, 1200, 32},  {65, 600, 16},
        {100, 700, 16}, {256, 900, 32},  {300, 400, 16}, {1024, 200, 16}, {4096, 60, 16},
    };
}

INSTANTIATE_TEST_SUITE_P(
    All, Search, ::testing::Combine(::testing::ValuesIn(search_cases()), ::testing::ValuesIn(index_tests::runnable_scan_kernels())),
    [](const ::testing::TestParamInfo<std::tuple<search_case, const qc::scan_kernel*>>& info) {
        const search_case& c = std::get<0>(info.param);
        return "bits" + std::to_string(c.bits) + "_n" + std::to_string(c.n) + "_t" + std::to_string(c.threshold) + "_" +
               std::get<1>(info.param)->name;
    });

// Enough codes for keys of 14 bits and more, whose tables are filled in two passes.
TEST(Search, LargeTablesAgreeWithBruteForce) {
    const data_set d = make_codes(64, 40000);
    const qc::index_snapshot s = index_tests::snapshot_of(d.codes.data(), d.size());
    ASSERT_GE(s.tables().at(0).key_bits, 13u);
    for (int rep = 0; rep < 20; ++rep) {
        const std::uint64_t q = d.codes[rng()() % d.size()] ^ (1ull << (rep % 64));
        const std::vector<qc::hit> all = brute_hits(d, &q);
        for (unsigned r : {0u, 3u, 6u, 9u}) {
            std::vector<qc::hit> want;
            for (const qc::hit& h : all) {
                if (h.dist <= r) want.push_back(h);
            }
            expect_same(s.within(&q, r), want, "within r=" + std::to_string(r));
        }
        expect_same(s.nearest(&q, 5), std::vector<qc::hit>(all.begin(), all.begin() + 5), "nearest");
    }
}

TEST(Planner, TablesAreUsedWhereTheyPay) {
    const data_set d = make_codes(64, 20000);
    const qc::index_snapshot s = index_tests::snapshot_of(d.codes.data(), d.size());
    EXPECT_FALSE(s.plan_within(4).scan) << s.plan_within(4).describe();
    EXPECT_TRUE(s.plan_within(40).scan) << s.plan_within(40).describe();
    EXPECT_FALSE(s.plan_pairs(4).scan) << s.plan_pairs(4).describe();
    for (unsigned r : {0u, 3u, 7u, 20u}) {
        const auto p = s.plan_within(r);
        if (!p.scan) {
            EXPECT_TRUE(qc::thresholds_cover(p.thresholds, r)) << p.describe();
        }
    }
    // Random 64-bit codes vary in every bit: three blocks of 21 or 22 bits cover the word.
    std::uint64_t covered = 0;
    for (const auto& t : s.tables()) {
        EXPECT_EQ(covered & t.blk.mask, 0u);
        covered |= t.blk.mask;
    }
    EXPECT_EQ(covered, ~0ull);
}

// The model prices what the tables hold: when every code sits in one bucket, probing it is a
// scan, and a join by buckets compares every pair.
TEST(Planner, SkewedCodesArePricedByTheirBuckets) {
    std::vector<std::uint64_t> skewed(50000);
    for (auto& c : skewed) c = rng()() & 0xFFF;  // 12 varying bits: one table of 4096 buckets
    const qc::index_snapshot s = index_tests::snapshot_of(skewed.data(), skewed.size());
    const auto tables = s.tables();
    ASSERT_FALSE(tables.empty());
    for (const auto& t : tables) EXPECT_EQ(t.blk.mask & ~0xFFFull, 0u);
    // Radius 12 needs every bucket of a 12-bit key: a scan is cheaper.
    EXPECT_TRUE(s.plan_within(12).scan) << s.plan_within(12).describe();
    EXPECT_FALSE(s.plan_within(0).scan) << s.plan_within(0).describe();
}

// A compact table's bucket costs more when the index does not fit the cache: the same tables
// then give way to a scan at a smaller radius, and never at a larger one.
TEST(Planner, TablesPastTheCacheArePricedAsMemory) {
    const data_set d = make_codes(256, 200000);
    const qc::index_snapshot s = index_tests::snapshot_of(d.codes.data(), d.size(), 256);
    const qc::table_set& ts = *qc::state_of(s).tables;
    ASSERT_TRUE(ts.tables.front().compact());
    unsigned cached_reach = 0, memory_reach = 0;  // the largest radius the tables serve
    for (unsigned r = 0; r <= 64; ++r) {
        const qc::search_plan cached = qc::plan_within(ts, d.size(), 4, 256, r, 0.0);
        const qc::search_plan from_memory = qc::plan_within(ts, d.size(), 4, 256, r, 1.0);
        if (!cached.scan) cached_reach = r;
        if (!from_memory.scan) memory_reach = r;
        EXPECT_TRUE(from_memory.scan || !cached.scan) << "r=" << r << ": " << from_memory.describe();
        EXPECT_LE(cached.estimated_cost, from_memory.estimated_cost) << "r=" << r;
    }
    EXPECT_GT(memory_reach, 0u);
    EXPECT_LT(memory_reach, cached_reach);

    EXPECT_EQ(qc::memory_share(100, 0), 0.0);    // a cache of unknown size
    EXPECT_EQ(qc::memory_share(100, 100), 0.0);  // all of it in the cache
    EXPECT_DOUBLE_EQ(qc::memory_share(400, 100), 0.75);
    // As Linux's sysfs writes a cache's size; anything else is unknown.
    EXPECT_EQ(qc::parse_cache_size("32768K\n"), std::size_t{32} << 20);
    EXPECT_EQ(qc::parse_cache_size("2M"), std::size_t{2} << 20);
    EXPECT_EQ(qc::parse_cache_size("512"), 512u);
    for (const char* bad : {"", "K", "12X", "1 K", "-4K", "99999999999999999999999G"}) {
        EXPECT_EQ(qc::parse_cache_size(bad), 0u) << bad;
    }
}

// Codes a removal or a grouping hides still sit in the buckets: the join is priced by the live
// ones, or a million copies of one hash would price every table out and the join would scan.
TEST(Planner, HiddenCodesAreNotPriced) {
    data_set d = make_codes(64, 20000);
    const std::size_t distinct = d.size();
    d.codes.resize(distinct + 200000, d.codes[0]);
    const qc::index_snapshot snap = index_tests::snapshot_of(d.codes.data(), d.codes.size());
    const qc::index_state& all = qc::state_of(snap);
    qc::index_state view = all;
    auto dead = std::make_shared<std::vector<std::uint64_t>>((all.count + 63) / 64, 0);
    for (std::size_t slot = distinct; slot < all.count; ++slot) (*dead)[slot >> 6] |= std::uint64_t{1} << (slot & 63);
    view.dead = dead;
    view.dead_count = all.count - distinct;
    const qc::search_plan live = qc::pairs_plan(view, 4);
    EXPECT_FALSE(live.scan) << live.describe();
    // The distinct codes alone, indexed afresh, are what the hidden view should cost.
    const qc::search_plan want = index_tests::snapshot_of(d.codes.data(), distinct).plan_pairs(4);
    EXPECT_LT(live.estimated_cost, 3 * want.estimated_cost) << live.describe() << " vs " << want.describe();
}

TEST(Index, StatesItsBytesPerCode) {
    const data_set d = make_codes(64, 200000);
    qc::code_index index(64);
    qc::job j;
    index.append(d.codes.data(), d.size(), j);
    const double per_code = static_cast<double>(index.snapshot().memory_bytes()) / static_cast<double>(d.size());
    EXPECT_GE(per_code, 8 + 3 * 12);
    EXPECT_LE(per_code, 48);
}

// Compact tables need blocks with few bits beside their keys: 256-bit codes whose words vary in
// their low 40 bits alone (blocks of 20 bits, keys of 12 to 14) file compact entries. Every search,
// the join and the groups (with copies) agree with brute force through them.
TEST(Search, CompactTablesAgreeWithBruteForce) {
    data_set d = make_codes(256, 12000);
    for (auto& word : d.codes) word &= 0xFFFFFFFFFFull;
    for (int k = 0; k < 300; ++k) d.codes.insert(d.codes.end(), d.codes.begin(), d.codes.begin() + 4);
    qc::code_index index(256);
    qc::job j(2);
    index.append(d.codes.data(), d.size(), j);
    const qc::index_snapshot s = index.snapshot();
    double entries = 0;
    for (const auto& t : s.tables()) entries += 6 + 4.0 * static_cast<double>((std::size_t{1} << t.key_bits) + 1) / static_cast<double>(d.size());
    ASSERT_LE(static_cast<double>(s.memory_bytes()) / static_cast<double>(d.size()), 32 + entries + 0.01) << "compact tables";
    for (unsigned r : {2u, 5u, 9u}) ASSERT_FALSE(s.plan_within(r).scan) << s.plan_within(r).describe();
    for (unsigned r : {3u, 7u}) ASSERT_FALSE(s.plan_pairs(r).scan) << s.plan_pairs(r).describe();
    for (int rep = 0; rep < 10; ++rep) {
        const std::size_t from = rng()() % d.size();
        std::vector<std::uint64_t> q(d.code(from), d.code(from) + 4);
        q[rep % 4] ^= 1ull << (rng()() % 40);
        const std::vector<qc::hit> all = brute_hits(d, q.data());
        for (unsigned r : {0u, 2u, 5u, 9u, 14u, 30u}) {
            std::vector<qc::hit> want;
            for (const qc::hit& h : all) {
                if (h.dist <= r) want.push_back(h);
            }
            expect_same(s.within(q.data(), r), want, "within r=" + std::to_string(r));
        }
        expect_same(s.nearest(q.data(), 10), std::vector<qc::hit>(all.begin(), all.begin() + 10), "nearest");
    }
    for (unsigned r : {0u, 3u, 7u}) {
        const auto want = brute_pairs(d, nullptr, r);
        qc::job pj(2);
        ASSERT_EQ(rows_of(s.pairs(r, pj)), want) << "pairs r=" << r;
        // Components: each code's group is led by the lowest id joined to it.
        std::vector<std::size_t> low(d.size());
        std::iota(low.begin(), low.end(), std::size_t{0});
        const auto find = [&](std::size_t x) {
            while (low[x] != x) x = low[x] = low[low[x]];
            return x;
        };
        for (const auto& p : want) {
            const std::size_t a = find(p.i), b = find(p.j);
            low[std::max(a, b)] = std::min(a, b);
        }
        qc::job gj(2);
        const auto groups = s.groups(r, qc::group_method::components, nullptr, gj);
        ASSERT_EQ(groups.ids.size(), d.size());
        for (std::size_t k = 0; k < d.size(); ++k) ASSERT_EQ(groups.reps[k], find(groups.ids[k])) << "groups r=" << r;
    }
}

// Codes of several words, cut into blocks of about 32 bits, file only each block's bits beside
// its key: 6 bytes an entry, not 12. Blocks of whole words (as many words as tables) keep the
// word, and still answer.
TEST(Index, CodesOfSeveralWordsStoreTheirBlocksCompactly) {
    for (unsigned bits : {256u, 128u}) {
        // 2^18 codes: large arrays are whole huge pages, which these fill exactly.
        const data_set d = make_codes(bits, std::size_t{1} << 18);
        qc::code_index index(bits);
        qc::job j;
        index.append(d.codes.data(), d.size(), j);
        const double per_code = static_cast<double>(index.snapshot().memory_bytes()) / static_cast<double>(d.size());
        // The codes, then for each table a slot and a rest an entry, 2 bytes a bucket and 4 a
        // group of 64 buckets.
        double want = 8.0 * static_cast<double>(d.words);
        for (const auto& t : index.snapshot().tables()) {
            const std::size_t buckets = std::size_t{1} << t.key_bits;
            want += 6 + static_cast<double>(2 * (buckets + 1) + 4 * (buckets / 64 + 1)) / static_cast<double>(d.size());
        }
        EXPECT_LE(per_code, want + 0.01) << bits;
    }
}

// Bucket offsets are a base a group of 64 buckets plus a 16-bit delta a bucket: a group whose
// entries a delta cannot span (one bucket of copies, or crowded neighbours) must still give
// every bucket its own entries, neither more nor fewer, and so must one that just fits.
TEST(Tables, OffsetsOfCrowdedBucketsStayExact) {
    // A 20-bit block keyed by its top 14 bits: buckets 0..16383.
    const qc::table_layout layout{{0, (1ull << 20) - 1}, ((1ull << 20) - 1) & ~((1ull << 6) - 1)};
    std::mt19937_64 r(7);
    std::vector<std::vector<std::uint64_t>> cases;
    std::vector<std::uint64_t> uniform(50000);
    for (auto& c : uniform) c = r();
    cases.push_back(uniform);
    // One bucket past 65,535 entries, beside uniform codes.
    std::vector<std::uint64_t> one_bucket = uniform;
    one_bucket.insert(one_bucket.end(), 70000, 0x12344ull << 6);
    cases.push_back(one_bucket);
    // No bucket past it, but 40 neighbouring buckets together past it.
    std::vector<std::uint64_t> one_group = uniform;
    for (std::uint64_t b = 0; b < 40; ++b) one_group.insert(one_group.end(), 3000, ((576 + b) << 6) | b);
    cases.push_back(one_group);
    // A bucket of copies that a delta just spans.
    std::vector<std::uint64_t> nearly = uniform;
    nearly.insert(nearly.end(), 60000, 0x12344ull << 6);
    cases.push_back(nearly);
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const std::vector<std::uint64_t>& codes = cases[k];
        qc::table t(layout);
        qc::large_array<std::uint64_t> words(codes.size());
        qc::large_array<qc::slot_t> slots(codes.size());
        qc::job j;
        t.build(codes.data(), codes.size(), 1, words, slots, j);
        std::vector<std::vector<qc::slot_t>> want(t.buckets());
        for (std::size_t i = 0; i < codes.size(); ++i) want[t.key(codes[i])].push_back(static_cast<qc::slot_t>(i));
        ASSERT_EQ(t.end(t.buckets() - 1), codes.size()) << k;
        for (std::size_t b = 0; b < t.buckets(); ++b) {
            std::vector<qc::slot_t> got;
            for (std::uint32_t e = t.begin(b); e < t.end(b); ++e) {
                got.push_back(t.entry_slot(e));
                ASSERT_EQ(t.entry_word(e), codes[t.entry_slot(e)]) << k;
            }
            ASSERT_EQ(got, want[b]) << "case " << k << ", bucket " << b;
        }
    }
}

// A table of the codes (`words` words each), built as an index builds it.
qc::table built_table(const qc::table_layout& layout, const std::vector<std::uint64_t>& codes, std::size_t words) {
    const std::size_t n = codes.size() / words;
    qc::table t(layout);
    qc::large_array<std::uint64_t> scratch_words(n);
    qc::large_array<qc::slot_t> scratch_slots(n);
    qc::job j;
    t.build(codes.data(), n, words, scratch_words, scratch_slots, j);
    return t;
}

// The bucket walk every probe goes through: each bucket whose key lies `from` to `to` bits from
// the query's, once, with its own entries and its key distance, whether the walk fills the
// ring of buckets in flight many times over, partly, or not at all (from = to = 0). And the
// probe of a table of whole words on top of it: every entry within the bound, once.
TEST(Tables, BucketWalkVisitsEveryBucketInItsDistancesOnce) {
    // A 16-bit block keyed by its top 10 bits; a thousand codes leave buckets empty and full.
    const std::uint64_t block = 0xffff;
    const qc::table_layout layout{{0, block}, 0xffc0};
    std::mt19937_64 r(9);
    std::vector<std::uint64_t> codes(1000);
    for (auto& c : codes) c = r();
    for (int i = 0; i < 40; ++i) codes.push_back(codes[0] ^ (1ull << (i % 64)));  // a crowded bucket
    const std::size_t n = codes.size();
    const qc::table t = built_table(layout, codes, 1);
    ASSERT_FALSE(t.compact());
    for (const std::uint64_t q : {codes[0], r(), r()}) {
        const std::size_t qkey = t.key(q);
        const std::vector<std::pair<unsigned, unsigned>> ranges = {{0, 0}, {0, 1}, {1, 1}, {0, 3}, {2, 3}, {3, 12}};
        for (const auto& [from, to] : ranges) {
            std::vector<int> seen(t.buckets(), 0);
            auto read = [&](std::size_t bucket, std::uint32_t begin, std::uint32_t end, unsigned k) {
                ASSERT_LT(bucket, t.buckets());
                ++seen[bucket];
                ASSERT_EQ(k, static_cast<unsigned>(std::bitset<64>(bucket ^ qkey).count()));
                ASSERT_EQ(begin, t.begin(bucket));
                ASSERT_EQ(end, t.end(bucket));
            };
            qc::each_bucket_within<16>(t, q, from, to, read);
            for (std::size_t b = 0; b < t.buckets(); ++b) {
                const auto k = static_cast<unsigned>(std::bitset<64>(b ^ qkey).count());
                ASSERT_EQ(seen[b], k >= from && k <= to ? 1 : 0) << "bucket " << b << ", keys " << from << "-" << to;
            }
        }
        for (unsigned threshold = 0; threshold <= 4; ++threshold) {
            const unsigned bound = 30;
            std::vector<qc::slot_t> got;
            qc::probe_word_table(t, threshold, q, [&] { return bound; }, [&](std::uint32_t e, std::uint64_t x) {
                ASSERT_EQ(x, t.entry_word(e) ^ q);
                got.push_back(t.entry_slot(e));
            });
            std::vector<qc::slot_t> want;
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t x = codes[i] ^ q;
                if (std::bitset<64>(x & layout.key_mask).count() <= threshold && std::bitset<64>(x).count() <= bound) {
                    want.push_back(static_cast<qc::slot_t>(i));
                }
            }
            std::sort(got.begin(), got.end());
            ASSERT_EQ(got, want) << "query " << q << ", threshold " << threshold;
        }
    }
}

// A compact table's probe tests a bucket's rests eight at a time: every form of that test must
// agree with the scalar one, at every count from 0 to 16 differing bits and every limit,
// including limits past the rest's width.
TEST(Tables, RestTestsAgreeWithTheReference) {
    std::mt19937_64 r(11);
    for (int rep = 0; rep < 20000; ++rep) {
        const auto q = static_cast<std::uint16_t>(r());
        std::uint16_t p[8];
        for (auto& x : p) {
            // Rests at a chosen number of bits from q, so that every count is met.
            std::uint16_t flip = 0;
            const unsigned bits = static_cast<unsigned>(r() % 17);
            while (static_cast<unsigned>(std::bitset<16>(flip).count()) < bits) flip |= static_cast<std::uint16_t>(1u << (r() % 16));
            x = q ^ flip;
        }
        const unsigned most = static_cast<unsigned>(rep % 20);
        const unsigned want = qc::rests_within_reference(p, q, most);
        ASSERT_EQ(qc::rests_within_swar(p, q, most), want) << most;
#if defined(__SSE2__) || defined(_M_X64)
        ASSERT_EQ(qc::rests_within_sse2(p, q, most), want) << most;
#endif
        ASSERT_EQ(qc::rests_within(p, q, most), want) << most;
    }
}

// A compact table's probe against its own entries read one by one: every entry whose block is
// within the threshold of the query's, once, and no other. The last buckets are empty, so a
// probe of them reads past the last entry (the table's padding), as ones of the empty
// buckets before them read the next buckets' entries.
TEST(Tables, CompactProbeFindsEveryEntryWithinItsThreshold) {
    // A 20-bit block keyed by its top 14 bits: the entries keep the other 6.
    const std::uint64_t block = (1ull << 20) - 1;
    const qc::table_layout layout{{0, block}, block & ~((1ull << 6) - 1)};
    std::mt19937_64 r(5);
    std::vector<std::uint64_t> codes;  // two words a code; the block is in the first
    for (int i = 0; i < 40000; ++i) {
        const std::uint64_t word = r() & ((1ull << 20) - 1);
        if ((word >> 6) >= 16000 && i % 50 != 0) continue;  // the last buckets nearly empty
        codes.push_back(word);
        codes.push_back(r());
    }
    for (int i = 0; i < 30; ++i) codes.insert(codes.end(), {0x12345, 7});  // a bucket of 30
    const std::size_t n = codes.size() / 2;
    const qc::table t = built_table(layout, codes, 2);
    ASSERT_TRUE(t.compact());
    std::vector<std::uint64_t> queries = {block, 0x12345, 0x12345 ^ 0x41, (16383ull << 6) | 0x15};
    for (int k = 0; k < 20; ++k) queries.push_back(r() & block);
    for (const std::uint64_t q : queries) {
        for (unsigned threshold = 0; threshold <= 5; ++threshold) {
            std::vector<qc::slot_t> got;
            qc::probe_compact_table(t, threshold, q, [&](std::uint32_t e, std::size_t bucket) {
                ASSERT_GE(e, t.begin(bucket));
                ASSERT_LT(e, t.end(bucket));
                got.push_back(t.entry_slot(e));
            });
            std::vector<qc::slot_t> want;
            for (std::size_t i = 0; i < n; ++i) {
                if (std::bitset<64>((codes[2 * i] ^ q) & block).count() <= threshold) want.push_back(static_cast<qc::slot_t>(i));
            }
            std::sort(got.begin(), got.end());
            ASSERT_EQ(got, want) << "query " << q << ", threshold " << threshold;
        }
    }
}

}  // namespace
