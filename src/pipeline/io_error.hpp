// I/O errors as values: the pipeline returns them, the binding raises them.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace quillon {

enum class IoErrorKind {
    kNotFound,
    kPermissionDenied,
    kConnectionRefused,
    kConnectionReset,
    kConnectionAborted,
    kBrokenPipe,
    kAlreadyExists,
    kWouldBlock,
    kNotADirectory,
    kIsADirectory,
    kTimedOut,
    kInterrupted,
    kOutOfMemory,
    kInvalidInput,
    kWriteZero,
    kOther,
};

// The kind's description, e.g. "entity not found".
const char* io_error_kind_description(IoErrorKind kind) noexcept;

struct IoError {
    IoErrorKind kind = IoErrorKind::kOther;
    int os_code = 0;      // errno; 0 when the error has no operating-system code
    std::string message;  // own message of an error without a code; may be empty
    std::string path;     // the file the error concerns, where the caller said

    // "{system message} (os error {code})" for an error with a code, else the
    // message, else the kind's description.
    std::string text() const;

    static IoError from_errno(int code);
    // An error without an operating-system code.
    static IoError with_message(IoErrorKind kind, std::string message);
};

IoErrorKind io_error_kind_from_errno(int code) noexcept;

// The error, saying which file it concerns.
inline IoError concerning(IoError error, const std::string& path) {
    error.path = path;
    return error;
}

// A value or an I/O error.
template <typename T>
class [[nodiscard]] IoResult {
public:
    IoResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    IoResult(IoError error) : v_(std::in_place_index<1>, std::move(error)) {}
    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const IoError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, IoError> v_;
};

// Asked after a system call was interrupted by a signal, before it is
// repeated: true gives up with an "operation interrupted" error instead. The
// binding passes one that runs the interpreter's signal handlers, so that
// Ctrl-C ends a read that would otherwise block for ever (a FIFO without a
// writer). Null repeats every interrupted call. A call given up this way
// fails with the EINTR error.
using InterruptCheck = bool (*)();

struct Unit {};
using IoStatus = IoResult<Unit>;
inline IoStatus io_ok() { return IoStatus(Unit{}); }

}  // namespace quillon
