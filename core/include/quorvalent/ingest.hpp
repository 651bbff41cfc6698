// Many hashes at once into packed codes, on a job's threads: hex texts scattered in memory (the
// strings of a Python list), fixed-width text rows (numpy 'S' and 'U' arrays) and Arrow arrays.
// Every row goes through the same decoders as a single hash. The answer is the same for any
// thread count: codes in row order, or the first row (in row order) that is refused.
#ifndef QUORVALENT_INGEST_HPP
#define QUORVALENT_INGEST_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quorvalent/arrow_codes.hpp"
#include "quorvalent/job.hpp"

namespace quorvalent::codes {

// The first refused row, counted over all the input, or none.
struct ingest_refusal {
    bool failed = false;
    std::size_t row = 0;
    arrow::row_refusal detail;  // detail.row is the row within its array
};

// n texts of UTF-8, each given by its first byte and length. bits == 0 lets the first text set the
// width. `out` gets n * words_for_bits(bits) words.
ingest_refusal pack_texts(const char* const* texts, const std::size_t* lengths, std::size_t n, unsigned& bits,
                          std::vector<std::uint64_t>& out, job& j);

// n texts found by a callback: text_of(context, row, &text, &length) gives row's UTF-8 text, or
// false when the row is no plain text (the caller then says why, as row refusal not_text). For
// texts that live in objects of another runtime, read in place.
using text_source = bool (*)(const void* context, std::size_t row, const char** text, std::size_t* length);
ingest_refusal pack_texts_from(text_source text_of, const void* context, std::size_t n, unsigned& bits,
                               std::vector<std::uint64_t>& out, job& j);

// n rows of `units` code units of `unit_bytes` bytes each (1: bytes, 4: UTF-32), `stride` bytes
// apart; a row ends at its first zero unit, as numpy pads its fixed-width strings.
ingest_refusal pack_fixed_texts(const std::uint8_t* rows, std::size_t n, std::ptrdiff_t stride, std::size_t units,
                                std::size_t unit_bytes, unsigned& bits, std::vector<std::uint64_t>& out, job& j);

// The rows of `count` Arrow arrays of one format, checked with arrow::check_structure, in order.
ingest_refusal pack_arrow(const arrow::column_format& f, const ArrowArray* const* arrays, std::size_t count, unsigned& bits,
                          std::vector<std::uint64_t>& out, job& j);

}  // namespace quorvalent::codes

#endif
