// Every scan kernel against the scalar reference, around its block sizes and widths.
#include <gtest/gtest.h>

#include "index_test_data.hpp"

namespace qc = quorvalent::codes;
using index_tests::rng;

namespace {

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

TEST_P(ScanKernel, CountsAsTheModelDoes) {
    std::vector<std::uint64_t> codes(100);
    for (auto& c : codes) c = rng()();
    const std::uint64_t q = rng()();
    std::vector<std::uint32_t> hits(codes.size());
    const std::size_t n = GetParam()->within(codes.data(), codes.size(), q, 30, hits.data());
    std::vector<std::uint32_t> expected;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        if (index_tests::model_popcount(codes[i] ^ q) <= 30) expected.push_back(static_cast<std::uint32_t>(i));
    }
    hits.resize(n);
    EXPECT_EQ(hits, expected);
}

INSTANTIATE_TEST_SUITE_P(All, ScanKernel, ::testing::ValuesIn(index_tests::runnable_scan_kernels()),
                         [](const ::testing::TestParamInfo<const qc::scan_kernel*>& info) {
                             return std::string(info.param->name);
                         });

TEST(ScanKernelChoice, MadeUpCpus) {
    EXPECT_STREQ(qc::choose_scan_kernel(0).name, "unrolled");
#if QV_X86_64
    EXPECT_STREQ(qc::choose_scan_kernel(QV_ISA_FEATURES(avx2)).name, "avx2");
    EXPECT_STREQ(qc::choose_scan_kernel(QV_ISA_FEATURES(avx2) & ~quorvalent::feature_popcnt).name, "unrolled");
#endif
}

}  // namespace
