// Throughput of every kernel this CPU runs, with memcmp of the same bytes measured in the same
// run as the yardstick. Bytes counted are those of both strings.
// The index's scan kernels run over a million codes of one, two and four words (at a radius that
// finds a few), beside memcpy of the same buffer: a scan reads each byte once, a copy reads it
// and writes it.
//
//   cmake -S . -B build/bench -G Ninja -DQUORVALENT_BUILD_BENCHMARKS=ON && ninja -C build/bench
//   build/bench/kernel_bench
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "codes/scan_kernels.hpp"
#include "common/kernel_table.hpp"
#include "hex/kernels.hpp"

namespace qv = quorvalent;

namespace {

const std::size_t sizes[] = {16, 64, 1024, 64 * 1024, 1024 * 1024};

// Where a CPython str keeps its characters: 16 or 48 bytes past a 64-byte boundary (it depends
// on the version and the allocator), the same for both strings of a call.
constexpr std::size_t line_offset = 16;

struct placed_string {
    std::string storage;
    char* data;
    void assign(const std::string& s) {
        storage.assign(s.size() + 128, '\0');
        const auto base = reinterpret_cast<std::uintptr_t>(storage.data());
        data = storage.data() + ((64 - base % 64) % 64 + line_offset);
        std::memcpy(data, s.data(), s.size());
    }
};

struct pair_of_strings {
    std::size_t size = 0;
    placed_string a, b, a_copy;
};

const pair_of_strings& strings(std::size_t n) {
    static std::map<std::size_t, pair_of_strings> cache;
    auto& p = cache[n];
    if (p.size != n) {
        std::mt19937_64 rng(n);
        const char digits[] = "0123456789abcdef";
        std::string a(n, '0');
        for (auto& c : a) c = digits[rng() % 16];
        std::string b = a;
        for (std::size_t i = 0; i < n; i += 8) b[i] = digits[rng() % 16];
        p.a.assign(a);
        p.b.assign(b);
        p.a_copy.assign(a);
        p.size = n;
    }
    return p;
}

void set_bytes(benchmark::State& state, std::size_t n) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(2 * n));
}

void bm_memcmp(benchmark::State& state, std::size_t n) {
    const auto& p = strings(n);
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::memcmp(p.a.data, p.a_copy.data, n));
    }
    set_bytes(state, n);
}

void bm_distance(benchmark::State& state, const qv::kernel* k, std::size_t n) {
    const auto& p = strings(n);
    for (auto _ : state) benchmark::DoNotOptimize(k->distance(p.a.data, p.b.data, n));
    set_bytes(state, n);
}

void bm_within(benchmark::State& state, const qv::kernel* k, std::size_t n) {
    const auto& p = strings(n);
    const auto limit = static_cast<std::uint64_t>(k->distance(p.a.data, p.b.data, n));
    for (auto _ : state)
        benchmark::DoNotOptimize(k->count_within(p.a.data, p.b.data, n, limit));
    set_bytes(state, n);
}

void bm_nul_scan(benchmark::State& state, const qv::kernel* k, std::size_t n) {
    const auto& p = strings(n);
    for (auto _ : state) benchmark::DoNotOptimize(k->contains_nul(p.a.data, p.b.data, n));
    set_bytes(state, n);
}

namespace qc = qv::codes;

constexpr std::size_t scan_codes = 1'000'000;

const std::vector<std::uint64_t>& codes_of(std::size_t words) {
    static std::map<std::size_t, std::vector<std::uint64_t>> cache;
    auto& c = cache[words];
    if (c.empty()) {
        std::mt19937_64 rng(words);
        c.resize(scan_codes * words);
        for (auto& x : c) x = rng();
    }
    return c;
}

void bm_scan(benchmark::State& state, const qc::scan_kernel* k, std::size_t words) {
    const auto& codes = codes_of(words);
    std::vector<std::uint64_t> q(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(words));
    std::vector<std::uint32_t> hits(scan_codes);
    // About a thousand random codes within, from 64-bit codes; for 128- and 256-bit ones a few.
    const unsigned r = words == 1 ? 20u : words == 2 ? 40u : 48u;
    for (auto _ : state) {
        benchmark::DoNotOptimize(words == 1 ? k->within(codes.data(), scan_codes, q[0], r, hits.data())
                                            : k->within_wide(codes.data(), scan_codes, words, q.data(), r, hits.data()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(codes.size() * sizeof(std::uint64_t)));
}

void bm_memcpy_codes(benchmark::State& state, std::size_t words) {
    const auto& codes = codes_of(words);
    std::vector<std::uint64_t> copy(codes.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), codes.data(), codes.size() * sizeof(std::uint64_t));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(codes.size() * sizeof(std::uint64_t)));
}

// Remembers every result and closes with each one's throughput as a fraction of memcmp's.
class ratio_reporter : public benchmark::ConsoleReporter {
   public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs) seconds_[r.benchmark_name()] = r.GetAdjustedRealTime();
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nThroughput relative to memcmp of the same bytes (1.00 = as fast):\n");
        std::printf("%-28s", "");
        for (std::size_t n : sizes) std::printf("%10zu", n);
        std::printf("\n");
        std::map<std::string, std::map<std::size_t, double>> rows;
        for (const auto& [name, t] : seconds_) {
            if (name.rfind("scan", 0) == 0 || name.rfind("memcpy", 0) == 0) continue;
            const auto slash = name.rfind('/');
            const std::size_t n = std::stoul(name.substr(slash + 1));
            const auto base = seconds_.find("memcmp/" + std::to_string(n));
            if (base != seconds_.end()) rows[name.substr(0, slash)][n] = base->second / t;
        }
        for (const auto& [label, cells] : rows) {
            std::printf("%-28s", label.c_str());
            for (std::size_t n : sizes) std::printf("%10.2f", cells.count(n) ? cells.at(n) : 0.0);
            std::printf("\n");
        }
    }

   private:
    std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
    for (std::size_t n : sizes) {
        benchmark::RegisterBenchmark(("memcmp/" + std::to_string(n)).c_str(), bm_memcmp, n);
    }
    const auto all = qv::compiled_kernels();
    for (std::size_t i = 0; i < all.size; ++i) {
        const qv::kernel* k = all.items[i];
        if (!qv::kernel_runs_here(*k)) continue;
        for (std::size_t n : sizes) {
            const std::string suffix = std::string(k->name) + "/" + std::to_string(n);
            benchmark::RegisterBenchmark(("distance/" + suffix).c_str(), bm_distance, k, n);
            benchmark::RegisterBenchmark(("within/" + suffix).c_str(), bm_within, k, n);
            benchmark::RegisterBenchmark(("nul_scan/" + suffix).c_str(), bm_nul_scan, k, n);
        }
    }
    const auto scans = qc::compiled_scan_kernels();
    for (std::size_t words : {1, 2, 4}) {
        const std::string codes = "/w" + std::to_string(words);
        benchmark::RegisterBenchmark(("memcpy" + codes).c_str(), bm_memcpy_codes, words);
        for (std::size_t i = 0; i < scans.size; ++i) {
            const qc::scan_kernel* k = scans.items[i];
            if (!qv::supports(*k, qv::cpu_features())) continue;
            benchmark::RegisterBenchmark(("scan" + codes + "/" + k->name).c_str(), bm_scan, k, words);
        }
    }
    benchmark::Initialize(&argc, argv);
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}
