#include "errors.hpp"

#include <exception>
#include <new>
#include <string>

#include "py_ref.hpp"

namespace quillon::binding {

namespace {

PyObject* exception_for_kind(IoErrorKind kind) noexcept {
    switch (kind) {
        case IoErrorKind::kNotFound: return PyExc_FileNotFoundError;
        case IoErrorKind::kPermissionDenied: return PyExc_PermissionError;
        case IoErrorKind::kConnectionRefused: return PyExc_ConnectionRefusedError;
        case IoErrorKind::kConnectionReset: return PyExc_ConnectionResetError;
        case IoErrorKind::kConnectionAborted: return PyExc_ConnectionAbortedError;
        case IoErrorKind::kBrokenPipe: return PyExc_BrokenPipeError;
        case IoErrorKind::kAlreadyExists: return PyExc_FileExistsError;
        case IoErrorKind::kWouldBlock: return PyExc_BlockingIOError;
        case IoErrorKind::kNotADirectory: return PyExc_NotADirectoryError;
        case IoErrorKind::kIsADirectory: return PyExc_IsADirectoryError;
        case IoErrorKind::kTimedOut: return PyExc_TimeoutError;
        case IoErrorKind::kInterrupted: return PyExc_InterruptedError;
        case IoErrorKind::kOutOfMemory: return PyExc_MemoryError;
        case IoErrorKind::kInvalidInput:
        case IoErrorKind::kWriteZero:
        case IoErrorKind::kOther: break;
    }
    return PyExc_OSError;
}

}  // namespace

bool python_signal_raised() {
    // A handler already raised in this call, which is on its way out: running
    // the handlers again would call Python code with that exception pending.
    if (PyErr_Occurred() != nullptr) return true;
    return PyErr_CheckSignals() != 0;
}

void raise_io_error(const IoError& error, IoErrorStyle style) {
    // A signal handler gave up the call and its exception is already set.
    if (error.kind == IoErrorKind::kInterrupted && PyErr_Occurred() != nullptr) return;
    PyObject* type = PyExc_OSError;
    if (error.kind == IoErrorKind::kInvalidInput) {
        type = PyExc_ValueError;
    } else if (style == IoErrorStyle::kByKind) {
        type = exception_for_kind(error.kind);
    }
    const std::string text = error.text();
    PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) return;
    // Built from the one argument, not through PyErr_SetObject, so that the
    // OSError constructor never sees an (errno, strerror) pair and never
    // picks a subclass itself: errno, strerror and filename stay None.
    PyRef exception = PyRef::steal(PyObject_CallOneArg(type, message.get()));
    if (!exception) return;
    PyErr_SetRaisedException(exception.release());
}

void add_parameter_note(const char* parameter) {
    PyObject* exception = PyErr_GetRaisedException();
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
    if (!note) {
        Py_DECREF(exception);
        return;
    }
    PyRef added = PyRef::steal(PyObject_CallMethod(exception, "add_note", "O", note.get()));
    if (!added) {
        Py_DECREF(exception);
        return;
    }
    PyErr_SetRaisedException(exception);
}

void raise_not_instance(PyObject* value, const char* expected, const char* parameter) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    } else {
        PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
        if (!name) return;
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
    }
    add_parameter_note(parameter);
}

void raise_from_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in _quillon_backend");
    }
}

}  // namespace quillon::binding
