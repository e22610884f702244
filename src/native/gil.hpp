// Leaving the interpreter lock around native work.
#pragma once

#include <Python.h>

namespace quillon::native {

// Releases the lock for the guard's lifetime; converts nothing and touches
// no Python object meanwhile.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// The pipeline's interrupt check for work running without the lock: takes it
// back to run the interpreter's signal handlers (only the main thread runs
// them), and says to give up when one raised. The exception stays set on the
// calling thread's state for the binding to raise.
bool signal_raised_without_gil();

}  // namespace quillon::native
