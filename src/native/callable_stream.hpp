// The input of a streamed salvage or read as the blocks a Python callable
// returns (decompressed data, a pipe, a file object read by the package).
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "pipeline/byte_stream.hpp"

namespace quillon::native {

// The blocks a Python callable returns, copied into the run's window. Each
// read takes the interpreter lock, from whatever thread it runs on; the
// callable is borrowed, and the stream must go while the lock is held.
class CallableStream final : public ByteStream {
public:
    explicit CallableStream(PyObject* callable) noexcept : callable_(callable) {}

    IoResult<std::size_t> read(char* into, std::size_t room) override {
        const PyGILState_STATE state = PyGILState_Ensure();
        IoResult<std::size_t> got = read_locked(into, room);
        PyGILState_Release(state);
        return got;
    }
    std::size_t consumed() const noexcept override { return consumed_; }

private:
    IoResult<std::size_t> read_locked(char* into, std::size_t room) {
        if (at_ == held_.size() && !next_block()) {
            // The callable's exception stays set for the caller to raise.
            return IoError::from_errno(EINTR);
        }
        const std::size_t n = std::min(room, held_.size() - at_);
        std::memcpy(into, held_.data() + at_, n);
        at_ += n;
        consumed_ += n;
        return n;
    }
    bool next_block() {
        binding::PyRef block = binding::PyRef::steal(PyObject_CallNoArgs(callable_));
        if (!block || binding::python_signal_raised()) return false;
        if (!PyBytes_Check(block.get())) {
            PyErr_Format(PyExc_TypeError, "the input's blocks must be bytes, not %T", block.get());
            return false;
        }
        // The block is kept, not copied, until the window has taken it all.
        held_ = std::string_view(PyBytes_AS_STRING(block.get()),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(block.get())));
        block_ = std::move(block);
        at_ = 0;
        return true;
    }

    PyObject* callable_;
    binding::PyRef block_;
    std::string_view held_;
    std::size_t at_ = 0;
    std::size_t consumed_ = 0;
};

}  // namespace quillon::native
