// Joins against brute force: self and cross, whole and streamed, on every scan kernel; and
// joins that must stop: cancelled, or with a result larger than allowed.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>
#include <tuple>

#include "codes/state.hpp"
#include "index_test_data.hpp"

namespace qc = quorvalent::codes;
using index_tests::brute_pairs;
using index_tests::data_set;
using index_tests::make_codes;
using index_tests::rows_of;

namespace {

struct join_case {
    unsigned bits;
    std::size_t n;
    std::size_t threshold;
};

class Join : public ::testing::TestWithParam<std::tuple<join_case, const qc::scan_kernel*>> {};

std::vector<index_tests::pair_row> streamed(const qc::index_snapshot& a, const qc::index_snapshot* b, unsigned r,
                                            std::size_t batch) {
    qc::pair_stream stream(a, b ? std::make_unique<qc::index_snapshot>(*b) : nullptr, r, batch);
    std::vector<index_tests::pair_row> out;
    qc::job j(2);
    for (;;) {
        const qc::pair_columns part = stream.next(j);
        if (part.size() == 0) break;
        EXPECT_LE(part.size(), batch);
        for (const auto& row : rows_of(part)) out.push_back(row);
    }
    return out;
}

TEST_P(Join, SelfAndCrossAgreeWithBruteForceWholeAndStreamed) {
    const auto [c, kernel] = GetParam();
    const data_set a = make_codes(c.bits, c.n);
    const data_set b = make_codes(c.bits, c.n / 3 + 1);
    qc::code_index left(c.bits, {kernel, c.threshold}), right(c.bits, {kernel, c.threshold});
    index_tests::fill(left, a);
    index_tests::fill(right, b);
    const qc::index_snapshot sa = left.snapshot(), sb = right.snapshot();
    const std::string name = "bits=" + std::to_string(c.bits) + " n=" + std::to_string(c.n);
    for (unsigned r : {0u, 3u, 8u, c.bits / 8, c.bits / 3}) {
        const auto want = brute_pairs(a, nullptr, r);
        for (unsigned threads : {1u, 3u}) {
            qc::job j(threads);
            ASSERT_EQ(rows_of(sa.pairs(r, j)), want) << name << " pairs r=" << r << " threads=" << threads;
        }
        for (std::size_t batch : {std::size_t{1}, std::size_t{7}, want.size() + 1}) {
            ASSERT_EQ(streamed(sa, nullptr, r, batch), want) << name << " streamed r=" << r << " batch=" << batch;
        }
        const auto cross = brute_pairs(a, &b, r);
        qc::job j(2);
        ASSERT_EQ(rows_of(sa.cross_pairs(sb, r, j)), cross) << name << " cross r=" << r;
        ASSERT_EQ(streamed(sa, &sb, r, 5), cross) << name << " cross streamed r=" << r;
        // Either side may be the larger, and the queries come from the smaller.
        const auto reverse = brute_pairs(b, &a, r);
        ASSERT_EQ(rows_of(sb.cross_pairs(sa, r, j)), reverse) << name << " reverse cross r=" << r;
        ASSERT_EQ(rows_of(sa.cross_pairs(sa, r, j)), brute_pairs(a, &a, r)) << name << " cross with itself r=" << r;
    }
}

// Tables keyed on 16 of a block's 32 bits keep the other 16 beside the key, and a join tests
// eight of those rests at once against what the two buckets' keys leave of the threshold. An
// index chooses such tables only past about 260,000 codes of 256 bits, too many to check
// against every pair, so these are built by hand over clustered codes: crowded buckets, runs
// of more than eight entries, and buckets empty of all but chance neighbours.
TEST(Join, CompactTablesAgreeWithBruteForce) {
    std::mt19937_64 g(21);
    data_set d{256, 4, {}};
    std::vector<std::uint64_t> centres(4 * 60);
    for (auto& w : centres) w = g();
    for (std::size_t i = 0; i < 12000; ++i) {
        const std::size_t c = g() % 60;
        for (std::size_t k = 0; k < 4; ++k) {
            std::uint64_t flips = ~0ull;
            for (int f = 0; f < 4; ++f) flips &= g();  // each bit with probability 1/16
            d.codes.push_back(centres[4 * c + k] ^ flips);
        }
    }
    for (int copy = 0; copy < 20; ++copy) d.codes.insert(d.codes.end(), d.codes.begin(), d.codes.begin() + 4);
    const std::size_t n = d.size();

    const qc::index_snapshot base = index_tests::snapshot_of(d.codes.data(), n, 256);
    auto state = std::make_shared<qc::index_state>(qc::state_of(base));
    auto ts = std::make_shared<qc::table_set>();
    qc::large_array<std::uint64_t> words(n);
    qc::large_array<qc::slot_t> slots(n);
    qc::job build;
    for (unsigned b = 0; b < 8; ++b) {
        const std::uint64_t block = 0xFFFFFFFFull << (32 * (b % 2));
        const std::uint64_t key = (b < 4 ? 0x0000FFFFull : 0xF0F0F0F0ull) << (32 * (b % 2));
        ts->tables.emplace_back(qc::table_layout{{b / 2, block}, key});
        ts->tables.back().build(d.codes.data(), n, 4, words, slots, build);
        ASSERT_TRUE(ts->tables.back().compact());
    }
    ts->indexed = n;
    state->tables = ts;
    const qc::index_snapshot s(state);
    for (unsigned r : {0u, 3u, 9u, 20u, 31u}) {
        ASSERT_FALSE(qc::pairs_plan(*state, r).scan) << qc::pairs_plan(*state, r).describe();
        qc::job j(2);
        ASSERT_EQ(rows_of(s.pairs(r, j)), brute_pairs(d, nullptr, r)) << "r=" << r;
    }
    // Thousands of queries search compact tables of 16-bit keys together, region by region.
    data_set q{256, 4, {}};
    for (std::size_t i = 0; i < 3000; ++i) {
        const std::size_t c = g() % 60;
        for (std::size_t k = 0; k < 4; ++k) q.codes.push_back(centres[4 * c + k] ^ (g() & g() & g() & g()));
    }
    const qc::index_snapshot queries = index_tests::snapshot_of(q.codes.data(), q.size(), 256);
    for (unsigned r : {0u, 3u, 9u, 17u, 24u}) {
        ASSERT_FALSE(qc::within_plan(*state, r).scan) << qc::within_plan(*state, r).describe();
        qc::job j(2);
        ASSERT_EQ(rows_of(s.cross_pairs(queries, r, j)), brute_pairs(d, &q, r)) << "cross r=" << r;
    }
}

// A cross join of thousands of codes against tables of long keys searches them a region of
// buckets at a time, each reached from the queries whose keys differ in its high bits within
// the threshold: clustered codes, so that partners lie at every key distance, with removed
// codes on both sides and codes appended after the tables were built.
// Codes of one word and of two (whose tables keep whole words: 15-bit keys leave 17 bits).
TEST(Join, ManyQueriesAgainstLongKeysAgreeWithBruteForce) {
    for (const unsigned bits : {64u, 128u}) {
        SCOPED_TRACE("bits=" + std::to_string(bits));
        const std::size_t w = bits / 64;
        std::mt19937_64 g(7);
        std::vector<std::uint64_t> centres(2000 * w);
        for (auto& c : centres) c = g();
        auto add_near = [&](data_set& d) {
            const std::size_t c = g() % 2000;
            for (std::size_t k = 0; k < w; ++k) {
                d.codes.push_back(centres[c * w + k] ^ (g() & g() & g() & g() & (w > 1 ? g() : ~0ull)));
            }
        };
        data_set a{bits, w, {}}, b{bits, w, {}};
        for (std::size_t i = 0; i < 100000; ++i) add_near(a);
        for (std::size_t i = 0; i < 4000; ++i) {
            if (i % 10 != 0) {
                add_near(b);
                continue;
            }
            const std::size_t from = g() % a.size();
            b.codes.insert(b.codes.end(), a.code(from), a.code(from) + w);
        }
        qc::code_index big(bits), small(bits);
        qc::job j(2);
        big.append(a.codes.data(), 99000, j);
        big.append(a.code(99000), 1000, j);  // stays outside the tables
        small.append(b.codes.data(), b.size(), j);
        const qc::index_state& built = qc::state_of(big.snapshot());
        ASSERT_LT(built.indexed(), a.size());
        for (const qc::table& t : built.tables->tables) {
            ASSERT_GT(t.key_bits(), 12u);
            ASSERT_FALSE(t.compact());
        }
        std::vector<qc::code_id> gone_a, gone_b;
        for (qc::code_id id = 3; id < 100000; id += 211) gone_a.push_back(id);
        for (qc::code_id id = 5; id < 4000; id += 97) gone_b.push_back(id);
        big.remove(gone_a.data(), gone_a.size(), j);
        small.remove(gone_b.data(), gone_b.size(), j);
        const qc::index_snapshot sa = big.snapshot(), sb = small.snapshot();

        constexpr unsigned most = 8;
        std::vector<index_tests::pair_row> all;
        for (const auto& p : brute_pairs(a, &b, most)) {
            if (std::binary_search(gone_a.begin(), gone_a.end(), p.i)) continue;
            if (std::binary_search(gone_b.begin(), gone_b.end(), p.j)) continue;
            all.push_back(p);
        }
        for (unsigned r : {0u, 2u, 5u, most}) {
            ASSERT_FALSE(qc::within_plan(qc::state_of(sa), r).scan) << "r=" << r;
            std::vector<index_tests::pair_row> want, reverse;
            for (const auto& p : all) {
                if (p.d > static_cast<std::int32_t>(r)) continue;
                want.push_back(p);
                reverse.push_back({p.j, p.i, p.d});
            }
            std::sort(reverse.begin(), reverse.end(),
                      [](const auto& x, const auto& y) { return std::tie(x.i, x.j) < std::tie(y.i, y.j); });
            for (unsigned threads : {1u, 3u}) {
                qc::job t(threads);
                ASSERT_EQ(rows_of(sa.cross_pairs(sb, r, t)), want) << "r=" << r << " threads=" << threads;
                ASSERT_EQ(rows_of(sb.cross_pairs(sa, r, t)), reverse) << "reverse r=" << r << " threads=" << threads;
            }
        }
        EXPECT_GT(all.size(), 1000u);
    }
}

std::vector<join_case> join_cases() {
    return {{64, 0, 16},   {64, 1, 16},    {64, 400, 16},  {64, 2500, 64}, {13, 500, 16},
            {30, 700, 16}, {100, 500, 16}, {256, 600, 32}, {1024, 120, 16}};
}

INSTANTIATE_TEST_SUITE_P(All, Join,
                         ::testing::Combine(::testing::ValuesIn(join_cases()), ::testing::ValuesIn(index_tests::runnable_scan_kernels())),
                         [](const ::testing::TestParamInfo<std::tuple<join_case, const qc::scan_kernel*>>& info) {
                             const join_case& c = std::get<0>(info.param);
                             return "bits" + std::to_string(c.bits) + "_n" + std::to_string(c.n) + "_t" + std::to_string(c.threshold) +
                                    "_" + std::get<1>(info.param)->name;
                         });

// A cross join of a few codes against tables, on more threads than units of owners: each
// thread that takes a unit has its own sink of pairs.
TEST(Join, FewOwnersOnMoreThreadsThanUnits) {
    const data_set a = make_codes(64, 15000), b = make_codes(64, 20);
    qc::code_index left(64), right(64, {nullptr, 16});
    qc::job build(2);
    left.append(a.codes.data(), a.size(), build);
    index_tests::fill(right, b);
    for (unsigned r : {0u, 3u}) {
        ASSERT_FALSE(qc::within_plan(qc::state_of(left.snapshot()), r).scan) << "r=" << r;
        for (unsigned threads : {1u, 2u, 4u, 8u}) {
            qc::job j(threads);
            ASSERT_EQ(rows_of(right.snapshot().cross_pairs(left.snapshot(), r, j)), brute_pairs(b, &a, r))
                << "r=" << r << " threads=" << threads;
            ASSERT_EQ(rows_of(left.snapshot().cross_pairs(right.snapshot(), r, j)), brute_pairs(a, &b, r))
                << "r=" << r << " threads=" << threads;
        }
    }
}

// A self-join too large to hold whole is streamed a window of owners at a time, each window
// searching the tables together: the same pairs as the whole join, in the same order, with ids
// that descend as slots ascend.
TEST(Join, AStreamedSelfJoinInWindowsAgreesWithTheWholeJoin) {
    data_set d = make_codes(64, 15000);
    for (int copy = 0; copy < 2100; ++copy) d.codes.push_back(d.codes[0]);  // 2.2 million pairs at r = 0
    std::vector<qc::code_id> ids(d.size());
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<qc::code_id>(3 * (ids.size() - i));
    qc::code_index index(64);
    qc::job j(2);
    index.append(d.codes.data(), ids.data(), d.size(), j);
    const qc::index_snapshot s = index.snapshot();
    for (unsigned r : {0u, 3u}) {
        ASSERT_FALSE(qc::within_plan(qc::state_of(s), r).scan) << "r=" << r;
        const auto whole = rows_of(s.pairs(r, j));
        ASSERT_GT(whole.size(), std::size_t{1} << 21);
        ASSERT_EQ(streamed(s, nullptr, r, 100000), whole) << "r=" << r;
    }
}

TEST(Join, LargeTablesAgreeWithBruteForce) {
    const data_set d = make_codes(64, 40000);
    qc::code_index index(64);
    qc::job j(2);
    index.append(d.codes.data(), d.size(), j);
    std::size_t want = 0;
    for (std::size_t i = 0; i < d.size(); ++i) {
        for (std::size_t k = i + 1; k < d.size(); ++k) want += index_tests::model_popcount(d.codes[i] ^ d.codes[k]) <= 6;
    }
    EXPECT_EQ(index.snapshot().pairs(6, j).size(), want);
}

// Identical codes all land in one bucket of every table: a bucket larger than a unit of work
// is cut into rows, and every pair is still found once.
TEST(Join, RepeatedCodesFindEveryPairOnce) {
    std::vector<std::uint64_t> codes(9000, 0x0123456789abcdefull);
    for (std::size_t i = 0; i < 3000; ++i) codes[i * 3] ^= 1ull << (i % 64);
    qc::code_index index(64, {nullptr, 64});
    qc::job j(3);
    index.append(codes.data(), codes.size(), j);
    data_set d{64, 1, codes};
    qc::job j2(2);
    EXPECT_EQ(rows_of(index.snapshot().pairs(1, j2)), brute_pairs(d, nullptr, 1));
}

TEST(Join, ACancelledJoinThrowsAndReturnsNothing) {
    const data_set d = make_codes(64, 3000);
    qc::code_index index(64, {nullptr, 16});
    qc::job fill_job;
    index.append(d.codes.data(), d.size(), fill_job);
    qc::job j(2);
    j.cancel();
    EXPECT_THROW(index.snapshot().pairs(64, j), qc::operation_cancelled);
    // Cancelled from another thread while it runs: a join of every pair of 40,000 codes.
    const data_set big = make_codes(64, 40000);
    qc::code_index large(64);
    large.append(big.codes.data(), big.size(), fill_job);
    qc::job running(2);
    std::thread canceller([&] {
        while (running.done() == 0) std::this_thread::yield();
        running.cancel();
    });
    EXPECT_THROW(large.snapshot().pairs(64, running), qc::operation_cancelled);
    canceller.join();
    EXPECT_LT(running.done(), running.total());
}

TEST(Join, AResultOverItsBudgetIsRefusedBeforeItIsBuilt) {
    std::vector<std::uint64_t> same(3000, 7);  // 4,498,500 pairs at radius 0
    qc::code_index index(64);
    qc::job fill_job;
    index.append(same.data(), same.size(), fill_job);
    qc::job j(2);
    j.result_budget = 1 << 20;
    EXPECT_THROW(index.snapshot().pairs(0, j), qc::result_too_large);
    qc::job cross(2);
    cross.result_budget = 1 << 20;
    EXPECT_THROW(index.snapshot().cross_pairs(index.snapshot(), 0, cross), qc::result_too_large);
    qc::job many(2);
    many.result_budget = 1 << 20;
    EXPECT_THROW(index.snapshot().within_many(same.data(), same.size(), 0, many), qc::result_too_large);
    qc::job knn(1);
    knn.result_budget = 1000;
    EXPECT_THROW(index.snapshot().nearest_many(same.data(), 100, 100, knn), qc::result_too_large);
    // The stream holds a batch at a time, whatever the whole.
    qc::pair_stream stream(index.snapshot(), nullptr, 0, 10000);
    qc::job streamed(2);
    streamed.result_budget = 16 << 20;
    std::size_t total = 0;
    for (auto part = stream.next(streamed); part.size(); part = stream.next(streamed)) total += part.size();
    EXPECT_EQ(total, 3000u * 2999u / 2);
}

}  // namespace
