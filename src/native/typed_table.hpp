// quillon._native.type_columns: typed columns for a read table.
//
//     def type_columns(batches: RecordBatches, infer: bool, given: dict[int, str],
//                      delimiter: int, threads: int
//                      ) -> tuple[RecordBatches, RecordBatches, tuple[str, ...],
//                                 tuple[int, ...]]:
//         """The table with its columns typed (inferred when `infer`, given
//         by index as type names), the log of the cells that fit no value of
//         their column's type, and per column its type's name and count of
//         such cells. threads=0 uses every core."""
//
// The work runs without the interpreter lock; the typed buffers are built in
// C++, never as Python objects. An unknown type name is a ValueError.
#pragma once

#include <Python.h>

#include <cstddef>

#include "arrow/typed_columns.hpp"

namespace quillon::native {

// given: {column index: type name} into request.given, for a table of
// `width` columns; false with the exception set (an unknown name is a
// ValueError, a column past the table an IndexError).
bool given_types(PyObject* given, std::size_t width, arrow::TypingRequest& request);

PyObject* type_columns_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

}  // namespace quillon::native
