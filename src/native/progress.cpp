#include "progress.hpp"

#include "binding/errors.hpp"
#include "binding/py_ref.hpp"

namespace quillon::native {

bool PythonProgress::report(void* self, std::size_t done, std::size_t total) {
    auto* progress = static_cast<PythonProgress*>(self);
    // The exception that stopped the run is still set: no Python code may
    // run before it is raised.
    if (progress->stopped_) return false;
    const PyGILState_STATE state = PyGILState_Ensure();
    bool go_on = true;
    if (progress->callable_ != Py_None) {
        binding::PyRef done_value = binding::PyRef::steal(PyLong_FromSize_t(done));
        binding::PyRef total_value = binding::PyRef::steal(PyLong_FromSize_t(total));
        binding::PyRef result;
        if (done_value && total_value) {
            result = binding::PyRef::steal(PyObject_CallFunctionObjArgs(
                progress->callable_, done_value.get(), total_value.get(), nullptr));
        }
        go_on = static_cast<bool>(result);
    }
    if (go_on && binding::python_signal_raised()) go_on = false;
    PyGILState_Release(state);
    progress->stopped_ = !go_on;
    return go_on;
}

PyObject* progress_argument(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t index) {
    if (nargs <= index) return Py_None;
    PyObject* value = args[index];
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_Format(PyExc_TypeError, "progress must be callable or None, not %T", value);
        return nullptr;
    }
    return value;
}

}  // namespace quillon::native
