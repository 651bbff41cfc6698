// The Python binding of the near-duplicate index: argument checks, conversion of hex text and
// arrays into packed codes, and of answers into numpy arrays. The search itself lives in
// core/codes; every search runs without the interpreter's lock.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "quorvalent/code_index.hpp"
#include "quorvalent/hex_codes.hpp"
#include "quorvalent/hex_distance.hpp"
#include "version.h"

namespace nb = nanobind;
namespace qc = quorvalent::codes;

namespace {

constexpr unsigned max_bits = 4096;  // 1024 hex digits
constexpr std::size_t max_words = max_bits / 64;

[[noreturn]] void refuse(const std::string& message) { throw nb::value_error(message.c_str()); }

std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

unsigned cpu_count() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

unsigned read_threads(nb::handle threads) {
    if (threads.is_none()) return cpu_count();
    Py_ssize_t n = 0;
    if (!PyLong_Check(threads.ptr()) || (n = PyLong_AsSsize_t(threads.ptr())) < 1) {
        PyErr_Clear();
        refuse("threads must be a positive int or None, got " + std::string(nb::repr(threads).c_str()));
    }
    return static_cast<unsigned>(std::min<Py_ssize_t>(n, 1024));
}

// A non-negative int (or anything with __index__) for max_dist and k, saturated at `cap`.
std::size_t read_count(nb::handle value, const char* name, std::size_t cap) {
    PyObject* number = PyNumber_Index(value.ptr());
    if (number == nullptr || PyBool_Check(value.ptr())) {
        Py_XDECREF(number);
        PyErr_Clear();
        refuse(std::string(name) + " must be an int, got " + type_name(value.ptr()));
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
    Py_DECREF(number);
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        refuse(std::string(name) + " must be >= 0, got " + std::string(nb::str(value).c_str()));
    }
    if (overflow > 0 || static_cast<unsigned long long>(v) > cap) return cap;
    return static_cast<std::size_t>(v);
}

//--- Hex text -----------------------------------------------------------------------------

struct width {
    unsigned bits = 0;  // 0 until the first hash sets it
    std::size_t digits() const { return (bits + 3) / 4; }
    std::size_t words() const { return (bits + 63) / 64; }
};

// How a refused hash is named: "query", or "hash at position 17". Built only on the way to an
// error, so that the millions of hashes that pass cost nothing for it.
struct naming {
    const char* noun;
    std::size_t position;
    bool positional;
    std::string operator()() const {
        return positional ? std::string(noun) + " at position " + std::to_string(position) : std::string(noun);
    }
};

[[noreturn]] void refuse_invalid_character(const naming& what, PyObject* item, std::size_t k) {
    nb::object c = nb::steal(PyUnicode_Substring(item, static_cast<Py_ssize_t>(k), static_cast<Py_ssize_t>(k + 1)));
    refuse(what() + " has an invalid character " + std::string(nb::repr(c).c_str()) + " at offset " +
           std::to_string(k));
}

// Packs one hash into `out` (words() words), or refuses it.
void parse_hash(PyObject* item, const naming& what, width& w, std::uint64_t* out) {
    if (!PyUnicode_Check(item)) refuse(what() + " is " + type_name(item) + ", not str");
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
    if (w.bits == 0) {
        if (length == 0) refuse(what() + " is empty");
        if (length > max_bits / 4) {
            refuse(what() + " has " + std::to_string(length) + " digits; at most " +
                   std::to_string(max_bits / 4) + " are supported");
        }
        w.bits = static_cast<unsigned>(4 * length);
    }
    if (length != w.digits()) {
        refuse(what() + " has " + std::to_string(length) + " digits, but the index holds " +
               std::to_string(w.digits()) + "-digit hashes");
    }
    if (!PyUnicode_IS_ASCII(item)) {
        const int kind = PyUnicode_KIND(item);
        const void* data = PyUnicode_DATA(item);
        for (std::size_t k = 0; k < length; ++k) {
            if (PyUnicode_READ(kind, data, k) > 127) refuse_invalid_character(what, item, k);
        }
    }
    const char* text = static_cast<const char*>(PyUnicode_DATA(item));
    if (!quorvalent::pack_hex(text, length, out)) {
        refuse_invalid_character(what, item, quorvalent::first_invalid_digit(text, length));
    }
    const unsigned top = w.bits - 64 * static_cast<unsigned>(w.words() - 1);
    if (top < 64 && (out[w.words() - 1] >> top) != 0) {
        refuse(what() + " sets bits above the index's " + std::to_string(w.bits) + " bits");
    }
}

// Every hash of an iterable, packed; nothing is kept if one is refused.
std::vector<std::uint64_t> parse_hashes(nb::handle hashes, width& w, const char* noun) {
    std::vector<std::uint64_t> words;
    std::array<std::uint64_t, max_words> one{};
    auto take = [&](PyObject* item, std::size_t pos) {
        parse_hash(item, naming{noun, pos, true}, w, one.data());
        words.insert(words.end(), one.begin(), one.begin() + static_cast<std::ptrdiff_t>(w.words()));
    };
    if (PyUnicode_Check(hashes.ptr()) || PyBytes_Check(hashes.ptr())) {
        refuse(std::string("expected an iterable of str ") + noun + "es, got a single " +
               type_name(hashes.ptr()));
    }
    if (PyList_CheckExact(hashes.ptr()) || PyTuple_CheckExact(hashes.ptr())) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(hashes.ptr());
        PyObject** items = PySequence_Fast_ITEMS(hashes.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) {
            take(items[i], static_cast<std::size_t>(i));
            if (i == 0) words.reserve(static_cast<std::size_t>(n) * w.words());
        }
        return words;
    }
    nb::object it = nb::steal(PyObject_GetIter(hashes.ptr()));
    if (!it.is_valid()) {
        PyErr_Clear();
        refuse(std::string("expected an iterable of str ") + noun + "es, got " + type_name(hashes.ptr()));
    }
    std::size_t pos = 0;
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object owned = nb::steal(item);
        take(item, pos++);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return words;
}

//--- Results ------------------------------------------------------------------------------

template <class T, class... Shape>
nb::ndarray<nb::numpy, T> owned_array(std::vector<T>&& v, Shape... shape) {
    auto* p = new std::vector<T>(std::move(v));
    nb::capsule owner(p, [](void* x) noexcept { delete static_cast<std::vector<T>*>(x); });
    const std::size_t dims[] = {static_cast<std::size_t>(shape)...};
    return nb::ndarray<nb::numpy, T>(p->data(), sizeof...(Shape), dims, owner);
}

nb::tuple ids_and_dists(const std::vector<qc::hit>& hits) {
    std::vector<std::int64_t> ids(hits.size());
    std::vector<std::int32_t> dists(hits.size());
    for (std::size_t k = 0; k < hits.size(); ++k) {
        ids[k] = hits[k].id;
        dists[k] = static_cast<std::int32_t>(hits[k].dist);
    }
    const std::size_t n = hits.size();
    return nb::make_tuple(owned_array(std::move(ids), n), owned_array(std::move(dists), n));
}

nb::tuple pair_arrays(const std::vector<qc::pair_hit>& pairs) {
    const std::size_t n = pairs.size();
    std::vector<std::int64_t> i(n), j(n);
    std::vector<std::int32_t> d(n);
    for (std::size_t k = 0; k < n; ++k) {
        i[k] = pairs[k].i;
        j[k] = pairs[k].j;
        d[k] = static_cast<std::int32_t>(pairs[k].dist);
    }
    return nb::make_tuple(owned_array(std::move(i), n), owned_array(std::move(j), n),
                          owned_array(std::move(d), n));
}

//--- The index ----------------------------------------------------------------------------

class hash_index {
   public:
    hash_index(nb::handle hashes, nb::handle bits) {
        if (!bits.is_none()) {
            const std::size_t b = read_count(bits, "bits", max_bits + 1);
            if (b < 1 || b > max_bits) refuse("bits must be between 1 and 4096, got " + std::string(nb::str(bits).c_str()));
            width_.bits = static_cast<unsigned>(b);
            core_ = std::make_shared<qc::code_index>(width_.bits);
        }
        if (hashes.is_valid() && !hashes.is_none()) add(hashes);
    }

    std::size_t add(nb::handle hashes) {
        const auto writer = lock_writer();
        width w = state().w;
        std::vector<std::uint64_t> words = parse_hashes(hashes, w, "hash");
        return append(w, words);
    }

    // Packed codes: uint64 of shape (N,) for up to 64 bits, or uint8 rows of ceil(bits / 8)
    // bytes holding each code's big-endian value, as bytes.fromhex gives them.
    void add_codes(nb::ndarray<nb::ro, nb::c_contig, nb::device::cpu> codes) {
        const auto writer = lock_writer();
        const width w = state().w;
        if (w.bits == 0) refuse("packed codes need the index's bits to be set");
        const std::size_t nw = w.words();
        std::vector<std::uint64_t> words;
        const auto dtype = codes.dtype();
        const unsigned top = w.bits - 64 * static_cast<unsigned>(nw - 1);
        auto check_top = [&](std::size_t row, std::uint64_t last) {
            if (top < 64 && (last >> top) != 0) {
                refuse("code at position " + std::to_string(row) + " sets bits above the index's " +
                       std::to_string(w.bits) + " bits");
            }
        };
        if (dtype == nb::dtype<std::uint64_t>() && codes.ndim() == 1) {
            if (w.bits > 64) refuse("uint64 codes hold at most 64 bits; pass uint8 rows for " + std::to_string(w.bits) + " bits");
            const auto* p = static_cast<const std::uint64_t*>(codes.data());
            words.assign(p, p + codes.shape(0));
            for (std::size_t i = 0; i < words.size(); ++i) check_top(i, words[i]);
        } else if (dtype == nb::dtype<std::uint64_t>() && codes.ndim() == 2 && codes.shape(1) == nw) {
            // The saved layout: word j of a code holds its digits 16j.. as one number.
            const auto* p = static_cast<const std::uint64_t*>(codes.data());
            words.assign(p, p + codes.shape(0) * nw);
            for (std::size_t i = 0; i < codes.shape(0); ++i) check_top(i, words[i * nw + nw - 1]);
        } else if (dtype == nb::dtype<std::uint8_t>() && codes.ndim() == 2) {
            const std::size_t row_bytes = (w.bits + 7) / 8;
            if (codes.shape(1) != row_bytes) {
                refuse("uint8 codes of " + std::to_string(w.bits) + " bits need rows of " +
                       std::to_string(row_bytes) + " bytes, got " + std::to_string(codes.shape(1)));
            }
            const auto* p = static_cast<const std::uint8_t*>(codes.data());
            const std::size_t n = codes.shape(0);
            const std::size_t digits = w.digits();
            words.assign(n * nw, 0);
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint8_t* row = p + i * row_bytes;
                // Nibbles of the row, most significant first; the code is its last `digits`.
                const std::size_t skip = 2 * row_bytes - digits;
                if (skip == 1 && (row[0] >> 4) != 0) {
                    refuse("code at position " + std::to_string(i) + " sets bits above the index's " +
                           std::to_string(w.bits) + " bits");
                }
                std::uint64_t* out = words.data() + i * nw;
                for (std::size_t d = 0; d < digits; ++d) {
                    const std::size_t nib = skip + d;
                    const unsigned v = (nib % 2 == 0) ? row[nib / 2] >> 4 : row[nib / 2] & 15u;
                    const std::size_t word = d / quorvalent::digits_per_word;
                    out[word] = (out[word] << 4) | v;
                }
                check_top(i, out[nw - 1]);
            }
        } else {
            refuse("codes must be a uint64 array of shape (N,) or a uint8 array of shape (N, " +
                   std::to_string((w.bits + 7) / 8) + ")");
        }
        append(w, words);
    }

    // Codes that live in a mapped file: (N, words) uint64, kept alive by `owner`.
    void borrow_codes(nb::ndarray<const std::uint64_t, nb::ndim<2>, nb::c_contig, nb::device::cpu> codes,
                      nb::object owner) {
        const auto writer = lock_writer();
        const snapshot st = state();
        if (!st.core || codes.shape(1) != st.w.words()) refuse("codes have the wrong number of words per code");
        if (reinterpret_cast<std::uintptr_t>(codes.data()) % alignof(std::uint64_t) != 0) {
            refuse("mapped codes must be aligned to 8 bytes");
        }
        keep_alive_.push_back(owner);
        std::shared_ptr<qc::code_index> core = st.core;
        nb::gil_scoped_release release;
        core->borrow(codes.data(), codes.shape(0));
    }

    // A copy of the codes, (N, words) uint64, for saving.
    nb::ndarray<nb::numpy, std::uint64_t> codes() const {
        const snapshot st = state();
        std::shared_ptr<qc::code_index> core = st.core;
        const std::size_t nw = st.w.words();
        if (!core) return owned_array(std::vector<std::uint64_t>(), 0, 0);
        std::vector<std::uint64_t> out;
        {
            nb::gil_scoped_release release;
            out = core->all_codes();
        }
        const std::size_t n = out.size() / nw;
        return owned_array(std::move(out), n, nw);
    }

    std::size_t size() const {
        std::shared_ptr<qc::code_index> core = current();
        return core ? core->size() : 0;
    }
    nb::object bits() const {
        const width w = state().w;
        if (w.bits == 0) return nb::none();
        return nb::int_(w.bits);
    }
    std::size_t nbytes() const {
        std::shared_ptr<qc::code_index> core = current();
        return core ? core->memory_bytes() : 0;
    }

    nb::tuple within(nb::handle query, nb::handle max_dist) const {
        const std::size_t r = read_count(max_dist, "max_dist", max_bits);
        std::array<std::uint64_t, max_words> q;
        std::shared_ptr<qc::code_index> core = read_query(query, "query", q.data());
        if (!core) return ids_and_dists({});
        std::vector<qc::hit> hits;
        {
            nb::gil_scoped_release release;
            hits = core->within(q.data(), static_cast<unsigned>(r));
        }
        return ids_and_dists(hits);
    }

    nb::tuple nearest(nb::handle query, nb::handle k) const {
        const std::size_t kk = read_count(k, "k", qc::max_codes);
        std::array<std::uint64_t, max_words> q;
        std::shared_ptr<qc::code_index> core = read_query(query, "query", q.data());
        if (!core) return ids_and_dists({});
        std::vector<qc::hit> hits;
        {
            nb::gil_scoped_release release;
            hits = core->nearest(q.data(), kk);
        }
        return ids_and_dists(hits);
    }

    nb::tuple within_many(nb::handle queries, nb::handle max_dist, nb::handle threads) const {
        const std::size_t r = read_count(max_dist, "max_dist", max_bits);
        const unsigned nt = read_threads(threads);
        std::shared_ptr<qc::code_index> core;
        std::size_t nw = 0;
        std::vector<std::uint64_t> qs = read_queries(queries, core, nw);
        const std::size_t nq = nw ? qs.size() / nw : 0;
        std::vector<std::vector<qc::hit>> rows(core ? nq : 0);
        std::vector<std::int64_t> offsets(nq + 1, 0);
        std::vector<std::int64_t> ids;
        std::vector<std::int32_t> dists;
        {
            nb::gil_scoped_release release;
            if (core) rows = core->within_many(qs.data(), nq, static_cast<unsigned>(r), nt);
            for (std::size_t k = 0; k < rows.size(); ++k) offsets[k + 1] = offsets[k] + static_cast<std::int64_t>(rows[k].size());
            ids.reserve(static_cast<std::size_t>(offsets[nq]));
            dists.reserve(static_cast<std::size_t>(offsets[nq]));
            for (const auto& row : rows) {
                for (const qc::hit& h : row) {
                    ids.push_back(h.id);
                    dists.push_back(static_cast<std::int32_t>(h.dist));
                }
            }
        }
        const std::size_t total = ids.size();
        return nb::make_tuple(owned_array(std::move(offsets), nq + 1), owned_array(std::move(ids), total),
                              owned_array(std::move(dists), total));
    }

    nb::tuple nearest_many(nb::handle queries, nb::handle k, nb::handle threads) const {
        const std::size_t kk = read_count(k, "k", qc::max_codes);
        const unsigned nt = read_threads(threads);
        std::shared_ptr<qc::code_index> core;
        std::size_t nw = 0;
        std::vector<std::uint64_t> qs = read_queries(queries, core, nw);
        const std::size_t nq = nw ? qs.size() / nw : 0;
        const std::size_t cols = std::min(kk, core ? core->size() : 0);
        std::vector<std::int64_t> ids(nq * cols);
        std::vector<std::int32_t> dists(nq * cols);
        if (core && cols) {
            nb::gil_scoped_release release;
            const std::vector<std::vector<qc::hit>> rows = core->nearest_many(qs.data(), nq, cols, nt);
            for (std::size_t q = 0; q < nq; ++q) {
                // The index may have grown since `cols` was read; a row never has fewer.
                for (std::size_t c = 0; c < cols; ++c) {
                    ids[q * cols + c] = rows[q][c].id;
                    dists[q * cols + c] = static_cast<std::int32_t>(rows[q][c].dist);
                }
            }
        }
        return nb::make_tuple(owned_array(std::move(ids), nq, cols), owned_array(std::move(dists), nq, cols));
    }

    nb::tuple pairs(nb::handle max_dist, nb::handle other, nb::handle threads, nb::handle progress) const {
        const std::size_t r = read_count(max_dist, "max_dist", max_bits);
        const unsigned nt = read_threads(threads);
        std::shared_ptr<qc::code_index> core = current();
        std::shared_ptr<qc::code_index> other_core;
        if (!other.is_none()) {
            if (!nb::isinstance<hash_index>(other)) refuse("other must be a HashIndex, got " + type_name(other.ptr()));
            const hash_index& o = nb::cast<const hash_index&>(other);
            const width mine = state().w, theirs = o.state().w;
            if (mine.bits && theirs.bits && mine.bits != theirs.bits) {
                refuse("other holds " + std::to_string(theirs.bits) + "-bit codes, but this index holds " +
                       std::to_string(mine.bits) + "-bit codes");
            }
            other_core = o.current();
            if (!other_core) return pair_arrays({});
        }
        if (!core) return pair_arrays({});
        std::atomic<bool> cancel{false};
        std::atomic<std::size_t> done{0}, total{0};
        std::vector<qc::pair_hit> found;
        bool failed = false;
        {
            nb::gil_scoped_release release;
            std::mutex m;
            std::condition_variable cv;
            bool finished = false;
            std::thread runner([&] {
                found = other_core ? core->cross_pairs(*other_core, static_cast<unsigned>(r), nt, &cancel, &done, &total)
                                   : core->pairs(static_cast<unsigned>(r), nt, &cancel, &done, &total);
                std::lock_guard g(m);
                finished = true;
                cv.notify_all();
            });
            // Ctrl-C and the progress callback are served from this thread while the join
            // runs: every 100 ms it takes the interpreter's lock for a moment.
            std::unique_lock lock(m);
            while (!cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return finished; })) {
                lock.unlock();
                if (!failed) {
                    nb::gil_scoped_acquire acquire;
                    if (PyErr_CheckSignals() != 0) {
                        failed = true;
                    } else if (!progress.is_none()) {
                        PyObject* res = PyObject_CallFunction(progress.ptr(), "nn",
                                                              static_cast<Py_ssize_t>(done.load()),
                                                              static_cast<Py_ssize_t>(total.load()));
                        if (res == nullptr) failed = true;
                        Py_XDECREF(res);
                    }
                }
                if (failed) cancel = true;
                lock.lock();
            }
            lock.unlock();
            runner.join();
        }
        if (failed) throw nb::python_error();
        return pair_arrays(found);
    }

    nb::list hex(nb::handle ids) const {
        const snapshot st = state();
        std::shared_ptr<qc::code_index> core = st.core;
        const std::size_t n = core ? core->size() : 0;
        const std::size_t digits = st.w.digits();
        nb::list out;
        nb::object it = nb::steal(PyObject_GetIter(ids.ptr()));
        if (!it.is_valid()) {
            PyErr_Clear();
            refuse(std::string("ids must be an iterable of int, got ") + type_name(ids.ptr()));
        }
        std::array<std::uint64_t, max_words> code;
        std::string text(digits, '0');
        std::size_t pos = 0;
        while (PyObject* item = PyIter_Next(it.ptr())) {
            nb::object owned = nb::steal(item);
            PyObject* number = PyNumber_Index(item);
            if (number == nullptr) {
                PyErr_Clear();
                refuse("id at position " + std::to_string(pos) + " is " + type_name(item) + ", not int");
            }
            int overflow = 0;
            const long long id = PyLong_AsLongLongAndOverflow(number, &overflow);
            Py_DECREF(number);
            if (overflow != 0 || id < 0 || static_cast<unsigned long long>(id) >= n) {
                refuse("id at position " + std::to_string(pos) + " is " + std::string(nb::str(owned).c_str()) +
                       ", but the index holds " + std::to_string(n) + " hashes");
            }
            core->code(static_cast<qc::code_id>(id), code.data());
            quorvalent::unpack_hex(code.data(), digits, text.data());
            out.append(nb::str(text.data(), text.size()));
            ++pos;
        }
        if (PyErr_Occurred()) throw nb::python_error();
        return out;
    }

    std::string plan(nb::handle max_dist, const std::string& kind) const {
        const std::size_t r = read_count(max_dist, "max_dist", max_bits);
        std::shared_ptr<qc::code_index> core = current();
        if (!core) return "empty index";
        const qc::search_plan p = kind == "pairs" ? core->plan_pairs(static_cast<unsigned>(r))
                                                  : core->plan_within(static_cast<unsigned>(r));
        std::string blocks = "blocks [";
        bool first = true;
        for (const qc::table_layout& t : core->layout()) {
            blocks += (first ? "" : ", ") + std::string("word ") + std::to_string(t.word) + " bits " +
                      std::to_string(t.shift) + "-" + std::to_string(t.shift + t.width - 1) + " (" +
                      std::to_string(t.prefix) + "-bit buckets)";
            first = false;
        }
        return blocks + "]; " + p.describe();
    }

    std::string repr() const {
        const width w = state().w;
        return "HashIndex(" + std::to_string(size()) + " hashes of " +
               (w.bits ? std::to_string(w.bits) + " bits)" : std::string("unset width)"));
    }

   private:
    struct snapshot {
        std::shared_ptr<qc::code_index> core;
        width w;
    };
    snapshot state() const {
        std::lock_guard g(state_mutex_);
        return {core_, width_};
    }
    std::shared_ptr<qc::code_index> current() const { return state().core; }

    // The writer's lock is taken without the interpreter's: a thread that holds the
    // interpreter's lock must never wait for a writer that needs it back.
    std::unique_lock<std::mutex> lock_writer() {
        std::unique_lock<std::mutex> writer(add_mutex_, std::defer_lock);
        nb::gil_scoped_release release;
        writer.lock();
        return writer;
    }

    std::size_t append(const width& w, std::vector<std::uint64_t>& words) {
        std::shared_ptr<qc::code_index> core = current();
        if (!core) {
            if (w.bits == 0) return 0;  // nothing seen, width still open
            core = std::make_shared<qc::code_index>(w.bits);
            std::lock_guard g(state_mutex_);
            core_ = core;
            width_ = w;
        }
        const std::size_t n = words.size() / w.words();
        std::size_t first = 0;
        bool ok = true;
        {
            nb::gil_scoped_release release;
            first = core->size();
            ok = core->append(words.data(), n);
        }
        if (!ok) refuse("an index holds at most 4294967295 hashes");
        return first;
    }

    std::shared_ptr<qc::code_index> read_query(nb::handle query, const char* what, std::uint64_t* q) const {
        snapshot st = state();
        parse_hash(query.ptr(), naming{what, 0, false}, st.w, q);
        return st.core;
    }

    std::vector<std::uint64_t> read_queries(nb::handle queries, std::shared_ptr<qc::code_index>& core,
                                            std::size_t& words) const {
        snapshot st = state();
        core = st.core;
        std::vector<std::uint64_t> qs = parse_hashes(queries, st.w, "query");
        words = st.w.words();
        return qs;
    }

    mutable std::mutex state_mutex_;  // guards core_ and width_, which are set once
    std::mutex add_mutex_;            // one add at a time, so the first sets the width
    std::shared_ptr<qc::code_index> core_;
    width width_;
    std::vector<nb::object> keep_alive_;
};

}  // namespace

NB_MODULE(_core, m) {
    m.doc() = "The compiled core of quorvalent_index: exact near-duplicate search over hex hashes.";
    m.attr("__version__") = QUORVALENT_VERSION;
    m.attr("scan_kernel") = qc::active_scan_kernel_name();
    // The hex kernel quorvalent runs on this CPU: the same core, linked into both modules, makes
    // the same choice. Benchmarks read it here, since quorvalent's own surface is fixed.
    m.attr("hex_kernel") = quorvalent::active_kernel_name();

    nb::class_<hash_index>(m, "HashIndex")
        .def(nb::init<nb::handle, nb::handle>(), nb::arg("hashes").none() = nb::tuple(), nb::kw_only(),
             nb::arg("bits").none() = nb::none(),
             "An index of hex hashes, all of one length. `bits` fixes the width before any hash "
             "is added; otherwise the first hash sets it.")
        .def("add", &hash_index::add, nb::arg("hashes").none(),
             "Adds hashes and returns the id of the first; ids are insertion positions. A "
             "refused hash leaves the index as it was.")
        .def("_add_codes", &hash_index::add_codes, nb::arg("codes"))
        .def("_borrow_codes", &hash_index::borrow_codes, nb::arg("codes"), nb::arg("owner"))
        .def("_codes", &hash_index::codes)
        .def("__len__", &hash_index::size)
        .def("__repr__", &hash_index::repr)
        .def_prop_ro("bits", &hash_index::bits, "Bits per code, or None while the index has no width.")
        .def_prop_ro("nbytes", &hash_index::nbytes, "Bytes the index holds: codes and tables.")
        .def("within", &hash_index::within, nb::arg("query").none(), nb::arg("max_dist").none(),
             "(ids, dists) of every hash within max_dist bits of query, sorted by (distance, id).")
        .def("nearest", &hash_index::nearest, nb::arg("query").none(), nb::arg("k").none(),
             "(ids, dists) of the k nearest hashes, sorted by (distance, id).")
        .def("within_many", &hash_index::within_many, nb::arg("queries").none(), nb::arg("max_dist").none(),
             nb::kw_only(), nb::arg("threads").none() = nb::none(),
             "(offsets, ids, dists): the answers of query q are ids[offsets[q]:offsets[q + 1]].")
        .def("nearest_many", &hash_index::nearest_many, nb::arg("queries").none(), nb::arg("k").none(),
             nb::kw_only(), nb::arg("threads").none() = nb::none(),
             "(ids, dists) of shape (len(queries), min(k, len(index))).")
        .def("pairs", &hash_index::pairs, nb::arg("max_dist").none(), nb::kw_only(),
             nb::arg("other").none() = nb::none(), nb::arg("threads").none() = nb::none(),
             nb::arg("progress").none() = nb::none(),
             "(i, j, d) of every pair within max_dist bits, sorted by (i, j): i < j within this "
             "index, or i in this index and j in `other`. `progress(done, total)` is called "
             "about every 0.1 s.")
        .def("hex", &hash_index::hex, nb::arg("ids").none(), "The hashes of these ids, as lower-case hex.")
        .def("plan", &hash_index::plan, nb::arg("max_dist").none(), nb::arg("kind") = "within",
             "How a search at this radius would run, and why.");
}
