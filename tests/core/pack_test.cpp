// Hex text and big-endian bytes into packed codes, and the width rule, against models.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "index_test_data.hpp"

namespace qv = quorvalent;
using index_tests::rng;

namespace {

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

// The bytes of a code are what bytes.fromhex gives for its digits, padded with a zero nibble in
// front when the digits are odd in number.
TEST(Pack, BigEndianBytesAgreeWithTheDigitsAtEveryWidth) {
    for (unsigned bits = 1; bits <= 300; ++bits) {
        const std::size_t digits = qv::digits_for_bits(bits);
        for (int rep = 0; rep < 5; ++rep) {
            std::string s = random_digits(digits);
            // The first digit holds only bits - 4 * (digits - 1) bits.
            const unsigned top_bits = bits - 4 * static_cast<unsigned>(digits - 1);
            s[0] = "0123456789abcdef"[rng()() % (1u << top_bits)];
            const std::string padded = (digits % 2 ? "0" : "") + s;
            std::vector<std::uint8_t> bytes;
            for (std::size_t k = 0; k < padded.size(); k += 2) bytes.push_back(static_cast<std::uint8_t>(std::stoul(padded.substr(k, 2), nullptr, 16)));
            ASSERT_EQ(bytes.size(), qv::bytes_for_bits(bits));
            std::vector<std::uint64_t> got(qv::words_for_bits(bits), 0xdead), want(qv::words_for_bits(bits));
            ASSERT_TRUE(qv::pack_be_bytes(bytes.data(), bits, got.data())) << bits << " " << s;
            ASSERT_TRUE(qv::pack_hex(s.data(), digits, want.data()));
            ASSERT_EQ(got, want) << bits << " " << s;
        }
    }
}

// One rule, tested at its own level: no bit at or above the width, whether the code came from
// text, from bytes or from words.
// The model of a width: a code is the number its digits spell, and that number is below
// 2^bits. Bit p of word j is bit 4 * (digits - 1 - digit) + p % 4 of the number, where digit is
// the digit that holds it.
bool model_bit_in_code(unsigned bits, std::size_t word, unsigned p) {
    const std::size_t digits = qv::digits_for_bits(bits);
    const std::size_t held = std::min<std::size_t>(16, digits - 16 * word);
    if (p >= 4 * held) return false;
    const std::size_t digit = 16 * word + (held - 1 - p / 4);
    return 4 * (digits - 1 - digit) + p % 4 < bits;
}

TEST(Width, EveryBitAboveTheWidthIsRefusedAndNoneBelow) {
    for (unsigned bits = 1; bits <= 4096; bits += bits < 140 ? 1 : 97) {
        const std::size_t w = qv::words_for_bits(bits);
        std::vector<std::uint64_t> code(w, 0);
        std::size_t in_code = 0;
        for (unsigned b = 0; b < 64 * w; ++b) {
            std::fill(code.begin(), code.end(), 0);
            code[b / 64] = 1ull << (b % 64);
            const bool want = model_bit_in_code(bits, b / 64, b % 64);
            in_code += want;
            ASSERT_EQ(qv::fits_width(code.data(), bits), want) << "bits=" << bits << " bit " << b;
        }
        ASSERT_EQ(in_code, bits);
    }
    // Bytes: 10 bits are two bytes whose first six bits must be clear.
    const std::uint8_t fits[] = {0x03, 0xff}, above[] = {0x04, 0x00}, odd_above[] = {0x10, 0x00};
    std::uint64_t word;
    EXPECT_TRUE(qv::pack_be_bytes(fits, 10, &word));
    EXPECT_EQ(word, 0x3ffu);
    EXPECT_FALSE(qv::pack_be_bytes(above, 10, &word));
    EXPECT_FALSE(qv::pack_be_bytes(odd_above, 12, &word));  // the nibble in front of 3 digits
    const std::uint8_t rows[] = {0x00, 0x01, 0x03, 0xff, 0x04, 0x00};
    std::uint64_t words[3];
    EXPECT_EQ(qv::pack_be_rows(rows, 3, 2, 10, words), 2u);
    EXPECT_EQ(words[0], 1u);
    EXPECT_FALSE(qv::valid_code_bits(0));
    EXPECT_TRUE(qv::valid_code_bits(4096));
    EXPECT_FALSE(qv::valid_code_bits(4097));
}

TEST(Width, TheIndexRefusesCodesAndQueriesAboveItsWidth) {
    namespace qc = quorvalent::codes;
    qc::code_index index(10);
    qc::job j;
    const std::uint64_t codes[] = {5, 0x3ff, 0x400, 7};
    try {
        index.append(codes, 4, j);
        FAIL() << "a code above the width was taken";
    } catch (const qc::invalid_code& e) {
        EXPECT_EQ(e.position, 2u);
    }
    EXPECT_EQ(index.snapshot().size(), 0u) << "a refused append adds nothing";
    index.append(codes, 2, j);
    EXPECT_THROW(index.snapshot().within(codes + 2, 3), qc::invalid_code);
    EXPECT_THROW(index.snapshot().nearest(codes + 2, 3), qc::invalid_code);
    EXPECT_THROW(index.borrow(codes, 2, j), std::logic_error);  // not empty
    qc::code_index mapped(10);
    EXPECT_THROW(mapped.borrow(codes, 3, j), qc::invalid_code);
    EXPECT_EQ(mapped.snapshot().size(), 0u);
}

}  // namespace
