// Hex distance core tests. The kernel tests run once for every kernel this CPU can execute, so
// that a kernel which is never chosen here is still held to the reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "hex/kernels.hpp"
#include "hex/reference.hpp"
#include "quorvalent/hex_distance.hpp"

namespace qv = quorvalent;

namespace {

//--- A model that shares no code with the implementation ----------------------------------

int model_digit(unsigned char c) {
    static const std::string lower = "0123456789abcdef";
    static const std::string upper = "0123456789ABCDEF";
    if (c == 0) return -1;
    const auto l = lower.find(static_cast<char>(c));
    if (l != std::string::npos) return static_cast<int>(l);
    const auto u = upper.find(static_cast<char>(c));
    if (u != std::string::npos) return static_cast<int>(u);
    return -1;
}

std::int64_t model_distance(const std::string& a, const std::string& b) {
    std::int64_t d = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const int x = model_digit(static_cast<unsigned char>(a[i]));
        const int y = model_digit(static_cast<unsigned char>(b[i]));
        if (x < 0 || y < 0) return -1;
        d += static_cast<std::int64_t>(std::bitset<4>(static_cast<unsigned>(x ^ y)).count());
    }
    return d;
}

// The bounded test as the module's users are promised it: a limit above 4n or identical
// strings answer within unread; otherwise digits in order, decode before add, stop past the
// limit.
qv::outcome model_within(const std::string& a, const std::string& b, std::uint64_t limit) {
    if (limit > 4 * static_cast<std::uint64_t>(a.size()) || a == b) return qv::outcome::within;
    std::uint64_t d = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const int x = model_digit(static_cast<unsigned char>(a[i]));
        const int y = model_digit(static_cast<unsigned char>(b[i]));
        if (x < 0 || y < 0) return qv::outcome::invalid;
        d += std::bitset<4>(static_cast<unsigned>(x ^ y)).count();
        if (d > limit) return qv::outcome::beyond;
    }
    return qv::outcome::within;
}

//--- Inputs ------------------------------------------------------------------------------

std::mt19937_64& rng() {
    static std::mt19937_64 g(0x5eed);
    return g;
}

std::string random_hex(std::size_t n) {
    static const char digits[] = "0123456789abcdefABCDEF";
    std::uniform_int_distribution<int> pick(0, 21);
    std::string s(n, '0');
    for (auto& c : s) c = digits[pick(rng())];
    return s;
}

// A copy of s with a few digits changed, so that distances are small as well as large.
std::string near_copy(const std::string& s, std::size_t changes) {
    std::string t = s;
    if (t.empty()) return t;
    std::uniform_int_distribution<std::size_t> where(0, t.size() - 1);
    for (std::size_t i = 0; i < changes; ++i) t[where(rng())] = random_hex(1)[0];
    return t;
}

// Every length up to 300, and the lengths around each kernel's block and chunk sizes.
std::vector<std::size_t> test_lengths() {
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    // 960 and 1920: one and two chunks of the NEON kernel's byte-wide sums.
    for (std::size_t edge : {511, 512, 960, 1920, 2016, 4096, 4096 + 64, 8192}) {
        for (std::size_t n = edge - 2; n <= edge + 2; ++n) lengths.push_back(n);
    }
    return lengths;
}

// Bytes that sit next to the digit ranges or outside ASCII, where a decoder is likeliest to slip.
const unsigned char bad_bytes[] = {0x00, ' ', '/',  ':',  '@',  'G',  '`',
                                   'g',  'x', 0x7F, 0x80, 0xB0, 0xC6, 0xFF};

// Positions that exercise every place an invalid byte can sit: each position in short strings,
// and the ends and block borders in long ones.
std::vector<std::size_t> positions(std::size_t n) {
    std::vector<std::size_t> p;
    if (n <= 140) {
        for (std::size_t i = 0; i < n; ++i) p.push_back(i);
        return p;
    }
    for (std::size_t i : {std::size_t{0}, std::size_t{1}, n / 2, n - 2, n - 1}) p.push_back(i);
    for (std::size_t edge = 8; edge < n; edge *= 2) {
        p.push_back(edge - 1);
        p.push_back(edge);
    }
    return p;
}

//--- The reference itself --------------------------------------------------------------

TEST(Reference, DecodesEveryByteValue) {
    for (unsigned c = 0; c < 256; ++c) {
        EXPECT_EQ(qv::hex_digit_value(static_cast<unsigned char>(c)),
                  model_digit(static_cast<unsigned char>(c)))
            << "byte " << c;
    }
}

TEST(Reference, BitCountTableCountsBits) {
    for (unsigned v = 0; v < 16; ++v) {
        EXPECT_EQ(qv::nibble_bit_count[v], std::bitset<4>(v).count());
    }
}

TEST(Reference, KnownDistances) {
    struct {
        const char *a, *b;
        std::int64_t d;
    } cases[] = {{"", "", 0},      {"ff", "00", 8},    {"0", "f", 4},
                 {"1", "2", 2},    {"A", "a", 0},      {"DEADBEEF", "deadbeef", 0},
                 {"zz", "zz", -1}, {"fg", "ff", -1},   {"@0", "00", -1},
                 {"0`", "00", -1}, {"ff", "f\x80", -1}};
    for (const auto& c : cases) {
        EXPECT_EQ(qv::reference_hex_distance(c.a, c.b, std::char_traits<char>::length(c.a)), c.d)
            << c.a << " vs " << c.b;
    }
}

TEST(Reference, BoundedTestReadsOnlyWhatItNeeds) {
    using qv::outcome;
    struct {
        const char *a, *b;
        std::uint64_t limit;
        outcome expected;
    } cases[] = {
        {"0", "f", 2, outcome::beyond},       {"0", "f", 4, outcome::within},
        {"0", "f", 5, outcome::within},       {"00", "ff", 7, outcome::beyond},
        {"00", "ff", 8, outcome::within},     {"zz", "zz", 1, outcome::within},
        {"f0zz", "00zz", 1, outcome::beyond}, {"0z", "1z", 3, outcome::invalid},
        {"zz", "yy", 9, outcome::within},     {"", "", 0, outcome::within},
        {"ab", "ab", 0, outcome::within},     {"ab", "aa", 0, outcome::beyond},
        {"Ab", "aB", 0, outcome::within},     {"7z", "8z", 3, outcome::beyond},
        {"7z", "8z", 4, outcome::invalid},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            qv::reference_hex_within_dist(c.a, c.b, std::char_traits<char>::length(c.a), c.limit),
            c.expected)
            << c.a << " vs " << c.b << " limit " << c.limit;
    }
}

TEST(Reference, LimitShortCutDoesNotOverflow) {
    const std::size_t huge = SIZE_MAX / 2;
    EXPECT_FALSE(qv::limit_exceeds_max_distance(huge, UINT64_MAX));
    EXPECT_TRUE(qv::limit_exceeds_max_distance(3, 13));
    EXPECT_FALSE(qv::limit_exceeds_max_distance(3, 12));
    EXPECT_TRUE(qv::limit_exceeds_max_distance(0, 1));
    EXPECT_FALSE(qv::limit_exceeds_max_distance(0, 0));
}

//--- Every kernel against the reference ----------------------------------------------------

std::vector<const qv::kernel*> runnable_kernels() {
    std::vector<const qv::kernel*> out;
    const auto all = qv::compiled_kernels();
    for (std::size_t i = 0; i < all.size; ++i) {
        if (qv::kernel_runs_here(*all.items[i])) out.push_back(all.items[i]);
    }
    return out;
}

TEST(Kernels, SomeVectorKernelIsTested) {
    const auto runnable = runnable_kernels();
    const bool vector = std::any_of(runnable.begin(), runnable.end(), [](const qv::kernel* k) {
        return std::string(k->name) != "scalar" && std::string(k->name) != "swar";
    });
    if (!vector) {
        std::fprintf(stderr,
                     "\n*****************************************************************\n"
                     "*** NO VECTOR KERNEL RUNS ON THIS CPU: only the portable kernels ***\n"
                     "*** were tested. The AVX2 and AVX-512 paths are UNTESTED here.   ***\n"
                     "*****************************************************************\n\n");
        GTEST_SKIP() << "no vector kernel can run on this CPU";
    }
}

class KernelTest : public ::testing::TestWithParam<const qv::kernel*> {
   protected:
    const qv::kernel& k() const { return *GetParam(); }

    // Bounded count against the reference at the limits that matter around distance d.
    void check_limits(const std::string& a, const std::string& b, std::int64_t d) const {
        const std::size_t n = a.size();
        std::vector<std::uint64_t> limits = {0, 1, 4 * n, 4 * n + 1, UINT64_MAX};
        if (d > 0) limits.push_back(static_cast<std::uint64_t>(d - 1));
        if (d >= 0) {
            limits.push_back(static_cast<std::uint64_t>(d));
            limits.push_back(static_cast<std::uint64_t>(d + 1));
        }
        for (std::uint64_t limit : limits) {
            const qv::bounded_result r = k().count_within(a.data(), b.data(), n, limit);
            ASSERT_EQ(r.answer, qv::reference_count_within(a.data(), b.data(), n, limit))
                << "n=" << n << " limit=" << limit << " a=" << a << " b=" << b;
            if (r.validated_all) {
                ASSERT_GE(model_distance(a, b), 0) << "claims all valid";
            }
            if (r.answer == qv::outcome::within) {
                ASSERT_TRUE(r.validated_all);
            }
        }
    }
};

TEST_P(KernelTest, DistanceMatchesModelOnValidStrings) {
    for (std::size_t n : test_lengths()) {
        for (std::size_t changes : {std::size_t{0}, std::size_t{1}, n / 8 + 1, n}) {
            const std::string a = random_hex(n);
            const std::string b = changes == n ? random_hex(n) : near_copy(a, changes);
            const std::int64_t d = model_distance(a, b);
            ASSERT_EQ(k().distance(a.data(), b.data(), n), d) << "n=" << n;
            check_limits(a, b, d);
        }
    }
}

TEST_P(KernelTest, MaximalDistanceOverLongStrings) {
    // Long enough to overflow any narrow per-byte or per-lane accumulator.
    const std::size_t n = 1 << 20;
    const std::string a(n, 'f'), b(n, '0');
    EXPECT_EQ(k().distance(a.data(), b.data(), n), static_cast<std::int64_t>(4 * n));
    EXPECT_EQ(k().count_within(a.data(), b.data(), n, 4 * n).answer, qv::outcome::within);
    EXPECT_EQ(k().count_within(a.data(), b.data(), n, 4 * n - 1).answer, qv::outcome::beyond);
}

TEST_P(KernelTest, InvalidByteAtEveryPosition) {
    for (std::size_t n : test_lengths()) {
        if (n == 0) continue;
        const std::string base_a = random_hex(n);
        const std::string base_b = near_copy(base_a, n / 4 + 1);
        for (std::size_t pos : positions(n)) {
            const unsigned char bad = bad_bytes[pos % std::size(bad_bytes)];
            for (int in_b = 0; in_b < 2; ++in_b) {
                std::string a = base_a, b = base_b;
                (in_b ? b : a)[pos] = static_cast<char>(bad);
                ASSERT_EQ(k().distance(a.data(), b.data(), n), -1)
                    << "n=" << n << " pos=" << pos << " byte=" << int(bad);
                check_limits(a, b, model_distance(a.substr(0, pos), b.substr(0, pos)));
            }
        }
    }
}

TEST_P(KernelTest, EveryBadByteValueIsRefused) {
    for (std::size_t n : {std::size_t{1}, std::size_t{33}, std::size_t{64}, std::size_t{200}}) {
        for (unsigned c = 0; c < 256; ++c) {
            if (model_digit(static_cast<unsigned char>(c)) >= 0) continue;
            std::string a = random_hex(n);
            const std::string b = a;
            a[n - 1] = static_cast<char>(c);
            ASSERT_EQ(k().distance(a.data(), b.data(), n), -1) << "byte " << c << " n=" << n;
            ASSERT_EQ(k().count_within(a.data(), b.data(), n, UINT64_MAX).answer,
                      qv::outcome::invalid);
        }
    }
}

TEST_P(KernelTest, BeyondBeforeInvalidWins) {
    // The count passes the limit just before, at or after the invalid digit.
    for (std::size_t n : test_lengths()) {
        if (n < 2) continue;
        for (std::size_t pos : positions(n)) {
            std::string a(n, '0'), b(n, '0');
            a[pos] = 'z';
            if (pos > 0) b[pos - 1] = 'f';  // distance 4 just before the bad digit
            for (std::uint64_t limit : {0, 3, 4}) {
                const qv::bounded_result r = k().count_within(a.data(), b.data(), n, limit);
                ASSERT_EQ(r.answer, qv::reference_count_within(a.data(), b.data(), n, limit))
                    << "n=" << n << " pos=" << pos << " limit=" << limit;
                ASSERT_FALSE(r.validated_all);
            }
        }
    }
}

TEST_P(KernelTest, FindsNulAnywhere) {
    for (std::size_t n : test_lengths()) {
        const std::string a = random_hex(n), b = random_hex(n);
        ASSERT_FALSE(k().contains_nul(a.data(), b.data(), n)) << "n=" << n;
        for (std::size_t pos : positions(n)) {
            std::string x = a, y = b;
            (pos % 2 ? y : x)[pos] = '\0';
            ASSERT_TRUE(k().contains_nul(x.data(), y.data(), n)) << "n=" << n << " pos=" << pos;
        }
    }
}

TEST_P(KernelTest, ReadsNothingBeyondTheLength) {
    // Strings placed at the very end of a buffer, followed by bytes that would change every
    // answer if they were read.
    for (std::size_t n = 0; n <= 130; ++n) {
        std::string a_buf = random_hex(n) + std::string(64, 'z');
        std::string b_buf = random_hex(n) + std::string(64, '\0');
        const std::int64_t d = model_distance(a_buf.substr(0, n), b_buf.substr(0, n));
        ASSERT_EQ(k().distance(a_buf.data(), b_buf.data(), n), d) << "n=" << n;
        ASSERT_FALSE(k().contains_nul(a_buf.data(), b_buf.data(), n));
        ASSERT_EQ(
            k().count_within(a_buf.data(), b_buf.data(), n, static_cast<std::uint64_t>(d)).answer,
            qv::outcome::within);
    }
}

TEST_P(KernelTest, LongStringsAreReadToTheEnd) {
    // Long enough for the loops kept for strings that come from L3 or memory, with the
    // deciding byte in them, near the end, and at the very end.
    const std::size_t n = 300 * 1024 + 5;
    const std::string a = random_hex(n);
    const std::string b = near_copy(a, 64);
    for (std::size_t pos : {std::size_t{7}, n / 2 + 1, n - 1500, n - 65, n - 1}) {
        for (int in_b = 0; in_b < 2; ++in_b) {
            std::string x = a, y = b;
            (in_b ? y : x)[pos] = '\0';
            ASSERT_TRUE(k().contains_nul(x.data(), y.data(), n)) << "pos=" << pos;
            ASSERT_EQ(k().distance(x.data(), y.data(), n), -1) << "pos=" << pos;
            ASSERT_EQ(k().count_within(x.data(), y.data(), n, 4 * n).answer,
                      qv::outcome::invalid);
        }
    }
    ASSERT_FALSE(k().contains_nul(a.data(), b.data(), n));
}

TEST_P(KernelTest, EveryBytePairDecodes) {
    // Both strings equal but for one position, which holds every pair of byte values; the
    // lengths take the short path, one block, blocks with a tail, and an aligning head.
    for (std::size_t n : {std::size_t{16}, std::size_t{40}, std::size_t{200}, std::size_t{600}}) {
        std::string a = random_hex(n);
        std::string b = a;
        const std::size_t pos = (n * 5) / 7;
        for (unsigned x = 0; x < 256; ++x) {
            for (unsigned y = 0; y < 256; ++y) {
                a[pos] = static_cast<char>(x);
                b[pos] = static_cast<char>(y);
                const int vx = model_digit(static_cast<unsigned char>(x));
                const int vy = model_digit(static_cast<unsigned char>(y));
                const std::int64_t expected =
                    vx < 0 || vy < 0 ? -1 : std::bitset<4>(static_cast<unsigned>(vx ^ vy)).count();
                ASSERT_EQ(k().distance(a.data(), b.data(), n), expected)
                    << "n=" << n << " bytes " << x << ", " << y;
                const qv::outcome within = k().count_within(a.data(), b.data(), n, 4 * n).answer;
                ASSERT_EQ(within, expected < 0 ? qv::outcome::invalid : qv::outcome::within)
                    << "n=" << n << " bytes " << x << ", " << y;
            }
        }
    }
}

TEST_P(KernelTest, EveryPlacementInMemory) {
    // Strings at every offset from a cache line, both at one offset and at different ones,
    // with a bad byte or a NUL on either side of where a head block that aligns the loads
    // would end.
    std::vector<char> buf_a(9000 + 128), buf_b(9000 + 128);
    const auto line_start = [](std::vector<char>& v) {
        return v.data() + (64 - reinterpret_cast<std::uintptr_t>(v.data()) % 64) % 64;
    };
    for (std::size_t n : {std::size_t{511}, std::size_t{512}, std::size_t{700}, std::size_t{8200}}) {
        const std::string a = random_hex(n);
        const std::string b = near_copy(a, n / 3);
        const std::int64_t d = model_distance(a, b);
        for (std::size_t off_a = 0; off_a < 64; ++off_a) {
            for (std::size_t off_b : {off_a, (off_a + 16) % 64, (off_a + 33) % 64}) {
                char* pa = line_start(buf_a) + off_a;
                char* pb = line_start(buf_b) + off_b;
                std::memcpy(pa, a.data(), n);
                std::memcpy(pb, b.data(), n);
                ASSERT_EQ(k().distance(pa, pb, n), d) << "n=" << n << " offsets " << off_a;
                ASSERT_FALSE(k().contains_nul(pa, pb, n));
                ASSERT_EQ(k().count_within(pa, pb, n, static_cast<std::uint64_t>(d)).answer,
                          qv::outcome::within);
                ASSERT_EQ(k().count_within(pa, pb, n, static_cast<std::uint64_t>(d - 1)).answer,
                          qv::outcome::beyond);
                const std::size_t head = 64 - off_a;
                for (std::size_t pos : {head - 1, head, head + 1}) {
                    for (char bad : {'g', '\0'}) {
                        char* target = pos % 2 ? pb : pa;
                        const char saved = target[pos];
                        target[pos] = bad;
                        const std::string sa(pa, n), sb(pb, n);
                        ASSERT_EQ(k().distance(pa, pb, n), -1) << "n=" << n << " pos=" << pos;
                        ASSERT_EQ(k().contains_nul(pa, pb, n), bad == '\0');
                        const std::int64_t before = model_distance(sa.substr(0, pos), sb.substr(0, pos));
                        for (std::uint64_t limit : {std::uint64_t{0}, static_cast<std::uint64_t>(before),
                                                    static_cast<std::uint64_t>(before + 1)}) {
                            ASSERT_EQ(k().count_within(pa, pb, n, limit).answer,
                                      qv::reference_count_within(pa, pb, n, limit))
                                << "n=" << n << " pos=" << pos << " limit=" << limit;
                        }
                        target[pos] = saved;
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(All, KernelTest, ::testing::ValuesIn(runnable_kernels()),
                         [](const ::testing::TestParamInfo<const qv::kernel*>& info) {
                             return std::string(info.param->name);
                         });

//--- The public entry points ---------------------------------------------------------------

TEST(PublicApi, BoundedTestMatchesReferenceWithShortCuts) {
    for (std::size_t n : test_lengths()) {
        const std::string a = random_hex(n);
        std::vector<std::string> others = {a, near_copy(a, 1), random_hex(n)};
        if (n > 0) {
            std::string same_bad = a;
            same_bad[n / 2] = 'z';
            others.push_back(same_bad);
        }
        for (const std::string& b : others) {
            for (const std::string& x : {a, b}) {
                const std::int64_t d = model_distance(x, b);
                std::vector<std::uint64_t> limits = {0, 1, 7, 4 * n, 4 * n + 1};
                if (d > 0) limits.push_back(static_cast<std::uint64_t>(d - 1));
                if (d >= 0) {
                    limits.push_back(static_cast<std::uint64_t>(d));
                    limits.push_back(static_cast<std::uint64_t>(d + 1));
                }
                for (std::uint64_t limit : limits) {
                    const auto r = qv::hex_within_dist(x.data(), b.data(), n, limit);
                    ASSERT_EQ(r.answer, qv::reference_hex_within_dist(x.data(), b.data(), n, limit))
                        << "n=" << n << " limit=" << limit;
                    ASSERT_EQ(r.answer, model_within(x, b, limit))
                        << "n=" << n << " limit=" << limit;
                    if (r.validated_all) {
                        ASSERT_GE(model_distance(x, b), 0) << "claimed all digits valid";
                    }
                }
            }
        }
    }
}

TEST(PublicApi, IdenticalStringsWithInvalidDigitsAreWithin) {
    const std::string s = "00zz00";
    const auto r = qv::hex_within_dist(s.data(), s.data(), s.size(), 0);
    EXPECT_EQ(r.answer, qv::outcome::within);
    EXPECT_FALSE(r.validated_all);
    EXPECT_EQ(qv::hex_distance(s.data(), s.data(), s.size()), qv::invalid_distance);
}

TEST(PublicApi, ShortCutLeavesDigitsUnvalidated) {
    const auto r = qv::hex_within_dist("zz", "yy", 2, 9);
    EXPECT_EQ(r.answer, qv::outcome::within);
    EXPECT_FALSE(r.validated_all);
    const auto counted = qv::hex_within_dist("0f", "00", 2, 4);
    EXPECT_EQ(counted.answer, qv::outcome::within);
    EXPECT_TRUE(counted.validated_all);
}

}  // namespace
