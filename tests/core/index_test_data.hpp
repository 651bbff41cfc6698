// Data sets and brute-force answers shared by the index core's tests.
#ifndef QUORVALENT_TESTS_INDEX_TEST_DATA_HPP
#define QUORVALENT_TESTS_INDEX_TEST_DATA_HPP

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codes/scan_kernels.hpp"
#include "common/cpu_features.hpp"
#include "common/kernel_table.hpp"
#include "quorvalent/code_index.hpp"
#include "quorvalent/hex_codes.hpp"

namespace index_tests {

namespace qc = quorvalent::codes;

inline std::mt19937_64& rng() {
    static std::mt19937_64 g(0xc0de);
    return g;
}

inline unsigned model_popcount(std::uint64_t x) { return static_cast<unsigned>(std::bitset<64>(x).count()); }

// Clears the bits of a code that lie outside its width.
inline void clip(std::uint64_t* code, unsigned bits) {
    for (std::size_t k = 0; k < quorvalent::words_for_bits(bits); ++k) code[k] &= quorvalent::code_word_mask(bits, k);
}

struct data_set {
    unsigned bits;
    std::size_t words;
    std::vector<std::uint64_t> codes;
    std::size_t size() const { return codes.size() / words; }
    const std::uint64_t* code(std::size_t i) const { return codes.data() + i * words; }
};

// Random codes with near-duplicates planted: copies of earlier codes with 0 to 8 bits flipped
// (so some exact duplicates).
inline data_set make_codes(unsigned bits, std::size_t n) {
    data_set d{bits, quorvalent::words_for_bits(bits), {}};
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = d.codes.size();
        if (i > 0 && rng()() % 10 < 3) {
            const std::size_t from = rng()() % i;
            for (std::size_t k = 0; k < d.words; ++k) d.codes.push_back(d.codes[from * d.words + k]);
            for (std::uint64_t f = rng()() % 9; f > 0; --f) {
                const unsigned bit = static_cast<unsigned>(rng()() % (64 * d.words));
                d.codes[at + bit / 64] ^= 1ull << (bit % 64);
            }
        } else {
            for (std::size_t k = 0; k < d.words; ++k) d.codes.push_back(rng()());
        }
        clip(d.codes.data() + at, bits);
    }
    return d;
}

inline unsigned distance(const std::uint64_t* a, const std::uint64_t* b, std::size_t w) {
    unsigned d = 0;
    for (std::size_t k = 0; k < w; ++k) d += model_popcount(a[k] ^ b[k]);
    return d;
}

inline std::vector<qc::hit> brute_hits(const data_set& d, const std::uint64_t* q) {
    std::vector<qc::hit> all;
    for (std::size_t i = 0; i < d.size(); ++i) all.push_back({distance(d.code(i), q, d.words), static_cast<qc::code_id>(i)});
    std::sort(all.begin(), all.end());
    return all;
}

struct pair_row {
    qc::code_id i, j;
    std::int32_t d;
    friend bool operator==(const pair_row& a, const pair_row& b) { return a.i == b.i && a.j == b.j && a.d == b.d; }
};

inline std::vector<pair_row> brute_pairs(const data_set& a, const data_set* b, unsigned r) {
    std::vector<pair_row> out;
    const data_set& other = b ? *b : a;
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (std::size_t j = b ? 0 : i + 1; j < other.size(); ++j) {
            const unsigned d = distance(a.code(i), other.code(j), a.words);
            if (d <= r) out.push_back({static_cast<qc::code_id>(i), static_cast<qc::code_id>(j), static_cast<std::int32_t>(d)});
        }
    }
    return out;
}

inline std::vector<pair_row> rows_of(const qc::pair_columns& p) {
    std::vector<pair_row> out;
    for (std::size_t k = 0; k < p.size(); ++k) out.push_back({p.first[k], p.second[k], p.dists[k]});
    return out;
}

inline std::vector<const qc::scan_kernel*> runnable_scan_kernels() {
    std::vector<const qc::scan_kernel*> out;
    const auto all = qc::compiled_scan_kernels();
    for (std::size_t i = 0; i < all.size; ++i) {
        if (quorvalent::supports(*all.items[i], quorvalent::cpu_features())) out.push_back(all.items[i]);
    }
    return out;
}

// Appends all of d to a fresh index in uneven parts, so that some codes sit in the scanned tail.
inline void fill(qc::code_index& index, const data_set& d) {
    qc::job j(2);
    std::size_t added = 0;
    for (std::size_t part : {d.size() / 2, d.size() / 3, d.size()}) {
        const std::size_t take = std::min(part, d.size() - added);
        index.append(d.code(added), take, j);
        added += take;
    }
}

// A snapshot of a fresh index of n codes (it keeps the codes alive without the index).
inline qc::index_snapshot snapshot_of(const std::uint64_t* codes, std::size_t n, unsigned bits = 64) {
    qc::code_index index(bits);
    qc::job j;
    index.append(codes, n, j);
    return index.snapshot();
}

}  // namespace index_tests

#endif
