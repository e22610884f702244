// The bytes of a Python object that exposes the buffer protocol (bytes,
// bytearray, memoryview), held for a call and released with the guard.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace quillon::native {

class HeldBuffer {
public:
    HeldBuffer() noexcept = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // False with the exception set when the object has no contiguous bytes.
    bool hold(PyObject* object) {
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    std::string_view bytes() const noexcept {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// An input argument: a path (str) or the input's bytes themselves. Holding
// the bytes keeps the object from being resized for the call.
struct InputArgument {
    std::string path;
    HeldBuffer data;
    bool in_memory = false;
};

// Reads the argument; false with TypeError set for anything else.
bool input_of(PyObject* value, InputArgument& out);

}  // namespace quillon::native
