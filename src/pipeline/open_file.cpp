#include "open_file.hpp"

#include <fcntl.h>

#include <cerrno>

namespace quillon {

IoResult<UniqueFd> open_file(const std::string& path, int flags, mode_t mode,
                             InterruptCheck interrupt) {
    if (path.find('\0') != std::string::npos) {
        return IoError::with_message(IoErrorKind::kInvalidInput,
                                     "file name contained an unexpected NUL byte");
    }
    for (;;) {
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0) return UniqueFd(fd);
        if (errno != EINTR) return IoError::from_errno(errno);
        if (interrupt != nullptr && interrupt()) return IoError::from_errno(EINTR);
    }
}

}  // namespace quillon
