// Matching call arguments to parameters, and converting them to engine values.
//
// The matcher follows the interpreter's own rules and wording for built-in
// functions: all parameters are positional-or-keyword, errors name the
// function as "name()" and carry no note. The converters add the note
// "while processing '<parameter>'" to every failure.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/options.hpp"

namespace quillon::binding {

// The most parameters a signature may have.
inline constexpr std::size_t kMaxParameters = 16;

struct Signature {
    // As errors name it, without the parentheses.
    const char* function;
    std::span<const char* const> parameters;
    std::size_t required;
};

// Fills `values` (one slot per parameter) with borrowed references, null for
// an omitted argument. Returns false with TypeError set.
bool match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** values);
// The same for a tuple and an optional dict, as a type's tp_new receives them.
bool match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** values);

// The parameters that salvage_file, open and SalvageReader share, in order.
inline constexpr std::size_t kOptionCount = 6;
inline constexpr const char* kOptionParameters[kOptionCount] = {
    "delimiter", "quote_char", "fill_ragged_rows", "merge_overflow", "expected_columns", "repair_quotes",
};

// Each converter returns false with an exception (and the note) set.
// A null value means the argument was omitted.

// A str path, UTF-8 encoded; a NUL in it is refused.
bool convert_path(PyObject* value, const char* parameter, std::string& out);
// None or omitted: no path.
bool convert_optional_path(PyObject* value, const char* parameter, std::optional<std::string>& out);
// The UTF-8 form of a str, borrowed from the object.
bool convert_text(PyObject* value, const char* parameter, std::string_view& out);
// The six option values, in the order of kOptionParameters.
bool convert_options(PyObject* const* values, SalvageOptions& out);

}  // namespace quillon::binding
