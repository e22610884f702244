#include "buffered_file_writer.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "open_file.hpp"

namespace quillon {

namespace {

// The largest count a single write(2) is handed; Linux transfers at most
// this many bytes per call anyway, and it keeps the count within ssize_t.
constexpr std::size_t kMaxWriteChunk = 0x7ffff000;

}  // namespace

IoResult<BufferedFileWriter> BufferedFileWriter::create(const std::string& path,
                                                        InterruptCheck interrupt) {
    IoResult<UniqueFd> fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666, interrupt);
    if (!fd) return fd.error();
    return BufferedFileWriter(std::move(fd.value()), &::write, interrupt);
}

BufferedFileWriter::BufferedFileWriter(UniqueFd fd, WriteFunction write_function,
                                       InterruptCheck interrupt)
    : fd_(std::move(fd)), write_(write_function), interrupt_(interrupt), buffer_(new char[kCapacity]) {}

BufferedFileWriter::BufferedFileWriter(BufferedFileWriter&& other) noexcept
    : fd_(std::move(other.fd_)),
      write_(other.write_),
      interrupt_(other.interrupt_),
      buffer_(std::move(other.buffer_)),
      size_(std::exchange(other.size_, 0)),
      in_write_(std::exchange(other.in_write_, false)),
      gave_up_(std::exchange(other.gave_up_, false)) {}

BufferedFileWriter& BufferedFileWriter::operator=(BufferedFileWriter&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::move(other.fd_);
        write_ = other.write_;
        interrupt_ = other.interrupt_;
        buffer_ = std::move(other.buffer_);
        size_ = std::exchange(other.size_, 0);
        in_write_ = std::exchange(other.in_write_, false);
        gave_up_ = std::exchange(other.gave_up_, false);
    }
    return *this;
}

IoStatus BufferedFileWriter::write_all(std::string_view bytes) {
    if (!buffer_) return IoError::from_errno(EBADF);
    const std::size_t n = bytes.size();
    const std::size_t free_space = kCapacity - size_;
    if (n < free_space) {
        std::memcpy(buffer_.get() + size_, bytes.data(), n);
        size_ += n;
        return io_ok();
    }
    if (n > free_space) {
        if (IoStatus flushed = flush(); !flushed) return flushed;
    }
    if (n < kCapacity) {
        std::memcpy(buffer_.get() + size_, bytes.data(), n);
        size_ += n;
        return io_ok();
    }
    return write_direct(bytes);
}

bool BufferedFileWriter::give_up() {
    if (interrupt_ == nullptr || !interrupt_()) return false;
    gave_up_ = true;
    return true;
}

IoStatus BufferedFileWriter::write_direct(std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        in_write_ = true;
        const ssize_t r = write_(fd_.get(), p, left < kMaxWriteChunk ? left : kMaxWriteChunk);
        in_write_ = false;
        if (r < 0) {
            if (errno != EINTR) return IoError::from_errno(errno);
            if (give_up()) return IoError::from_errno(EINTR);
            continue;
        }
        if (r == 0) {
            return IoError::with_message(IoErrorKind::kWriteZero, "failed to write whole buffer");
        }
        p += r;
        left -= static_cast<std::size_t>(r);
    }
    return io_ok();
}

IoStatus BufferedFileWriter::flush() {
    // What reached the file leaves the buffer and the rest moves to its front
    // on every way out, so that the next flush continues where this one
    // stopped.
    struct Consumed {
        char* buffer;
        std::size_t& size;
        std::size_t done = 0;
        ~Consumed() {
            if (done > 0) {
                std::memmove(buffer, buffer + done, size - done);
                size -= done;
            }
        }
    } consumed{buffer_.get(), size_};
    while (consumed.done < size_) {
        in_write_ = true;
        const ssize_t r = write_(fd_.get(), buffer_.get() + consumed.done, size_ - consumed.done);
        in_write_ = false;
        if (r < 0) {
            if (errno != EINTR) return IoError::from_errno(errno);
            if (give_up()) return IoError::from_errno(EINTR);
            continue;
        }
        if (r == 0) {
            return IoError::with_message(IoErrorKind::kWriteZero, "failed to write the buffered data");
        }
        consumed.done += static_cast<std::size_t>(r);
    }
    return io_ok();
}

void BufferedFileWriter::close() noexcept {
    if (!fd_.valid()) return;
    if (!in_write_ && !gave_up_) {
        try {
            (void)flush();
        } catch (...) {
            // close reports nothing, not even an exception of the write call.
        }
    }
    buffer_.reset();
    size_ = 0;
    in_write_ = false;
    gave_up_ = false;
    fd_.close();
}

}  // namespace quillon
