// quillon._native: the native side of the quillon package's adaptive salvage.
//
// Private to the package, which validates every argument first; written as
// the Python it behaves like:
//
//     def salvage(input_path: str, output_path: str, quarantine_path: str | None,
//                 options: dict, progress: Callable[[int, int], object] | None = None) -> dict:
//         """Detects and salvages input_path into output_path (and the lossless
//         quarantine); returns the detection and the counts. Calls
//         progress(done, total) every few MB of work (progress.hpp)."""
//
//     def salvage_buffer(...) -> dict:  (buffer_salvage.cpp)
//
//     def salvage_stream(...) -> dict:  (stream_salvage.cpp)
//
//     def read_lazy(...) -> LazyTable:  (lazy_table.hpp)
//
//     def detect(input: str | Buffer | Callable[[], bytes], options: dict) -> dict:
//         """What salvage would detect for the file at the path, the bytes
//         themselves, or the blocks the callable returns (b"" at the end),
//         and nothing written. Of a file or blocks, only the head that
//         detection looks at is read."""
//
//     COUNTS: tuple[tuple[str, str], ...]  # the counters of the stats dict
//
// Unlike _quillon_backend, both release the interpreter lock for all file
// and engine work, so threads salvage files in parallel. I/O failures raise
// the OSError subclass of their errno, with the file's path as its filename.

#include <Python.h>

#include <cstring>
#include <optional>
#include <string>

#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "callable_stream.hpp"
#include "gil.hpp"
#include "held_buffer.hpp"
#include "options.hpp"
#include "pipeline/adaptive_salvage.hpp"
#include "salvage_entries.hpp"
#include "lazy_table.hpp"
#include "table.hpp"
#include "typed_table.hpp"

namespace quillon::native {

using binding::guarded;
using binding::PyRef;

bool signal_raised_without_gil() {
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool raised = binding::python_signal_raised();
    PyGILState_Release(state);
    return raised;
}

bool path_of(PyObject* value, const char* name, std::string& out) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be str, not %T", name, value);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) return false;
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

namespace {

// Sets d[key] = value, stealing the value's reference.
bool put(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* byte_or_none(const std::optional<std::uint8_t>& b) {
    return b ? PyLong_FromLong(*b) : Py_NewRef(Py_None);
}

PyObject* size(std::size_t v) { return PyLong_FromSize_t(v); }

// The tables below the first as a list of dicts: the line each begins on
// and that line's text, and with `offsets` where its bytes lie in the input.
PyObject* tables_list(const std::vector<OtherTable>& tables, bool offsets) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const OtherTable& t : tables) {
        PyRef entry = PyRef::steal(PyDict_New());
        if (!entry || !put(entry.get(), "line", size(t.line)) ||
            !put(entry.get(), "first_line",
                 PyUnicode_DecodeUTF8(t.first_line.data(),
                                      static_cast<Py_ssize_t>(t.first_line.size()), "replace")) ||
            (offsets && (!put(entry.get(), "offset", size(t.begin)) ||
                         !put(entry.get(), "end", size(t.end)))) ||
            PyList_Append(list.get(), entry.get()) != 0) {
            return nullptr;
        }
    }
    return list.release();
}

bool put_detection(PyObject* dict, const Detection& d) {
    const std::string_view encoding = encoding_name(d.encoding.encoding);
    return put(dict, "encoding",
               PyUnicode_FromStringAndSize(encoding.data(), static_cast<Py_ssize_t>(encoding.size()))) &&
           put(dict, "byte_order_mark", PyBool_FromLong(d.encoding.bom_length != 0)) &&
           put(dict, "delimiter", PyLong_FromLong(d.dialect.delimiter)) &&
           put(dict, "quote", byte_or_none(d.dialect.quote)) &&
           put(dict, "escape", byte_or_none(d.dialect.escape)) &&
           put(dict, "skip_initial_space", PyBool_FromLong(d.dialect.skip_initial_space)) &&
           put(dict, "header", PyBool_FromLong(d.structure.header)) &&
           put(dict, "preamble", size(d.structure.preamble_rows)) &&
           put(dict, "comment",
               PyUnicode_DecodeUTF8(d.structure.comment.data(),
                                    static_cast<Py_ssize_t>(d.structure.comment.size()), "replace")) &&
           put(dict, "columns", size(d.structure.columns)) &&
           put(dict, "tables", tables_list(d.structure.other_tables, false));
}

}  // namespace

void raise_failure(const IoError& error) {
    // A signal handler or the progress callable gave up the call: its
    // exception is already set.
    if (error.kind == IoErrorKind::kInterrupted && PyErr_Occurred() != nullptr) return;
    if (error.os_code == 0) {
        binding::raise_io_error(error, binding::IoErrorStyle::kByKind);
        return;
    }
    // OSError(errno, strerror, filename) picks the subclass of the code and
    // fills every field, so that callers can tell a missing input from a
    // missing output folder.
    PyRef filename = error.path.empty()
                         ? PyRef::borrow(Py_None)
                         : PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(
                               error.path.data(), static_cast<Py_ssize_t>(error.path.size())));
    if (!filename) return;
    PyRef exception = PyRef::steal(PyObject_CallFunction(PyExc_OSError, "isO", error.os_code,
                                                         std::strerror(error.os_code),
                                                         filename.get()));
    if (!exception) return;
    PyErr_SetRaisedException(exception.release());
}

PyObject* stats_dict(const AdaptiveStats& s) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || !put_detection(dict.get(), s.detection) ||
        !put(dict.get(), "output_delimiter", PyLong_FromLong(s.output_delimiter)) ||
        !put(dict.get(), "applied_columns", size(s.columns)) ||
        !put(dict.get(), "ends_in_open_quote", PyBool_FromLong(s.ends_in_open_quote)) ||
        !put(dict.get(), "other_tables", tables_list(s.other_tables, true)) ||
        !put(dict.get(), "window_grown_to", size(s.window_grown_to))) {
        return nullptr;
    }
    for (const CountName& c : kCounts) {
        if (!put(dict.get(), c.name, size(s.*c.count))) return nullptr;
    }
    return dict.release();
}

namespace {

PyObject* salvage_function(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 && nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "salvage() takes 4 or 5 arguments");
        return nullptr;
    }
    std::string input_path;
    std::string output_path;
    if (!path_of(args[0], "input_path", input_path) ||
        !path_of(args[1], "output_path", output_path)) {
        return nullptr;
    }
    return run_salvage(args, nargs, [&](const auto& quarantine_path, const auto& options) {
        return adaptive_salvage_file(input_path, output_path, quarantine_path, options,
                                     signal_raised_without_gil);
    });
}

PyObject* detect_function(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "detect() takes 2 arguments");
        return nullptr;
    }
    AdaptiveOptions options;
    if (!convert_options(args[1], options)) return nullptr;
    std::optional<IoResult<Detection>> outcome;
    if (PyCallable_Check(args[0])) {
        CallableStream blocks(args[0]);
        GilRelease unlocked;
        outcome.emplace(detect_stream(blocks, options));
    } else {
        InputArgument input;
        if (!input_of(args[0], input)) return nullptr;
        GilRelease unlocked;
        if (input.in_memory) {
            EngineInput text;
            outcome.emplace(detect_input(input.data.bytes(), options, text));
        } else {
            outcome.emplace(detect_file(input.path, options, signal_raised_without_gil));
        }
    }
    if (!*outcome) {
        raise_failure(outcome->error());
        return nullptr;
    }
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || !put_detection(dict.get(), outcome->value())) return nullptr;
    return dict.release();
}

template <auto Fn>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(guarded<Fn>));
}

PyMethodDef module_functions[] = {
    {"salvage", fastcall<salvage_function>(), METH_FASTCALL,
     "salvage(input_path, output_path, quarantine_path, options, progress=None, /)\n--\n\n"
     "Detects and salvages input_path; returns the detection and the counts as a dict."},
    {"salvage_buffer", fastcall<salvage_buffer_function>(), METH_FASTCALL,
     "salvage_buffer(data, output, quarantine_path, options, progress=None, /)\n--\n\n"
     "Detects and salvages the bytes of data; output is a path or a descriptor."},
    {"salvage_stream", fastcall<salvage_stream_function>(), METH_FASTCALL,
     "salvage_stream(source, output, quarantine_path, options, progress=None, /)\n--\n\n"
     "Detects and salvages the input read as a stream from source (a path, or a callable "
     "returning its blocks); output is a path or a descriptor."},
    {"read", fastcall<read_function>(), METH_FASTCALL,
     "read(input, quarantine_path, options, /)\n--\n\n"
     "Detects and salvages input (a path, or the bytes) into Arrow record batches; returns them "
     "and the counts."},
    {"read_lazy", fastcall<read_lazy_function>(), METH_FASTCALL,
     "read_lazy(source, quarantine_path, options, finish, /)\n--\n\n"
     "Detects and reads the first window of source (a path, the bytes, or a callable "
     "returning its blocks); the rest is read as its batches are asked for."},
    {"type_columns", fastcall<type_columns_function>(), METH_FASTCALL,
     "type_columns(batches, infer, given, delimiter, threads, /)\n--\n\n"
     "The table with typed columns, the log of the cells that fit no value of their type, "
     "and each column's type name and count of such cells."},
    {"detect", fastcall<detect_function>(), METH_FASTCALL,
     "detect(input, options, /)\n--\n\n"
     "What salvage would detect for input (a path, or the bytes), as a dict."},
    {nullptr, nullptr, 0, nullptr},
};

const char* kind_name(CountKind kind) noexcept {
    switch (kind) {
        case CountKind::kRows:
            return "rows";
        case CountKind::kRepair:
            return "repair";
        case CountKind::kReject:
            return "reject";
    }
    return "rows";
}

// COUNTS: the stats dict's counters as (key, kind) pairs, kind "rows",
// "repair" or "reject", in the order reports list them, so that the package
// names no counter the engine does not have.
int add_count_names(PyObject* module) {
    PyRef names = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kCounts.size())));
    if (!names) return -1;
    for (std::size_t i = 0; i < kCounts.size(); ++i) {
        PyObject* pair = Py_BuildValue("(ss)", kCounts[i].name, kind_name(kCounts[i].kind));
        if (pair == nullptr) return -1;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return PyModule_Add(module, "COUNTS", names.release());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_count_names)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quillon._native",
    .m_doc = "The native side of the quillon package's adaptive salvage.",
    .m_size = 0,
    .m_methods = module_functions,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace quillon::native

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&quillon::native::module_def); }
