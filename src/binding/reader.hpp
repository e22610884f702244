// SalvageReader: the kept rows of one salvaged file, yielded one list per row.
#pragma once

#include <Python.h>

#include <cstddef>

namespace quillon::binding {

// The constructor's parameters, shared with the module's open().
inline constexpr std::size_t kReaderParameterCount = 7;
inline constexpr const char* kReaderParameters[kReaderParameterCount] = {
    "file_path",      "delimiter",        "quote_char",    "fill_ragged_rows",
    "merge_overflow", "expected_columns", "repair_quotes",
};

// The SalvageReader type; borrowed, lives for the process. Null with an
// exception set if it cannot be created.
PyTypeObject* reader_type() noexcept;

// Builds a reader from matched arguments (one slot per parameter above, null
// when omitted), exactly as the constructor does.
PyObject* new_reader(PyObject* const* values);

}  // namespace quillon::binding
