#include "io_error.hpp"

#include <cerrno>
#include <cstring>

namespace quillon {

namespace {

// strerror_r comes in two shapes: the XSI one returns 0 and fills the buffer,
// the GNU one (what g++ selects by default) returns the message, which may
// point into static storage instead of the buffer. Overloading on the return
// type picks the right reading for whichever the C library declares.
[[maybe_unused]] const char* strerror_message(int rc, const char* buffer) noexcept {
    return rc == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* strerror_message(const char* message, const char*) noexcept {
    return message;
}

}  // namespace

const char* io_error_kind_description(IoErrorKind kind) noexcept {
    switch (kind) {
        case IoErrorKind::kNotFound: return "entity not found";
        case IoErrorKind::kPermissionDenied: return "permission denied";
        case IoErrorKind::kConnectionRefused: return "connection refused";
        case IoErrorKind::kConnectionReset: return "connection reset";
        case IoErrorKind::kConnectionAborted: return "connection aborted";
        case IoErrorKind::kBrokenPipe: return "broken pipe";
        case IoErrorKind::kAlreadyExists: return "entity already exists";
        case IoErrorKind::kWouldBlock: return "operation would block";
        case IoErrorKind::kNotADirectory: return "not a directory";
        case IoErrorKind::kIsADirectory: return "is a directory";
        case IoErrorKind::kTimedOut: return "timed out";
        case IoErrorKind::kInterrupted: return "operation interrupted";
        case IoErrorKind::kOutOfMemory: return "out of memory";
        case IoErrorKind::kInvalidInput: return "invalid input parameter";
        case IoErrorKind::kWriteZero: return "write zero";
        case IoErrorKind::kOther: return "other error";
    }
    return "other error";
}

IoErrorKind io_error_kind_from_errno(int code) noexcept {
    switch (code) {
        case ENOENT: return IoErrorKind::kNotFound;
        case EACCES:
        case EPERM: return IoErrorKind::kPermissionDenied;
        case ECONNREFUSED: return IoErrorKind::kConnectionRefused;
        case ECONNRESET: return IoErrorKind::kConnectionReset;
        case ECONNABORTED: return IoErrorKind::kConnectionAborted;
        case EPIPE: return IoErrorKind::kBrokenPipe;
        case EEXIST: return IoErrorKind::kAlreadyExists;
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EAGAIN: return IoErrorKind::kWouldBlock;
        case ENOTDIR: return IoErrorKind::kNotADirectory;
        case EISDIR: return IoErrorKind::kIsADirectory;
        case ETIMEDOUT: return IoErrorKind::kTimedOut;
        case EINTR: return IoErrorKind::kInterrupted;
        case ENOMEM: return IoErrorKind::kOutOfMemory;
        default: return IoErrorKind::kOther;
    }
}

IoError IoError::from_errno(int code) {
    return IoError{io_error_kind_from_errno(code), code, std::string(), std::string()};
}

IoError IoError::with_message(IoErrorKind kind, std::string message) {
    return IoError{kind, 0, std::move(message), std::string()};
}

std::string IoError::text() const {
    if (os_code != 0) {
        char buffer[256];
        buffer[0] = '\0';
        const char* system_message = strerror_message(strerror_r(os_code, buffer, sizeof buffer), buffer);
        std::string out = system_message != nullptr ? system_message : "Unknown error " + std::to_string(os_code);
        out += " (os error ";
        out += std::to_string(os_code);
        out += ')';
        return out;
    }
    if (!message.empty()) return message;
    return io_error_kind_description(kind);
}

}  // namespace quillon
