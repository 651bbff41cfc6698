// Codes straight from Arrow columns: hex text (utf8, large_utf8, utf8_view), big-endian bytes
// (binary, large_binary, binary_view, fixed_size_binary) and 64-bit integers (int64 holding a
// code's bit pattern, as Spark's LongType does, and uint64). No value becomes an object of any
// language on the way: rows are read from the buffers by the same decoders as every other input.
//
// An array comes from a producer this process does not control, so its structure is checked
// before any value is read (check_structure): lengths and offsets within bounds, offsets in
// order, views inside their buffers. What no struct can tell (the size of a buffer a producer
// declares) is trusted, as every Arrow consumer trusts it.
#ifndef QUORVALENT_ARROW_CODES_HPP
#define QUORVALENT_ARROW_CODES_HPP

#include <cstddef>
#include <cstdint>
#include <string>

#include "quorvalent/arrow_abi.h"
#include "quorvalent/hex_codes.hpp"

namespace quorvalent::arrow {

struct column_format {
    enum kind_t { text, bytes, integers } kind = text;
    enum layout_t { offsets32, offsets64, view, fixed } layout = offsets32;
    std::size_t fixed_width = 0;  // bytes a value, for fixed layouts
    bool is_signed = false;       // integers
    std::string name;             // the type, as errors name it
};

// The format of an ArrowSchema format string; false, with `error` naming the type, for a type
// that holds no codes.
bool read_format(const char* format, column_format& f, std::string& error);

// Whether an array of this format is whole: false with `error` saying what is wrong.
bool check_structure(const column_format& f, const ArrowArray& a, std::string& error);

// Why a row was refused.
struct row_refusal {
    enum what_t { none, null, text, byte_width, above_width, not_text } what = none;
    std::size_t row = 0;       // within the array
    text_check check;          // for text
    std::string bad_character;  // the invalid character's UTF-8 bytes, for text
    std::size_t bytes = 0;     // a value's length in bytes, for byte_width
};

// Packs rows [from, to) of an array whose structure was checked into `out`, words_for_bits(bits)
// words a row, stopping at the first row refused. bits == 0 lets the first row set the width
// (four bits a hex digit, eight a byte); integers need it set.
row_refusal pack_rows(const column_format& f, const ArrowArray& a, std::size_t from, std::size_t to, unsigned& bits,
                      std::uint64_t* out) noexcept;

}  // namespace quorvalent::arrow

#endif
