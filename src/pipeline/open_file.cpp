#include "open_file.hpp"

#include <fcntl.h>

#include <cerrno>

namespace quillon {

IoResult<UniqueFd> open_file(const std::string& path, int flags, mode_t mode) {
    if (path.find('\0') != std::string::npos) {
        return IoError::with_message(IoErrorKind::kInvalidInput,
                                     "file name contained an unexpected NUL byte");
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return IoError::from_errno(errno);
    return UniqueFd(fd);
}

}  // namespace quillon
