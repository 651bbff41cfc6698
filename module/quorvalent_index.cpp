// The Python binding of the near-duplicate index: argument checks, conversion of hex text and
// arrays into packed codes, and of answers into numpy arrays. The search itself lives in
// core/codes; every search runs without the interpreter's lock.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "quorvalent/arrow_codes.hpp"
#include "quorvalent/block_layout.hpp"
#include "quorvalent/code_index.hpp"
#include "quorvalent/hex_codes.hpp"
#include "quorvalent/ingest.hpp"
#include "quorvalent/hex_distance.hpp"
#include "version.h"

namespace nb = nanobind;
namespace qc = quorvalent::codes;
using quorvalent::max_code_bits;
using quorvalent::max_code_words;

namespace {

//--- Errors -----------------------------------------------------------------------------------

// A refused hash or code. Its position in the caller's input travels as data, so that callers
// (the command line) can say where it was without reading the message.
struct hash_error {
    std::string noun;  // "hash", "query", "code"
    bool positional;
    std::size_t position;
    std::string reason;  // "has 3 digits, but the index holds 2-digit hashes"
    std::string message() const {
        return noun + (positional ? " at position " + std::to_string(position) : std::string()) + " " + reason;
    }
};

PyObject* hash_error_type = nullptr;  // quorvalent_index.HashError, a ValueError; set at import

[[noreturn]] void refuse(const std::string& message) { throw nb::value_error(message.c_str()); }

std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

// repr() of any object as text that is valid UTF-8: an object's own __repr__ may return text
// that cannot be encoded (a lone surrogate), and then its ascii() is used.
std::string describe(nb::handle obj) {
    for (auto render : {PyObject_Repr, PyObject_ASCII}) {
        nb::object text = nb::steal(render(obj.ptr()));
        Py_ssize_t size = 0;
        const char* utf8 = text.is_valid() ? PyUnicode_AsUTF8AndSize(text.ptr(), &size) : nullptr;
        if (utf8 != nullptr) return std::string(utf8, static_cast<std::size_t>(size));
        PyErr_Clear();
    }
    return "<" + type_name(obj.ptr()) + " object>";
}

//--- The interpreter's lock, and its exit -------------------------------------------------------
//
// At exit the interpreter ends every thread that tries to take its lock again; on CPython 3.11
// that is pthread_exit(), whose unwinding aborts the process when it meets a C++ frame that
// cannot pass it (a noexcept destructor, nanobind's catch-all). So no thread may ask for the
// lock once the exit has begun. The module registers `_interpreter_exit` with atexit, which runs
// before the interpreter starts to end threads: it closes the gate, and waits for any thread
// already on its way through the gate. A thread that finds the gate closed never takes the lock
// again: it cancels its work and sleeps until the process ends.

struct exit_gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool closed = false;
    int passing = 0;  // threads between their check of the gate and holding the lock
};

// Never destroyed: threads may still sleep at the gate while the process runs its exit handlers.
exit_gate& gate() {
    static exit_gate* g = new exit_gate;
    return *g;
}

[[noreturn]] void sleep_until_exit() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

// Takes the interpreter's lock back for a thread state saved by PyEval_SaveThread; false,
// without the lock, when the interpreter is exiting.
bool try_restore(PyThreadState* state) {
    exit_gate& g = gate();
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        if (g.closed) return false;
        ++g.passing;
    }
    PyEval_RestoreThread(state);
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        --g.passing;
    }
    g.changed.notify_all();
    return true;
}

void interpreter_exit() {
    exit_gate& g = gate();
    PyThreadState* state = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(g.mutex);
        g.closed = true;
        g.changed.wait(lock, [&] { return g.passing == 0; });
    }
    PyEval_RestoreThread(state);  // the main thread is never ended
}

// The interpreter's lock released for the life of the object.
class released_gil {
   public:
    released_gil() noexcept : state_(PyEval_SaveThread()) {}
    ~released_gil() {
        if (!try_restore(state_)) sleep_until_exit();
    }
    released_gil(const released_gil&) = delete;
    released_gil& operator=(const released_gil&) = delete;

    // The lock held for a moment inside the released region; false when exiting.
    bool visit() noexcept { return try_restore(state_); }
    void leave() noexcept { state_ = PyEval_SaveThread(); }

   private:
    PyThreadState* state_;
};

//--- Arguments ------------------------------------------------------------------------------

// Threads are capped: beyond this a machine runs out of cores long before work runs out.
constexpr unsigned max_threads = 1024;

unsigned cpu_count() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

std::size_t physical_memory() {
#if defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status)) return static_cast<std::size_t>(status.ullTotalPhys);
#else
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page > 0) return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page);
#endif
    return ~std::size_t{0};
}

// An int, or anything with __index__ (a numpy integer), but not a bool; saturated at `cap`.
long long read_int(nb::handle value, const char* name, long long low, long long cap, const char* low_text) {
    if (PyBool_Check(value.ptr()) || (!PyLong_Check(value.ptr()) && !PyIndex_Check(value.ptr()))) {
        refuse(std::string(name) + " must be an int, got " + type_name(value.ptr()));
    }
    nb::object number = nb::steal(PyNumber_Index(value.ptr()));
    if (!number.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow < 0 || (overflow == 0 && v < low)) refuse(std::string(name) + " must be " + low_text + ", got " + describe(value));
    if (overflow > 0 || v > cap) return cap;
    return v;
}

std::size_t read_count(nb::handle value, const char* name, std::size_t cap) {
    return static_cast<std::size_t>(read_int(value, name, 0, static_cast<long long>(cap), ">= 0"));
}

unsigned read_threads(nb::handle threads) {
    if (threads.is_none()) return std::min(cpu_count(), max_threads);
    if (PyBool_Check(threads.ptr()) || (!PyLong_Check(threads.ptr()) && !PyIndex_Check(threads.ptr()))) {
        refuse("threads must be a positive int or None, got " + describe(threads));
    }
    return static_cast<unsigned>(read_int(threads, "threads", 1, max_threads, "a positive int or None"));
}

qc::job make_job(unsigned threads) { return qc::job(threads, physical_memory()); }

std::vector<qc::code_id> read_arrow_ids(nb::handle ids, const char* name);

// Ids: an Arrow column of integers, a numpy array of integers, or any iterable of ints (not of
// bools, not of floats).
std::vector<qc::code_id> read_ids(nb::handle ids, const char* name) {
    if (PyUnicode_Check(ids.ptr()) || PyBytes_Check(ids.ptr())) {
        refuse(std::string(name) + " must be integers, got a single " + type_name(ids.ptr()));
    }
    std::vector<qc::code_id> out;
    if (PyObject_HasAttrString(ids.ptr(), "__arrow_c_stream__") || PyObject_HasAttrString(ids.ptr(), "__arrow_c_array__")) {
        return read_arrow_ids(ids, name);
    }
    nb::ndarray<nb::ro, nb::ndim<1>, nb::device::cpu> array;
    if (nb::try_cast(ids, array, false)) {
        const nb::dlpack::dtype t = array.dtype();
        const auto code = static_cast<nb::dlpack::dtype_code>(t.code);
        if ((code != nb::dlpack::dtype_code::Int && code != nb::dlpack::dtype_code::UInt) || t.lanes != 1 ||
            (t.bits != 8 && t.bits != 16 && t.bits != 32 && t.bits != 64)) {
            refuse(std::string(name) + " must be integers, got an array of " +
                   describe(nb::handle(ids).attr("dtype")));
        }
        const std::size_t n = array.shape(0);
        const auto stride = array.stride(0) * (t.bits / 8);
        const auto* base = static_cast<const std::uint8_t*>(array.data());
        out.resize(n);
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint8_t* at = base + static_cast<std::ptrdiff_t>(k) * stride;
            if (code == nb::dlpack::dtype_code::Int) {
                switch (t.bits) {
                    case 8: out[k] = *reinterpret_cast<const std::int8_t*>(at); break;
                    case 16: out[k] = *reinterpret_cast<const std::int16_t*>(at); break;
                    case 32: out[k] = *reinterpret_cast<const std::int32_t*>(at); break;
                    default: out[k] = *reinterpret_cast<const std::int64_t*>(at); break;
                }
            } else {
                std::uint64_t v = 0;
                switch (t.bits) {
                    case 8: v = *at; break;
                    case 16: v = *reinterpret_cast<const std::uint16_t*>(at); break;
                    case 32: v = *reinterpret_cast<const std::uint32_t*>(at); break;
                    default: v = *reinterpret_cast<const std::uint64_t*>(at); break;
                }
                if (v > static_cast<std::uint64_t>(INT64_MAX)) {
                    refuse(std::string(name) + " must fit in int64, got " + std::to_string(v) + " at position " + std::to_string(k));
                }
                out[k] = static_cast<qc::code_id>(v);
            }
        }
        return out;
    }
    nb::object it = nb::steal(PyObject_GetIter(ids.ptr()));
    if (!it.is_valid()) {
        PyErr_Clear();
        refuse(std::string(name) + " must be an array or an iterable of int, got " + type_name(ids.ptr()));
    }
    std::size_t pos = 0;
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object owned = nb::steal(item);
        if (PyBool_Check(item) || (!PyLong_Check(item) && !PyIndex_Check(item))) {
            refuse(std::string(name) + " must be integers, got " + type_name(item) + " at position " + std::to_string(pos));
        }
        nb::object number = nb::steal(PyNumber_Index(item));
        if (!number.is_valid()) throw nb::python_error();
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
        if (overflow != 0) refuse(std::string(name) + " must fit in int64, got " + describe(owned) + " at position " + std::to_string(pos));
        out.push_back(v);
        ++pos;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

//--- Long operations ----------------------------------------------------------------------------

// Ctrl-C and progress are served this often while an operation runs.
constexpr auto poll_interval = std::chrono::milliseconds(50);

// Runs work() on a thread of its own, while this thread, without the interpreter's lock, serves
// Ctrl-C and the progress callback. A Python exception raised by either cancels the work and
// is raised here once the work has stopped; so is any exception of the work itself.
template <class Work>
void run_long(qc::job& j, nb::handle progress, Work&& work) {
    std::exception_ptr failure;
    std::mutex m;
    std::condition_variable cv;
    bool finished = false;
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;  // a Python error caught while polling
    {
        released_gil unlocked;
        std::thread runner;
        try {
            runner = std::thread([&] {
                try {
                    work();
                } catch (...) {
                    failure = std::current_exception();
                }
                std::lock_guard<std::mutex> lock(m);
                finished = true;
                cv.notify_all();
            });
        } catch (const std::exception& e) {
            failure = std::make_exception_ptr(qc::thread_start_error(std::string("could not start a thread: ") + e.what()));
            finished = true;
        }
        std::unique_lock<std::mutex> lock(m);
        while (!finished) {
            if (cv.wait_for(lock, poll_interval, [&] { return finished; })) break;
            lock.unlock();
            if (type == nullptr && !j.cancelled()) {
                if (!unlocked.visit()) {
                    j.cancel();  // the interpreter is exiting: stop, and never take the lock again
                } else {
                    if (PyErr_CheckSignals() == 0 && !progress.is_none()) {
                        PyObject* res = PyObject_CallFunction(progress.ptr(), "nn", static_cast<Py_ssize_t>(j.done()),
                                                              static_cast<Py_ssize_t>(j.total()));
                        Py_XDECREF(res);
                    }
                    if (PyErr_Occurred()) {
                        PyErr_Fetch(&type, &value, &trace);
                        j.cancel();
                    }
                    unlocked.leave();
                }
            }
            lock.lock();
        }
        lock.unlock();
        if (runner.joinable()) runner.join();
    }
    if (type != nullptr) {
        PyErr_Restore(type, value, trace);
        throw nb::python_error();
    }
    if (failure) std::rethrow_exception(failure);
}

//--- Hex text -----------------------------------------------------------------------------

struct width {
    unsigned bits = 0;  // 0 until the first hash sets it
    std::size_t digits() const { return quorvalent::digits_for_bits(bits); }
    std::size_t words() const { return quorvalent::words_for_bits(bits); }
};

// How a hash is named in errors: "query", or "hash at position 17".
struct naming {
    const char* noun;
    std::size_t position;
    bool positional;
    [[noreturn]] void refuse(std::string reason) const { throw hash_error{noun, positional, position, std::move(reason)}; }
};

// Why a text was refused, in the words every input of hex text uses; `bad` holds the UTF-8 bytes
// of the invalid character, when that is the reason.
std::string text_reason(const quorvalent::text_check& c, const std::string& bad, unsigned bits) {
    using quorvalent::text_check;
    switch (c.outcome) {
        case text_check::empty:
            return "is empty";
        case text_check::too_long:
            return "has " + std::to_string(c.digits) + " digits; at most " + std::to_string(max_code_bits / 4) + " are supported";
        case text_check::wrong_length:
            return "has " + std::to_string(c.digits) + " digits, but the index holds " +
                   std::to_string(quorvalent::digits_for_bits(bits)) + "-digit hashes";
        case text_check::invalid_character: {
            nb::object ch = nb::steal(PyUnicode_DecodeUTF8(bad.data(), static_cast<Py_ssize_t>(bad.size()), "replace"));
            if (!ch.is_valid()) throw nb::python_error();
            return "has an invalid character " + describe(ch) + " at offset " + std::to_string(c.offset);
        }
        case text_check::above_width:
            return "sets bits above the index's " + std::to_string(bits) + " bits";
        case text_check::ok:
            break;
    }
    return "";
}

// Packs one hash into `out` (words() words), or refuses it. The first hash of an index without
// a width sets it.
void parse_hash(PyObject* item, const naming& what, width& w, std::uint64_t* out) {
    if (!PyUnicode_Check(item)) what.refuse("is " + type_name(item) + ", not str");
    const char* text = nullptr;
    Py_ssize_t size = 0;
    if (PyUnicode_IS_ASCII(item)) {
        text = static_cast<const char*>(PyUnicode_DATA(item));
        size = PyUnicode_GET_LENGTH(item);
    } else if ((text = PyUnicode_AsUTF8AndSize(item, &size)) == nullptr) {
        // A lone surrogate has no UTF-8 form; it is the invalid character.
        PyErr_Clear();
        const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
        const int kind = PyUnicode_KIND(item);
        const void* data = PyUnicode_DATA(item);
        std::size_t k = 0;
        while (k < length && !(PyUnicode_READ(kind, data, k) >= 0xD800 && PyUnicode_READ(kind, data, k) < 0xE000)) ++k;
        nb::object c = nb::steal(PyUnicode_Substring(item, static_cast<Py_ssize_t>(k), static_cast<Py_ssize_t>(k + 1)));
        what.refuse("has an invalid character " + describe(c) + " at offset " + std::to_string(k));
    }
    const unsigned before = w.bits;
    const quorvalent::text_check c = quorvalent::pack_hex_text(text, static_cast<std::size_t>(size), w.bits, out);
    if (c.outcome != quorvalent::text_check::ok) {
        const std::string bad = c.outcome == quorvalent::text_check::invalid_character ? std::string(text + c.byte_offset, c.byte_length)
                                                                                         : std::string();
        what.refuse(text_reason(c, bad, before ? before : w.bits));
    }
}

const char* plural(const char* noun) {
    const std::string n(noun);
    return n == "query" ? "queries" : n == "code" ? "codes" : "hashes";
}

[[noreturn]] void refuse_row(const qc::ingest_refusal& r, const char* noun, unsigned bits) {
    using quorvalent::arrow::row_refusal;
    std::string reason;
    switch (r.detail.what) {
        case row_refusal::null:
            reason = "is null";
            break;
        case row_refusal::text:
            reason = text_reason(r.detail.check, r.detail.bad_character, bits);
            break;
        case row_refusal::byte_width:
            reason = bits == 0 ? "has " + std::to_string(r.detail.bytes) + " bytes, which hold no code"
                               : "has " + std::to_string(r.detail.bytes) + " bytes, but the index holds " +
                                     std::to_string(quorvalent::bytes_for_bits(bits)) + "-byte codes";
            break;
        case row_refusal::not_text:
            reason = "is no str";
            break;
        case row_refusal::above_width:
        case row_refusal::none:
            reason = "sets bits above the index's " + std::to_string(bits) + " bits";
            break;
    }
    throw hash_error{noun, true, r.row, reason};
}

// An Arrow column taken from an object that speaks the PyCapsule protocol: its schema and its
// arrays, moved out of the producer's capsules and released here.
struct arrow_column {
    ArrowSchema schema{};
    std::vector<ArrowArray> arrays;
    arrow_column() = default;
    arrow_column(const arrow_column&) = delete;
    arrow_column& operator=(const arrow_column&) = delete;
    ~arrow_column() {
        for (ArrowArray& a : arrays) {
            if (a.release) a.release(&a);
        }
        if (schema.release) schema.release(&schema);
    }
    std::size_t rows() const {
        std::size_t n = 0;
        for (const ArrowArray& a : arrays) n += static_cast<std::size_t>(a.length);
        return n;
    }
};

template <class T>
T* capsule_pointer(nb::handle capsule, const char* name) {
    auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule.ptr(), name));
    if (p == nullptr) throw nb::python_error();
    return p;
}

// Reads an object with __arrow_c_stream__ (chunked arrays, tables' columns, Polars and pandas
// series) or __arrow_c_array__; false when it has neither.
bool read_arrow(nb::handle obj, arrow_column& col, const char* what) {
    if (PyObject_HasAttrString(obj.ptr(), "__arrow_c_stream__")) {
        nb::object capsule = obj.attr("__arrow_c_stream__")();
        ArrowArrayStream* owned = capsule_pointer<ArrowArrayStream>(capsule, "arrow_array_stream");
        // Moved out of the capsule: its destructor releases only a stream not yet released.
        ArrowArrayStream stream = *owned;
        owned->release = nullptr;
        struct release_stream {
            ArrowArrayStream& s;
            ~release_stream() {
                if (s.release) s.release(&s);
            }
        } guard{stream};
        auto fail = [&](int code) {
            const char* message = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
            refuse(std::string(what) + ": the Arrow stream failed (" + (message ? message : std::to_string(code)) + ")");
        };
        if (const int code = stream.get_schema(&stream, &col.schema)) fail(code);
        for (;;) {
            ArrowArray a{};
            if (const int code = stream.get_next(&stream, &a)) fail(code);
            if (a.release == nullptr) break;
            col.arrays.push_back(a);
        }
        return true;
    }
    if (PyObject_HasAttrString(obj.ptr(), "__arrow_c_array__")) {
        nb::object pair = obj.attr("__arrow_c_array__")();
        if (!PyTuple_Check(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2) refuse(std::string(what) + ": __arrow_c_array__ gave no (schema, array) pair");
        ArrowSchema* schema = capsule_pointer<ArrowSchema>(PyTuple_GET_ITEM(pair.ptr(), 0), "arrow_schema");
        ArrowArray* array = capsule_pointer<ArrowArray>(PyTuple_GET_ITEM(pair.ptr(), 1), "arrow_array");
        col.schema = *schema;
        schema->release = nullptr;
        col.arrays.push_back(*array);
        array->release = nullptr;
        return true;
    }
    return false;
}

// The integers of an Arrow column (ids): any integer type, no nulls.
std::vector<qc::code_id> arrow_integers(arrow_column& col, const char* name) {
    const std::string format = col.schema.format ? col.schema.format : "";
    static const std::string integer_formats = "cCsSiIlL";
    if (format.size() != 1 || integer_formats.find(format[0]) == std::string::npos || col.schema.dictionary != nullptr) {
        refuse(std::string(name) + " must be integers, got a column of Arrow format '" + format + "'");
    }
    const char type = format[0];
    const std::size_t bytes = type == 'c' || type == 'C' ? 1 : type == 's' || type == 'S' ? 2 : type == 'i' || type == 'I' ? 4 : 8;
    std::vector<qc::code_id> out;
    out.reserve(col.rows());
    for (const ArrowArray& a : col.arrays) {
        if (a.length < 0 || a.offset < 0 || a.n_buffers != 2 || a.buffers == nullptr || (a.length > 0 && a.buffers[1] == nullptr) ||
            (a.null_count > 0 && a.buffers[0] == nullptr)) {
            refuse(std::string(name) + ": a malformed Arrow array of integers");
        }
        const auto* bitmap = static_cast<const std::uint8_t*>(a.buffers[0]);
        const auto* data = static_cast<const std::uint8_t*>(a.buffers[1]);
        for (std::int64_t k = 0; k < a.length; ++k) {
            const auto i = static_cast<std::size_t>(a.offset + k);
            if (bitmap && !(bitmap[i >> 3] >> (i & 7) & 1)) {
                refuse(std::string(name) + " must not hold nulls, and row " + std::to_string(out.size()) + " is null");
            }
            std::uint64_t raw = 0;
            std::memcpy(&raw, data + i * bytes, bytes);
            std::int64_t v;
            if (type == 'L' && raw > static_cast<std::uint64_t>(INT64_MAX)) {
                refuse(std::string(name) + " must fit in int64, got " + std::to_string(raw) + " at position " + std::to_string(out.size()));
            }
            switch (type) {
                case 'c': v = static_cast<std::int8_t>(raw); break;
                case 's': v = static_cast<std::int16_t>(raw); break;
                case 'i': v = static_cast<std::int32_t>(raw); break;
                default: v = static_cast<std::int64_t>(raw); break;
            }
            out.push_back(v);
        }
    }
    return out;
}

std::vector<qc::code_id> read_arrow_ids(nb::handle ids, const char* name) {
    arrow_column col;
    read_arrow(ids, col, name);
    return arrow_integers(col, name);
}

// The hashes of an Arrow column, packed on the job's threads; nothing is kept if one is refused.
std::vector<std::uint64_t> parse_arrow(arrow_column& col, width& w, const char* noun) {
    namespace qa = quorvalent::arrow;
    const std::string what = std::string(plural(noun));
    if (col.schema.dictionary != nullptr) {
        refuse(what + " must not be dictionary-encoded; decode the column first (pyarrow: column.dictionary_decode())");
    }
    qa::column_format f;
    std::string error;
    if (col.schema.n_children != 0 || !qa::read_format(col.schema.format, f, error)) {
        refuse(what + " must be hex text (utf8), big-endian bytes (binary) or 64-bit integers (int64, uint64), got " +
               (error.empty() ? std::string("a nested column") : error));
    }
    std::size_t first_row = 0;
    for (std::size_t k = 0; k < col.arrays.size(); ++k) {
        if (!qa::check_structure(f, col.arrays[k], error)) {
            refuse("the Arrow array of rows " + std::to_string(first_row) + " to " +
                   std::to_string(first_row + static_cast<std::size_t>(std::max<std::int64_t>(col.arrays[k].length, 0))) + " has " + error);
        }
        first_row += static_cast<std::size_t>(col.arrays[k].length);
    }
    if (f.kind == qa::column_format::integers) {
        if (w.bits == 0) refuse("a column of " + f.name + " needs the index's bits, as in HashIndex(column, bits=64)");
        if (w.bits > 64) refuse("a column of " + f.name + " holds codes of at most 64 bits, not " + std::to_string(w.bits));
    }
    std::vector<const ArrowArray*> arrays;
    for (const ArrowArray& a : col.arrays) arrays.push_back(&a);
    std::vector<std::uint64_t> words;
    qc::job j = make_job(read_threads(nb::none()));
    qc::ingest_refusal r;
    const unsigned before = w.bits;
    {
        released_gil unlocked;
        r = qc::pack_arrow(f, arrays.data(), arrays.size(), w.bits, words, j);
    }
    if (r.failed) refuse_row(r, noun, before ? before : w.bits);
    return words;
}

// Every hash of an iterable, packed; nothing is kept if one is refused. Arrow columns, numpy
// arrays of fixed-width text, lists and tuples are read without a Python call per hash, and
// parsed on every CPU; any other iterable is read one hash at a time.
std::vector<std::uint64_t> parse_hashes(nb::handle hashes, width& w, const char* noun) {
    if (PyUnicode_Check(hashes.ptr()) || PyBytes_Check(hashes.ptr())) {
        refuse(std::string("expected an iterable of str ") + plural(noun) + ", got a single " + type_name(hashes.ptr()));
    }
    {
        arrow_column col;
        if (read_arrow(hashes, col, plural(noun))) return parse_arrow(col, w, noun);
    }
    // numpy's variable-width strings become fixed-width ones in one call of numpy's own.
    nb::object source = nb::borrow(hashes);
    if (PyObject_HasAttrString(hashes.ptr(), "dtype") && PyObject_HasAttrString(hashes.ptr(), "astype")) {
        nb::object dtype = hashes.attr("dtype");
        if (PyObject_HasAttrString(dtype.ptr(), "kind") && nb::str(dtype.attr("kind")).equal(nb::str("T"))) {
            nb::object numpy = nb::module_::import_("numpy");
            nb::object longest = numpy.attr("strings").attr("str_len")(hashes);
            const std::size_t width_u = nb::len(hashes) ? nb::cast<std::size_t>(longest.attr("max")()) : 0;
            source = hashes.attr("astype")("U" + std::to_string(std::max<std::size_t>(width_u, 1)));
        }
    }
    std::vector<std::uint64_t> words;
    const unsigned before = w.bits;
    qc::ingest_refusal r;
    if (PyObject_CheckBuffer(source.ptr()) && !PyList_Check(source.ptr())) {
        Py_buffer view;
        if (PyObject_GetBuffer(source.ptr(), &view, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
            PyErr_Clear();
        } else {
            struct release_view {
                Py_buffer& v;
                ~release_view() { PyBuffer_Release(&v); }
            } guard{view};
            const std::string format = view.format ? view.format : "B";
            const char kind = format.empty() ? 'B' : format.back();
            if (view.ndim == 1 && (kind == 'w' || kind == 's')) {
                // numpy 'U' (UTF-32) and 'S' (bytes) arrays: fixed-width rows padded with zeros.
                const std::size_t unit = kind == 'w' ? 4 : 1;
                const std::size_t units = static_cast<std::size_t>(view.itemsize) / unit;
                const auto n = static_cast<std::size_t>(view.shape[0]);
                qc::job j = make_job(read_threads(nb::none()));
                {
                    released_gil unlocked;
                    r = qc::pack_fixed_texts(static_cast<const std::uint8_t*>(view.buf), n, view.strides[0], units, unit, w.bits, words, j);
                }
                if (r.failed) refuse_row(r, noun, before ? before : w.bits);
                return words;
            }
        }
    }
    // A list or tuple of str: worker threads read the texts in place while this thread holds the
    // interpreter's lock (and, without a GIL, the list's own lock), so that no Python code can
    // change the list or free a string meanwhile. A row that is not an ASCII str is refused
    // afterwards, here, in the words of the single-hash path.
    if (PyList_CheckExact(source.ptr()) || PyTuple_CheckExact(source.ptr())) {
        qc::job j = make_job(read_threads(nb::none()));
        auto text_of = [](const void* context, std::size_t row, const char** text, std::size_t* length) {
            PyObject* item = static_cast<PyObject* const*>(context)[row];
            if (!PyUnicode_Check(item) || !PyUnicode_IS_ASCII(item)) return false;
            *text = static_cast<const char*>(PyUnicode_DATA(item));
            *length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
            return true;
        };
        PyObject* list = source.ptr();
        nb::object refused;  // the row that is no ASCII str, held past the list's lock
#ifdef Py_GIL_DISABLED
        Py_BEGIN_CRITICAL_SECTION(list);
#endif
        const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(list));
        r = qc::pack_texts_from(text_of, PySequence_Fast_ITEMS(list), n, w.bits, words, j);
        if (r.failed && r.detail.what == quorvalent::arrow::row_refusal::not_text) refused = nb::borrow(PySequence_Fast_ITEMS(list)[r.row]);
#ifdef Py_GIL_DISABLED
        Py_END_CRITICAL_SECTION();
#endif
        if (refused.is_valid()) {
            // Read again on its own: this refuses it, with its reason.
            std::array<std::uint64_t, max_code_words> one;
            width probe{before ? before : w.bits};
            parse_hash(refused.ptr(), naming{noun, r.row, true}, probe, one.data());
        }
        if (r.failed) refuse_row(r, noun, before ? before : w.bits);
        return words;
    }
    std::array<std::uint64_t, max_code_words> one{};
    constexpr std::size_t signal_every = 1 << 16;
    nb::object it = nb::steal(PyObject_GetIter(source.ptr()));
    if (!it.is_valid()) {
        PyErr_Clear();
        refuse(std::string("expected an iterable of str ") + plural(noun) + ", got " + type_name(hashes.ptr()));
    }
    std::size_t pos = 0;
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object owned = nb::steal(item);
        parse_hash(item, naming{noun, pos, true}, w, one.data());
        words.insert(words.end(), one.begin(), one.begin() + static_cast<std::ptrdiff_t>(w.words()));
        if (pos % signal_every == signal_every - 1 && PyErr_CheckSignals() != 0) throw nb::python_error();
        ++pos;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return words;
}

//--- Results ------------------------------------------------------------------------------

// A numpy array that owns the vector's buffer: no copy.
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

nb::tuple pair_arrays(qc::pair_columns&& p) {
    const std::size_t n = p.size();
    return nb::make_tuple(owned_array(std::move(p.first), n), owned_array(std::move(p.second), n),
                          owned_array(std::move(p.dists), n));
}

//--- The index ----------------------------------------------------------------------------

class hash_index;

// Which thread is adding to which index right now: an iterable that adds to the index it is
// being added to would otherwise wait for itself.
thread_local std::vector<const hash_index*> adding_now;

class hash_index {
   public:
    hash_index(nb::handle hashes, nb::handle ids, nb::handle bits) {
        if (!bits.is_none()) {
            const long long b = read_int(bits, "bits", 1, max_code_bits + 1, "between 1 and 4096");
            if (b > static_cast<long long>(max_code_bits)) refuse("bits must be between 1 and 4096, got " + describe(bits));
            core_ = std::make_shared<qc::code_index>(static_cast<unsigned>(b));
        }
        if (hashes.is_valid() && !hashes.is_none()) {
            add(hashes, ids);
        } else if (!ids.is_none()) {
            refuse("ids were given without hashes");
        }
    }

    qc::code_id add(nb::handle hashes, nb::handle ids) {
        if (std::find(adding_now.begin(), adding_now.end(), this) != adding_now.end()) {
            throw std::runtime_error("add() was called on an index from inside an add() to the same index (by the "
                                     "iterable being added); finish one before starting the other");
        }
        adding_now.push_back(this);
        struct done_adding {
            ~done_adding() { adding_now.pop_back(); }
        } guard;
        std::optional<std::vector<qc::code_id>> given;
        if (!ids.is_none()) given = read_ids(ids, "ids");
        width w{bits_now()};
        std::vector<std::uint64_t> words = parse_hashes(hashes, w, "hash");
        return append(w.bits, words, given, "hash");
    }

    // Packed codes: uint64 of shape (N,) for up to 64 bits, (N, words) uint64 in the saved
    // layout, or uint8 rows of ceil(bits / 8) bytes holding each code's big-endian value, as
    // bytes.fromhex gives them.
    void add_codes(nb::ndarray<nb::ro, nb::c_contig, nb::device::cpu> codes, nb::handle ids) {
        std::optional<std::vector<qc::code_id>> given;
        if (!ids.is_none()) given = read_ids(ids, "ids");
        const unsigned bits = bits_now();
        if (bits == 0) refuse("packed codes need the index's bits to be set");
        const std::size_t nw = quorvalent::words_for_bits(bits);
        std::vector<std::uint64_t> words;
        const auto dtype = codes.dtype();
        if (dtype == nb::dtype<std::uint64_t>() && codes.ndim() == 1) {
            if (bits > 64) refuse("uint64 codes hold at most 64 bits; pass uint8 rows for " + std::to_string(bits) + " bits");
            const auto* p = static_cast<const std::uint64_t*>(codes.data());
            words.assign(p, p + codes.shape(0));
        } else if (dtype == nb::dtype<std::uint64_t>() && codes.ndim() == 2 && codes.shape(1) == nw) {
            const auto* p = static_cast<const std::uint64_t*>(codes.data());
            words.assign(p, p + codes.shape(0) * nw);
        } else if (dtype == nb::dtype<std::uint8_t>() && codes.ndim() == 2) {
            const std::size_t row = quorvalent::bytes_for_bits(bits);
            if (codes.shape(1) != row) {
                refuse("uint8 codes of " + std::to_string(bits) + " bits need rows of " + std::to_string(row) + " bytes, got " +
                       std::to_string(codes.shape(1)));
            }
            const std::size_t n = codes.shape(0);
            words.resize(n * nw);
            const std::size_t bad = quorvalent::pack_be_rows(static_cast<const std::uint8_t*>(codes.data()), n, row, bits, words.data());
            if (bad != n) throw hash_error{"code", true, bad, "sets bits above the index's " + std::to_string(bits) + " bits"};
        } else {
            refuse("codes must be a uint64 array of shape (N,) or a uint8 array of shape (N, " +
                   std::to_string(quorvalent::bytes_for_bits(bits)) + ")");
        }
        append(bits, words, given, "code");
    }

    // Codes that live elsewhere (a mapped file): (N, words) uint64, kept alive by `owner`; their
    // ids (copied) or None for 0..N-1, whether the ids are given, and the next insertion number.
    void borrow_codes(nb::ndarray<const std::uint64_t, nb::ndim<2>, nb::c_contig, nb::device::cpu> codes, nb::object owner,
                      nb::handle ids, bool given_ids, long long next_id, bool mapped) {
        std::shared_ptr<qc::code_index> core = current();
        if (!core || codes.shape(1) != quorvalent::words_for_bits(core->bits())) refuse("codes have the wrong number of words per code");
        if (reinterpret_cast<std::uintptr_t>(codes.data()) % alignof(std::uint64_t) != 0) refuse("mapped codes must be aligned to 8 bytes");
        std::optional<std::vector<qc::code_id>> id_list;
        if (!ids.is_none()) id_list = read_ids(ids, "ids");
        const std::uint64_t* data = codes.data();
        const std::size_t n = codes.shape(0);
        if (id_list && id_list->size() != n) refuse("ids and codes differ in length");
        keep_alive_.push_back(owner);
        qc::job j = make_job(read_threads(nb::none()));
        try {
            const qc::code_index::borrowed_codes b{data, n, !mapped, id_list ? id_list->data() : nullptr, given_ids, next_id};
            run_long(j, nb::none(), [&] { core->borrow(b, j); });
        } catch (const qc::invalid_code& e) {
            throw hash_error{"code", true, e.position, "sets bits above the index's " + std::to_string(core->bits()) + " bits"};
        }
    }

    // For saving, from one state: the live codes, (N, words) uint64, their ids, whether the
    // ids were given, and the next insertion number.
    nb::tuple live() const {
        std::shared_ptr<qc::code_index> core = current();
        if (!core) return nb::make_tuple(owned_array(std::vector<std::uint64_t>(), 0, 0), owned_array(std::vector<qc::code_id>(), 0), false, 0);
        const qc::index_snapshot s = core->snapshot();
        std::vector<std::uint64_t> codes(s.size() * s.words_per_code());
        std::vector<qc::code_id> ids(s.size());
        {
            released_gil unlocked;
            s.copy_live(codes.data(), ids.data());
        }
        const std::size_t n = s.size();
        return nb::make_tuple(owned_array(std::move(codes), n, s.words_per_code()), owned_array(std::move(ids), n), s.given_ids(),
                              s.next_id());
    }

    // The live ids, in insertion order.
    nb::ndarray<nb::numpy, qc::code_id> ids() const {
        std::shared_ptr<qc::code_index> core = current();
        std::vector<qc::code_id> out;
        if (core) {
            const qc::index_snapshot s = core->snapshot();
            out.resize(s.size());
            released_gil unlocked;
            s.copy_live(nullptr, out.data());
        }
        const std::size_t n = out.size();
        return owned_array(std::move(out), n);
    }

    // The distance between the codes of ids a[k] and b[k], for each k.
    nb::ndarray<nb::numpy, std::int32_t> distances(nb::handle a, nb::handle b) const {
        const std::vector<qc::code_id> left = read_ids(a, "ids"), right = read_ids(b, "ids");
        if (left.size() != right.size()) refuse("the two id lists differ in length");
        std::shared_ptr<qc::code_index> core = current();
        std::vector<std::int32_t> out(left.size());
        if (!left.empty()) {
            if (!core) throw qc::unknown_id(left.front());
            const qc::index_snapshot s = core->snapshot();
            std::array<std::uint64_t, max_code_words> x, y;
            for (std::size_t k = 0; k < left.size(); ++k) {
                if (!s.code_of(left[k], x.data())) throw qc::unknown_id(left[k]);
                if (!s.code_of(right[k], y.data())) throw qc::unknown_id(right[k]);
                unsigned d = 0;
                for (std::size_t w = 0; w < s.words_per_code(); ++w) d += static_cast<unsigned>(std::bitset<64>(x[w] ^ y[w]).count());
                out[k] = static_cast<std::int32_t>(d);
            }
        }
        const std::size_t n = out.size();
        return owned_array(std::move(out), n);
    }

    bool contains(nb::handle id) const {
        if (PyBool_Check(id.ptr()) || (!PyLong_Check(id.ptr()) && !PyIndex_Check(id.ptr()))) return false;
        nb::object number = nb::steal(PyNumber_Index(id.ptr()));
        if (!number.is_valid()) throw nb::python_error();
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
        std::shared_ptr<qc::code_index> core = current();
        return overflow == 0 && core && core->snapshot().contains(v);
    }

    std::size_t remove(nb::handle ids) {
        const std::vector<qc::code_id> gone = read_ids(ids, "ids");
        std::shared_ptr<qc::code_index> core = current();
        if (!core) {
            if (!gone.empty()) throw qc::unknown_id(gone.front());
            return 0;
        }
        qc::job j = make_job(read_threads(nb::none()));
        std::size_t removed = 0;
        // A removal that compacts rebuilds the tables: a long operation.
        run_long(j, nb::none(), [&] { removed = core->remove(gone.data(), gone.size(), j); });
        return removed;
    }

    void compact() {
        std::shared_ptr<qc::code_index> core = current();
        if (!core) return;
        qc::job j = make_job(read_threads(nb::none()));
        run_long(j, nb::none(), [&] { core->compact(j); });
    }

    nb::tuple groups(nb::handle max_dist, nb::handle method, nb::handle precedence, nb::handle threads) const {
        const std::size_t r = read_count(max_dist, "max_dist", max_code_bits);
        const std::string how = PyUnicode_Check(method.ptr()) ? std::string(nb::borrow<nb::str>(method).c_str()) : std::string();
        if (how != "components" && how != "star") refuse("method must be 'components' or 'star', got " + describe(method));
        qc::job j = make_job(read_threads(threads));
        std::shared_ptr<qc::code_index> core = current();
        qc::group_columns found;
        if (core) {
            const qc::index_snapshot s = core->snapshot();
            std::vector<std::uint32_t> order;
            if (!precedence.is_none()) {
                nb::ndarray<const std::uint32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> p;
                if (!nb::try_cast(precedence, p, false) || p.shape(0) != s.size()) refuse("precedence must be a uint32 array, one per code");
                order.assign(p.data(), p.data() + p.shape(0));
            }
            const qc::group_method m = how == "star" ? qc::group_method::star : qc::group_method::components;
            run_long(j, nb::none(), [&] { found = s.groups(static_cast<unsigned>(r), m, order.empty() ? nullptr : order.data(), j); });
        }
        const std::size_t n = found.ids.size();
        return nb::make_tuple(owned_array(std::move(found.ids), n), owned_array(std::move(found.reps), n));
    }

    nb::dict sweep(nb::handle radii, nb::handle threads) const {
        std::vector<unsigned> rs;
        if (PyUnicode_Check(radii.ptr()) || PyBytes_Check(radii.ptr())) refuse("radii must be an iterable of int, got " + type_name(radii.ptr()));
        nb::object it = nb::steal(PyObject_GetIter(radii.ptr()));
        if (!it.is_valid()) {
            PyErr_Clear();
            refuse("radii must be an iterable of int, got " + type_name(radii.ptr()));
        }
        while (PyObject* item = PyIter_Next(it.ptr())) {
            nb::object owned = nb::steal(item);
            rs.push_back(static_cast<unsigned>(read_count(item, "a radius", max_code_bits)));
        }
        if (PyErr_Occurred()) throw nb::python_error();
        qc::job j = make_job(read_threads(threads));
        std::shared_ptr<qc::code_index> core = current();
        std::vector<qc::sweep_row> rows;
        if (core) {
            const qc::index_snapshot s = core->snapshot();
            run_long(j, nb::none(), [&] { rows = s.sweep(rs, j); });
        } else {
            for (unsigned r : rs) rows.push_back({r, 0, 0, 0, 0});
        }
        const std::size_t n = rows.size();
        std::vector<std::int64_t> radius(n), pairs(n), groups(n), dropped(n), largest(n);
        for (std::size_t k = 0; k < n; ++k) {
            radius[k] = rows[k].radius;
            pairs[k] = static_cast<std::int64_t>(rows[k].pairs);
            groups[k] = static_cast<std::int64_t>(rows[k].groups);
            dropped[k] = static_cast<std::int64_t>(rows[k].dropped);
            largest[k] = static_cast<std::int64_t>(rows[k].largest);
        }
        nb::dict out;
        out["radius"] = owned_array(std::move(radius), n);
        out["pairs"] = owned_array(std::move(pairs), n);
        out["groups"] = owned_array(std::move(groups), n);
        out["dropped"] = owned_array(std::move(dropped), n);
        out["largest"] = owned_array(std::move(largest), n);
        return out;
    }

    std::size_t size() const {
        std::shared_ptr<qc::code_index> core = current();
        return core ? core->snapshot().size() : 0;
    }
    nb::object bits() const {
        const unsigned b = bits_now();
        return b ? nb::object(nb::int_(b)) : nb::none();
    }
    std::size_t nbytes() const {
        std::shared_ptr<qc::code_index> core = current();
        return core ? core->snapshot().memory_bytes() : 0;
    }

    nb::tuple within(nb::handle query, nb::handle max_dist) const {
        const std::size_t r = read_count(max_dist, "max_dist", max_code_bits);
        std::array<std::uint64_t, max_code_words> q;
        std::shared_ptr<qc::code_index> core = read_query(query, q.data());
        if (!core) return ids_and_dists({});
        const qc::index_snapshot s = core->snapshot();
        std::vector<qc::hit> hits;
        {
            released_gil unlocked;
            hits = s.within(q.data(), static_cast<unsigned>(r));
        }
        return ids_and_dists(hits);
    }

    nb::tuple nearest(nb::handle query, nb::handle k) const {
        const std::size_t kk = read_count(k, "k", qc::max_codes);
        std::array<std::uint64_t, max_code_words> q;
        std::shared_ptr<qc::code_index> core = read_query(query, q.data());
        if (!core) return ids_and_dists({});
        const qc::index_snapshot s = core->snapshot();
        std::vector<qc::hit> hits;
        {
            released_gil unlocked;
            hits = s.nearest(q.data(), kk);
        }
        return ids_and_dists(hits);
    }

    nb::tuple within_many(nb::handle queries, nb::handle max_dist, nb::handle threads) const {
        const std::size_t r = read_count(max_dist, "max_dist", max_code_bits);
        qc::job j = make_job(read_threads(threads));
        std::shared_ptr<qc::code_index> core;
        std::size_t nw = 0;
        std::vector<std::uint64_t> qs = read_queries(queries, core, nw);
        const std::size_t nq = nw ? qs.size() / nw : 0;
        qc::hit_rows rows;
        if (core) {
            const qc::index_snapshot s = core->snapshot();
            run_long(j, nb::none(), [&] { rows = s.within_many(qs.data(), nq, static_cast<unsigned>(r), j); });
        } else {
            rows.lims.assign(nq + 1, 0);
        }
        const std::size_t total = rows.ids.size();
        return nb::make_tuple(owned_array(std::move(rows.lims), nq + 1), owned_array(std::move(rows.ids), total),
                              owned_array(std::move(rows.dists), total));
    }

    nb::tuple nearest_many(nb::handle queries, nb::handle k, nb::handle threads) const {
        const std::size_t kk = read_count(k, "k", qc::max_codes);
        qc::job j = make_job(read_threads(threads));
        std::shared_ptr<qc::code_index> core;
        std::size_t nw = 0;
        std::vector<std::uint64_t> qs = read_queries(queries, core, nw);
        const std::size_t nq = nw ? qs.size() / nw : 0;
        qc::knn_rows rows;
        rows.rows = nq;
        if (core) {
            const qc::index_snapshot s = core->snapshot();
            run_long(j, nb::none(), [&] { rows = s.nearest_many(qs.data(), nq, kk, j); });
        }
        const std::size_t cols = rows.cols;
        return nb::make_tuple(owned_array(std::move(rows.ids), nq, cols), owned_array(std::move(rows.dists), nq, cols));
    }

    nb::tuple pairs(nb::handle max_dist, nb::handle other, nb::handle threads, nb::handle progress) const {
        const std::size_t r = read_count(max_dist, "max_dist", max_code_bits);
        qc::job j = make_job(read_threads(threads));
        if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
            refuse("progress must be a callable or None, got " + type_name(progress.ptr()));
        }
        std::shared_ptr<qc::code_index> mine = current(), theirs = other_core(other);
        if (!mine || (!other.is_none() && !theirs)) return pair_arrays({});
        // One snapshot of each side, taken once: the same one when the two indexes are one.
        const qc::index_snapshot a = mine->snapshot();
        const qc::index_snapshot b = theirs == mine ? a : theirs ? theirs->snapshot() : a;
        qc::pair_columns found;
        run_long(j, progress, [&] {
            found = other.is_none() ? a.pairs(static_cast<unsigned>(r), j) : a.cross_pairs(b, static_cast<unsigned>(r), j);
        });
        return pair_arrays(std::move(found));
    }

    nb::list hex(nb::handle ids) const {
        std::shared_ptr<qc::code_index> core = current();
        if (PyUnicode_Check(ids.ptr()) || PyBytes_Check(ids.ptr())) refuse("ids must be an iterable of int, got " + type_name(ids.ptr()));
        nb::object it = nb::steal(PyObject_GetIter(ids.ptr()));
        if (!it.is_valid()) {
            PyErr_Clear();
            refuse("ids must be an iterable of int, got " + type_name(ids.ptr()));
        }
        std::optional<qc::index_snapshot> s;
        if (core) s.emplace(core->snapshot());
        const std::size_t digits = core ? quorvalent::digits_for_bits(core->bits()) : 0;
        std::array<std::uint64_t, max_code_words> code;
        std::string text(digits, '0');
        nb::list out;
        std::size_t pos = 0;
        while (PyObject* item = PyIter_Next(it.ptr())) {
            nb::object owned = nb::steal(item);
            if (PyBool_Check(item) || (!PyLong_Check(item) && !PyIndex_Check(item))) {
                refuse("id at position " + std::to_string(pos) + " is " + type_name(item) + ", not int");
            }
            nb::object number = nb::steal(PyNumber_Index(item));
            if (!number.is_valid()) throw nb::python_error();
            int overflow = 0;
            const long long id = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
            if (overflow != 0 || !s || !s->code_of(id, code.data())) {
                if (overflow != 0) refuse("id at position " + std::to_string(pos) + " is " + describe(owned) + ", not an int64");
                throw qc::unknown_id(id);
            }
            quorvalent::unpack_hex(code.data(), digits, text.data());
            out.append(nb::str(text.data(), text.size()));
            ++pos;
        }
        if (PyErr_Occurred()) throw nb::python_error();
        return out;
    }

    std::string plan(nb::handle max_dist, nb::handle kind) const {
        const std::size_t r = read_count(max_dist, "max_dist", max_code_bits);
        const bool is_str = PyUnicode_Check(kind.ptr());
        const std::string k = is_str ? std::string(nb::borrow<nb::str>(kind).c_str()) : std::string();
        if (k != "within" && k != "pairs") refuse("kind must be 'within' or 'pairs', got " + describe(kind));
        std::shared_ptr<qc::code_index> core = current();
        if (!core) return "empty index";
        const qc::index_snapshot s = core->snapshot();
        const qc::search_plan p = k == "pairs" ? s.plan_pairs(static_cast<unsigned>(r)) : s.plan_within(static_cast<unsigned>(r));
        std::string tables = "tables [";
        bool first = true;
        for (const qc::table_description& t : s.tables()) {
            tables += (first ? "" : ", ") + std::string("word ") + std::to_string(t.blk.word) + " " +
                      std::to_string(std::bitset<64>(t.blk.mask).count()) + " bits " + bit_ranges(t.blk.mask) + " (" +
                      std::to_string(t.key_bits) + "-bit keys)";
            first = false;
        }
        return tables + "]; " + p.describe();
    }

    std::string repr() const {
        const unsigned b = bits_now();
        return "HashIndex(" + std::to_string(size()) + " hashes of " + (b ? std::to_string(b) + " bits)" : std::string("unset width)"));
    }

    std::shared_ptr<qc::code_index> current() const {
        std::lock_guard<std::mutex> lock(core_mutex_);
        return core_;
    }

    std::shared_ptr<qc::code_index> other_core(nb::handle other) const {
        if (other.is_none()) return nullptr;
        if (!nb::isinstance<hash_index>(other)) refuse("other must be a HashIndex, got " + type_name(other.ptr()));
        const hash_index& o = nb::cast<const hash_index&>(other);
        const unsigned mine = bits_now(), theirs = o.bits_now();
        if (mine && theirs && mine != theirs) {
            refuse("other holds " + std::to_string(theirs) + "-bit codes, but this index holds " + std::to_string(mine) + "-bit codes");
        }
        return o.current();
    }

   private:
    unsigned bits_now() const {
        std::shared_ptr<qc::code_index> core = current();
        return core ? core->bits() : 0;
    }

    // "bits 0-20" or "bits 0-9,12-20": where a block's bits lie in its word.
    static std::string bit_ranges(std::uint64_t mask) {
        std::string out = "";
        for (unsigned b = 0; b < 64;) {
            if (!(mask >> b & 1)) {
                ++b;
                continue;
            }
            unsigned e = b;
            while (e + 1 < 64 && (mask >> (e + 1) & 1)) ++e;
            out += (out.empty() ? "" : ",") + std::to_string(b) + "-" + std::to_string(e);
            b = e + 1;
        }
        return out;
    }

    qc::code_id append(unsigned bits, std::vector<std::uint64_t>& words, const std::optional<std::vector<qc::code_id>>& ids,
                       const char* noun) {
        const std::size_t n = bits ? words.size() / quorvalent::words_for_bits(bits) : 0;
        if (ids && ids->size() != n) {
            refuse("ids has " + std::to_string(ids->size()) + " entries, but " + std::to_string(n) + " " + plural(noun) + " were given");
        }
        if (bits == 0) return 0;  // nothing seen, width still open
        std::shared_ptr<qc::code_index> core;
        bool created = false;
        {
            std::lock_guard<std::mutex> lock(core_mutex_);
            if (!core_) {
                core_ = std::make_shared<qc::code_index>(bits);
                created = true;
            } else if (core_->bits() != bits) {
                // Another thread's first add set another width while this one parsed.
                throw hash_error{noun, true, 0, "has " + std::to_string(quorvalent::digits_for_bits(bits)) +
                                                    " digits, but the index holds " +
                                                    std::to_string(quorvalent::digits_for_bits(core_->bits())) + "-digit hashes"};
            }
            core = core_;
        }
        qc::code_id first = 0;
        try {
            qc::job j = make_job(read_threads(nb::none()));
            auto work = [&] {
                first = ids ? (n ? (*ids)[0] : 0) : core->snapshot().next_id();
                core->append(words.data(), ids ? ids->data() : nullptr, n, j);
            };
            // Small additions never build tables: not worth a thread of their own.
            if (n < qc::default_table_threshold) {
                released_gil unlocked;
                work();
            } else {
                run_long(j, nb::none(), work);
            }
        } catch (...) {
            if (created) {
                // The failed first add leaves the width open, as it found it.
                std::lock_guard<std::mutex> lock(core_mutex_);
                if (core_ == core && core->snapshot().size() == 0) core_.reset();
            }
            try {
                throw;
            } catch (const qc::invalid_code& e) {
                throw hash_error{noun, true, e.position, "sets bits above the index's " + std::to_string(bits) + " bits"};
            } catch (const std::length_error&) {
                refuse("an index holds at most 4294967295 hashes");
            }
        }
        return first;
    }

    std::shared_ptr<qc::code_index> read_query(nb::handle query, std::uint64_t* q) const {
        std::shared_ptr<qc::code_index> core = current();
        width w{core ? core->bits() : 0};
        parse_hash(query.ptr(), naming{"query", 0, false}, w, q);
        return core;
    }

    std::vector<std::uint64_t> read_queries(nb::handle queries, std::shared_ptr<qc::code_index>& core, std::size_t& words) const {
        core = current();
        width w{core ? core->bits() : 0};
        std::vector<std::uint64_t> qs = parse_hashes(queries, w, "query");
        words = w.words();
        return qs;
    }

    mutable std::mutex core_mutex_;  // guards core_, which is set once (or reset by a failed first add)
    std::shared_ptr<qc::code_index> core_;
    std::vector<nb::object> keep_alive_;
};

// The pairs of a join, a batch at a time (HashIndex.iter_pairs).
class pair_batches {
   public:
    pair_batches(nb::object index, nb::handle max_dist, nb::object other, nb::handle batch, nb::handle threads)
        : index_(index), other_(other), threads_(read_threads(threads)) {
        const std::size_t r = read_count(max_dist, "max_dist", max_code_bits);
        const std::size_t size = read_count(batch, "batch", std::size_t{1} << 40);
        if (size == 0) refuse("batch must be >= 1, got 0");
        const hash_index& self = nb::cast<const hash_index&>(index);
        std::shared_ptr<qc::code_index> mine = self.current(), theirs = self.other_core(other);
        if (!mine || (!other.is_none() && !theirs)) return;
        const qc::index_snapshot a = mine->snapshot();
        std::unique_ptr<qc::index_snapshot> b;
        if (theirs) b = std::make_unique<qc::index_snapshot>(theirs == mine ? a : theirs->snapshot());
        stream_ = std::make_unique<qc::pair_stream>(a, std::move(b), static_cast<unsigned>(r), size);
    }

    // The next batch, or None once every pair was given.
    nb::object next() {
        if (!stream_) return nb::none();
        qc::job j = make_job(threads_);
        qc::pair_columns part;
        run_long(j, nb::none(), [&] { part = stream_->next(j); });
        if (part.size() == 0) {
            stream_.reset();
            return nb::none();
        }
        return pair_arrays(std::move(part));
    }

   private:
    nb::object index_, other_;  // keep mapped codes alive while the stream reads them
    unsigned threads_;
    std::unique_ptr<qc::pair_stream> stream_;
};

// Hashes as packed codes, without an index: (codes of shape (N, words), bits). The parsing of
// every input, on its own.
nb::tuple pack_codes(nb::handle hashes, nb::handle bits) {
    width w;
    if (!bits.is_none()) {
        const long long b = read_int(bits, "bits", 1, max_code_bits + 1, "between 1 and 4096");
        if (b > static_cast<long long>(max_code_bits)) refuse("bits must be between 1 and 4096, got " + describe(bits));
        w.bits = static_cast<unsigned>(b);
    }
    std::vector<std::uint64_t> words = parse_hashes(hashes, w, "hash");
    const std::size_t nw = w.bits ? w.words() : 1;
    const std::size_t n = words.size() / nw;
    return nb::make_tuple(owned_array(std::move(words), n, nw), w.bits ? nb::object(nb::int_(w.bits)) : nb::none());
}

//--- Blocks, for joins spread over machines -------------------------------------------------

using codes_array = nb::ndarray<const std::uint64_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// The public layout: `count` blocks of a code of `bits` bits, as (word, mask) pairs.
nb::list split_into_blocks(nb::handle bits, nb::handle count) {
    const long long b = read_int(bits, "bits", 1, max_code_bits + 1, "between 1 and 4096");
    if (b > static_cast<long long>(max_code_bits)) refuse("bits must be between 1 and 4096, got " + describe(bits));
    const long long c = read_int(count, "count", 1, b, "between 1 and bits");
    nb::list out;
    for (const qc::block& blk : qc::split_into_blocks(static_cast<unsigned>(b), static_cast<unsigned>(c))) {
        out.append(nb::make_tuple(blk.word, blk.mask));
    }
    return out;
}

std::vector<qc::block> read_blocks(nb::handle blocks, std::size_t words) {
    std::vector<qc::block> out;
    for (nb::handle item : blocks) {
        const auto pair = nb::borrow<nb::tuple>(item);
        const auto word = nb::cast<unsigned>(pair[0]);
        if (word >= words) refuse("a block lies in word " + std::to_string(word) + ", but the codes have " + std::to_string(words));
        out.push_back({word, nb::cast<std::uint64_t>(pair[1])});
    }
    return out;
}

// The value of every block of every code: (N, blocks) uint64.
nb::ndarray<nb::numpy, std::uint64_t> block_values(codes_array codes, nb::handle blocks) {
    const std::vector<qc::block> bs = read_blocks(blocks, codes.shape(1));
    const std::size_t n = codes.shape(0), w = codes.shape(1);
    std::vector<std::uint64_t> out(n * bs.size());
    {
        released_gil unlocked;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t k = 0; k < bs.size(); ++k) out[i * bs.size() + k] = qc::block_value(bs[k], codes.data() + i * w);
        }
    }
    return owned_array(std::move(out), n, bs.size());
}

// The owning block of each pair (a[k], b[k]) under these thresholds; len(blocks) where none is.
nb::ndarray<nb::numpy, std::int64_t> owning_blocks(codes_array a, codes_array b, nb::handle blocks, std::vector<int> thresholds) {
    if (a.shape(0) != b.shape(0) || a.shape(1) != b.shape(1)) refuse("the two code arrays differ in shape");
    const std::vector<qc::block> bs = read_blocks(blocks, a.shape(1));
    if (thresholds.size() != bs.size()) refuse("one threshold per block");
    const std::size_t n = a.shape(0), w = a.shape(1);
    std::vector<std::int64_t> out(n);
    {
        released_gil unlocked;
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = static_cast<std::int64_t>(qc::owning_block(bs, thresholds, a.data() + i * w, b.data() + i * w));
        }
    }
    return owned_array(std::move(out), n);
}

template <class T>
using column_array = nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// The join of one worker of a distributed join over the bucket rows it holds: (a, b, distance),
// rows a < b.
nb::tuple owned_bucket_pairs(codes_array codes, nb::handle bits, nb::handle blocks, column_array<std::int64_t> block_of,
                             column_array<std::uint64_t> value_of, std::optional<column_array<std::int64_t>> part_of,
                             std::optional<column_array<std::int8_t>> side_of, nb::handle max_dist, bool collapse) {
    const long long b = read_int(bits, "bits", 1, max_code_bits + 1, "between 1 and 4096");
    if (b > static_cast<long long>(max_code_bits)) refuse("bits must be between 1 and 4096, got " + describe(bits));
    const long long r = read_int(max_dist, "max_dist", 0, max_code_bits, ">= 0");
    const std::size_t n = codes.shape(0);
    if (codes.shape(1) != quorvalent::words_for_bits(static_cast<unsigned>(b))) refuse("the codes' words do not match bits");
    const std::vector<qc::block> bs = read_blocks(blocks, codes.shape(1));
    if (block_of.shape(0) != n || value_of.shape(0) != n || (part_of && part_of->shape(0) != n) ||
        (side_of && side_of->shape(0) != n)) {
        refuse("one block, value, part and side per code");
    }
    // Without blocks, every row is in block 0's buckets.
    const std::size_t block_count = std::max<std::size_t>(bs.size(), 1);
    for (std::size_t i = 0; i < n; ++i) {
        if (block_of.data()[i] < 0 || static_cast<std::uint64_t>(block_of.data()[i]) >= block_count) {
            refuse("a row's block " + std::to_string(block_of.data()[i]) + " is not one of the " + std::to_string(block_count) + " blocks");
        }
    }
    std::vector<qc::owned_pair> pairs;
    {
        released_gil unlocked;
        pairs = qc::owned_bucket_pairs(codes.data(), n, static_cast<unsigned>(b), bs, block_of.data(), value_of.data(),
                                       part_of ? part_of->data() : nullptr, side_of ? side_of->data() : nullptr,
                                       static_cast<unsigned>(r), collapse);
    }
    std::vector<std::int64_t> a(pairs.size()), c(pairs.size());
    std::vector<std::int32_t> d(pairs.size());
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        a[k] = static_cast<std::int64_t>(pairs[k].a);
        c[k] = static_cast<std::int64_t>(pairs[k].b);
        d[k] = static_cast<std::int32_t>(pairs[k].distance);
    }
    const std::size_t m = pairs.size();
    return nb::make_tuple(owned_array(std::move(a), m), owned_array(std::move(c), m), owned_array(std::move(d), m));
}

// Rows of integer columns as text: prefixes[k] before column k, then `end`. The command line
// writes tens of millions of pairs a second through this, straight into the bytes object.
nb::bytes format_rows(std::vector<nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>> columns,
                      std::vector<std::string> prefixes, const std::string& end) {
    if (columns.size() != prefixes.size()) refuse("one prefix per column");
    const std::size_t n = columns.empty() ? 0 : columns[0].shape(0);
    for (const auto& c : columns) {
        if (c.shape(0) != n) refuse("columns of different lengths");
    }
    std::size_t fixed = end.size();
    for (const auto& p : prefixes) fixed += p.size();
    constexpr std::size_t max_digits = 20;  // an int64 with its sign
    const std::size_t room = n * (fixed + max_digits * columns.size());
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(room));
    if (out == nullptr) throw nb::python_error();
    char* at = PyBytes_AS_STRING(out);
    {
        released_gil unlocked;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t k = 0; k < columns.size(); ++k) {
                std::memcpy(at, prefixes[k].data(), prefixes[k].size());
                at += prefixes[k].size();
                at = std::to_chars(at, at + max_digits, columns[k].data()[i]).ptr;
            }
            std::memcpy(at, end.data(), end.size());
            at += end.size();
        }
    }
    if (_PyBytes_Resize(&out, at - PyBytes_AS_STRING(out)) != 0) throw nb::python_error();
    return nb::steal<nb::bytes>(out);
}

void translate_errors(const std::exception_ptr& p, void*) {
    try {
        std::rethrow_exception(p);
    } catch (const hash_error& e) {
        nb::object error = nb::steal(PyObject_CallFunction(hash_error_type, "s", e.message().c_str()));
        if (!error.is_valid()) return;
        PyObject_SetAttrString(error.ptr(), "position", e.positional ? nb::int_(e.position).ptr() : Py_None);
        PyObject_SetAttrString(error.ptr(), "reason", nb::str(e.reason.c_str()).ptr());
        PyErr_SetObject(hash_error_type, error.ptr());
    } catch (const qc::result_too_large& e) {
        const std::string gib = std::to_string(static_cast<double>(e.bytes) / (1u << 30)).substr(0, 5);
        PyErr_SetString(PyExc_MemoryError, ("the result would take about " + gib +
                                            " GiB, more than this machine's memory; iter_pairs() gives the pairs in batches")
                                               .c_str());
    } catch (const qc::unknown_id& e) {
        PyErr_SetObject(PyExc_KeyError, nb::int_(e.id).ptr());
    } catch (const qc::duplicate_id& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const qc::id_mode_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const qc::thread_start_error& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const qc::operation_cancelled&) {
        // Cancelled without a Python error: only the interpreter's exit does that.
        PyErr_SetString(PyExc_SystemExit, "the interpreter is exiting");
    }
}

}  // namespace

NB_MODULE(_core, m) {
    // The index is built to count bits with POPCNT (see CMakeLists.txt): on a CPU without it,
    // a clear error here rather than an illegal instruction at the first search.
    if (const char* missing = qc::missing_instruction()) {
        throw nb::import_error((std::string("quorvalent_index needs a CPU with the ") + missing +
                                " instruction (x86-64-v2: Intel since 2008, AMD since 2007); this one has none")
                                   .c_str());
    }
    m.doc() = "The compiled core of quorvalent_index: exact near-duplicate search over hex hashes.";
    m.attr("__version__") = QUORVALENT_VERSION;
    m.attr("scan_kernel") = qc::active_scan_kernel_name();
    // The hex kernel quorvalent runs on this CPU: the same core, linked into both modules, makes
    // the same choice. Benchmarks read it here, since quorvalent's own surface is fixed.
    m.attr("hex_kernel") = quorvalent::active_kernel_name();

    hash_error_type = PyErr_NewExceptionWithDoc(
        "quorvalent_index.HashError",
        "A hash or code that the index refuses. `position` is its place in the input (None for a single "
        "query), and `reason` says what is wrong with it.",
        PyExc_ValueError, nullptr);
    if (hash_error_type == nullptr) throw nb::python_error();
    m.attr("HashError") = nb::borrow(hash_error_type);
    nb::register_exception_translator(translate_errors);

    m.def("_interpreter_exit", &interpreter_exit, nb::sig("def _interpreter_exit() -> None"));
    nb::module_::import_("atexit").attr("register")(m.attr("_interpreter_exit"));
    m.def("pack_codes", &pack_codes, nb::arg("hashes").none(), nb::arg("bits").none() = nb::none(),
          nb::sig("def pack_codes(hashes: object, bits: typing.SupportsIndex | None = None) -> "
                  "tuple[numpy.typing.NDArray[numpy.uint64], int | None]"),
          "(codes, bits): hashes (any input an index takes) packed into an array of shape (N, words): "
          "word j of a code is the number spelled by its digits 16j to 16j + 15, so a 64-bit hash is "
          "its integer value. bits is the width, None while no hash has set it.");
    m.def("split_into_blocks", &split_into_blocks, nb::arg("bits").none(), nb::arg("count").none(),
          nb::sig("def split_into_blocks(bits: typing.SupportsIndex, count: typing.SupportsIndex) -> list[tuple[int, int]]"),
          "The blocks of a code of `bits` bits, `count` of them, as (word, mask) pairs: disjoint, covering every "
          "bit when count >= the words of a code, and a function of (bits, count) alone, so that every process of "
          "a distributed join computes the same.");
    m.def("block_values", &block_values, nb::arg("codes"), nb::arg("blocks"),
          nb::sig("def block_values(codes: numpy.typing.NDArray[numpy.uint64], blocks: collections.abc.Sequence[tuple[int, int]]) "
                  "-> numpy.typing.NDArray[numpy.uint64]"),
          "The bits of each block of each code (codes of shape (N, words)), gathered: shape (N, blocks). Codes that "
          "agree on a block have the same value there.");
    m.def("owning_blocks", &owning_blocks, nb::arg("a"), nb::arg("b"), nb::arg("blocks"), nb::arg("thresholds"),
          nb::sig("def owning_blocks(a: numpy.typing.NDArray[numpy.uint64], b: numpy.typing.NDArray[numpy.uint64], "
                  "blocks: collections.abc.Sequence[tuple[int, int]], thresholds: collections.abc.Sequence[int]) "
                  "-> numpy.typing.NDArray[numpy.int64]"),
          "The owning block of each pair (a[k], b[k]): the first block whose distance is within its threshold "
          "(a negative threshold leaves a block out), or len(blocks). A pair is reported only in its owning "
          "block's buckets, so no pair is reported twice.");
    m.def("owned_bucket_pairs", &owned_bucket_pairs, nb::arg("codes"), nb::arg("bits").none(), nb::arg("blocks"),
          nb::arg("block_of"), nb::arg("value_of"), nb::arg("part_of").none(), nb::arg("side_of").none(),
          nb::arg("max_dist").none(), nb::arg("collapse") = false,
          nb::sig("def owned_bucket_pairs(codes: numpy.typing.NDArray[numpy.uint64], bits: typing.SupportsIndex, "
                  "blocks: collections.abc.Sequence[tuple[int, int]], block_of: numpy.typing.NDArray[numpy.int64], "
                  "value_of: numpy.typing.NDArray[numpy.uint64], part_of: numpy.typing.NDArray[numpy.int64] | None, "
                  "side_of: numpy.typing.NDArray[numpy.int8] | None, max_dist: typing.SupportsIndex, collapse: bool = False) "
                  "-> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int32]]"),
          "The pairs (a, b, distance), rows a < b, that one worker of a distributed join owns among the bucket rows "
          "it holds: row i is codes[i] in the bucket of blocks[block_of[i]] with value value_of[i], in part "
          "part_of[i] and on side side_of[i] of it (None: part 0, side -1). A pair counts when its rows share a "
          "bucket part, sit on different sides where the part has two, are within max_dist, and the first block "
          "they agree on exactly is their bucket's (with no blocks, one bucket: every pair within max_dist). With "
          "collapse, for connected components: the copies of a code on one side of a part are joined as one, each "
          "other copy paired with it at distance 0, so the pairs connect the same rows without listing every pair "
          "among copies.");
    m.def("_format_rows", &format_rows, nb::arg("columns"), nb::arg("prefixes"), nb::arg("end"),
          nb::sig("def _format_rows(columns: collections.abc.Sequence[numpy.typing.NDArray[numpy.int64]], "
                  "prefixes: collections.abc.Sequence[str], end: str) -> bytes"));

    nb::class_<hash_index>(m, "HashIndex")
        .def(nb::init<nb::handle, nb::handle, nb::handle>(), nb::arg("hashes").none() = nb::tuple(),
             nb::arg("ids").none() = nb::none(), nb::kw_only(), nb::arg("bits").none() = nb::none(),
             nb::sig("def __init__(self, hashes: collections.abc.Iterable[str] | None = (), "
                     "ids: collections.abc.Iterable[typing.SupportsIndex] | None = None, *, "
                     "bits: typing.SupportsIndex | None = None) -> None"),
             "An index of hex hashes, all of one length. `bits` fixes the width before any hash "
             "is added; otherwise the first hash sets it. `ids` (int64, unique) name the hashes; "
             "without them the index numbers hashes by insertion, 0, 1, 2, ...")
        .def("add", &hash_index::add, nb::arg("hashes").none(), nb::arg("ids").none() = nb::none(),
             nb::sig("def add(self, hashes: collections.abc.Iterable[str], "
                     "ids: collections.abc.Iterable[typing.SupportsIndex] | None = None) -> int"),
             "Adds hashes and returns the id of the first. An index takes ids on every add or on "
             "none. A refused hash or id leaves the index as it was.")
        .def("_add_codes", &hash_index::add_codes, nb::arg("codes"), nb::arg("ids").none() = nb::none(),
             nb::sig("def _add_codes(self, codes: numpy.typing.NDArray[numpy.uint64] | numpy.typing.NDArray[numpy.uint8], "
                     "ids: collections.abc.Iterable[typing.SupportsIndex] | None = None) -> None"))
        .def("_borrow_codes", &hash_index::borrow_codes, nb::arg("codes"), nb::arg("owner"), nb::arg("ids").none(),
             nb::arg("given_ids"), nb::arg("next_id"), nb::arg("mapped"),
             nb::sig("def _borrow_codes(self, codes: numpy.typing.NDArray[numpy.uint64], owner: object, "
                     "ids: numpy.typing.NDArray[numpy.int64] | None, given_ids: bool, next_id: int, mapped: bool) -> None"))
        .def("_live", &hash_index::live,
             nb::sig("def _live(self) -> tuple[numpy.typing.NDArray[numpy.uint64], numpy.typing.NDArray[numpy.int64], bool, int]"))
        .def("ids", &hash_index::ids, nb::sig("def ids(self) -> numpy.typing.NDArray[numpy.int64]"), "The ids of the hashes held, in insertion order.")
        .def("distances", &hash_index::distances, nb::arg("a").none(), nb::arg("b").none(),
             nb::sig("def distances(self, a: collections.abc.Iterable[typing.SupportsIndex], "
                     "b: collections.abc.Iterable[typing.SupportsIndex]) -> numpy.typing.NDArray[numpy.int32]"),
             "The bits in which the hashes of ids a[k] and b[k] differ, for each k.")
        .def("__contains__", &hash_index::contains, nb::arg("id").none(), nb::sig("def __contains__(self, id: object) -> bool"))
        .def("remove", &hash_index::remove, nb::arg("ids").none(),
             nb::sig("def remove(self, ids: collections.abc.Iterable[typing.SupportsIndex]) -> int"),
             "Removes the hashes of these ids and returns how many were removed; an id not held "
             "raises KeyError naming it, and nothing is removed.")
        .def("compact", &hash_index::compact, "Gives back the memory of removed hashes; no answer changes.")
        .def("_groups", &hash_index::groups, nb::arg("max_dist").none(), nb::arg("method").none(), nb::arg("precedence").none(),
             nb::arg("threads").none(),
             nb::sig("def _groups(self, max_dist: typing.SupportsIndex, method: str, "
                     "precedence: numpy.typing.NDArray[numpy.uint32] | None, "
                     "threads: typing.SupportsIndex | None) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64]]"))
        .def("sweep", &hash_index::sweep, nb::arg("radii").none(), nb::kw_only(), nb::arg("threads").none() = nb::none(),
             nb::sig("def sweep(self, radii: collections.abc.Iterable[typing.SupportsIndex], *, "
                     "threads: typing.SupportsIndex | None = None) -> dict[str, numpy.typing.NDArray[numpy.int64]]"),
             "Deduplication by connected components at each radius, from one join at the largest: "
             "a dict of int64 arrays radius, pairs, groups, dropped and largest.")
        .def("__len__", &hash_index::size)
        .def("__repr__", &hash_index::repr)
        .def_prop_ro("bits", &hash_index::bits, nb::sig("def bits(self) -> int | None"),
                     "Bits per code, or None while the index has no width.")
        .def_prop_ro("nbytes", &hash_index::nbytes, "Bytes the index holds: codes and tables.")
        .def("within", &hash_index::within, nb::arg("query").none(), nb::arg("max_dist").none(),
             nb::sig("def within(self, query: str, max_dist: typing.SupportsIndex) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int32]]"),
             "(ids, dists) of every hash within max_dist bits of query, sorted by (distance, id).")
        .def("nearest", &hash_index::nearest, nb::arg("query").none(), nb::arg("k").none(),
             nb::sig("def nearest(self, query: str, k: typing.SupportsIndex) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int32]]"),
             "(ids, dists) of the k nearest hashes, sorted by (distance, id).")
        .def("within_many", &hash_index::within_many, nb::arg("queries").none(), nb::arg("max_dist").none(), nb::kw_only(),
             nb::arg("threads").none() = nb::none(),
             nb::sig("def within_many(self, queries: collections.abc.Iterable[str], max_dist: typing.SupportsIndex, *, "
                     "threads: typing.SupportsIndex | None = None) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int32]]"),
             "(offsets, ids, dists): the answers of query q are ids[offsets[q]:offsets[q + 1]].")
        .def("nearest_many", &hash_index::nearest_many, nb::arg("queries").none(), nb::arg("k").none(), nb::kw_only(),
             nb::arg("threads").none() = nb::none(),
             nb::sig("def nearest_many(self, queries: collections.abc.Iterable[str], k: typing.SupportsIndex, *, "
                     "threads: typing.SupportsIndex | None = None) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int32]]"),
             "(ids, dists) of shape (len(queries), min(k, len(index))).")
        .def("pairs", &hash_index::pairs, nb::arg("max_dist").none(), nb::kw_only(), nb::arg("other").none() = nb::none(),
             nb::arg("threads").none() = nb::none(), nb::arg("progress").none() = nb::none(),
             nb::sig("def pairs(self, max_dist: typing.SupportsIndex, *, other: HashIndex | None = None, "
                     "threads: typing.SupportsIndex | None = None, "
                     "progress: collections.abc.Callable[[int, int], object] | None = None) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int32]]"),
             "(i, j, d) of every pair within max_dist bits, sorted by (i, j): i < j within this "
             "index, or i in this index and j in `other`. `progress(done, total)` is called "
             "about every 0.05 s.")
        .def("hex", &hash_index::hex, nb::arg("ids").none(),
             nb::sig("def hex(self, ids: collections.abc.Iterable[typing.SupportsIndex]) -> list[str]"),
             "The hashes of these ids, as lower-case hex.")
        .def("plan", &hash_index::plan, nb::arg("max_dist").none(), nb::arg("kind").none() = "within",
             nb::sig("def plan(self, max_dist: typing.SupportsIndex, kind: str = 'within') -> str"),
             "How a search at this radius would run, and why: kind is 'within' or 'pairs'.");

    nb::class_<pair_batches>(m, "_PairBatches")
        .def(nb::init<nb::object, nb::handle, nb::object, nb::handle, nb::handle>(), nb::arg("index"), nb::arg("max_dist").none(),
             nb::arg("other").none(), nb::arg("batch").none(), nb::arg("threads").none(),
             nb::sig("def __init__(self, index: HashIndex, max_dist: typing.SupportsIndex, other: HashIndex | None, "
                     "batch: typing.SupportsIndex, threads: typing.SupportsIndex | None) -> None"))
        .def("next", &pair_batches::next,
             nb::sig("def next(self) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int32]] | None"));
}
