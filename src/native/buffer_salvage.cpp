// _native.salvage_buffer: the adaptive salvage of bytes already in memory,
// such as standard input or a decompressed file, written as _native.salvage
// writes a file's.
//
//     def salvage_buffer(data: Buffer, output: str | int, quarantine_path: str | None,
//                        options: dict, progress: Callable[[int, int], object] | None = None,
//                        /) -> dict:
//
// `data` is held (and so cannot be resized) for the call. `output` is a path,
// or an open descriptor that is written through a duplicate and left open
// (standard output). The lock is released for all the work.

#include <Python.h>

#include <string_view>

#include "held_buffer.hpp"
#include "salvage_entries.hpp"

namespace quillon::native {

bool output_of(PyObject* value, OutputTarget& out) {
    if (PyLong_Check(value)) {
        const int fd = PyLong_AsInt(value);
        if (fd == -1 && PyErr_Occurred() != nullptr) return false;
        if (fd < 0) {
            PyErr_SetString(PyExc_ValueError, "output descriptor must not be negative");
            return false;
        }
        out.fd = fd;
        return true;
    }
    return path_of(value, "output", out.path);
}

bool input_of(PyObject* value, InputArgument& out) {
    if (PyUnicode_Check(value)) return path_of(value, "input", out.path);
    out.in_memory = true;
    return out.data.hold(value);
}

PyObject* salvage_buffer_function(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 && nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "salvage_buffer() takes 4 or 5 arguments");
        return nullptr;
    }
    HeldBuffer data;
    OutputTarget output;
    if (!data.hold(args[0]) || !output_of(args[1], output)) return nullptr;
    return run_salvage(args, nargs, [&](const auto& quarantine_path, const auto& options) {
        return adaptive_salvage_content(data.bytes(), output, quarantine_path, options,
                                        signal_raised_without_gil);
    });
}

}  // namespace quillon::native
