#include "typed_table.hpp"

#include <optional>
#include <string_view>

#include "arrow/typed_columns.hpp"
#include "binding/py_ref.hpp"
#include "gil.hpp"
#include "table.hpp"

namespace quillon::native {

using binding::PyRef;

bool given_types(PyObject* given, std::size_t width, arrow::TypingRequest& request) {
    if (!PyDict_Check(given)) {
        PyErr_SetString(PyExc_TypeError, "given must be a dict");
        return false;
    }
    request.given.assign(width, std::nullopt);
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(given, &pos, &key, &value)) {
        const Py_ssize_t column = PyLong_AsSsize_t(key);
        if (column == -1 && PyErr_Occurred()) return false;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value, &size);
        if (text == nullptr) return false;
        const std::optional<arrow::typed::ColumnType> type =
            arrow::typed::parse_type_name(std::string_view(text, static_cast<std::size_t>(size)));
        if (!type) {
            PyErr_Format(PyExc_ValueError, "unknown column type %R", value);
            return false;
        }
        if (column < 0 || static_cast<std::size_t>(column) >= width) {
            PyErr_Format(PyExc_IndexError, "no column %zd", column);
            return false;
        }
        request.given[static_cast<std::size_t>(column)] = *type;
    }
    return true;
}

PyObject* type_columns_function(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "type_columns() takes 5 arguments");
        return nullptr;
    }
    const std::shared_ptr<const arrow::BatchTable>* strings = unwrap_table(args[0]);
    if (strings == nullptr) return nullptr;
    arrow::TypingRequest request;
    const int infer = PyObject_IsTrue(args[1]);
    if (infer < 0 || !given_types(args[2], (*strings)->width(), request)) return nullptr;
    request.infer = infer != 0;
    const long delimiter = PyLong_AsLong(args[3]);
    const long threads = PyLong_AsLong(args[4]);
    if (PyErr_Occurred()) return nullptr;
    if (delimiter < 0 || delimiter > 255 || threads < 0) {
        PyErr_SetString(PyExc_ValueError, "type_columns(): delimiter or threads out of range");
        return nullptr;
    }
    request.delimiter = static_cast<char>(delimiter);
    request.threads = static_cast<unsigned>(threads);

    arrow::TypedTable typed;
    {
        GilRelease unlocked;
        typed = arrow::type_columns(*strings, request);
    }
    const arrow::BatchTable& table = *typed.table;
    PyRef names = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(table.width())));
    PyRef counts = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(table.width())));
    if (!names || !counts) return nullptr;
    for (std::size_t c = 0; c < table.width(); ++c) {
        const std::string name = c < table.types().size()
                                     ? arrow::typed::type_name(table.types()[c])
                                     : arrow::typed::type_name({});
        PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        PyObject* count = PyLong_FromUnsignedLongLong(typed.reject_counts[c]);
        if (text == nullptr || count == nullptr) {
            Py_XDECREF(text);
            Py_XDECREF(count);
            return nullptr;
        }
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(c), text);
        PyTuple_SET_ITEM(counts.get(), static_cast<Py_ssize_t>(c), count);
    }
    PyRef batches = PyRef::steal(wrap_table(std::move(typed.table)));
    PyRef rejects = PyRef::steal(wrap_table(std::move(typed.rejects)));
    if (!batches || !rejects) return nullptr;
    return PyTuple_Pack(4, batches.get(), rejects.get(), names.get(), counts.get());
}

}  // namespace quillon::native
