// _native.salvage_stream: the adaptive salvage of an input read as a stream,
// in memory that does not grow with the input.
//
//     def salvage_stream(source: str | Callable[[], bytes], output: str | int,
//                        quarantine_path: str | None, options: dict,
//                        progress: Callable[[int, int], object] | None = None, /) -> dict:
//
// `source` is a path, read in blocks here without the lock (progress is told
// the bytes read and the file's size, 0 when it has none), or a callable
// that returns the input's next block, b"" at its end, called with the lock
// (decompressed data, a pipe, a file object: the caller reports progress).
// `output` is a path or an open descriptor, as for salvage_buffer.

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "callable_stream.hpp"
#include "salvage_entries.hpp"

namespace quillon::native {

PyObject* salvage_stream_function(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 && nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "salvage_stream() takes 4 or 5 arguments");
        return nullptr;
    }
    OutputTarget output;
    if (!output_of(args[1], output)) return nullptr;
    if (PyUnicode_Check(args[0])) {
        std::string path;
        if (!path_of(args[0], "source", path)) return nullptr;
        return run_salvage(args, nargs, [&](const auto& quarantine_path, const auto& options)
                                            -> IoResult<AdaptiveStats> {
            IoResult<FdByteStream> opened = FdByteStream::open(path, signal_raised_without_gil);
            if (!opened) return concerning(opened.error(), path);
            IoResult<AdaptiveStats> done = adaptive_salvage_stream(
                opened.value(), output, quarantine_path, options, signal_raised_without_gil);
            // A failure that names no file is the input's reading.
            if (!done && done.error().os_code != 0 && done.error().path.empty()) {
                return concerning(done.error(), path);
            }
            return done;
        });
    }
    if (!PyCallable_Check(args[0])) {
        PyErr_Format(PyExc_TypeError, "source must be a path or a callable, not %T", args[0]);
        return nullptr;
    }
    CallableStream source(args[0]);
    return run_salvage(args, nargs, [&](const auto& quarantine_path, const auto& options) {
        return adaptive_salvage_stream(source, output, quarantine_path, options,
                                       signal_raised_without_gil);
    });
}

}  // namespace quillon::native
