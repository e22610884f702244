#include "arguments.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "errors.hpp"
#include "py_ref.hpp"

namespace quillon::binding {

namespace {

// Keyword arguments as parallel arrays of names and values.
struct Keywords {
    PyObject* const* names;
    PyObject* const* values;
    Py_ssize_t count;
};

Py_ssize_t find_keyword(const Keywords& keywords, const char* name) {
    for (Py_ssize_t i = 0; i < keywords.count; ++i) {
        PyObject* key = keywords.names[i];
        if (PyUnicode_Check(key) && PyUnicode_EqualToUTF8(key, name)) return i;
    }
    return -1;
}

// The interpreter's suggestion metric for misspelt names: a Levenshtein
// distance where a case flip costs half an edit, with the same limits, so
// that "Did you mean" appears exactly where it would for a Python function.
constexpr std::size_t kMoveCost = 2;
constexpr std::size_t kCaseCost = 1;
constexpr std::size_t kMaxSuggestionSize = 40;

std::size_t substitution_cost(char a, char b) noexcept {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
    if ('A' <= b && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
    return a == b ? kCaseCost : kMoveCost;
}

std::size_t suggestion_distance(std::string_view a, std::string_view b, std::size_t max_cost) noexcept {
    while (!a.empty() && !b.empty() && a.front() == b.front()) {
        a.remove_prefix(1);
        b.remove_prefix(1);
    }
    while (!a.empty() && !b.empty() && a.back() == b.back()) {
        a.remove_suffix(1);
        b.remove_suffix(1);
    }
    if (a.empty() || b.empty()) return (a.size() + b.size()) * kMoveCost;
    if (a.size() > kMaxSuggestionSize || b.size() > kMaxSuggestionSize) return max_cost + 1;
    if (b.size() < a.size()) std::swap(a, b);
    if ((b.size() - a.size()) * kMoveCost > max_cost) return max_cost + 1;

    // One row of the edit matrix, updated in place.
    std::array<std::size_t, kMaxSuggestionSize> row{};
    for (std::size_t i = 0; i < a.size(); ++i) row[i] = (i + 1) * kMoveCost;
    std::size_t result = 0;
    for (std::size_t j = 0; j < b.size(); ++j) {
        std::size_t diagonal = j * kMoveCost;
        result = diagonal;
        std::size_t minimum = SIZE_MAX;
        for (std::size_t i = 0; i < a.size(); ++i) {
            const std::size_t substitute = diagonal + substitution_cost(b[j], a[i]);
            diagonal = row[i];
            result = std::min(std::min(result, diagonal) + kMoveCost, substitute);
            row[i] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

const char* suggest_parameter(const Signature& signature, std::string_view keyword) {
    const char* best = nullptr;
    std::size_t best_distance = SIZE_MAX;
    for (const char* candidate : signature.parameters) {
        const std::string_view name(candidate);
        std::size_t max_distance = (keyword.size() + name.size() + 3) * kMoveCost / 6;
        max_distance = std::min(max_distance, best_distance - 1);
        const std::size_t distance = suggestion_distance(keyword, name, max_distance);
        if (distance > max_distance) continue;
        if (best == nullptr || distance < best_distance) {
            best = candidate;
            best_distance = distance;
        }
    }
    return best;
}

[[gnu::cold]] void raise_unexpected_keyword(const Signature& signature, const Keywords& keywords) {
    for (Py_ssize_t i = 0; i < keywords.count; ++i) {
        PyObject* key = keywords.names[i];
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return;
        }
        const bool known = std::any_of(signature.parameters.begin(), signature.parameters.end(),
                                       [key](const char* name) { return PyUnicode_EqualToUTF8(key, name) != 0; });
        if (known) continue;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (text == nullptr) return;
        const char* suggestion = suggest_parameter(signature, {text, static_cast<std::size_t>(size)});
        if (suggestion != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'. Did you mean '%s'?",
                         signature.function, key, suggestion);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function, key);
        }
        return;
    }
    // Only a name given twice by a native caller gets here.
    PyErr_Format(PyExc_TypeError, "invalid keyword argument for %s()", signature.function);
}

bool match(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, const Keywords& keywords,
           PyObject** values) {
    const auto parameters = static_cast<Py_ssize_t>(signature.parameters.size());
    const auto required = static_cast<Py_ssize_t>(signature.required);
    if (nargs + keywords.count > parameters) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd %sargument%s (%zd given)", signature.function,
                     parameters, nargs == 0 ? "keyword " : "", parameters == 1 ? "" : "s", nargs + keywords.count);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    Py_ssize_t unmatched = keywords.count;
    for (Py_ssize_t i = nargs; i < parameters; ++i) {
        const char* name = signature.parameters[static_cast<std::size_t>(i)];
        PyObject* value = nullptr;
        if (unmatched > 0) {
            const Py_ssize_t found = find_keyword(keywords, name);
            if (found >= 0) {
                value = keywords.values[found];
                --unmatched;
            }
        }
        if (value == nullptr && i < required) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", signature.function, name,
                         i + 1);
            return false;
        }
        values[i] = value;
    }
    if (unmatched == 0) return true;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        const char* name = signature.parameters[static_cast<std::size_t>(i)];
        if (find_keyword(keywords, name) >= 0) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)",
                         signature.function, name, i + 1);
            return false;
        }
    }
    raise_unexpected_keyword(signature, keywords);
    return false;
}

// The UTF-8 form of a str argument, borrowed from the object.
bool utf8_of(PyObject* value, const char* parameter, std::string_view& out) {
    if (!PyUnicode_Check(value)) {
        raise_not_instance(value, "str", parameter);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) {
        add_parameter_note(parameter);
        return false;
    }
    out = {data, static_cast<std::size_t>(size)};
    return true;
}

// numpy's bool scalars, recognised by name so that numpy is never imported.
bool is_numpy_bool(PyObject* value, bool& out) {
    PyTypeObject* type = Py_TYPE(value);
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name) return false;
    out = PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool");
    if (!out) return true;
    PyRef module = PyRef::steal(PyType_GetModuleName(type));
    if (!module) return false;
    out = PyUnicode_Check(module.get()) && PyUnicode_EqualToUTF8(module.get(), "numpy");
    return true;
}

bool convert_flag(PyObject* value, const char* parameter, bool& out) {
    if (value == nullptr) {
        out = true;
        return true;
    }
    if (PyBool_Check(value)) {
        out = value == Py_True;
        return true;
    }
    bool numpy_bool = false;
    if (!is_numpy_bool(value, numpy_bool)) {
        add_parameter_note(parameter);
        return false;
    }
    if (!numpy_bool) {
        raise_not_instance(value, "bool", parameter);
        return false;
    }
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) {
        add_parameter_note(parameter);
        return false;
    }
    out = truth != 0;
    return true;
}

bool convert_delimiter(PyObject* value, const char* parameter, std::optional<std::uint8_t>& out) {
    out.reset();
    if (value == nullptr || value == Py_None) return true;
    std::string_view text;
    if (!utf8_of(value, parameter, text)) return false;
    if (!text.empty()) out = static_cast<std::uint8_t>(text.front());
    return true;
}

bool convert_quote_char(PyObject* value, const char* parameter, std::uint8_t& out) {
    out = '"';
    if (value == nullptr) return true;
    std::string_view text;
    if (!utf8_of(value, parameter, text)) return false;
    if (!text.empty()) out = static_cast<std::uint8_t>(text.front());
    return true;
}

bool convert_count(PyObject* value, const char* parameter, std::optional<std::size_t>& out) {
    out.reset();
    if (value == nullptr || value == Py_None) return true;
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) {
        add_parameter_note(parameter);
        return false;
    }
    if constexpr (sizeof(std::size_t) >= sizeof(unsigned long long)) {
        const std::size_t count = PyLong_AsSize_t(index.get());
        if (count == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
            add_parameter_note(parameter);
            return false;
        }
        out = count;
    } else {
        const unsigned long long count = PyLong_AsUnsignedLongLong(index.get());
        if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            add_parameter_note(parameter);
            return false;
        }
        if (count > SIZE_MAX) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            add_parameter_note(parameter);
            return false;
        }
        out = static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace

bool match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** values) {
    Keywords keywords{nullptr, args + nargs, 0};
    if (kwnames != nullptr) {
        keywords.names = &PyTuple_GET_ITEM(kwnames, 0);
        keywords.count = PyTuple_GET_SIZE(kwnames);
    }
    return match(signature, args, nargs, keywords, values);
}

bool match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** values) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::array<PyObject*, kMaxParameters> names{};
    std::array<PyObject*, kMaxParameters> keyword_values{};
    Keywords keywords{names.data(), keyword_values.data(), 0};
    if (kwargs != nullptr) {
        const Py_ssize_t count = PyDict_GET_SIZE(kwargs);
        if (nargs + count > static_cast<Py_ssize_t>(signature.parameters.size())) {
            // Too many in any case: let the matcher word the error.
            keywords.count = count;
            return match(signature, nullptr, nargs, keywords, values);
        }
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            names[static_cast<std::size_t>(keywords.count)] = key;
            keyword_values[static_cast<std::size_t>(keywords.count)] = value;
            ++keywords.count;
        }
    }
    return match(signature, &PyTuple_GET_ITEM(args, 0), nargs, keywords, values);
}

bool convert_path(PyObject* value, const char* parameter, std::string& out) {
    std::string_view text;
    if (!utf8_of(value, parameter, text)) return false;
    if (text.find('\0') != std::string_view::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        add_parameter_note(parameter);
        return false;
    }
    out.assign(text);
    return true;
}

bool convert_optional_path(PyObject* value, const char* parameter, std::optional<std::string>& out) {
    out.reset();
    if (value == nullptr || value == Py_None) return true;
    return convert_path(value, parameter, out.emplace());
}

bool convert_text(PyObject* value, const char* parameter, std::string_view& out) {
    return utf8_of(value, parameter, out);
}

bool convert_options(PyObject* const* values, SalvageOptions& out) {
    return convert_delimiter(values[0], kOptionParameters[0], out.delimiter) &&
           convert_quote_char(values[1], kOptionParameters[1], out.quote_char) &&
           convert_flag(values[2], kOptionParameters[2], out.fill_ragged_rows) &&
           convert_flag(values[3], kOptionParameters[3], out.merge_overflow) &&
           convert_count(values[4], kOptionParameters[4], out.expected_columns) &&
           convert_flag(values[5], kOptionParameters[5], out.repair_quotes);
}

}  // namespace quillon::binding
