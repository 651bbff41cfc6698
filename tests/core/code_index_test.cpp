// Index core tests: the hex packing against a model, every scan kernel against the reference
// scan, and every kind of search against brute force, with tables and without, across widths.
#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <random>
#include <string>
#include <vector>

#include "codes/scan_kernels.hpp"
#include "common/cpu_features.hpp"
#include "common/kernel_table.hpp"
#include "quorvalent/code_index.hpp"
#include "quorvalent/hex_codes.hpp"

namespace qv = quorvalent;
namespace qc = quorvalent::codes;

namespace {

std::mt19937_64& rng() {
    static std::mt19937_64 g(0xc0de);
    return g;
}

unsigned model_popcount(std::uint64_t x) { return static_cast<unsigned>(std::bitset<64>(x).count()); }

//--- Packing ---------------------------------------------------------------------------------

std::string random_digits(std::size_t n) {
    static const char digits[] = "0123456789abcdefABCDEF";
    std::string s(n, '0');
    for (auto& c : s) c = digits[rng()() % 22];
    return s;
}

// Word j is the number spelled by digits 16j.. as std::stoull reads it.
std::vector<std::uint64_t> model_pack(const std::string& s) {
    std::vector<std::uint64_t> words;
    for (std::size_t i = 0; i < s.size(); i += 16) words.push_back(std::stoull(s.substr(i, 16), nullptr, 16));
    return words;
}

TEST(Pack, MatchesTheModelAtEveryLength) {
    for (std::size_t n = 1; n <= 80; ++n) {
        for (int rep = 0; rep < 20; ++rep) {
            const std::string s = random_digits(n);
            std::vector<std::uint64_t> words(qv::words_for_digits(n), 0xdead);
            ASSERT_TRUE(qv::pack_hex(s.data(), n, words.data())) << s;
            ASSERT_EQ(words, model_pack(s)) << s;
            std::string back(n, '?');
            qv::unpack_hex(words.data(), n, back.data());
            std::string lower = s;
            std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
            ASSERT_EQ(back, lower);
        }
    }
}

TEST(Pack, RefusesEveryNonDigitAtEveryPosition) {
    for (std::size_t n : {1, 7, 8, 9, 16, 17, 33}) {
        for (std::size_t pos = 0; pos < n; ++pos) {
            for (unsigned c = 0; c < 256; ++c) {
                if (std::isxdigit(static_cast<int>(c)) && c < 128) continue;
                std::string s = random_digits(n);
                s[pos] = static_cast<char>(c);
                std::vector<std::uint64_t> words(qv::words_for_digits(n));
                ASSERT_FALSE(qv::pack_hex(s.data(), n, words.data())) << "byte " << c << " at " << pos;
                ASSERT_EQ(qv::first_invalid_digit(s.data(), n), pos);
            }
        }
    }
}

//--- Scan kernels ----------------------------------------------------------------------------

std::vector<const qc::scan_kernel*> runnable_scan_kernels() {
    std::vector<const qc::scan_kernel*> out;
    const auto all = qc::compiled_scan_kernels();
    for (std::size_t i = 0; i < all.size; ++i) {
        if (qv::supports(*all.items[i], qv::cpu_features())) out.push_back(all.items[i]);
    }
    return out;
}

class ScanKernel : public ::testing::TestWithParam<const qc::scan_kernel*> {};

TEST_P(ScanKernel, AgreesWithTheReferenceAroundItsBlockSizes) {
    const qc::scan_kernel& ref = qc::scalar_scan_kernel;
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 40; ++n) lengths.push_back(n);
    for (std::size_t n : {4095, 4096, 4097}) lengths.push_back(n);
    for (std::size_t w : {1, 2, 3, 4, 5, 9}) {
        for (std::size_t n : lengths) {
            std::vector<std::uint64_t> codes(n * w);
            std::vector<std::uint64_t> q(w);
            for (auto& x : q) x = rng()();
            for (std::size_t i = 0; i < n * w; ++i) {
                // Mostly near the query, so that every radius finds something.
                codes[i] = q[i % w] ^ (rng()() & rng()() & rng()() & rng()());
            }
            for (unsigned r : {0u, 1u, 5u, 16u, 40u, 64u * static_cast<unsigned>(w)}) {
                std::vector<std::uint32_t> want(n + 1), got(n + 1);
                const std::size_t a = w == 1 ? ref.within(codes.data(), n, q[0], r, want.data())
                                             : ref.within_wide(codes.data(), n, w, q.data(), r, want.data());
                const std::size_t b = w == 1 ? GetParam()->within(codes.data(), n, q[0], r, got.data())
                                             : GetParam()->within_wide(codes.data(), n, w, q.data(), r, got.data());
                ASSERT_EQ(a, b) << "w=" << w << " n=" << n << " r=" << r;
                want.resize(a);
                got.resize(b);
                ASSERT_EQ(want, got) << "w=" << w << " n=" << n << " r=" << r;
            }
        }
    }
}

TEST_P(ScanKernel, ReferenceCountsAsTheModelDoes) {
    std::vector<std::uint64_t> codes(100);
    for (auto& c : codes) c = rng()();
    const std::uint64_t q = rng()();
    std::vector<std::uint32_t> hits(codes.size());
    const std::size_t n = GetParam()->within(codes.data(), codes.size(), q, 30, hits.data());
    std::vector<std::uint32_t> expected;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        if (model_popcount(codes[i] ^ q) <= 30) expected.push_back(static_cast<std::uint32_t>(i));
    }
    hits.resize(n);
    EXPECT_EQ(hits, expected);
}

INSTANTIATE_TEST_SUITE_P(All, ScanKernel, ::testing::ValuesIn(runnable_scan_kernels()),
                         [](const ::testing::TestParamInfo<const qc::scan_kernel*>& info) {
                             return std::string(info.param->name);
                         });

TEST(ScanKernelChoice, MadeUpCpus) {
    EXPECT_STREQ(qc::choose_scan_kernel(0).name, "unrolled");
#if QV_X86_64
    EXPECT_STREQ(qc::choose_scan_kernel(QV_ISA_FEATURES(avx2)).name, "avx2");
    EXPECT_STREQ(qc::choose_scan_kernel(QV_ISA_FEATURES(avx2) & ~qv::feature_popcnt).name, "unrolled");
#endif
}

//--- Searches against brute force -----------------------------------------------------------

struct data_set {
    unsigned bits;
    std::size_t words;
    std::vector<std::uint64_t> codes;
    std::size_t size() const { return codes.size() / words; }
    const std::uint64_t* code(std::size_t i) const { return codes.data() + i * words; }
};

std::uint64_t top_mask(unsigned bits, std::size_t words) {
    const unsigned top = bits - 64 * static_cast<unsigned>(words - 1);
    return top >= 64 ? ~0ull : (1ull << top) - 1;
}

// Random codes with near-duplicates planted: copies of earlier codes with 1 to 8 bits flipped,
// and some exact duplicates.
data_set make_codes(unsigned bits, std::size_t n) {
    data_set d{bits, (bits + 63) / 64, {}};
    const std::uint64_t mask = top_mask(bits, d.words);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = d.codes.size();
        if (i > 0 && rng()() % 10 < 3) {
            const std::size_t from = rng()() % i;
            for (std::size_t k = 0; k < d.words; ++k) d.codes.push_back(d.codes[from * d.words + k]);
            for (std::uint64_t f = rng()() % 9; f > 0; --f) {
                const unsigned bit = static_cast<unsigned>(rng()() % bits);
                d.codes[at + bit / 64] ^= 1ull << (bit % 64);
            }
        } else {
            for (std::size_t k = 0; k < d.words; ++k) d.codes.push_back(rng()());
            d.codes[at + d.words - 1] &= mask;
        }
    }
    return d;
}

unsigned distance(const std::uint64_t* a, const std::uint64_t* b, std::size_t w) {
    unsigned d = 0;
    for (std::size_t k = 0; k < w; ++k) d += model_popcount(a[k] ^ b[k]);
    return d;
}

std::vector<qc::hit> brute_hits(const data_set& d, const std::uint64_t* q) {
    std::vector<qc::hit> all;
    for (std::size_t i = 0; i < d.size(); ++i) all.push_back({distance(d.code(i), q, d.words), static_cast<qc::code_id>(i)});
    std::sort(all.begin(), all.end());
    return all;
}

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
    qc::code_index index(c.bits, kernel, c.threshold);
    // Added in uneven parts, so that some codes sit in the scanned tail after the last build.
    std::size_t added = 0;
    for (std::size_t part : {c.n / 2, c.n / 3, c.n}) {
        const std::size_t take = std::min(part, c.n - added);
        ASSERT_TRUE(index.append(d.code(added), take));
        added += take;
    }
    ASSERT_EQ(index.size(), c.n);
    std::vector<unsigned> radii = {0, 1, 2, 3, 4, 5, 8, 12, c.bits / 4, c.bits / 2, c.bits};
    const std::string name = "bits=" + std::to_string(c.bits) + " n=" + std::to_string(c.n);
    for (int rep = 0; rep < 12; ++rep) {
        std::vector<std::uint64_t> q(d.words);
        if (rep % 2 && c.n) {
            const std::size_t from = rng()() % c.n;
            std::copy(d.code(from), d.code(from) + d.words, q.begin());
            q[0] ^= 1ull << (rng()() % std::min(64u, c.bits));
        } else {
            for (auto& x : q) x = rng()();
            q[d.words - 1] &= top_mask(c.bits, d.words);
        }
        const std::vector<qc::hit> all = brute_hits(d, q.data());
        for (unsigned r : radii) {
            std::vector<qc::hit> want;
            for (const qc::hit& h : all) {
                if (h.dist <= r) want.push_back(h);
            }
            expect_same(index.within(q.data(), r), want, name + " within r=" + std::to_string(r));
        }
        for (std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{10}, c.n + 3}) {
            const std::vector<qc::hit> want(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(k, all.size())));
            expect_same(index.nearest(q.data(), k), want, name + " nearest k=" + std::to_string(k));
        }
    }
    for (unsigned r : {0u, 3u, 8u, c.bits / 8}) {
        std::vector<qc::pair_hit> want;
        for (std::size_t i = 0; i < c.n; ++i) {
            for (std::size_t j = i + 1; j < c.n; ++j) {
                const unsigned dd = distance(d.code(i), d.code(j), d.words);
                if (dd <= r) want.push_back({static_cast<qc::code_id>(i), static_cast<qc::code_id>(j), dd});
            }
        }
        for (unsigned threads : {1u, 3u}) {
            const std::vector<qc::pair_hit> got = index.pairs(r, threads, nullptr);
            ASSERT_EQ(got.size(), want.size()) << name << " pairs r=" << r << " threads=" << threads;
            for (std::size_t k = 0; k < got.size(); ++k) {
                ASSERT_TRUE(got[k].i == want[k].i && got[k].j == want[k].j && got[k].dist == want[k].dist)
                    << name << " pairs r=" << r << " at " << k;
            }
        }
    }
}

TEST_P(Search, CrossJoinAgreesWithBruteForce) {
    const auto [c, kernel] = GetParam();
    const data_set a = make_codes(c.bits, c.n);
    const data_set b = make_codes(c.bits, c.n / 3 + 1);
    qc::code_index left(c.bits, kernel, c.threshold), right(c.bits, kernel, c.threshold);
    left.append(a.codes.data(), a.size());
    right.append(b.codes.data(), b.size());
    for (unsigned r : {0u, 4u, c.bits / 3}) {
        std::vector<qc::pair_hit> want;
        for (std::size_t i = 0; i < a.size(); ++i) {
            for (std::size_t j = 0; j < b.size(); ++j) {
                const unsigned dd = distance(a.code(i), b.code(j), a.words);
                if (dd <= r) want.push_back({static_cast<qc::code_id>(i), static_cast<qc::code_id>(j), dd});
            }
        }
        const auto got = left.cross_pairs(right, r, 2, nullptr);
        ASSERT_EQ(got.size(), want.size()) << "r=" << r;
        for (std::size_t k = 0; k < got.size(); ++k) {
            ASSERT_TRUE(got[k].i == want[k].i && got[k].j == want[k].j && got[k].dist == want[k].dist) << k;
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
    All, Search, ::testing::Combine(::testing::ValuesIn(search_cases()), ::testing::ValuesIn(runnable_scan_kernels())),
    [](const ::testing::TestParamInfo<std::tuple<search_case, const qc::scan_kernel*>>& info) {
        const search_case& c = std::get<0>(info.param);
        return "bits" + std::to_string(c.bits) + "_n" + std::to_string(c.n) + "_t" + std::to_string(c.threshold) +
               "_" + std::get<1>(info.param)->name;
    });

// Enough codes for buckets of 14 bits and more, which are filled in two passes.
TEST(Index, LargeTablesAgreeWithBruteForce) {
    const data_set d = make_codes(64, 40000);
    qc::code_index index(64);
    index.append(d.codes.data(), d.size());
    ASSERT_GE(index.layout().at(0).prefix, 13u);
    for (int rep = 0; rep < 20; ++rep) {
        const std::uint64_t q = d.codes[rng()() % d.size()] ^ (1ull << (rep % 64));
        const std::vector<qc::hit> all = brute_hits(d, &q);
        for (unsigned r : {0u, 3u, 6u, 9u}) {
            std::vector<qc::hit> want;
            for (const qc::hit& h : all) {
                if (h.dist <= r) want.push_back(h);
            }
            expect_same(index.within(&q, r), want, "within r=" + std::to_string(r));
        }
        expect_same(index.nearest(&q, 5), std::vector<qc::hit>(all.begin(), all.begin() + 5), "nearest");
    }
    std::size_t want = 0;
    for (std::size_t i = 0; i < d.size(); ++i) {
        for (std::size_t j = i + 1; j < d.size(); ++j) want += model_popcount(d.codes[i] ^ d.codes[j]) <= 6;
    }
    EXPECT_EQ(index.pairs(6, 2, nullptr).size(), want);
}

TEST(Index, TablesAreUsedWhereTheyPay) {
    const data_set d = make_codes(64, 20000);
    qc::code_index index(64);
    index.append(d.codes.data(), d.size());
    EXPECT_FALSE(index.plan_within(4).scan) << index.plan_within(4).describe();
    EXPECT_TRUE(index.plan_within(40).scan) << index.plan_within(40).describe();
    // Disjoint blocks inside one word, covering it.
    unsigned covered = 0;
    for (const qc::table_layout& t : index.layout()) {
        EXPECT_EQ(covered, t.shift);
        covered += t.width;
        EXPECT_LE(t.prefix, t.width);
    }
    EXPECT_EQ(covered, 64u);
}

// The pigeonhole argument needs disjoint blocks; the search is silently wrong without it.
TEST(Index, BlocksAreDisjointAndInsideTheirWordsAtEveryWidth) {
    for (unsigned bits = 1; bits <= 4096; bits += (bits < 300 ? 1 : 61)) {
        const data_set d = make_codes(bits, 40);
        qc::code_index index(bits, nullptr, 16);
        index.append(d.codes.data(), d.size());
        std::vector<std::vector<bool>> used(d.words, std::vector<bool>(64, false));
        for (const qc::table_layout& t : index.layout()) {
            ASSERT_LT(t.word, d.words) << "bits=" << bits;
            ASSERT_LE(t.shift + t.width, 64u - (t.word + 1 == d.words ? 64 - (bits - 64 * (d.words - 1)) : 0))
                << "bits=" << bits;
            ASSERT_GE(t.prefix, 1u);
            ASSERT_LE(t.prefix, t.width);
            for (unsigned b = t.shift; b < t.shift + t.width; ++b) {
                ASSERT_FALSE(used[t.word][b]) << "bits=" << bits << ": two blocks share bit " << b;
                used[t.word][b] = true;
            }
        }
    }
}

TEST(Index, StatesItsBytesPerCode) {
    const data_set d = make_codes(64, 200000);
    qc::code_index index(64);
    index.append(d.codes.data(), d.size());
    const double per_code = static_cast<double>(index.memory_bytes()) / static_cast<double>(d.size());
    EXPECT_GE(per_code, 8 + 3 * 12);
    EXPECT_LE(per_code, 48);
}

TEST(Index, CancelledJoinStops) {
    const data_set d = make_codes(64, 3000);
    qc::code_index index(64, nullptr, 16);
    index.append(d.codes.data(), d.size());
    std::atomic<bool> cancel{true};
    std::atomic<std::size_t> done{0}, total{0};
    index.pairs(64, 2, &cancel, &done, &total);
    EXPECT_GT(total.load(), 0u);
    EXPECT_EQ(done.load(), 0u);
}

}  // namespace
