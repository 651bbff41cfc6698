// Every scan kernel against the scalar reference, around its block sizes and widths.
#include <gtest/gtest.h>

#include "index_test_data.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace qc = quorvalent::codes;
using index_tests::rng;

namespace {

class ScanKernel : public ::testing::TestWithParam<const qc::scan_kernel*> {};

TEST_P(ScanKernel, AgreesWithTheReferenceAroundItsBlockSizes) {
    const qc::scan_kernel& ref = qc::scalar_scan_kernel;
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 40; ++n) lengths.push_back(n);
    for (std::size_t n : {4095, 4096, 4097}) lengths.push_back(n);
    for (std::size_t w = 1; w <= 9; ++w) {
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

// Three pages, the outer two inaccessible.
class fenced_page {
   public:
    fenced_page() {
#if defined(_WIN32)
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        size_ = info.dwPageSize;
        base_ = static_cast<unsigned char*>(VirtualAlloc(nullptr, 3 * size_, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS));
        DWORD old;
        if (base_ != nullptr && !VirtualProtect(base_ + size_, size_, PAGE_READWRITE, &old)) release();
#else
        size_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* map = mmap(nullptr, 3 * size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = map == MAP_FAILED ? nullptr : static_cast<unsigned char*>(map);
        if (base_ != nullptr && mprotect(base_ + size_, size_, PROT_READ | PROT_WRITE) != 0) release();
#endif
    }
    ~fenced_page() { release(); }
    fenced_page(const fenced_page&) = delete;
    fenced_page& operator=(const fenced_page&) = delete;
    unsigned char* page() const { return base_ == nullptr ? nullptr : base_ + size_; }
    std::size_t size() const { return size_; }

   private:
    void release() {
        if (base_ == nullptr) return;
#if defined(_WIN32)
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        munmap(base_, 3 * size_);
#endif
        base_ = nullptr;
    }
    unsigned char* base_ = nullptr;
    std::size_t size_ = 0;
};

// Codes that start a page preceded by an inaccessible one, and codes that end a page followed
// by one: a kernel that reads a byte outside its run faults here.
TEST_P(ScanKernel, ReadsNothingOutsideItsRun) {
    const fenced_page fence;
    ASSERT_NE(fence.page(), nullptr);
    const std::size_t page = fence.size();
    auto* first = reinterpret_cast<std::uint64_t*>(fence.page());
    const std::size_t words = page / sizeof(std::uint64_t);
    for (std::size_t k = 0; k < words; ++k) first[k] = rng()() & rng()();
    for (std::size_t w = 1; w <= 9; ++w) {
        std::vector<std::uint64_t> q(w, 0);
        for (std::size_t n = 0; n <= 40; ++n) {
            if (n * w > words) break;
            const std::uint64_t* at_start = first;
            const std::uint64_t* at_end = first + words - n * w;
            for (const std::uint64_t* codes : {at_start, at_end}) {
                std::vector<std::uint32_t> want(n + 1), got(n + 1);
                const unsigned r = 16u * static_cast<unsigned>(w);
                const std::size_t a = w == 1 ? qc::scalar_scan_kernel.within(codes, n, 0, r, want.data())
                                             : qc::scalar_scan_kernel.within_wide(codes, n, w, q.data(), r, want.data());
                const std::size_t b = w == 1 ? GetParam()->within(codes, n, 0, r, got.data())
                                             : GetParam()->within_wide(codes, n, w, q.data(), r, got.data());
                ASSERT_EQ(a, b) << "w=" << w << " n=" << n;
                want.resize(a);
                got.resize(b);
                ASSERT_EQ(want, got) << "w=" << w << " n=" << n;
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
#if QV_X86_64
    EXPECT_STREQ(qc::choose_scan_kernel(0).name, "unrolled");
    EXPECT_STREQ(qc::choose_scan_kernel(QV_ISA_FEATURES(avx2)).name, "avx2");
    EXPECT_STREQ(qc::choose_scan_kernel(QV_ISA_FEATURES(avx2) & ~quorvalent::feature_popcnt).name, "unrolled");
    // AVX-512 without VPOPCNTDQ (Skylake-X) keeps the AVX2 kernel.
    EXPECT_STREQ(qc::choose_scan_kernel(QV_ISA_FEATURES(avx512bw)).name, "avx2");
    EXPECT_STREQ(qc::choose_scan_kernel(QV_ISA_FEATURES(avx512vbmi)).name, "avx512");
#elif QV_AARCH64
    EXPECT_STREQ(qc::choose_scan_kernel(0).name, "neon");
#endif
}

}  // namespace
