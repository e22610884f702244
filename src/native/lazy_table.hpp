// quillon._native.read_lazy: a table read as a stream (arrow/streamed_table.hpp).
//
//     def read_lazy(source: str | Buffer | Callable[[], bytes], quarantine_path: str | None,
//                   options: dict, finish: Callable[[bool], object] | None) -> LazyTable:
//         """Opens the input (a path, the bytes themselves, or a callable that
//         returns its next block, b"" at the end), detects, and reads the
//         first window. finish(True) is called once the input was read to its
//         end (the quarantine file is then closed), finish(False) when the
//         table goes before that."""
//
//     class LazyTable:
//         columns: tuple[str, ...]
//         types: tuple[str, ...]           # once typed
//         complete: bool                   # the figures below are final
//         held: bool                       # every batch is in memory
//         def type(self, infer: bool, given: dict[int, str], threads: int) -> None: ...
//         def hold_whole(self) -> None: ...         # reads the rest, keeps it
//         def batches(self) -> RecordBatches: ...   # when held
//         def rejects(self) -> RecordBatches: ...   # when complete
//         def stats(self) -> dict: ...              # when complete
//         reject_counts: tuple[int, ...]            # when complete
//         def __len__(self) -> int: ...             # when complete
//         def __arrow_c_schema__(self) -> PyCapsule: ...
//         def __arrow_c_stream__(self, requested_schema=None) -> PyCapsule: ...
//
// __arrow_c_stream__ of a table not held hands out its one lazy stream (a
// second call is a RuntimeError); the stream's get_next may be called with or
// without the interpreter lock, from any thread: it reads without the lock.
#pragma once

#include <Python.h>

namespace quillon::native {

PyObject* read_lazy_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

}  // namespace quillon::native
