// quillon._native.read: the adaptive salvage into Arrow record batches.
//
//     def read(input_path: str, quarantine_path: str | None, options: dict
//              ) -> tuple[RecordBatches, dict]:
//         """Salvages input_path into record batches of string columns (and
//         the lossless quarantine when a path is given); returns them with
//         the detection and the counts that salvage returns."""
//
//     class RecordBatches:  # immutable, made only by read
//         columns: tuple[str, ...]
//         def __len__(self) -> int: ...  # rows
//         def __arrow_c_schema__(self) -> PyCapsule: ...  # "arrow_schema"
//         def __arrow_c_stream__(self, requested_schema: PyCapsule | None = None
//                                ) -> PyCapsule: ...  # "arrow_array_stream"
//
// The file is read, salvaged and turned into batches without the interpreter
// lock; the capsules hand out the batches without copying them. Each capsule
// releases its struct when it is destroyed unless a consumer took it over.
#pragma once

#include <Python.h>

#include <memory>

#include "arrow/arrow_c_abi.hpp"
#include "arrow/record_batches.hpp"

namespace quillon::native {

PyObject* read_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

// Capsules of the PyCapsule interface that own the struct: one that no
// consumer moved out is released with the capsule. Null with the exception
// set (the struct released) on failure.
PyObject* schema_capsule(std::unique_ptr<ArrowSchema> schema);
PyObject* stream_capsule(std::unique_ptr<ArrowArrayStream> stream);

// The table's column names as a tuple of str.
PyObject* names_tuple(const arrow::BatchTable& table);

// A new RecordBatches object over `table`.
PyObject* wrap_table(std::shared_ptr<const arrow::BatchTable> table);
// The table of a RecordBatches object; a TypeError for any other object.
const std::shared_ptr<const arrow::BatchTable>* unwrap_table(PyObject* object);

}  // namespace quillon::native
