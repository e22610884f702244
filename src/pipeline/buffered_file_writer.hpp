// An open output file with a fixed 8192-byte write buffer.
//
// Every failure comes back as an IoError; bytes that reached the file before
// a failure stay there and the unwritten rest stays buffered, so the writer
// remains usable. close() (and the destructor) make one last attempt to write
// out the buffer and ignore its outcome, unless the caller gave up a write
// (an exception, or the interrupt check saying stop).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "io_error.hpp"
#include "unique_fd.hpp"

namespace quillon {

// The shape of write(2); a writer takes another one only in tests, to inject
// short writes, interruptions and errors.
using WriteFunction = ssize_t (*)(int fd, const void* data, std::size_t size);

class BufferedFileWriter {
public:
    static constexpr std::size_t kCapacity = 8192;

    // Opens `path` for writing, creating it (mode 0666 before the umask) or
    // truncating it.
    // An interrupted open or write is repeated unless `interrupt` says to
    // give up.
    static IoResult<BufferedFileWriter> create(const std::string& path,
                                               InterruptCheck interrupt = nullptr);

    // Takes over an open descriptor. Allocates the buffer (std::bad_alloc).
    explicit BufferedFileWriter(UniqueFd fd, WriteFunction write_function = &::write,
                                InterruptCheck interrupt = nullptr);

    BufferedFileWriter(BufferedFileWriter&& other) noexcept;
    BufferedFileWriter& operator=(BufferedFileWriter&& other) noexcept;
    BufferedFileWriter(const BufferedFileWriter&) = delete;
    BufferedFileWriter& operator=(const BufferedFileWriter&) = delete;
    ~BufferedFileWriter() { close(); }

    // Writes all of `bytes`, through the buffer unless they fill it whole.
    IoStatus write_all(std::string_view bytes);
    // Writes every buffered byte to the file.
    IoStatus flush();
    // One last flush whose outcome is ignored, then the buffer is released
    // and the file closed. Skips the flush when a write call was left by an
    // exception or the interrupt check gave up a write: the last write would
    // block again where the interrupted one did (a pipe nobody reads), and the
    // caller has been asked to stop. Does nothing on a closed writer.
    void close() noexcept;

    bool is_open() const noexcept { return fd_.valid(); }
    int fd() const noexcept { return fd_.get(); }
    // Bytes held in the buffer, not yet handed to the file.
    std::size_t buffered() const noexcept { return size_; }

private:
    IoStatus write_direct(std::string_view bytes);
    // After an interrupted write: asks the interrupt check, and remembers a
    // "give up" for close.
    bool give_up();

    UniqueFd fd_;
    WriteFunction write_;
    InterruptCheck interrupt_;
    std::unique_ptr<char[]> buffer_;
    std::size_t size_ = 0;
    // Set around each write call: still set afterwards only if the call threw.
    bool in_write_ = false;
    // The interrupt check said to give up a write.
    bool gave_up_ = false;
};

}  // namespace quillon
