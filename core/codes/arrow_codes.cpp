#include "quorvalent/arrow_codes.hpp"

#include <cstring>

#include "hex/blocks/pack_word.hpp"
#include <limits>

namespace quorvalent::arrow {

namespace {

constexpr std::size_t view_bytes = 16;  // a utf8_view or binary_view row
constexpr std::int32_t view_inline = 12;  // values up to this long sit inside the view itself

std::int32_t load_i32(const std::uint8_t* p) noexcept {
    std::int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

bool valid_row(const ArrowArray& a, std::size_t i) noexcept {
    const auto* bitmap = static_cast<const std::uint8_t*>(a.buffers[0]);
    return bitmap == nullptr || (bitmap[i >> 3] >> (i & 7) & 1) != 0;
}

// The bytes of row i (already offset) of a checked array of variable or fixed width.
void value_of(const column_format& f, const ArrowArray& a, std::size_t i, const std::uint8_t*& data, std::size_t& length) noexcept {
    switch (f.layout) {
        case column_format::offsets32: {
            const auto* o = static_cast<const std::int32_t*>(a.buffers[1]);
            data = static_cast<const std::uint8_t*>(a.buffers[2]) + o[i];
            length = static_cast<std::size_t>(o[i + 1] - o[i]);
            return;
        }
        case column_format::offsets64: {
            const auto* o = static_cast<const std::int64_t*>(a.buffers[1]);
            data = static_cast<const std::uint8_t*>(a.buffers[2]) + o[i];
            length = static_cast<std::size_t>(o[i + 1] - o[i]);
            return;
        }
        case column_format::view: {
            const std::uint8_t* view = static_cast<const std::uint8_t*>(a.buffers[1]) + i * view_bytes;
            const std::int32_t n = load_i32(view);
            length = static_cast<std::size_t>(n);
            if (n <= view_inline) {
                data = view + 4;
            } else {
                data = static_cast<const std::uint8_t*>(a.buffers[2 + load_i32(view + 8)]) + load_i32(view + 12);
            }
            return;
        }
        case column_format::fixed:
            data = static_cast<const std::uint8_t*>(a.buffers[1]) + i * f.fixed_width;
            length = f.fixed_width;
            return;
    }
}

}  // namespace

bool read_format(const char* format, column_format& f, std::string& error) {
    const std::string s = format ? format : "";
    f = column_format{};
    if (s == "u") {
        f = {column_format::text, column_format::offsets32, 0, false, "utf8"};
    } else if (s == "U") {
        f = {column_format::text, column_format::offsets64, 0, false, "large_utf8"};
    } else if (s == "vu") {
        f = {column_format::text, column_format::view, 0, false, "utf8_view"};
    } else if (s == "z") {
        f = {column_format::bytes, column_format::offsets32, 0, false, "binary"};
    } else if (s == "Z") {
        f = {column_format::bytes, column_format::offsets64, 0, false, "large_binary"};
    } else if (s == "vz") {
        f = {column_format::bytes, column_format::view, 0, false, "binary_view"};
    } else if (s.rfind("w:", 0) == 0) {
        const std::string digits = s.substr(2);
        std::size_t width = 0;
        bool ok = !digits.empty() && digits.size() <= 9;
        for (char c : digits) {
            ok = ok && c >= '0' && c <= '9';
            if (ok) width = width * 10 + static_cast<std::size_t>(c - '0');
        }
        if (!ok || width == 0) {
            error = "a fixed_size_binary of width '" + digits + "'";
            return false;
        }
        f = {column_format::bytes, column_format::fixed, width, false, "fixed_size_binary(" + digits + ")"};
    } else if (s == "l") {
        f = {column_format::integers, column_format::fixed, 8, true, "int64"};
    } else if (s == "L") {
        f = {column_format::integers, column_format::fixed, 8, false, "uint64"};
    } else {
        error = "a column of Arrow format '" + s + "'";
        return false;
    }
    return true;
}

bool check_structure(const column_format& f, const ArrowArray& a, std::string& error) {
    if (a.length < 0 || a.offset < 0 || a.length > std::numeric_limits<std::int64_t>::max() - a.offset - 1) {
        error = "a negative or overflowing length or offset";
        return false;
    }
    if (a.n_children != 0 || a.dictionary != nullptr) {
        error = "children or a dictionary, which a " + f.name + " array has not";
        return false;
    }
    const std::int64_t needed = f.layout == column_format::fixed ? 2 : 3;
    if (a.n_buffers < needed || (a.n_buffers > needed && f.layout != column_format::view) || a.buffers == nullptr) {
        error = std::to_string(a.n_buffers) + " buffers, where a " + f.name + " array has " + std::to_string(needed) +
                (f.layout == column_format::view ? " or more" : "");
        return false;
    }
    if (a.length == 0) return true;
    // A null count of -1 means unknown; without a bitmap there are no nulls.
    if (a.null_count > 0 && a.buffers[0] == nullptr) {
        error = "nulls without a validity bitmap";
        return false;
    }
    if (a.buffers[1] == nullptr) {
        error = "no data buffer";
        return false;
    }
    const auto first = static_cast<std::size_t>(a.offset), end = first + static_cast<std::size_t>(a.length);
    auto check_offsets = [&](const auto* o) {
        if (o[first] < 0) {
            error = "a negative offset";
            return false;
        }
        for (std::size_t i = first; i < end; ++i) {
            if (o[i + 1] < o[i]) {
                error = "offsets out of order at row " + std::to_string(i - first);
                return false;
            }
        }
        if (o[end] > o[first] && a.buffers[2] == nullptr) {
            error = "values without a data buffer";
            return false;
        }
        return true;
    };
    switch (f.layout) {
        case column_format::offsets32:
            return check_offsets(static_cast<const std::int32_t*>(a.buffers[1]));
        case column_format::offsets64:
            return check_offsets(static_cast<const std::int64_t*>(a.buffers[1]));
        case column_format::fixed:
            return true;
        case column_format::view: {
            // buffers: validity, views, the data buffers, then one int64 size per data buffer.
            const auto data_buffers = static_cast<std::size_t>(a.n_buffers - 3);
            const auto* sizes = static_cast<const std::int64_t*>(a.buffers[a.n_buffers - 1]);
            if (data_buffers > 0 && sizes == nullptr) {
                error = "no sizes of its data buffers";
                return false;
            }
            const auto* views = static_cast<const std::uint8_t*>(a.buffers[1]);
            for (std::size_t i = first; i < end; ++i) {
                if (!valid_row(a, i)) continue;  // a null row's view may hold anything
                const std::uint8_t* view = views + i * view_bytes;
                const std::int32_t length = load_i32(view);
                if (length < 0) {
                    error = "a negative length at row " + std::to_string(i - first);
                    return false;
                }
                if (length <= view_inline) continue;
                const std::int32_t buffer = load_i32(view + 8), offset = load_i32(view + 12);
                if (buffer < 0 || static_cast<std::size_t>(buffer) >= data_buffers || a.buffers[2 + buffer] == nullptr ||
                    offset < 0 || static_cast<std::int64_t>(offset) + length > sizes[buffer]) {
                    error = "a view outside its data buffers at row " + std::to_string(i - first);
                    return false;
                }
            }
            return true;
        }
    }
    return true;
}

namespace {

// The common case on its own loop: hex text of one word a code, with offsets and no nulls. A row
// that does not pack leaves the loop, for the general one to refuse with its reason. Returns the
// first row not packed.
template <class Offset>
std::size_t pack_words_of_text(const ArrowArray& a, std::size_t from, std::size_t to, std::size_t digits,
                               std::uint64_t* out) noexcept {
    const auto base = static_cast<std::size_t>(a.offset);
    const auto* o = static_cast<const Offset*>(a.buffers[1]) + base;
    const char* text = static_cast<const char*>(a.buffers[2]);
    for (std::size_t row = from; row < to; ++row) {
        const Offset start = o[row];
        if (static_cast<std::size_t>(o[row + 1] - start) != digits) return row;
        std::uint64_t bad = 0;
        const std::uint64_t v = pack_word(text + start, digits, bad);
        if (bad != 0) return row;
        out[row - from] = v;
    }
    return to;
}

}  // namespace

row_refusal pack_rows(const column_format& f, const ArrowArray& a, std::size_t from, std::size_t to, unsigned& bits,
                      std::uint64_t* out) noexcept {
    row_refusal refusal;
    const auto base = static_cast<std::size_t>(a.offset);
    if (f.kind == column_format::text && a.buffers[0] == nullptr && bits % 4 == 0 && bits != 0 && bits <= 64 &&
        (f.layout == column_format::offsets32 || f.layout == column_format::offsets64)) {
        const std::size_t digits = bits / 4;
        const std::size_t done = f.layout == column_format::offsets32 ? pack_words_of_text<std::int32_t>(a, from, to, digits, out)
                                                                      : pack_words_of_text<std::int64_t>(a, from, to, digits, out);
        out += done - from;
        from = done;
    }
    for (std::size_t row = from; row < to; ++row) {
        const std::size_t i = base + row;
        if (!valid_row(a, i)) {
            refusal.what = row_refusal::null;
            refusal.row = row;
            return refusal;
        }
        std::uint64_t* code = out + (row - from) * (bits ? words_for_bits(bits) : 0);
        if (f.kind == column_format::integers) {
            std::uint64_t v;
            std::memcpy(&v, static_cast<const std::uint8_t*>(a.buffers[1]) + i * 8, sizeof v);
            if (!fits_width(&v, bits)) {
                refusal.what = row_refusal::above_width;
                refusal.row = row;
                return refusal;
            }
            *code = v;
            continue;
        }
        const std::uint8_t* data = nullptr;
        std::size_t length = 0;
        value_of(f, a, i, data, length);
        if (f.kind == column_format::text) {
            const text_check c = pack_hex_text(reinterpret_cast<const char*>(data), length, bits, code);
            if (c.outcome != text_check::ok) {
                refusal.what = row_refusal::text;
                refusal.row = row;
                refusal.check = c;
                if (c.outcome == text_check::invalid_character) {
                    refusal.bad_character.assign(reinterpret_cast<const char*>(data) + c.byte_offset, c.byte_length);
                }
                return refusal;
            }
            continue;
        }
        if (bits == 0 && length != 0 && 8 * length <= max_code_bits) bits = static_cast<unsigned>(8 * length);
        if (bits == 0 || length != bytes_for_bits(bits)) {
            refusal.what = row_refusal::byte_width;
            refusal.row = row;
            refusal.bytes = length;
            return refusal;
        }
        if (!pack_be_bytes(data, bits, code)) {
            refusal.what = row_refusal::above_width;
            refusal.row = row;
            return refusal;
        }
    }
    return refusal;
}

}  // namespace quorvalent::arrow
