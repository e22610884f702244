#include "reader.hpp"

#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "access_flag.hpp"
#include "arguments.hpp"
#include "engine/row_store.hpp"
#include "engine/salvage.hpp"
#include "errors.hpp"
#include "heap_type.hpp"
#include "pipeline/salvage_file.hpp"
#include "py_ref.hpp"
#include "summary.hpp"

namespace quillon::binding {

namespace {

static_assert(kReaderParameterCount == 1 + kOptionCount);
static_assert(kReaderParameterCount <= kMaxParameters);

struct ReaderState {
    ReaderState(RowStore&& kept, const SummaryValues& counters) noexcept : rows(std::move(kept)), summary(counters) {}

    // Never changed after construction: rows are handed out as copies.
    RowStore rows;
    SummaryValues summary;
    // Index of the next row; moves only under exclusive access.
    std::size_t position = 0;
    AccessFlag access;
};

struct ReaderObject {
    PyObject_HEAD
    // Constructed in place once the object is allocated.
    ReaderState state;
};

ReaderState& state_of(PyObject* self) noexcept { return reinterpret_cast<ReaderObject*>(self)->state; }

[[gnu::cold]] void raise_already_borrowed() { PyErr_SetString(PyExc_RuntimeError, "Already borrowed"); }
[[gnu::cold]] void raise_already_mutably_borrowed() {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
}

// A str of an ASCII field: the text is copied straight into the new object.
// Empty and one-character fields (flags, codes, blanks) take the
// interpreter's shared strings instead of an allocation each.
PyObject* ascii_str(std::string_view text) {
    if (text.size() <= 1) {
        return text.empty() ? PyUnicode_New(0, 0)
                            : PyUnicode_FromOrdinal(static_cast<unsigned char>(text.front()));
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (str != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
    return str;
}

PyObject* row_list(const RowView& row) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(row.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const FieldRef field : row) {
        // The engine's field text is valid UTF-8 already; the decode only
        // finds the widest code point.
        PyObject* text = field.ascii() ? ascii_str(field.text)
                                       : PyUnicode_DecodeUTF8(field.text.data(),
                                                              static_cast<Py_ssize_t>(field.text.size()), nullptr);
        if (text == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i++, text);
    }
    return list.release();
}

PyObject* reader_next(PyObject* self) {
    ReaderState& state = state_of(self);
    ExclusiveAccess access(state.access);
    if (!access) {
        raise_already_borrowed();
        return nullptr;
    }
    if (state.position >= state.rows.size()) return nullptr;
    PyObject* row = row_list(state.rows.row(state.position));
    // A row that could not be built is not skipped.
    if (row != nullptr) ++state.position;
    return row;
}

PyObject* reader_iter(PyObject* self) {
    SharedAccess access(state_of(self).access);
    if (!access) {
        raise_already_mutably_borrowed();
        return nullptr;
    }
    return Py_NewRef(self);
}

Py_ssize_t reader_length(PyObject* self) {
    ReaderState& state = state_of(self);
    SharedAccess access(state.access);
    if (!access) {
        raise_already_mutably_borrowed();
        return -1;
    }
    return static_cast<Py_ssize_t>(state.rows.size());
}

PyObject* reader_enter(PyObject* self, PyObject*) { return reader_iter(self); }

constexpr const char* kExitParameters[] = {"_exc_type", "_exc_val", "_exc_tb"};
constexpr Signature kExitSignature{"__exit__", kExitParameters, 0};

PyObject* reader_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* ignored[std::size(kExitParameters)];
    if (!match_arguments(kExitSignature, args, nargs, kwnames, ignored)) return nullptr;
    SharedAccess access(state_of(self).access);
    if (!access) {
        raise_already_mutably_borrowed();
        return nullptr;
    }
    Py_RETURN_FALSE;
}

PyObject* reader_summary(PyObject* self, void*) {
    ReaderState& state = state_of(self);
    SharedAccess access(state.access);
    if (!access) {
        raise_already_mutably_borrowed();
        return nullptr;
    }
    return new_summary(state.summary);
}

constexpr Signature kConstructorSignature{"SalvageReader.__new__", kReaderParameters, 1};

PyObject* reader_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    PyObject* values[kReaderParameterCount];
    if (!match_arguments(kConstructorSignature, args, kwargs, values)) return nullptr;
    return new_reader(values);
}

void reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    state_of(self).~ReaderState();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef reader_methods[] = {
    {"__enter__", guarded<reader_enter>, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(guarded<reader_exit>)),
     METH_FASTCALL | METH_KEYWORDS, "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"summary", guarded<reader_summary>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<reader_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded<reader_dealloc>)},
    {Py_tp_iter, reinterpret_cast<void*>(guarded<reader_iter>)},
    {Py_tp_iternext, reinterpret_cast<void*>(guarded<reader_next>)},
    {Py_mp_length, reinterpret_cast<void*>(guarded<reader_length>)},
    {Py_tp_doc, const_cast<char*>(
                    "SalvageReader(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
                    "merge_overflow=True, expected_columns=None, repair_quotes=True)\n--\n\n"
                    "In-memory streaming reader iterating over salvaged rows.")},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    .name = "builtins.SalvageReader",
    .basicsize = static_cast<int>(sizeof(ReaderObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = reader_slots,
};

constinit ProcessType reader_class{&reader_spec};

}  // namespace

PyTypeObject* reader_type() noexcept { return reader_class.get(); }

PyObject* new_reader(PyObject* const* values) {
    std::string path;
    SalvageOptions options;
    if (!convert_path(values[0], kReaderParameters[0], path) || !convert_options(values + 1, options)) {
        return nullptr;
    }
    PyTypeObject* type = reader_type();
    if (type == nullptr) return nullptr;

    RowStore rows;
    SummaryValues summary;
    {
        IoResult<InputFile> input = read_input_file(path, python_signal_raised);
        if (!input) {
            raise_io_error(input.error(), IoErrorStyle::kByKind);
            return nullptr;
        }
        const GrowableBuffer<char>& content = input.value().content;
        SalvageResult result = salvage_buffer({content.data(), content.size()}, options);
        rows = std::move(result.rows);
        summary = SummaryValues::of(result);
    }  // The input bytes and the quarantine are released and the file is closed here.

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&state_of(self)) ReaderState(std::move(rows), summary);
    return self;
}

}  // namespace quillon::binding
