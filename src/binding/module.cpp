// The _quillon_backend extension module.
//
// What it offers, written as the Python it behaves like:
//
//     __version__ = "0.2.0"
//     __all__ = ["salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader"]
//
//     def salvage_file(input_path: str, output_path: str, quarantine_path: str | None = None,
//                      delimiter: str | None = None, quote_char: str = "\"",
//                      fill_ragged_rows: bool = True, merge_overflow: bool = True,
//                      expected_columns: int | None = None,
//                      repair_quotes: bool = True) -> SalvageSummary:
//         """Reads input_path whole, writes the kept rows to output_path and the
//         rejected ones to quarantine_path; raises plain OSError(text)."""
//
//     def sniff(sample: str) -> str:
//         """One of ",", ";", "\t", "|"."""
//
//     def open(file_path: str, delimiter=None, quote_char="\"", fill_ragged_rows=True,
//              merge_overflow=True, expected_columns=None, repair_quotes=True) -> SalvageReader:
//         return SalvageReader(file_path, delimiter, quote_char, fill_ragged_rows,
//                              merge_overflow, expected_columns, repair_quotes)
//
//     @final
//     class SalvageSummary:                      # not instantiable from Python
//         total_rows: int                        # read-only, like the rest
//         salvaged_rows: int
//         repaired_rows: int
//         quarantined_rows: int
//         detected_delimiter: str
//         inferred_columns: int
//         def to_dict(self) -> dict[str, int | str]: ...
//         def __repr__(self) -> str: ...         # "<SalvageSummary total_rows=... delimiter=','...>"
//
//     @final
//     class SalvageReader:
//         def __new__(cls, file_path, delimiter=None, quote_char="\"", fill_ragged_rows=True,
//                     merge_overflow=True, expected_columns=None, repair_quotes=True):
//             """Reads and salvages the file at once; raises the OSError
//             subclass of the failure (FileNotFoundError, ...)."""
//         def __iter__(self): return self
//         def __next__(self) -> list[str]: ...  # one new list per kept row
//         def __len__(self) -> int: ...         # kept rows; unchanged by iteration
//         def __enter__(self): return self
//         def __exit__(self, _exc_type=None, _exc_val=None, _exc_tb=None): return False
//         @property
//         def summary(self) -> SalvageSummary: ...  # a new one per read
//
// Every argument is converted before any file is touched; a failed
// conversion carries the note "while processing '<parameter>'".

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "arguments.hpp"
#include "engine/options.hpp"
#include "engine/sniffer.hpp"
#include "errors.hpp"
#include "pipeline/salvage_file.hpp"
#include "py_ref.hpp"
#include "reader.hpp"
#include "summary.hpp"

namespace quillon::binding {

namespace {

constexpr const char* kSalvageFileParameters[] = {
    "input_path",       "output_path",    "quarantine_path",  "delimiter",     "quote_char",
    "fill_ragged_rows", "merge_overflow", "expected_columns", "repair_quotes",
};
static_assert(std::size(kSalvageFileParameters) == 3 + kOptionCount);
static_assert(std::size(kSalvageFileParameters) <= kMaxParameters);
constexpr Signature kSalvageFileSignature{"salvage_file", kSalvageFileParameters, 2};

constexpr const char* kSniffParameters[] = {"sample"};
constexpr Signature kSniffSignature{"sniff", kSniffParameters, 1};

constexpr Signature kOpenSignature{"open", kReaderParameters, 1};

PyObject* salvage_file_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* values[std::size(kSalvageFileParameters)];
    if (!match_arguments(kSalvageFileSignature, args, nargs, kwnames, values)) return nullptr;
    std::string input_path;
    std::string output_path;
    std::optional<std::string> quarantine_path;
    SalvageOptions options;
    if (!convert_path(values[0], kSalvageFileParameters[0], input_path) ||
        !convert_path(values[1], kSalvageFileParameters[1], output_path) ||
        !convert_optional_path(values[2], kSalvageFileParameters[2], quarantine_path) ||
        !convert_options(values + 3, options)) {
        return nullptr;
    }
    IoResult<SalvageStats> stats =
        salvage_file(input_path, output_path, quarantine_path, options, python_signal_raised);
    if (!stats) {
        raise_io_error(stats.error(), IoErrorStyle::kPlain);
        return nullptr;
    }
    return new_summary(SummaryValues::of(stats.value()));
}

PyObject* sniff_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* values[std::size(kSniffParameters)];
    if (!match_arguments(kSniffSignature, args, nargs, kwnames, values)) return nullptr;
    std::string_view sample;
    if (!convert_text(values[0], kSniffParameters[0], sample)) return nullptr;
    return PyUnicode_FromOrdinal(sniff_delimiter(sample));
}

PyObject* open_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* values[kReaderParameterCount];
    if (!match_arguments(kOpenSignature, args, nargs, kwnames, values)) return nullptr;
    return new_reader(values);
}

template <auto Fn>
PyCFunction fastcall_keywords() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(guarded<Fn>));
}

PyMethodDef module_functions[] = {
    {"salvage_file", fastcall_keywords<salvage_file_function>(), METH_FASTCALL | METH_KEYWORDS,
     "salvage_file(input_path, output_path, quarantine_path=None, delimiter=None, quote_char=\"\\\"\", "
     "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True)\n"
     "--\n"
     "\n"
     "Salvages a corrupted CSV file and writes a clean, standard RFC-4180 file.\n"
     "\n"
     "Args:\n"
     "    input_path: Path to the corrupted CSV file.\n"
     "    output_path: Path where the repaired CSV file will be written.\n"
     "    quarantine_path: Optional path to write unrecoverable / quarantined rows.\n"
     "    delimiter: Optional single-character delimiter (e.g. \",\" or \";\"). If None, auto-sniffed.\n"
     "    quote_char: Optional single-character quote enclosure (default '\"').\n"
     "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.\n"
     "    merge_overflow: If True, merges extra tokens into the last column. Default True.\n"
     "    expected_columns: Optional explicit column count. If None, inferred automatically.\n"
     "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True."},
    {"sniff", fastcall_keywords<sniff_function>(), METH_FASTCALL | METH_KEYWORDS,
     "sniff(sample)\n--\n\nDetects the most likely delimiter from a CSV string sample."},
    {"open", fastcall_keywords<open_function>(), METH_FASTCALL | METH_KEYWORDS,
     "open(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, merge_overflow=True, "
     "expected_columns=None, repair_quotes=True)\n--\n\n"
     "Convenience function to open and stream a salvaged CSV file."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kModuleDoc =
    "High-performance, fault-tolerant quillon and reconstruction engine.\n\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError.";

constexpr const char* kExported[] = {"salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader"};

PyObject* exported_names() {
    PyRef names = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(std::size(kExported))));
    if (!names) return nullptr;
    Py_ssize_t i = 0;
    for (const char* name : kExported) {
        PyObject* text = PyUnicode_FromString(name);
        if (text == nullptr) return nullptr;
        PyList_SET_ITEM(names.get(), i++, text);
    }
    return names.release();
}

int add_type(PyObject* module, PyTypeObject* type) { return type == nullptr ? -1 : PyModule_AddType(module, type); }

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "expected a module object, got '%T'", module);
        return -1;
    }
    if (PyModule_Add(module, "__version__", PyUnicode_FromString("0.2.0")) < 0) return -1;
    if (PyModule_Add(module, "__doc__", PyUnicode_FromString(kModuleDoc)) < 0) return -1;
    if (PyModule_Add(module, "__all__", exported_names()) < 0) return -1;
    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
    if (add_type(module, summary_type()) < 0) return -1;
    if (add_type(module, reader_type()) < 0) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(guarded<module_exec>)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_quillon_backend",
    .m_doc = "The native _quillon_backend Python module.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace quillon::binding

PyMODINIT_FUNC PyInit__quillon_backend(void) { return PyModuleDef_Init(&quillon::binding::module_def); }
