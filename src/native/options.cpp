#include "options.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace quillon::native {

namespace {

// More threads than this only cost memory: a span is read per thread.
constexpr unsigned kMaxThreads = 1024;

// The value under `key`, borrowed, or null when absent; -1 on a lookup error.
int lookup(PyObject* dict, const char* key, PyObject*& value) {
    return PyDict_GetItemStringRef(dict, key, &value);
}

bool to_size(PyObject* value, const char* key, std::size_t& out) {
    const Py_ssize_t v = PyLong_AsSsize_t(value);
    if (v == -1 && PyErr_Occurred() != nullptr) return false;
    if (v < 0) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative", key);
        return false;
    }
    out = static_cast<std::size_t>(v);
    return true;
}

bool to_byte(PyObject* value, const char* key, std::uint8_t& out) {
    std::size_t v = 0;
    if (!to_size(value, key, v)) return false;
    if (v > 0xFF) {
        PyErr_Format(PyExc_ValueError, "%s must be a byte value", key);
        return false;
    }
    out = static_cast<std::uint8_t>(v);
    return true;
}

// Present and not None: the value; absent or None: nullopt.
template <typename T, bool (*Convert)(PyObject*, const char*, T&)>
bool optional_value(PyObject* dict, const char* key, std::optional<T>& out) {
    PyObject* value = nullptr;
    if (lookup(dict, key, value) < 0) return false;
    if (value == nullptr) return true;
    bool ok = true;
    if (value != Py_None) {
        T converted{};
        ok = Convert(value, key, converted);
        if (ok) out = converted;
    }
    Py_DECREF(value);
    return ok;
}

bool to_bool(PyObject* value, const char*, bool& out) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

// Present, even as None, fixes a byte that may be "none" (quote, escape).
bool fixed_byte(PyObject* dict, const char* key, bool& given, std::optional<std::uint8_t>& out) {
    PyObject* value = nullptr;
    if (lookup(dict, key, value) < 0) return false;
    if (value == nullptr) return true;
    given = true;
    bool ok = true;
    if (value != Py_None) {
        std::uint8_t b = 0;
        ok = to_byte(value, key, b);
        if (ok) out = b;
    }
    Py_DECREF(value);
    return ok;
}

bool flag(PyObject* dict, const char* key, bool& out) {
    std::optional<bool> value;
    if (!optional_value<bool, to_bool>(dict, key, value)) return false;
    if (value) out = *value;
    return true;
}

bool to_encoding(PyObject* value, const char* key, InputEncoding& out) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) return false;
    if (const std::optional<InputEncoding> e =
            encoding_named(std::string_view(text, static_cast<std::size_t>(size)))) {
        out = *e;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "unsupported %s: %R", key, value);
    return false;
}

bool to_text(PyObject* value, const char* key, std::string& out) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &length) : nullptr;
    if (text == nullptr) {
        if (PyErr_Occurred() == nullptr) PyErr_Format(PyExc_TypeError, "%s must be a str", key);
        return false;
    }
    out.assign(text, static_cast<std::size_t>(length));
    return true;
}

// Absent or None: every core (0); else at least 1.
bool thread_count(PyObject* dict, unsigned& out) {
    std::optional<std::size_t> value;
    if (!optional_value<std::size_t, to_size>(dict, "threads", value)) return false;
    if (!value) return true;
    if (*value == 0 || *value > kMaxThreads) {
        PyErr_Format(PyExc_ValueError, "threads must be between 1 and %u", kMaxThreads);
        return false;
    }
    out = static_cast<unsigned>(*value);
    return true;
}

// The streaming sizes: absent, the defaults; else at least one byte.
bool stream_size(PyObject* dict, const char* key, std::size_t& out) {
    std::optional<std::size_t> value;
    if (!optional_value<std::size_t, to_size>(dict, key, value)) return false;
    if (!value) return true;
    if (*value == 0) {
        PyErr_Format(PyExc_ValueError, "%s must be at least 1", key);
        return false;
    }
    out = *value;
    return true;
}

}  // namespace

bool convert_options(PyObject* dict, AdaptiveOptions& options) {
    if (!PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "options must be a dict");
        return false;
    }
    DialectHints& hints = options.dialect;
    return optional_value<std::uint8_t, to_byte>(dict, "delimiter", hints.delimiter) &&
           fixed_byte(dict, "quote", hints.quote_given, hints.quote) &&
           fixed_byte(dict, "escape", hints.escape_given, hints.escape) &&
           optional_value<bool, to_bool>(dict, "skip_initial_space", hints.skip_initial_space) &&
           optional_value<InputEncoding, to_encoding>(dict, "encoding", options.encoding) &&
           optional_value<bool, to_bool>(dict, "header", options.header) &&
           optional_value<std::size_t, to_size>(dict, "skip_rows", options.preamble_rows) &&
           optional_value<std::string, to_text>(dict, "comment", options.comment) &&
           optional_value<std::size_t, to_size>(dict, "expected_columns",
                                                options.expected_columns) &&
           flag(dict, "fill_ragged_rows", options.fill_ragged_rows) &&
           flag(dict, "merge_overflow", options.merge_overflow) &&
           flag(dict, "repair_misaligned_rows", options.repair_rows) &&
           flag(dict, "repair_quotes", options.repair_quotes) &&
           flag(dict, "drop_repeated_headers", options.drop_repeated_headers) &&
           flag(dict, "drop_footer", options.drop_footer) &&
           flag(dict, "guard_runaway_quotes", options.guard_runaway_quotes) &&
           flag(dict, "split_tables", options.split_tables) &&
           optional_value<std::uint8_t, to_byte>(dict, "output_delimiter",
                                                 options.output_delimiter) &&
           thread_count(dict, options.threads) &&
           stream_size(dict, "head_bytes", options.head_bytes) &&
           stream_size(dict, "window_bytes", options.window_bytes) &&
           stream_size(dict, "span_bytes", options.span_bytes);
}

}  // namespace quillon::native
