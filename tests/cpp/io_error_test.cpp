#include "pipeline/io_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

namespace quillon {
namespace {

struct ErrnoCase {
    int code;
    IoErrorKind kind;
};

TEST(IoErrorKindFromErrno, MapsEachCodeByItsMeaning) {
    const ErrnoCase cases[] = {
        {ENOENT, IoErrorKind::kNotFound},
        {EACCES, IoErrorKind::kPermissionDenied},
        {EPERM, IoErrorKind::kPermissionDenied},
        {ECONNREFUSED, IoErrorKind::kConnectionRefused},
        {ECONNRESET, IoErrorKind::kConnectionReset},
        {ECONNABORTED, IoErrorKind::kConnectionAborted},
        {EPIPE, IoErrorKind::kBrokenPipe},
        {EEXIST, IoErrorKind::kAlreadyExists},
        {EAGAIN, IoErrorKind::kWouldBlock},
        {EWOULDBLOCK, IoErrorKind::kWouldBlock},
        {ENOTDIR, IoErrorKind::kNotADirectory},
        {EISDIR, IoErrorKind::kIsADirectory},
        {ETIMEDOUT, IoErrorKind::kTimedOut},
        {EINTR, IoErrorKind::kInterrupted},
        {ENOMEM, IoErrorKind::kOutOfMemory},
        {ENOSPC, IoErrorKind::kOther},
        {EIO, IoErrorKind::kOther},
        {EINVAL, IoErrorKind::kOther},
        {EFBIG, IoErrorKind::kOther},
        {EBADF, IoErrorKind::kOther},
        {4242, IoErrorKind::kOther},
    };
    for (const ErrnoCase& c : cases) {
        EXPECT_EQ(io_error_kind_from_errno(c.code), c.kind) << "errno " << c.code;
        const IoError error = IoError::from_errno(c.code);
        EXPECT_EQ(error.kind, c.kind) << "errno " << c.code;
        EXPECT_EQ(error.os_code, c.code);
    }
}

struct DescriptionCase {
    IoErrorKind kind;
    const char* description;
};

TEST(IoErrorKindDescription, NamesEachKind) {
    const DescriptionCase cases[] = {
        {IoErrorKind::kNotFound, "entity not found"},
        {IoErrorKind::kPermissionDenied, "permission denied"},
        {IoErrorKind::kConnectionRefused, "connection refused"},
        {IoErrorKind::kConnectionReset, "connection reset"},
        {IoErrorKind::kConnectionAborted, "connection aborted"},
        {IoErrorKind::kBrokenPipe, "broken pipe"},
        {IoErrorKind::kAlreadyExists, "entity already exists"},
        {IoErrorKind::kWouldBlock, "operation would block"},
        {IoErrorKind::kNotADirectory, "not a directory"},
        {IoErrorKind::kIsADirectory, "is a directory"},
        {IoErrorKind::kTimedOut, "timed out"},
        {IoErrorKind::kInterrupted, "operation interrupted"},
        {IoErrorKind::kOutOfMemory, "out of memory"},
        {IoErrorKind::kInvalidInput, "invalid input parameter"},
        {IoErrorKind::kWriteZero, "write zero"},
        {IoErrorKind::kOther, "other error"},
    };
    for (const DescriptionCase& c : cases) {
        EXPECT_STREQ(io_error_kind_description(c.kind), c.description);
    }
}

struct TextCase {
    IoError error;
    const char* text;
};

TEST(IoErrorText, FormsTheTextFromCodeMessageOrKind) {
    const TextCase cases[] = {
        {IoError::from_errno(ENOENT), "No such file or directory (os error 2)"},
        {IoError::from_errno(EACCES), "Permission denied (os error 13)"},
        {IoError::from_errno(EISDIR), "Is a directory (os error 21)"},
        {IoError::from_errno(ENOSPC), "No space left on device (os error 28)"},
        {IoError::from_errno(4242), "Unknown error 4242 (os error 4242)"},
        // A code wins over a message.
        {IoError{IoErrorKind::kOther, EPIPE, "ignored"}, "Broken pipe (os error 32)"},
        {IoError::with_message(IoErrorKind::kWriteZero, "failed to write whole buffer"),
         "failed to write whole buffer"},
        {IoError::with_message(IoErrorKind::kInvalidInput, "quarantine path names the output file"),
         "quarantine path names the output file"},
        {IoError{IoErrorKind::kOutOfMemory, 0, ""}, "out of memory"},
        {IoError{IoErrorKind::kOther, 0, ""}, "other error"},
    };
    for (const TextCase& c : cases) EXPECT_EQ(c.error.text(), c.text);
}

TEST(IoErrorText, IsSafeFromManyThreads) {
    // Unknown codes make a C library format the message per call, which is
    // where a shared static buffer would mix up the threads' texts.
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &mismatches] {
            const int code = 5000 + t;
            const std::string expected = "Unknown error " + std::to_string(code) + " (os error " +
                                         std::to_string(code) + ")";
            for (int i = 0; i < 2000; ++i) {
                if (IoError::from_errno(code).text() != expected) ++mismatches[static_cast<std::size_t>(t)];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int count : mismatches) EXPECT_EQ(count, 0);
}

}  // namespace
}  // namespace quillon
