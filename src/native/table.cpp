#include "table.hpp"

#include <memory>
#include <optional>
#include <string>

#include "arrow/export.hpp"
#include "arrow/read_table.hpp"
#include "binding/errors.hpp"
#include "binding/heap_type.hpp"
#include "binding/py_ref.hpp"
#include "gil.hpp"
#include "held_buffer.hpp"
#include "options.hpp"
#include "salvage_entries.hpp"

namespace quillon::native {

namespace {

using binding::guarded;
using binding::ProcessType;
using binding::PyRef;

constexpr char kSchemaCapsule[] = "arrow_schema";
constexpr char kStreamCapsule[] = "arrow_array_stream";

// The capsule destructor of the PyCapsule interface: a struct that no
// consumer moved out is still live and is released here.
template <typename Struct, const char* Name>
void release_capsule(PyObject* capsule) {
    auto* owned = static_cast<Struct*>(PyCapsule_GetPointer(capsule, Name));
    if (owned == nullptr) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    if (owned->release != nullptr) owned->release(owned);
    delete owned;
}

template <typename Struct, const char* Name>
PyObject* capsule_of(std::unique_ptr<Struct> owned) {
    PyObject* capsule = PyCapsule_New(owned.get(), Name, release_capsule<Struct, Name>);
    if (capsule == nullptr) {
        owned->release(owned.get());
        return nullptr;
    }
    static_cast<void>(owned.release());
    return capsule;
}

struct RecordBatchesObject {
    PyObject_HEAD
        // Set once by read(), before the object is handed out; never changed, so
        // threads share the object without a lock.
        std::shared_ptr<const arrow::BatchTable>* table;
    // The names' tuple, made on first use under the object's critical section.
    PyObject* columns;
};

RecordBatchesObject& batches_of(PyObject* self) {
    return *reinterpret_cast<RecordBatchesObject*>(self);
}

const arrow::BatchTable& table_of(PyObject* self) { return **batches_of(self).table; }

PyObject* schema_method(PyObject* self, PyObject*) {
    auto schema = std::make_unique<ArrowSchema>();
    arrow::export_schema(arrow::default_plan(table_of(self)), schema.get());
    return schema_capsule(std::move(schema));
}

PyObject* stream_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs > 1) {
        PyErr_SetString(PyExc_TypeError, "__arrow_c_stream__() takes at most 1 argument");
        return nullptr;
    }
    const RecordBatchesObject& object = batches_of(self);
    arrow::ExportPlan plan;
    if (nargs == 1 && args[0] != Py_None) {
        // The consumer keeps the requested schema; it is only read here.
        const auto* requested =
            static_cast<const ArrowSchema*>(PyCapsule_GetPointer(args[0], kSchemaCapsule));
        if (requested == nullptr) return nullptr;
        plan = requested->release != nullptr ? arrow::requested_plan(**object.table, *requested)
                                             : arrow::default_plan(**object.table);
    } else {
        plan = arrow::default_plan(**object.table);
    }
    auto stream = std::make_unique<ArrowArrayStream>();
    arrow::export_stream(*object.table, std::move(plan), stream.get());
    return stream_capsule(std::move(stream));
}

Py_ssize_t length_slot(PyObject* self) { return static_cast<Py_ssize_t>(table_of(self).rows()); }

// The names become Python strings on first use: a table of millions of
// columns that is only handed on to a consumer never needs them.
PyObject* columns_getter(PyObject* self, void*) {
    RecordBatchesObject& object = batches_of(self);
    PyObject* columns = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    if (object.columns == nullptr) object.columns = names_tuple(table_of(self));
    columns = Py_XNewRef(object.columns);
    Py_END_CRITICAL_SECTION();
    return columns;
}

void batches_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    RecordBatchesObject& object = batches_of(self);
    delete object.table;
    Py_XDECREF(object.columns);
    type->tp_free(self);
    Py_DECREF(type);
}

template <auto Fn>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(guarded<Fn>));
}

PyMethodDef batches_methods[] = {
    {"__arrow_c_schema__", guarded<schema_method>, METH_NOARGS,
     "__arrow_c_schema__($self, /)\n--\n\nThe schema as an \"arrow_schema\" capsule."},
    {"__arrow_c_stream__", fastcall<stream_method>(), METH_FASTCALL,
     "__arrow_c_stream__($self, requested_schema=None, /)\n--\n\n"
     "A new stream over the batches, as an \"arrow_array_stream\" capsule."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef batches_getset[] = {
    {"columns", guarded<columns_getter>, nullptr, "The column names.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot batches_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded<batches_dealloc>)},
    {Py_mp_length, reinterpret_cast<void*>(guarded<length_slot>)},
    {Py_tp_methods, batches_methods},
    {Py_tp_getset, batches_getset},
    {Py_tp_doc, const_cast<char*>("Salvaged rows as Arrow record batches of string columns.")},
    {0, nullptr},
};

PyType_Spec batches_spec = {
    .name = "quillon._native.RecordBatches",
    .basicsize = static_cast<int>(sizeof(RecordBatchesObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = batches_slots,
};

constinit ProcessType batches_class{&batches_spec};

}  // namespace

PyObject* schema_capsule(std::unique_ptr<ArrowSchema> schema) {
    return capsule_of<ArrowSchema, kSchemaCapsule>(std::move(schema));
}

PyObject* stream_capsule(std::unique_ptr<ArrowArrayStream> stream) {
    return capsule_of<ArrowArrayStream, kStreamCapsule>(std::move(stream));
}

PyObject* names_tuple(const arrow::BatchTable& table) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(table.width())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < table.width(); ++i) {
        const std::string text = table.name(i);
        PyObject* name =
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple.release();
}

namespace {

PyObject* new_batches(std::shared_ptr<const arrow::BatchTable> table) {
    PyTypeObject* type = batches_class.get();
    if (type == nullptr) return nullptr;
    auto owned = std::make_unique<std::shared_ptr<const arrow::BatchTable>>(std::move(table));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    RecordBatchesObject& object = batches_of(self);
    object.table = owned.release();
    object.columns = nullptr;
    return self;
}

}  // namespace

PyObject* wrap_table(std::shared_ptr<const arrow::BatchTable> table) {
    return new_batches(std::move(table));
}

const std::shared_ptr<const arrow::BatchTable>* unwrap_table(PyObject* object) {
    PyTypeObject* type = batches_class.get();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(object, type)) {
        PyErr_SetString(PyExc_TypeError, "expected quillon._native.RecordBatches");
        return nullptr;
    }
    return batches_of(object).table;
}

PyObject* read_function(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "read() takes 3 arguments");
        return nullptr;
    }
    InputArgument input;
    std::optional<std::string> quarantine_path;
    AdaptiveOptions options;
    if (!input_of(args[0], input)) return nullptr;
    if (args[1] != Py_None) {
        quarantine_path.emplace();
        if (!path_of(args[1], "quarantine_path", *quarantine_path)) return nullptr;
    }
    if (!convert_options(args[2], options)) return nullptr;
    // No callable: the engine's reports only run the signal handlers, so
    // that Ctrl-C ends a long read within a few MB.
    PythonProgress signals(Py_None);
    options.progress = signals.hook();

    std::optional<IoResult<arrow::TableRead>> outcome;
    {
        GilRelease unlocked;
        outcome.emplace(input.in_memory
                            ? arrow::read_table_content(input.data.bytes(), quarantine_path,
                                                        options, {}, signal_raised_without_gil)
                            : arrow::read_table(input.path, quarantine_path, options, {},
                                                signal_raised_without_gil));
    }
    if (!*outcome) {
        raise_failure(outcome->error());
        return nullptr;
    }
    PyRef batches = PyRef::steal(new_batches(std::move(outcome->value().table)));
    if (!batches) return nullptr;
    PyRef stats = PyRef::steal(stats_dict(outcome->value().stats));
    if (!stats) return nullptr;
    return PyTuple_Pack(2, batches.get(), stats.get());
}

}  // namespace quillon::native
