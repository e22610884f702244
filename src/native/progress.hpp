// Progress reports from native work that runs without the interpreter lock.
#pragma once

#include <Python.h>

#include <cstddef>

#include "engine/options.hpp"

namespace quillon::native {

// A run's ProgressHook that calls `callable(done, total)` and runs the
// interpreter's signal handlers at each report, so that Ctrl-C ends a long
// run within a few MB instead of at its end. Each report takes the lock back
// for its duration. The run stops at the first report where the callable or
// a handler raised, with that exception left set for the caller to raise.
class PythonProgress {
public:
    // `callable`: None (signal handlers only) or a callable, borrowed for
    // the run.
    explicit PythonProgress(PyObject* callable) noexcept : callable_(callable) {}
    PythonProgress(const PythonProgress&) = delete;
    PythonProgress& operator=(const PythonProgress&) = delete;

    ProgressHook hook() noexcept { return ProgressHook{&PythonProgress::report, this}; }

private:
    static bool report(void* self, std::size_t done, std::size_t total);

    PyObject* callable_;
    bool stopped_ = false;
};

// The optional `progress` argument of an entry point: None when absent;
// null with TypeError set when it is neither None nor callable.
PyObject* progress_argument(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t index);

}  // namespace quillon::native
