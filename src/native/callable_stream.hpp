// The input's blocks as a Python callable returns them (decompressed data, a
// pipe, a file object), for the native side that reads a ByteStream.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "binding/py_ref.hpp"
#include "pipeline/byte_stream.hpp"

namespace quillon::native {

// Calls the callable for each next block (bytes; b"" at the end), taking the
// interpreter lock for the call, so that it may be read from any thread.
// The block is kept, not copied, until the reader has taken it all. The
// callable is borrowed, and the stream must go while the lock is held.
class CallableStream final : public ByteStream {
public:
    explicit CallableStream(PyObject* callable) noexcept : callable_(callable) {}

    // A failed call is EINTR, with the callable's exception left set for the
    // caller to raise.
    IoResult<std::size_t> read(char* into, std::size_t room) override;
    std::size_t consumed() const noexcept override { return consumed_; }

private:
    IoResult<std::size_t> read_locked(char* into, std::size_t room);
    bool next_block();

    PyObject* callable_;
    binding::PyRef block_;
    std::string_view held_;
    std::size_t at_ = 0;
    std::size_t consumed_ = 0;
};

}  // namespace quillon::native
