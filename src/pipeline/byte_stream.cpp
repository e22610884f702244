#include "byte_stream.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "open_file.hpp"

namespace quillon {

IoResult<FdByteStream> FdByteStream::open(const std::string& path, InterruptCheck interrupt) {
    IoResult<UniqueFd> opened = open_file(path, O_RDONLY, 0, interrupt);
    if (!opened) return opened.error();
    struct stat st;
    std::size_t total = 0;
    if (::fstat(opened.value().get(), &st) == 0 && S_ISREG(st.st_mode)) {
        total = static_cast<std::size_t>(st.st_size);
    }
    return FdByteStream(std::move(opened.value()), total, interrupt);
}

IoResult<std::size_t> FdByteStream::read(char* into, std::size_t room) {
    for (;;) {
        const ssize_t r = ::read(fd_.get(), into, room);
        if (r >= 0) {
            consumed_ += static_cast<std::size_t>(r);
            return static_cast<std::size_t>(r);
        }
        if (errno != EINTR) return IoError::from_errno(errno);
        if (interrupt_ != nullptr && interrupt_()) return IoError::from_errno(EINTR);
    }
}

IoResult<std::size_t> MemoryByteStream::read(char* into, std::size_t room) {
    const std::size_t n = std::min({room, block_, bytes_.size() - at_});
    std::memcpy(into, bytes_.data() + at_, n);
    at_ += n;
    return n;
}

}  // namespace quillon
