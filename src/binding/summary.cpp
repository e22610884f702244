#include "summary.hpp"

#include "engine/utf8.hpp"
#include "errors.hpp"
#include "heap_type.hpp"
#include "py_ref.hpp"

namespace quillon::binding {

void SummaryValues::set_delimiter(char32_t code_point) noexcept {
    delimiter_size = static_cast<std::uint8_t>(encode_byte_as_code_point(static_cast<std::uint8_t>(code_point), delimiter));
}

namespace {

struct SummaryObject {
    PyObject_HEAD
    SummaryValues values;
};

const SummaryValues& values_of(PyObject* self) noexcept { return reinterpret_cast<SummaryObject*>(self)->values; }

PyObject* delimiter_str(const SummaryValues& values) {
    const std::string_view text = values.delimiter_text();
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

void summary_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* summary_repr(PyObject* self) {
    const SummaryValues& values = values_of(self);
    PyRef delimiter = PyRef::steal(delimiter_str(values));
    if (!delimiter) return nullptr;
    return PyUnicode_FromFormat(
        "<SalvageSummary total_rows=%zu salvaged_rows=%zu repaired_rows=%zu quarantined_rows=%zu "
        "delimiter='%U' inferred_columns=%zu>",
        values.counts.total_rows, values.counts.salvaged_rows, values.counts.repaired_rows,
        values.counts.quarantined_rows, delimiter.get(), values.inferred_columns);
}

template <std::size_t SalvageCounts::*Field>
PyObject* get_count(PyObject* self, void*) {
    return PyLong_FromSize_t(values_of(self).counts.*Field);
}

PyObject* get_inferred_columns(PyObject* self, void*) {
    return PyLong_FromSize_t(values_of(self).inferred_columns);
}

PyObject* get_delimiter(PyObject* self, void*) { return delimiter_str(values_of(self)); }

bool set_entry(PyObject* dict, const char* key, PyRef value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject* summary_to_dict(PyObject* self, PyObject*) {
    const SummaryValues& values = values_of(self);
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    const SalvageCounts& counts = values.counts;
    const bool filled = set_entry(d, "total_rows", PyRef::steal(PyLong_FromSize_t(counts.total_rows))) &&
                        set_entry(d, "salvaged_rows", PyRef::steal(PyLong_FromSize_t(counts.salvaged_rows))) &&
                        set_entry(d, "repaired_rows", PyRef::steal(PyLong_FromSize_t(counts.repaired_rows))) &&
                        set_entry(d, "quarantined_rows", PyRef::steal(PyLong_FromSize_t(counts.quarantined_rows))) &&
                        set_entry(d, "detected_delimiter", PyRef::steal(delimiter_str(values))) &&
                        set_entry(d, "inferred_columns", PyRef::steal(PyLong_FromSize_t(values.inferred_columns)));
    return filled ? dict.release() : nullptr;
}

PyMethodDef summary_methods[] = {
    {"to_dict", guarded<summary_to_dict>, METH_NOARGS,
     "to_dict($self)\n--\n\nConverts the summary into a native Python dictionary."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef summary_getset[] = {
    {"total_rows", guarded<get_count<&SalvageCounts::total_rows>>, nullptr, nullptr, nullptr},
    {"salvaged_rows", guarded<get_count<&SalvageCounts::salvaged_rows>>, nullptr, nullptr, nullptr},
    {"repaired_rows", guarded<get_count<&SalvageCounts::repaired_rows>>, nullptr, nullptr, nullptr},
    {"quarantined_rows", guarded<get_count<&SalvageCounts::quarantined_rows>>, nullptr, nullptr, nullptr},
    {"detected_delimiter", guarded<get_delimiter>, nullptr, nullptr, nullptr},
    {"inferred_columns", guarded<get_inferred_columns>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot summary_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded<summary_dealloc>)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<summary_repr>)},
    {Py_tp_doc, const_cast<char*>("Python-exposed summary of a salvage operation.")},
    {Py_tp_methods, summary_methods},
    {Py_tp_getset, summary_getset},
    {0, nullptr},
};

PyType_Spec summary_spec = {
    .name = "builtins.SalvageSummary",
    .basicsize = static_cast<int>(sizeof(SummaryObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = summary_slots,
};

constinit ProcessType summary_class{&summary_spec};

}  // namespace

PyTypeObject* summary_type() noexcept { return summary_class.get(); }

PyObject* new_summary(const SummaryValues& values) {
    PyTypeObject* type = summary_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<SummaryObject*>(self)->values = values;
    return self;
}

}  // namespace quillon::binding
