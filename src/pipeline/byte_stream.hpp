// The input of a streamed salvage, read block by block: a file or a pipe
// read(2) in large blocks (never mapped), or any other source behind the
// same interface (the Python package feeds decompressed blocks through it).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
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

// Bytes already in memory (borrowed), handed over at most `block` at a time:
// an input whose blocks arrive as a pipe's would, for tests and fuzzing.
class MemoryByteStream final : public ByteStream {
public:
    MemoryByteStream(std::string_view bytes, std::size_t block) noexcept
        : bytes_(bytes), block_(block) {}

    IoResult<std::size_t> read(char* into, std::size_t room) override;
    std::size_t consumed() const noexcept override { return at_; }
    std::size_t total() const noexcept override { return bytes_.size(); }

private:
    std::string_view bytes_;
    std::size_t block_;
    std::size_t at_ = 0;
};

}  // namespace quillon
