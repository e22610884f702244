// The input of a streamed salvage, read block by block: a file or a pipe
// read(2) in large blocks (never mapped), or any other source behind the
// same interface (the Python package feeds decompressed blocks through it).
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "io_error.hpp"
#include "unique_fd.hpp"

namespace quillon {

class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Reads up to `room` bytes into `into`; 0 once the input has ended.
    virtual IoResult<std::size_t> read(char* into, std::size_t room) = 0;
    // Bytes of the source consumed so far, and in all when known (0 when
    // not): what a progress bar shows.
    virtual std::size_t consumed() const noexcept = 0;
    virtual std::size_t total() const noexcept { return 0; }
};

class FdByteStream final : public ByteStream {
public:
    // Opens `path` for reading; its size is the total when it is a regular
    // file. Interrupted calls are repeated unless `interrupt` gives up.
    static IoResult<FdByteStream> open(const std::string& path, InterruptCheck interrupt);

    IoResult<std::size_t> read(char* into, std::size_t room) override;
    std::size_t consumed() const noexcept override { return consumed_; }
    std::size_t total() const noexcept override { return total_; }

private:
    FdByteStream(UniqueFd fd, std::size_t total, InterruptCheck interrupt) noexcept
        : fd_(std::move(fd)), total_(total), interrupt_(interrupt) {}

    UniqueFd fd_;
    std::size_t total_;
    InterruptCheck interrupt_;
    std::size_t consumed_ = 0;
};

}  // namespace quillon
