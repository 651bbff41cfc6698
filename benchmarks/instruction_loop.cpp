// A fixed amount of work for counting instructions under an emulator, where time means
// nothing: `instruction_loop KERNEL N REPEATS` runs one kernel's distance on two N-digit
// strings REPEATS times; KERNEL `memcpy` copies N bytes instead, the yardstick. Run twice with
// different REPEATS, the difference divided by the difference of REPEATS is the cost of one
// call without the program's start-up (benchmarks/count_instructions.py does this).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hex/kernels.hpp"

namespace qv = quorvalent;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: instruction_loop KERNEL|memcpy N REPEATS\n");
        return 2;
    }
    const std::string name = argv[1];
    const std::size_t n = std::strtoull(argv[2], nullptr, 10);
    const long repeats = std::strtol(argv[3], nullptr, 10);
    std::vector<char> a(n), b(n);
    for (std::size_t i = 0; i < n; ++i) {
        a[i] = "0123456789abcdef"[(i * 7) % 16];
        b[i] = "0123456789abcdef"[(i * 11 + 3) % 16];
    }
    volatile std::uint64_t sink = 0;
    if (name == "memcpy") {
        for (long r = 0; r < repeats; ++r) {
            std::memcpy(b.data(), a.data(), n);
            sink = sink + static_cast<unsigned char>(b[r % (n ? n : 1)]);
        }
        return 0;
    }
    const auto kernels = qv::compiled_kernels();
    for (std::size_t k = 0; k < kernels.size; ++k) {
        if (name != kernels.items[k]->name) continue;
        for (long r = 0; r < repeats; ++r) {
            sink = sink + static_cast<std::uint64_t>(
                              kernels.items[k]->distance(a.data(), b.data(), n));
        }
        return 0;
    }
    std::fprintf(stderr, "no kernel named %s in this build\n", name.c_str());
    return 2;
}
