// A heap type created from its spec once per process, on first use.
//
// The type object is shared by every module object (re-imports, reloads)
// and is never released. Creation runs under a PyMutex rather than a C++
// mutex: PyMutex_Lock detaches the thread from the interpreter while it
// waits, so a thread that waits here cannot block a thread that holds the
// lock and needs the interpreter (with or without the global lock).
#pragma once

#include <Python.h>

#include <atomic>

namespace quillon::binding {

class ProcessType {
public:
    explicit constexpr ProcessType(PyType_Spec* spec) noexcept : spec_(spec) {}
    ProcessType(const ProcessType&) = delete;
    ProcessType& operator=(const ProcessType&) = delete;

    // The type, a borrowed reference valid for the life of the process; null
    // with an exception set when it cannot be created.
    PyTypeObject* get() noexcept {
        PyObject* type = type_.load(std::memory_order_acquire);
        if (type == nullptr) {
            PyMutex_Lock(&mutex_);
            type = type_.load(std::memory_order_relaxed);
            if (type == nullptr) {
                type = PyType_FromSpec(spec_);
                type_.store(type, std::memory_order_release);
            }
            PyMutex_Unlock(&mutex_);
        }
        return reinterpret_cast<PyTypeObject*>(type);
    }

private:
    PyType_Spec* spec_;
    PyMutex mutex_{};
    std::atomic<PyObject*> type_{nullptr};
};

}  // namespace quillon::binding
