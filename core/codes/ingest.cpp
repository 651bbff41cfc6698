#include "quorvalent/ingest.hpp"

#include <algorithm>
#include <mutex>

#include "codes/parallel.hpp"

namespace quorvalent::codes {

namespace {

// Rows a unit of parsing: enough to make handing units out cost nothing.
constexpr std::size_t rows_per_unit = 1 << 14;

// A piece of the input packed as one unit: rows [first, first + count) of the whole.
struct piece {
    std::size_t first, count;
};

// Packs every piece through pack(piece, bits, code of its first row) -> the first refusal of the
// piece (its row counted within the piece): the first row alone when it must set the width,
// then the pieces on the job's threads, keeping the first refusal in row order.
template <class Pack>
ingest_refusal pack_in_parallel(const std::vector<piece>& pieces, std::size_t n, unsigned& bits,
                                std::vector<std::uint64_t>& out, job& j, Pack&& pack) {
    ingest_refusal first;
    out.clear();
    if (n == 0) return first;
    bool head = false;
    std::uint64_t head_code[max_code_words];
    if (bits == 0) {
        const arrow::row_refusal r = pack(piece{pieces.front().first, 1}, bits, head_code);
        if (r.what != arrow::row_refusal::none) return {true, 0, r};
        head = true;
    }
    const std::size_t w = words_for_bits(bits);
    out.resize(n * w);
    std::mutex m;
    j.set_total(pieces.size());
    const unsigned width = bits;
    parallel_for(pieces.size(), j, [&](unsigned, std::size_t k) {
        piece p = pieces[k];
        if (head && p.first == 0) {
            std::copy(head_code, head_code + w, out.begin());
            ++p.first;
            --p.count;
        }
        if (p.count == 0) return;
        unsigned b = width;
        arrow::row_refusal r = pack(p, b, out.data() + p.first * w);
        if (r.what == arrow::row_refusal::none) return;
        const std::size_t row = p.first + r.row;
        std::lock_guard<std::mutex> lock(m);
        if (!first.failed || row < first.row) first = {true, row, r};
    });
    if (first.failed) out.clear();
    return first;
}

// Pieces of rows_per_unit rows over rows [0, n).
std::vector<piece> even_pieces(std::size_t n) {
    std::vector<piece> pieces;
    for (std::size_t at = 0; at < n; at += rows_per_unit) pieces.push_back({at, std::min(rows_per_unit, n - at)});
    if (pieces.empty()) pieces.push_back({0, 0});
    return pieces;
}

arrow::row_refusal text_refusal(const text_check& c, const char* text) {
    arrow::row_refusal r;
    if (c.outcome == text_check::ok) return r;
    r.what = arrow::row_refusal::text;
    r.check = c;
    if (c.outcome == text_check::invalid_character) r.bad_character.assign(text + c.byte_offset, c.byte_length);
    return r;
}

}  // namespace

// Packs rows of a piece one by one through one(row, bits, code) -> refusal.
template <class One>
arrow::row_refusal each_row(const piece& p, unsigned& b, std::uint64_t* code, One&& one) {
    const std::size_t w = words_for_bits(b ? b : max_code_bits);
    for (std::size_t k = 0; k < p.count; ++k) {
        arrow::row_refusal r = one(p.first + k, b, code + k * (b ? words_for_bits(b) : w));
        if (r.what != arrow::row_refusal::none) {
            r.row = k;
            return r;
        }
    }
    return {};
}

ingest_refusal pack_texts(const char* const* texts, const std::size_t* lengths, std::size_t n, unsigned& bits,
                          std::vector<std::uint64_t>& out, job& j) {
    return pack_in_parallel(even_pieces(n), n, bits, out, j, [&](const piece& p, unsigned& b, std::uint64_t* code) {
        return each_row(p, b, code, [&](std::size_t row, unsigned& bb, std::uint64_t* c) {
            return text_refusal(pack_hex_text(texts[row], lengths[row], bb, c), texts[row]);
        });
    });
}

ingest_refusal pack_texts_from(text_source text_of, const void* context, std::size_t n, unsigned& bits,
                               std::vector<std::uint64_t>& out, job& j) {
    return pack_in_parallel(even_pieces(n), n, bits, out, j, [&](const piece& p, unsigned& b, std::uint64_t* code) {
        return each_row(p, b, code, [&](std::size_t row, unsigned& bb, std::uint64_t* c) {
            const char* text = nullptr;
            std::size_t length = 0;
            if (!text_of(context, row, &text, &length)) {
                arrow::row_refusal r;
                r.what = arrow::row_refusal::not_text;
                return r;
            }
            return text_refusal(pack_hex_text(text, length, bb, c), text);
        });
    });
}

ingest_refusal pack_fixed_texts(const std::uint8_t* rows, std::size_t n, std::ptrdiff_t stride, std::size_t units,
                                std::size_t unit_bytes, unsigned& bits, std::vector<std::uint64_t>& out, job& j) {
    auto one = [&](std::size_t row, unsigned& b, std::uint64_t* code) {
        const std::uint8_t* at = rows + static_cast<std::ptrdiff_t>(row) * stride;
        // The row as UTF-8: one byte a unit while it is ASCII, its UTF-8 form otherwise.
        char text[4 * (max_code_bits / 4 + 1)];
        std::size_t length = 0;
        for (std::size_t k = 0; k < units && length + 4 < sizeof text; ++k) {
            std::uint32_t c = at[k * unit_bytes];
            if (unit_bytes == 4) {
                c = static_cast<std::uint32_t>(at[4 * k]) | static_cast<std::uint32_t>(at[4 * k + 1]) << 8 |
                    static_cast<std::uint32_t>(at[4 * k + 2]) << 16 | static_cast<std::uint32_t>(at[4 * k + 3]) << 24;
            }
            if (c == 0) break;
            if (c < 0x80 || unit_bytes == 1) {
                text[length++] = static_cast<char>(c);
            } else if (c < 0x800) {
                text[length++] = static_cast<char>(0xC0 | c >> 6);
                text[length++] = static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                text[length++] = static_cast<char>(0xE0 | c >> 12);
                text[length++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
                text[length++] = static_cast<char>(0x80 | (c & 0x3F));
            } else {
                text[length++] = static_cast<char>(0xF0 | (c >> 18 & 0x07));
                text[length++] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
                text[length++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
                text[length++] = static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        return text_refusal(pack_hex_text(text, length, b, code), text);
    };
    return pack_in_parallel(even_pieces(n), n, bits, out, j, [&](const piece& p, unsigned& b, std::uint64_t* code) {
        return each_row(p, b, code, one);
    });
}

ingest_refusal pack_arrow(const arrow::column_format& f, const ArrowArray* const* arrays, std::size_t count, unsigned& bits,
                          std::vector<std::uint64_t>& out, job& j) {
    // Rows are numbered over all the arrays; each piece stays inside one array, and is packed by
    // one call over its rows.
    std::vector<piece> pieces;
    std::vector<std::size_t> array_of, start_of;
    std::size_t n = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const auto length = static_cast<std::size_t>(arrays[k]->length);
        for (std::size_t at = 0; at < length; at += rows_per_unit) {
            pieces.push_back({n + at, std::min(rows_per_unit, length - at)});
            array_of.push_back(k);
            start_of.push_back(n);
        }
        n += length;
    }
    if (pieces.empty()) return {};
    return pack_in_parallel(pieces, n, bits, out, j, [&](const piece& p, unsigned& b, std::uint64_t* code) {
        // The piece of this row: the one whose rows hold it.
        const std::size_t k = static_cast<std::size_t>(
            std::upper_bound(pieces.begin(), pieces.end(), p.first, [](std::size_t row, const piece& q) { return row < q.first; }) -
            pieces.begin() - 1);
        const ArrowArray& a = *arrays[array_of[k]];
        const std::size_t in_array = p.first - start_of[k];
        arrow::row_refusal r = arrow::pack_rows(f, a, in_array, in_array + p.count, b, code);
        if (r.what != arrow::row_refusal::none) r.row -= in_array;
        return r;
    });
}

}  // namespace quorvalent::codes
