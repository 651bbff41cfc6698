// Fuzzer of the Arrow ingest: arrays whose structure comes from the input, as a broken or
// hostile producer could hand them over.
//
// Input layout: byte 0 picks the format (utf8, large_utf8, utf8_view, binary, fixed_size_binary,
// uint64), byte 1 the width in bits (0: let the first row set it), bytes 2-3 the length, byte 4
// the offset, byte 5 whether a validity bitmap is given; the rest fills the buffers. Buffers are
// exactly as long as a producer's struct says they are (the one thing a consumer must trust),
// everything inside them is the input's.
//
// Invariants:
//   - check_structure() refuses, or every row can be read: nothing is read outside the buffers
//     (AddressSanitizer would stop the run);
//   - a utf8 row that packs gives the code pack_hex_text() gives for the same bytes, and the
//     first refused row is the first row the reference refuses.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quorvalent/arrow_codes.hpp"

namespace qa = quorvalent::arrow;

namespace {

[[noreturn]] void disagree(const char* what) {
    std::fprintf(stderr, "Arrow ingest: %s\n", what);
    std::abort();
}

struct reader {
    const std::uint8_t* data;
    std::size_t size, at = 0;
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    void fill(void* out, std::size_t n) {
        auto* p = static_cast<std::uint8_t*>(out);
        for (std::size_t k = 0; k < n; ++k) p[k] = byte();
    }
};

// Buffer sizes a fuzz input may ask for: enough to reach every path, small enough to run fast.
constexpr std::size_t max_rows = 64;
constexpr std::size_t max_data = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) return 0;
    static const char* const formats[] = {"u", "U", "vu", "z", "w:8", "L"};
    reader in{data, size, 0};
    const char* format = formats[in.byte() % 6];
    unsigned bits = in.byte() % 3 == 0 ? 0u : 64u;
    const std::size_t length = (in.byte() | static_cast<std::size_t>(in.byte()) << 8) % (max_rows + 1);
    const std::size_t offset = in.byte() % 8;
    const bool bitmap = in.byte() & 1;
    qa::column_format f;
    std::string error;
    if (!qa::read_format(format, f, error)) disagree("a supported format was refused");
    if (f.kind == qa::column_format::integers && bits == 0) bits = 64;

    const std::size_t rows = offset + length;
    std::vector<std::uint8_t> validity((rows + 7) / 8 + 1);
    in.fill(validity.data(), validity.size());
    std::vector<std::vector<std::uint8_t>> buffers;  // owned storage of every buffer but validity
    std::vector<const void*> pointers = {bitmap ? validity.data() : nullptr};
    if (f.layout == qa::column_format::offsets32 || f.layout == qa::column_format::offsets64) {
        const std::size_t width = f.layout == qa::column_format::offsets32 ? 4 : 8;
        std::vector<std::uint8_t> offsets((rows + 1) * width);
        in.fill(offsets.data(), offsets.size());
        // Small offsets, so that the data a producer would have sized from them is small too.
        std::int64_t last = 0;
        for (std::size_t k = 0; k <= rows; ++k) {
            std::int64_t v = static_cast<std::int8_t>(offsets[k * width]);
            v = v < 0 && (in.byte() & 3) ? v : std::abs(v) + last * (in.byte() & 1);
            last = v;
            if (width == 4) {
                const auto v32 = static_cast<std::int32_t>(v);
                std::memcpy(offsets.data() + k * 4, &v32, 4);
            } else {
                std::memcpy(offsets.data() + k * 8, &v, 8);
            }
        }
        buffers.push_back(std::move(offsets));
        std::int64_t end = 0;
        std::memcpy(&end, buffers.back().data() + rows * width, width);
        if (width == 4) end = static_cast<std::int32_t>(end);
        std::vector<std::uint8_t> values(static_cast<std::size_t>(std::clamp<std::int64_t>(end, 0, max_data)) + 1);
        for (auto& c : values) c = "0123456789abcdefABCDEFxyz\x80\xc3\xa9 "[in.byte() % 29];
        buffers.push_back(std::move(values));
        if (end > static_cast<std::int64_t>(max_data)) return 0;  // a producer would have sized it
    } else if (f.layout == qa::column_format::view) {
        std::vector<std::uint8_t> views(rows * 16);
        in.fill(views.data(), views.size());
        // Mostly plausible views: lengths up to 40, one data buffer of 64 bytes.
        for (std::size_t k = 0; k < rows; ++k) {
            const std::int32_t len = static_cast<std::int8_t>(views[k * 16]) % 41;
            std::memcpy(views.data() + k * 16, &len, 4);
            const std::int32_t off = static_cast<std::int8_t>(views[k * 16 + 12]) % 70;
            std::memcpy(views.data() + k * 16 + 12, &off, 4);
            const std::int32_t buf = views[k * 16 + 8] % 3 == 0 ? 1 : 0;
            std::memcpy(views.data() + k * 16 + 8, &buf, 4);
        }
        buffers.push_back(std::move(views));
        std::vector<std::uint8_t> values(64);
        for (auto& c : values) c = "0123456789abcdefxz\x80"[in.byte() % 19];
        buffers.push_back(std::move(values));
        const std::int64_t declared = 64 - (in.byte() % 2) * 8;
        std::vector<std::uint8_t> sizes(8);
        std::memcpy(sizes.data(), &declared, 8);
        buffers.push_back(std::move(sizes));
    } else {
        std::vector<std::uint8_t> values(rows * f.fixed_width);
        in.fill(values.data(), values.size());
        buffers.push_back(std::move(values));
    }
    for (auto& b : buffers) pointers.push_back(b.empty() ? nullptr : b.data());
    ArrowArray a{};
    a.length = static_cast<std::int64_t>(length);
    a.offset = static_cast<std::int64_t>(offset);
    a.null_count = bitmap ? -1 : 0;
    a.n_buffers = static_cast<std::int64_t>(pointers.size());
    a.buffers = pointers.data();
    if (!qa::check_structure(f, a, error)) return 0;

    std::vector<std::uint64_t> codes(length * quorvalent::max_code_words + quorvalent::max_code_words);
    unsigned got_bits = bits;
    const qa::row_refusal r = length ? qa::pack_rows(f, a, 0, 1, got_bits, codes.data()) : qa::row_refusal{};
    if (r.what == qa::row_refusal::none && length > 1) {
        const qa::row_refusal rest = qa::pack_rows(f, a, 1, length, got_bits, codes.data() + quorvalent::words_for_bits(got_bits));
        // The reference: rows one at a time, the same decoder on the same bytes.
        if (f.kind == qa::column_format::text && f.layout == qa::column_format::offsets32 && !bitmap) {
            const auto* o = static_cast<const std::int32_t*>(pointers[1]);
            const auto* text = static_cast<const char*>(pointers[2]);
            for (std::size_t row = 1; row < length; ++row) {
                std::uint64_t want[quorvalent::max_code_words];
                unsigned b = got_bits;
                const std::size_t i = offset + row;
                const auto check = quorvalent::pack_hex_text(text + o[i], static_cast<std::size_t>(o[i + 1] - o[i]), b, want);
                if (check.outcome != quorvalent::text_check::ok) {
                    if (rest.what == qa::row_refusal::none || rest.row != row) {
                        std::fprintf(stderr, "row %zu outcome %d; ingest what %d row %zu, bits %u\n", row, (int)check.outcome, (int)rest.what, rest.row, got_bits);
                        disagree("the first refused row");
                    }
                    break;
                }
                if (std::memcmp(want, codes.data() + row * quorvalent::words_for_bits(got_bits), 8 * quorvalent::words_for_bits(got_bits)) != 0) {
                    disagree("a packed row");
                }
            }
        }
    }
    return 0;
}
