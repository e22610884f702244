#include "callable_stream.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "binding/errors.hpp"

namespace quillon::native {

IoResult<std::size_t> CallableStream::read(char* into, std::size_t room) {
    const PyGILState_STATE state = PyGILState_Ensure();
    IoResult<std::size_t> got = read_locked(into, room);
    PyGILState_Release(state);
    return got;
}

IoResult<std::size_t> CallableStream::read_locked(char* into, std::size_t room) {
    if (at_ == held_.size() && !next_block()) return IoError::from_errno(EINTR);
    const std::size_t n = std::min(room, held_.size() - at_);
    std::memcpy(into, held_.data() + at_, n);
    at_ += n;
    consumed_ += n;
    return n;
}

bool CallableStream::next_block() {
    binding::PyRef block = binding::PyRef::steal(PyObject_CallNoArgs(callable_));
    if (!block || binding::python_signal_raised()) return false;
    if (!PyBytes_Check(block.get())) {
        PyErr_Format(PyExc_TypeError, "the input's blocks must be bytes, not %T", block.get());
        return false;
    }
    held_ = std::string_view(PyBytes_AS_STRING(block.get()),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(block.get())));
    block_ = std::move(block);
    at_ = 0;
    return true;
}

}  // namespace quillon::native
