// Cycles per 64-byte block of every kernel this CPU runs, where perf counters are not to be
// had (virtual machines): each call is timed in nanoseconds, and the nanoseconds are turned
// into cycles by timing a chain of dependent additions, which retire one a cycle on every
// x86-64 and AArch64 core. The minimum over many rounds is kept, so a busy neighbour costs
// repeats rather than accuracy.
//
//   cmake -S . -B build/bench -G Ninja -DQUORVALENT_BUILD_BENCHMARKS=ON && ninja -C build/bench
//   taskset -c 1 build/bench/block_cycles [ROUNDS]
//
// Both strings sit at the same offset from a 64-byte boundary, as two CPython strings of one
// size do; offset 16 and 48 are where CPython's string data lands, 0 is the aligned case.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "hex/kernels.hpp"

namespace qv = quorvalent;

namespace {

using clock_type = std::chrono::steady_clock;

double min_seconds_per_call(const std::function<void()>& call, long calls, int rounds) {
    double best = 1e30;
    for (int r = 0; r < rounds; ++r) {
        const auto start = clock_type::now();
        for (long i = 0; i < calls; ++i) call();
        const std::chrono::duration<double> took = clock_type::now() - start;
        best = std::min(best, took.count() / static_cast<double>(calls));
    }
    return best;
}

// Seconds per cycle: one dependent addition a cycle, which the empty asm keeps the compiler
// from folding.
double seconds_per_cycle(int rounds) {
    constexpr long chain = 1 << 20;
    return min_seconds_per_call(
               [] {
                   std::uint64_t x = 0;
                   for (long i = 0; i < chain; ++i) {
                       x += 1;
#if defined(__GNUC__) || defined(__clang__)
                       __asm__ volatile("" : "+r"(x));
#endif
                   }
                   if (x != chain) std::abort();
               },
               1, rounds * 4) /
           chain;
}

struct placed {
    std::vector<char> storage;
    char* data;
    placed(const std::string& s, std::size_t offset) : storage(s.size() + 128) {
        const auto base = reinterpret_cast<std::uintptr_t>(storage.data());
        data = storage.data() + (64 - base % 64) % 64 + offset;
        std::memcpy(data, s.data(), s.size());
    }
};

volatile std::int64_t sink;

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
    const double cycle = seconds_per_cycle(rounds);
    std::printf("one dependent add: %.3f ns, so %.2f GHz\n", cycle * 1e9, 1e-9 / cycle);
    std::printf("cycles per 64-byte block of both strings (minimum of %d rounds)\n\n", rounds);
    const std::size_t sizes[] = {1024, 64 * 1024, 1024 * 1024};
    const std::size_t offsets[] = {0, 16, 48};

    std::printf("%-30s", "");
    for (std::size_t n : sizes) {
        for (std::size_t off : offsets) {
            std::printf("%9s", (std::to_string(n / 1024) + "K+" + std::to_string(off)).c_str());
        }
    }
    std::printf("\n");

    std::mt19937_64 rng(7);
    std::vector<std::function<void(const char*, const char*, std::size_t)>> rows;
    std::vector<std::string> labels;
    labels.push_back("memcmp");
    rows.push_back([](const char* a, const char* b, std::size_t n) {
        sink = std::memcmp(a, b, n);
    });
    labels.push_back("memchr x2");
    rows.push_back([](const char* a, const char* b, std::size_t n) {
        sink = (std::memchr(a, 0, n) != nullptr) + (std::memchr(b, 0, n) != nullptr);
    });
    const auto kernels = qv::compiled_kernels();
    for (std::size_t k = 0; k < kernels.size; ++k) {
        const qv::kernel* kern = kernels.items[k];
        if (!qv::kernel_runs_here(*kern) || std::strcmp(kern->name, "scalar") == 0) continue;
        labels.push_back(std::string("distance/") + kern->name);
        rows.push_back([kern](const char* a, const char* b, std::size_t n) {
            sink = kern->distance(a, b, n);
        });
        labels.push_back(std::string("within/") + kern->name);
        rows.push_back([kern](const char* a, const char* b, std::size_t n) {
            sink = static_cast<int>(kern->count_within(a, b, n, 4 * n).answer);
        });
        labels.push_back(std::string("nul_scan/") + kern->name);
        rows.push_back([kern](const char* a, const char* b, std::size_t n) {
            sink = kern->contains_nul(a, b, n);
        });
    }

    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::printf("%-30s", labels[r].c_str());
        for (std::size_t n : sizes) {
            std::string a(n, '0'), b;
            for (auto& c : a) c = "0123456789abcdef"[rng() % 16];
            b = a;
            for (std::size_t i = 0; i < n; i += 3) b[i] = "0123456789ABCDEF"[rng() % 16];
            // memcmp must read everything, so it compares equal strings.
            if (r == 0) b = a;
            for (std::size_t off : offsets) {
                const placed pa(a, off), pb(b, off);
                const long calls = static_cast<long>(std::max<std::size_t>(1, (1u << 22) / n));
                const double s = min_seconds_per_call(
                    [&] { rows[r](pa.data, pb.data, n); }, calls, rounds);
                std::printf("%9.2f", s / cycle / (static_cast<double>(n) / 64));
            }
        }
        std::printf("\n");
    }
}
