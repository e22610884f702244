#include "lazy_table.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "arrow/export.hpp"
#include "arrow/streamed_table.hpp"
#include "binding/errors.hpp"
#include "binding/heap_type.hpp"
#include "binding/py_ref.hpp"
#include "callable_stream.hpp"
#include "gil.hpp"
#include "options.hpp"
#include "progress.hpp"
#include "salvage_entries.hpp"
#include "table.hpp"
#include "typed_table.hpp"

namespace quillon::native {

namespace {

using binding::guarded;
using binding::ProcessType;
using binding::PyRef;

constexpr char kSchemaCapsule[] = "arrow_schema";
// What a callable's or a file's reading asks for at a time.
constexpr std::size_t kMemoryBlock = std::size_t{1} << 20;

// The exception being raised, as "Type: message", cleared.
std::string take_exception_text() {
    PyRef raised = PyRef::steal(PyErr_GetRaisedException());
    if (!raised) return "unknown error";
    PyRef text = PyRef::steal(PyObject_Str(raised.get()));
    const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    std::string out = Py_TYPE(raised.get())->tp_name;
    if (message != nullptr && *message != '\0') out.append(": ").append(message);
    PyErr_Clear();
    return out;
}

// What a table read as a stream shares with its stream: the reading itself,
// under a lock (a consumer may pull from any thread), and the Python objects
// it uses, released with the interpreter lock by whichever goes last.
struct LazyState {
    std::mutex lock;
    // Runs the signal handlers as the input is read (on the main thread).
    PythonProgress signals{Py_None};
    // The input's bytes, when they were handed over as such.
    Py_buffer view{};
    bool has_view = false;
    PyRef source;
    PyRef finish;
    std::unique_ptr<ByteStream> input;
    std::unique_ptr<arrow::StreamedTable> table;
    bool stream_taken = false;
    bool finish_told = false;
    // A read that failed leaves the run part way: later reads say so.
    std::string failure;

    LazyState() = default;
    LazyState(const LazyState&) = delete;
    LazyState& operator=(const LazyState&) = delete;
    ~LazyState() {
        if (Py_IsFinalizing()) {
            // Nothing of Python may run now; the objects are left to the
            // interpreter's end.
            static_cast<void>(source.release());
            static_cast<void>(finish.release());
            static_cast<void>(table.release());
            static_cast<void>(input.release());
            return;
        }
        const PyGILState_STATE gil = PyGILState_Ensure();
        tell_finish(false);
        table.reset();
        input.reset();
        if (has_view) PyBuffer_Release(&view);
        source = PyRef();
        finish = PyRef();
        PyGILState_Release(gil);
    }

    // Calls finish(completed) once, with the lock held; false with the
    // callable's exception set.
    bool tell_finish(bool completed) {
        if (finish_told || !finish || finish.get() == Py_None) return true;
        finish_told = true;
        PyRef result = PyRef::steal(
            PyObject_CallOneArg(finish.get(), completed ? Py_True : Py_False));
        if (result) return true;
        if (!completed) PyErr_WriteUnraisable(finish.get());
        return completed ? false : true;
    }
};

// Runs `work` without the interpreter lock, whether or not the calling
// thread holds it, under the state's lock.
template <typename Work>
auto without_gil(LazyState& state, Work&& work) {
    PyThreadState* saved = PyGILState_Check() ? PyEval_SaveThread() : nullptr;
    struct Restore {
        PyThreadState* saved;
        ~Restore() {
            if (saved != nullptr) PyEval_RestoreThread(saved);
        }
    } restore{saved};
    const std::lock_guard<std::mutex> held(state.lock);
    return work();
}

// ---- the lazy stream ----

struct LazyStreamData {
    std::shared_ptr<LazyState> state;
    arrow::ExportPlan plan;
    std::string error;
};

LazyStreamData& lazy_data(ArrowArrayStream* stream) {
    return *static_cast<LazyStreamData*>(stream->private_data);
}

int lazy_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    LazyStreamData& data = lazy_data(stream);
    try {
        arrow::export_schema(data.plan, out);
    } catch (const std::bad_alloc&) {
        data.error = "out of memory while exporting the schema";
        return ENOMEM;
    }
    return 0;
}

// The text of a failed read, from the Python exception it raises.
std::string failure_text(const IoError& error) {
    const PyGILState_STATE gil = PyGILState_Ensure();
    raise_failure(error);
    std::string text = take_exception_text();
    PyGILState_Release(gil);
    return text;
}

int lazy_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    LazyStreamData& data = lazy_data(stream);
    LazyState& state = *data.state;
    std::optional<IoResult<std::optional<arrow::RecordBatch>>> got;
    try {
        got.emplace(without_gil(state, [&]() -> IoResult<std::optional<arrow::RecordBatch>> {
            if (!state.failure.empty()) {
                return IoError::with_message(IoErrorKind::kOther, state.failure);
            }
            return state.table->next();
        }));
    } catch (const std::bad_alloc&) {
        data.error = "out of memory while reading the input";
        return ENOMEM;
    }
    if (!*got) {
        data.error = failure_text(got->error());
        // The lock is taken without the interpreter's, as everywhere.
        without_gil(state, [&] {
            if (state.failure.empty()) state.failure = data.error;
        });
        return EIO;
    }
    if (!got->value()) {
        out->release = nullptr;
        const PyGILState_STATE gil = PyGILState_Ensure();
        const bool told = state.tell_finish(true);
        if (!told) data.error = take_exception_text();
        PyGILState_Release(gil);
        return told ? 0 : EIO;
    }
    try {
        arrow::export_batch(*got->value(), data.plan, out);
    } catch (const std::bad_alloc&) {
        data.error = "out of memory while exporting a record batch";
        return ENOMEM;
    }
    return 0;
}

const char* lazy_get_last_error(ArrowArrayStream* stream) {
    const std::string& error = lazy_data(stream).error;
    return error.empty() ? nullptr : error.c_str();
}

void release_lazy_stream(ArrowArrayStream* stream) {
    delete static_cast<LazyStreamData*>(stream->private_data);
    stream->release = nullptr;
}

// ---- the Python object ----

struct LazyTableObject {
    PyObject_HEAD
        // Set once by read_lazy, before the object is handed out.
        std::shared_ptr<LazyState>* state;
};

LazyState& state_of(PyObject* self) { return **reinterpret_cast<LazyTableObject*>(self)->state; }

bool raise_failed(const LazyState& state) {
    if (state.failure.empty()) return false;
    PyErr_Format(PyExc_RuntimeError, "this table's reading failed earlier: %s",
                 state.failure.c_str());
    return true;
}

bool require_complete(const LazyState& state, const char* what) {
    if (raise_failed(state)) return false;
    if (state.table->complete()) return true;
    PyErr_Format(PyExc_RuntimeError, "%s is known once the input was read to its end", what);
    return false;
}

PyObject* schema_method(PyObject* self, PyObject*) {
    auto schema = std::make_unique<ArrowSchema>();
    arrow::export_schema(arrow::default_plan(state_of(self).table->shape()), schema.get());
    return schema_capsule(std::move(schema));
}

PyObject* stream_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs > 1) {
        PyErr_SetString(PyExc_TypeError, "__arrow_c_stream__() takes at most 1 argument");
        return nullptr;
    }
    const std::shared_ptr<LazyState>& shared = *reinterpret_cast<LazyTableObject*>(self)->state;
    LazyState& state = *shared;
    if (raise_failed(state)) return nullptr;
    const arrow::BatchTable& shape = state.table->held() ? *state.table->table() : state.table->shape();
    arrow::ExportPlan plan = arrow::default_plan(shape);
    if (nargs == 1 && args[0] != Py_None) {
        const auto* requested =
            static_cast<const ArrowSchema*>(PyCapsule_GetPointer(args[0], kSchemaCapsule));
        if (requested == nullptr) return nullptr;
        if (requested->release != nullptr) plan = arrow::requested_plan(shape, *requested);
    }
    auto stream = std::make_unique<ArrowArrayStream>();
    if (state.table->held()) {
        arrow::export_stream(state.table->table(), std::move(plan), stream.get());
        return stream_capsule(std::move(stream));
    }
    if (state.stream_taken) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the table's stream was taken already: its input is read once");
        return nullptr;
    }
    auto data = std::make_unique<LazyStreamData>(LazyStreamData{shared, std::move(plan), {}});
    *stream = ArrowArrayStream{
        .get_schema = lazy_get_schema,
        .get_next = lazy_get_next,
        .get_last_error = lazy_get_last_error,
        .release = release_lazy_stream,
        .private_data = data.release(),
    };
    state.stream_taken = true;
    return stream_capsule(std::move(stream));
}

PyObject* type_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3 && nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "type() takes 3 or 4 arguments");
        return nullptr;
    }
    const int keep_text = nargs == 4 ? PyObject_IsTrue(args[3]) : 0;
    if (keep_text < 0) return nullptr;
    LazyState& state = state_of(self);
    arrow::TypingRequest request;
    const int infer = PyObject_IsTrue(args[0]);
    if (infer < 0 || !given_types(args[1], state.table->shape().width(), request)) return nullptr;
    request.infer = infer != 0;
    const long threads = PyLong_AsLong(args[2]);
    if (threads == -1 && PyErr_Occurred()) return nullptr;
    if (threads < 0) {
        PyErr_SetString(PyExc_ValueError, "type(): threads out of range");
        return nullptr;
    }
    request.threads = static_cast<unsigned>(threads);
    request.delimiter = static_cast<char>(state.table->delimiter());
    without_gil(state, [&] { state.table->decide_types(request, keep_text != 0); });
    // An input that ended within the first window is complete once typed.
    if (state.table->complete() && !state.tell_finish(true)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* hold_whole_method(PyObject* self, PyObject*) {
    LazyState& state = state_of(self);
    if (raise_failed(state)) return nullptr;
    if (state.stream_taken && !state.table->complete()) {
        PyErr_SetString(PyExc_RuntimeError, "the table's stream was taken already");
        return nullptr;
    }
    const IoStatus held = without_gil(state, [&] { return state.table->hold_whole(); });
    if (!held) {
        raise_failure(held.error());
        // The exception's text is what later calls report.
        PyObject* raised = PyErr_GetRaisedException();
        PyRef text = PyRef::steal(PyObject_Str(raised));
        state.failure = text && PyUnicode_AsUTF8(text.get()) != nullptr
                            ? PyUnicode_AsUTF8(text.get())
                            : "the input could not be read";
        PyErr_Clear();
        PyErr_SetRaisedException(raised);
        return nullptr;
    }
    if (!state.tell_finish(true)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* batches_method(PyObject* self, PyObject*) {
    LazyState& state = state_of(self);
    if (!state.table->held()) {
        PyErr_SetString(PyExc_RuntimeError, "the table is not held in memory");
        return nullptr;
    }
    return wrap_table(state.table->table());
}

PyObject* rejects_method(PyObject* self, PyObject*) {
    LazyState& state = state_of(self);
    if (!require_complete(state, "the rejected cells")) return nullptr;
    return wrap_table(state.table->rejects());
}

PyObject* stats_method(PyObject* self, PyObject*) {
    LazyState& state = state_of(self);
    if (!require_complete(state, "the report")) return nullptr;
    return stats_dict(state.table->stats());
}

Py_ssize_t length_slot(PyObject* self) {
    LazyState& state = state_of(self);
    if (!require_complete(state, "the row count")) return -1;
    return static_cast<Py_ssize_t>(state.table->rows());
}

PyObject* columns_getter(PyObject* self, void*) { return names_tuple(state_of(self).table->shape()); }

PyObject* types_getter(PyObject* self, void*) {
    const arrow::BatchTable& shape = state_of(self).table->shape();
    PyRef names = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.width())));
    if (!names) return nullptr;
    for (std::size_t c = 0; c < shape.width(); ++c) {
        const std::string name = c < shape.types().size() ? arrow::typed::type_name(shape.types()[c])
                                                          : arrow::typed::type_name({});
        PyObject* text =
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (text == nullptr) return nullptr;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(c), text);
    }
    return names.release();
}

PyObject* reject_counts_getter(PyObject* self, void*) {
    LazyState& state = state_of(self);
    if (!require_complete(state, "the rejected cells")) return nullptr;
    const std::vector<std::uint64_t>& counts = state.table->reject_counts();
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(counts.size())));
    if (!tuple) return nullptr;
    for (std::size_t c = 0; c < counts.size(); ++c) {
        PyObject* count = PyLong_FromUnsignedLongLong(counts[c]);
        if (count == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(c), count);
    }
    return tuple.release();
}

PyObject* complete_getter(PyObject* self, void*) {
    return PyBool_FromLong(state_of(self).table->complete());
}

PyObject* held_getter(PyObject* self, void*) { return PyBool_FromLong(state_of(self).table->held()); }

void lazy_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<LazyTableObject*>(self)->state;
    type->tp_free(self);
    Py_DECREF(type);
}

template <auto Fn>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(guarded<Fn>));
}

PyMethodDef lazy_methods[] = {
    {"__arrow_c_schema__", guarded<schema_method>, METH_NOARGS,
     "__arrow_c_schema__($self, /)\n--\n\nThe schema as an \"arrow_schema\" capsule."},
    {"__arrow_c_stream__", fastcall<stream_method>(), METH_FASTCALL,
     "__arrow_c_stream__($self, requested_schema=None, /)\n--\n\n"
     "The stream of the batches, as an \"arrow_array_stream\" capsule."},
    {"type", fastcall<type_method>(), METH_FASTCALL,
     "type($self, infer, given, threads, keep_text=False, /)\n--\n\nDecides the columns' types; "
     "with keep_text, an inferred type that some of the first window's cells do not fit is not kept."},
    {"hold_whole", guarded<hold_whole_method>, METH_NOARGS,
     "hold_whole($self, /)\n--\n\nReads the rest of the input and keeps every batch."},
    {"batches", guarded<batches_method>, METH_NOARGS,
     "batches($self, /)\n--\n\nThe batches held, as RecordBatches."},
    {"rejects", guarded<rejects_method>, METH_NOARGS,
     "rejects($self, /)\n--\n\nThe log of the cells that fit no value of their type."},
    {"stats", guarded<stats_method>, METH_NOARGS,
     "stats($self, /)\n--\n\nThe detection and the counts, as salvage returns them."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef lazy_getset[] = {
    {"columns", guarded<columns_getter>, nullptr, "The column names.", nullptr},
    {"types", guarded<types_getter>, nullptr, "The columns' type names.", nullptr},
    {"reject_counts", guarded<reject_counts_getter>, nullptr, "Rejected cells per column.",
     nullptr},
    {"complete", guarded<complete_getter>, nullptr, "The input was read to its end.", nullptr},
    {"held", guarded<held_getter>, nullptr, "Every batch is held in memory.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot lazy_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded<lazy_dealloc>)},
    {Py_mp_length, reinterpret_cast<void*>(guarded<length_slot>)},
    {Py_tp_methods, lazy_methods},
    {Py_tp_getset, lazy_getset},
    {Py_tp_doc, const_cast<char*>("Salvaged rows read as a stream of Arrow record batches.")},
    {0, nullptr},
};

PyType_Spec lazy_spec = {
    .name = "quillon._native.LazyTable",
    .basicsize = static_cast<int>(sizeof(LazyTableObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = lazy_slots,
};

constinit ProcessType lazy_class{&lazy_spec};

// The input argument as a stream: a path read in blocks, the bytes held, or
// a callable's blocks.
bool open_source(PyObject* source, LazyState& state, std::string& path) {
    if (PyUnicode_Check(source)) {
        if (!path_of(source, "source", path)) return false;
        IoResult<FdByteStream> opened = FdByteStream::open(path, signal_raised_without_gil);
        if (!opened) {
            raise_failure(concerning(opened.error(), path));
            return false;
        }
        state.input = std::make_unique<FdByteStream>(std::move(opened.value()));
        return true;
    }
    if (PyCallable_Check(source)) {
        state.source = PyRef::borrow(source);
        state.input = std::make_unique<CallableStream>(source);
        return true;
    }
    if (PyObject_GetBuffer(source, &state.view, PyBUF_SIMPLE) != 0) return false;
    state.has_view = true;
    state.input = std::make_unique<MemoryByteStream>(
        std::string_view(static_cast<const char*>(state.view.buf),
                         static_cast<std::size_t>(state.view.len)),
        kMemoryBlock);
    return true;
}

}  // namespace

PyObject* read_lazy_function(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "read_lazy() takes 4 arguments");
        return nullptr;
    }
    PyTypeObject* type = lazy_class.get();
    if (type == nullptr) return nullptr;
    std::optional<std::string> quarantine_path;
    AdaptiveOptions options;
    if (args[1] != Py_None) {
        quarantine_path.emplace();
        if (!path_of(args[1], "quarantine_path", *quarantine_path)) return nullptr;
    }
    if (!convert_options(args[2], options)) return nullptr;
    if (args[3] != Py_None && !PyCallable_Check(args[3])) {
        PyErr_Format(PyExc_TypeError, "finish must be callable or None, not %T", args[3]);
        return nullptr;
    }
    auto state = std::make_shared<LazyState>();
    std::string path;
    if (!open_source(args[0], *state, path)) return nullptr;
    options.progress = state->signals.hook();

    std::optional<IoResult<std::unique_ptr<arrow::StreamedTable>>> opened;
    {
        GilRelease unlocked;
        opened.emplace(arrow::StreamedTable::open(*state->input, quarantine_path,
                                                  options, {}, signal_raised_without_gil));
    }
    if (!*opened) {
        IoError error = opened->error();
        // A failure that names no file is the input's reading.
        if (!path.empty() && error.os_code != 0 && error.path.empty()) {
            error = concerning(error, path);
        }
        raise_failure(error);
        return nullptr;
    }
    state->table = std::move(opened->value());
    state->finish = PyRef::borrow(args[3]);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<LazyTableObject*>(self)->state = new std::shared_ptr<LazyState>(std::move(state));
    return self;
}

}  // namespace quillon::native
