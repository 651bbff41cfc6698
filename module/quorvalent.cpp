// The Python binding: argument checks, borrowing of the string bytes, and conversion of the
// core's answers into Python values or ValueError. The counting itself lives in core/.
//
// The checks are written by hand on the vectorcall path instead of going through the generic
// argument parser, which costs more than the work itself on short hashes. They reproduce the
// parser's behaviour: the same arguments are refused, and every refusal is reported with the
// same message, before any later check.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <limits>

#include "quorvalent/hex_distance.hpp"
#include "texts.h"
#include "version.h"

namespace {

using quorvalent::bounded_result;
using quorvalent::contains_nul;
using quorvalent::distance_t;
using quorvalent::outcome;

//--- Arguments -------------------------------------------------------------------------------

struct text {
    const char* data;
    std::size_t size;
};

// The UTF-8 bytes of a str, borrowed for the duration of the call. An ASCII str already is its
// UTF-8 form, so its own buffer is used as it stands; any other str goes through the cached
// UTF-8 form, which keeps lengths in bytes and refuses lone surrogates as the parser does.
inline bool borrow_text(PyObject* obj, text& out) {
    // An exact str is checked with one comparison; subclasses take the general test below.
    if (Py_IS_TYPE(obj, &PyUnicode_Type) || PyUnicode_Check(obj)) {
        if (PyUnicode_IS_COMPACT_ASCII(obj)) {
            // The characters of a compact ASCII string follow its header.
            out.data = reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(obj) + 1);
            out.size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj));
            return true;
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
        if (data != nullptr) {
            out.data = data;
            out.size = static_cast<std::size_t>(size);
            return true;
        }
        PyErr_Clear();
    }
    return false;
}

PyObject* raise(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

// The parser refuses a str with a NUL inside before it makes any other check. Looking for one
// costs a pass over both strings, so it is done only where it can change the answer: on the
// way to any other refusal, and where the core answered without reading every byte.
bool either_holds_nul(const text& a, const text& b) {
    if (a.size == b.size) return contains_nul(a.data, b.data, a.size);
    return contains_nul(a.data, a.data, a.size) || contains_nul(b.data, b.data, b.size);
}

// Every refusal after the arguments were borrowed goes through here.
PyObject* refuse(const text& a, const text& b, const char* message) {
    return raise(either_holds_nul(a, b) ? quorvalent::texts::parse_error : message);
}

struct limit_value {
    bool negative;
    std::uint64_t magnitude;  // saturated: no pair of strings is long enough to tell the difference
};

// The value of an int that fits in one internal digit, without a call into the interpreter;
// false for larger ones.
inline bool read_compact_int(PyObject* number, long long& value) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(number))) return false;
    value = static_cast<long long>(
        PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(number)));
    return true;
#else
    const Py_ssize_t size = Py_SIZE(number);
    if (size < -1 || size > 1) return false;
    value = static_cast<long long>(size) *
            static_cast<long long>(reinterpret_cast<PyLongObject*>(number)->ob_digit[0]);
    return true;
#endif
}

// max_dist is taken as the exact integer the caller passed. Like the parser, this accepts an
// int or anything with __index__, and nothing else.
bool read_limit(PyObject* obj, const text& a, const text& b, limit_value& out) {
    long long value = 0;
    if (PyLong_Check(obj) && read_compact_int(obj, value)) {
        out = {value < 0, static_cast<std::uint64_t>(value < 0 ? 0 : value)};
        return true;
    }
    PyObject* number = obj;
    if (!PyLong_Check(obj)) {
        // The parser would have refused a NUL-bearing string before calling __index__.
        if (either_holds_nul(a, b)) return false;
        number = PyNumber_Index(obj);
        if (number == nullptr) {
            PyErr_Clear();
            return false;
        }
    } else {
        Py_INCREF(number);
    }
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(number, &overflow);
    Py_DECREF(number);
    if (overflow != 0) {
        out = {overflow < 0, std::numeric_limits<std::uint64_t>::max()};
    } else {
        out = {value < 0, static_cast<std::uint64_t>(value)};
    }
    return true;
}

//--- Long inputs ---------------------------------------------------------------------------

// On strings longer than this the core runs without the interpreter's lock, so that other
// threads go on meanwhile. Releasing and taking the lock back costs 20 to 50 ns here, while
// counting 16 KiB takes about 430 ns: from there on the release adds at most a few percent,
// and below it would dominate. The argument strings stay alive and unchanged while the lock is
// released: the caller holds them, and a str is immutable.
constexpr std::size_t release_lock_above = 16 * 1024;

template <class F>
auto without_lock_if_long(std::size_t n, F&& work) {
    if (n <= release_lock_above) return work();
    PyThreadState* state = PyEval_SaveThread();
    auto result = work();
    PyEval_RestoreThread(state);
    return result;
}

//--- Results -------------------------------------------------------------------------------

// Every distance of two hashes of up to 64 digits (0 to 256), built once at import: returning
// one of these is a reference count increment instead of a call into the interpreter.
constexpr std::size_t cached_hash_digits = 64;
constexpr distance_t cached_results = static_cast<distance_t>(4 * cached_hash_digits + 1);
PyObject* small_results[cached_results];

bool make_small_results() {
    for (distance_t i = 0; i < cached_results; ++i) {
        small_results[i] = PyLong_FromLongLong(i);
        if (small_results[i] == nullptr) return false;
    }
    return true;
}

inline PyObject* distance_result(distance_t d) {
    if (d < cached_results) return Py_NewRef(small_results[d]);
    return PyLong_FromLongLong(d);
}

//--- Functions -------------------------------------------------------------------------------

PyObject* hamming_distance(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    namespace texts = quorvalent::texts;
    text a, b;
    if (nargs != 2 || !borrow_text(args[0], a) || !borrow_text(args[1], b)) {
        return raise(texts::parse_error);
    }
    if (a.size != b.size) return refuse(a, b, texts::length_mismatch);
    const distance_t d = without_lock_if_long(
        a.size, [&] { return quorvalent::hex_distance(a.data, b.data, a.size); });
    if (d == quorvalent::invalid_distance) return refuse(a, b, texts::invalid_char);
    return distance_result(d);
}

PyObject* check_hexstrings_within_dist(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    namespace texts = quorvalent::texts;
    text a, b;
    limit_value limit;
    if (nargs != 3 || !borrow_text(args[0], a) || !borrow_text(args[1], b) ||
        !read_limit(args[2], a, b, limit)) {
        return raise(texts::parse_error);
    }
    if (a.size != b.size) return refuse(a, b, texts::length_mismatch);
    if (limit.negative) return refuse(a, b, texts::negative_limit);
    // Where the core answered without reading some bytes, a NUL among them would have been
    // refused by the parser before anything else.
    bool refused = false;
    const bounded_result r = without_lock_if_long(a.size, [&] {
        const bounded_result counted =
            quorvalent::hex_within_dist(a.data, b.data, a.size, limit.magnitude);
        refused = !counted.validated_all && either_holds_nul(a, b);
        return counted;
    });
    if (refused) return raise(texts::parse_error);
    switch (r.answer) {
        case outcome::within:
            Py_RETURN_TRUE;
        case outcome::beyond:
            Py_RETURN_FALSE;
        case outcome::invalid:
            break;
    }
    return raise(texts::invalid_char);
}

//--- Module ----------------------------------------------------------------------------------

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef method_table[] = {
    {"hamming_distance", as_cfunction(hamming_distance), METH_FASTCALL,
     quorvalent::texts::hamming_distance_doc},
    {"check_hexstrings_within_dist", as_cfunction(check_hexstrings_within_dist), METH_FASTCALL,
     quorvalent::texts::check_within_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvalent",
    quorvalent::texts::module_doc,
    -1,
    method_table,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_quorvalent(void) {
    if (small_results[0] == nullptr && !make_small_results()) return nullptr;
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) return nullptr;
    if (PyModule_AddStringConstant(module, "__version__", QUORVALENT_VERSION) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
#ifdef Py_GIL_DISABLED
    // Nothing is shared between calls but constants.
    PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#endif
    return module;
}
