#include "reader.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "access_flag.hpp"
#include "arguments.hpp"
#include "engine/row_store.hpp"
#include "engine/salvage.hpp"
#include "errors.hpp"
#include "field_str_cache.hpp"
#include "heap_type.hpp"
#include "pipeline/salvage_file.hpp"
#include "py_ref.hpp"
#include "summary.hpp"

namespace quillon::binding {

namespace {

static_assert(kReaderParameterCount == 1 + kOptionCount);
static_assert(kReaderParameterCount <= kMaxParameters);

// One past the last byte of the rows' text, which they all share.
const char* text_end(const RowStore& rows) noexcept {
    if (rows.empty()) return nullptr;
    const std::string_view last = rows.row(rows.size() - 1).text();
    return last.data() + last.size();
}

struct ReaderState {
    ReaderState(RowStore&& kept, const SummaryValues& counters) noexcept
        : rows(std::move(kept)), summary(counters), strs(text_end(rows)) {}

    // Never changed after construction: rows are handed out as copies.
    RowStore rows;
    SummaryValues summary;
    // Index of the next row; moves only under exclusive access, as do the
    // shared strs.
    std::size_t position = 0;
    FieldStrCache strs;
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
PyObject* ascii_str(const char* text, std::size_t size) {
    if (size <= 1) {
        return size == 0 ? PyUnicode_New(0, 0) : PyUnicode_FromOrdinal(static_cast<unsigned char>(*text));
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (str != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(str), text, size);
    return str;
}

// The code point starting at `p`, of well-formed UTF-8; advances `p` past it.
inline Py_UCS4 next_code_point(const unsigned char*& p) noexcept {
    const unsigned lead = *p++;
    if (lead < 0x80) return lead;
    if (lead < 0xE0) {
        const Py_UCS4 c = ((lead & 0x1Fu) << 6) | (p[0] & 0x3Fu);
        p += 1;
        return c;
    }
    if (lead < 0xF0) {
        const Py_UCS4 c = ((lead & 0x0Fu) << 12) | ((p[0] & 0x3Fu) << 6) | (p[1] & 0x3Fu);
        p += 2;
        return c;
    }
    const Py_UCS4 c = ((lead & 0x07u) << 18) | ((p[0] & 0x3Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    p += 3;
    return c;
}

// Length in bytes of the well-formed UTF-8 sequence starting at `p` (before
// `end`), by the same rules as the interpreter's strict decoder (no
// overlong forms, no surrogates, nothing above U+10FFFF); 0 if ill-formed.
inline std::size_t sequence_length(const unsigned char* p, const unsigned char* end) noexcept {
    const unsigned lead = p[0];
    if (lead < 0x80) return 1;
    const auto left = static_cast<std::size_t>(end - p);
    auto continuation = [&](std::size_t i, unsigned low, unsigned high) {
        return i < left && p[i] >= low && p[i] <= high;
    };
    if (lead >= 0xC2 && lead <= 0xDF) return continuation(1, 0x80, 0xBF) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned high = lead == 0xED ? 0x9F : 0xBF;
        return continuation(1, low, high) && continuation(2, 0x80, 0xBF) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
        return continuation(1, low, high) && continuation(2, 0x80, 0xBF) && continuation(3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

template <typename Unit>
void decode_into(PyObject* str, const unsigned char* p, const unsigned char* end) noexcept {
    Unit* out = static_cast<Unit*>(PyUnicode_DATA(str));
    while (p < end) *out++ = static_cast<Unit>(next_code_point(p));
}

// A str of a field holding multi-byte UTF-8: one pass finds the length and
// the widest code point, the second writes the code points at the width the
// interpreter would choose. The engine stores well-formed UTF-8; anything
// else goes to the interpreter's decoder, which then fails as it always did.
PyObject* utf8_str(const char* text, std::size_t size) {
    const auto* begin = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* end = begin + size;
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (const unsigned char* p = begin; p < end; ++length) {
        const std::size_t n = sequence_length(p, end);
        if (n == 0) return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), nullptr);
        const unsigned char* q = p;
        widest = std::max(widest, next_code_point(q));
        p += n;
    }
    PyObject* str = PyUnicode_New(length, widest);
    if (str == nullptr) return nullptr;
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND: decode_into<Py_UCS1>(str, begin, end); break;
        case PyUnicode_2BYTE_KIND: decode_into<Py_UCS2>(str, begin, end); break;
        default: decode_into<Py_UCS4>(str, begin, end); break;
    }
    return str;
}

PyObject* field_str(FieldStrCache& cache, std::size_t column, const char* text, std::size_t size,
                    std::uint16_t flags) {
    if ((flags & field_flags::kNonAscii) == 0) return cache.str<ascii_str>(column, text, size);
    return cache.str<utf8_str>(column, text, size);
}

PyObject* row_list(FieldStrCache& cache, const RowView& row) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(row.size())));
    if (!list) return nullptr;
    PyObject* target = list.get();
    Py_ssize_t i = 0;
    if (!row.has_long()) {
        // Each slot is one field, its text right after the previous one's.
        const char* text = row.text().data();
        for (const std::uint16_t* slot = row.slots_begin(); slot != row.slots_end(); ++slot) {
            const std::size_t size = *slot & field_flags::kLengthMask;
            PyObject* str = field_str(cache, static_cast<std::size_t>(i), text, size, *slot);
            if (str == nullptr) return nullptr;
            PyList_SET_ITEM(target, i++, str);
            text += size;
        }
        return list.release();
    }
    for (const FieldRef field : row) {
        const auto column = static_cast<std::size_t>(i);
        PyObject* str = field_str(cache, column, field.text.data(), field.text.size(), field.flags);
        if (str == nullptr) return nullptr;
        PyList_SET_ITEM(target, i++, str);
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
    PyObject* row = row_list(state.strs, state.rows.row(state.position));
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
